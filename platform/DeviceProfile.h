// Facts about the device and the installation, given by the host: what the
// original platform reads from process information, the hardware model,
// the locale, the time zone and the app store. The defaults describe a
// supported phone, never the machine this runs on, because the library
// gates itself on the OS major version and treats the models "x86_64" and
// "i386" as a simulator.
//
// A plain value: set it up, then hand it to the Platform, which keeps its
// own copy and only reads it (safe from any thread once installed).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

struct OperatingSystemVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
};

class DeviceProfile {
 public:
  static constexpr const char* kDefaultOSName = "iOS";
  static constexpr const char* kDefaultOSVersion = "17.5";
  static constexpr const char* kDefaultDeviceModel = "iPhone15,2";
  static constexpr const char* kDefaultLanguage = "en-us";
  static constexpr std::int64_t kDefaultFreeDiskSpaceBytes = 32LL * 1024 * 1024 * 1024;

  // The defaults, with a fresh random vendor identifier (copies share it).
  DeviceProfile();

  const std::string& osName() const { return osName_; }
  void setOSName(std::string name) { osName_ = std::move(name); }
  // "17.5", as the platform's system version string.
  const std::string& osVersion() const { return osVersion_; }
  void setOSVersion(std::string version) { osVersion_ = std::move(version); }
  // The leading numeric fields of osVersion; missing fields are 0.
  OperatingSystemVersion osVersionComponents() const;

  // The hardware model ("iPhone15,2"; "x86_64" on the simulator).
  const std::string& deviceModel() const { return deviceModel_; }
  void setDeviceModel(std::string model) { deviceModel_ = std::move(model); }

  // Most preferred first; may be empty.
  const std::vector<std::string>& preferredLanguages() const { return preferredLanguages_; }
  void setPreferredLanguages(std::vector<std::string> languages) {
    preferredLanguages_ = std::move(languages);
  }

  // The local time zone's offset from GMT.
  int timeZoneOffsetSeconds() const { return timeZoneOffsetSeconds_; }
  void setTimeZoneOffsetSeconds(int seconds) { timeZoneOffsetSeconds_ = seconds; }

  bool isAppStoreInstallation() const { return appStoreInstallation_; }
  void setAppStoreInstallation(bool value) { appStoreInstallation_ = value; }
  bool isSandboxInstallation() const { return sandboxInstallation_; }
  void setSandboxInstallation(bool value) { sandboxInstallation_ = value; }

  // Whether the process is an app extension: as set, otherwise whether the
  // main bundle's path ends in ".appex".
  bool isAppExtension(const std::string& bundlePath) const;
  void setAppExtension(std::optional<bool> value) { appExtension_ = value; }

  // An upper-case UUID string, stable for this profile and its copies.
  const std::string& vendorIdentifier() const { return vendorIdentifier_; }
  void setVendorIdentifier(std::string identifier) { vendorIdentifier_ = std::move(identifier); }

  // The app version that was first installed on the device, when the store
  // knows it.
  const std::optional<std::string>& originallyInstalledVersion() const {
    return originallyInstalledVersion_;
  }
  void setOriginallyInstalledVersion(std::optional<std::string> version) {
    originallyInstalledVersion_ = std::move(version);
  }

  std::int64_t freeDiskSpaceBytes() const { return freeDiskSpaceBytes_; }
  void setFreeDiskSpaceBytes(std::int64_t bytes) { freeDiskSpaceBytes_ = bytes; }

  // Applies overrides from a JSON object file. Keys: "os_name",
  // "os_version", "device_model", "preferred_languages" (array of strings),
  // "time_zone_offset_seconds", "app_store_installation",
  // "sandbox_installation", "app_extension", "vendor_identifier",
  // "originally_installed_version", "free_disk_space_bytes"; unknown keys
  // are ignored. Returns false and fills `error` when the file cannot be
  // read, is not a JSON object or a value has the wrong type; nothing is
  // changed then.
  [[nodiscard]] bool loadOverrides(const std::string& path, Error* error);

  // A random version-4 UUID, upper-case, as the platform writes them.
  static std::string makeUUIDString();

 private:
  std::string osName_ = kDefaultOSName;
  std::string osVersion_ = kDefaultOSVersion;
  std::string deviceModel_ = kDefaultDeviceModel;
  std::vector<std::string> preferredLanguages_{kDefaultLanguage};
  int timeZoneOffsetSeconds_ = 0;
  bool appStoreInstallation_ = false;
  bool sandboxInstallation_ = false;
  std::optional<bool> appExtension_;
  std::string vendorIdentifier_;
  std::optional<std::string> originallyInstalledVersion_;
  std::int64_t freeDiskSpaceBytes_ = kDefaultFreeDiskSpaceBytes;
};
