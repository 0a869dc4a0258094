#include "platform/DeviceProfile.h"

#include <openssl/rand.h>

#include <cstdio>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

#include "platform/AtomicFile.h"

namespace {

constexpr const char* kErrorDomain = "DeviceProfile";
constexpr const char* kAppExtensionSuffix = ".appex";

Error overridesError(const std::string& description) {
  Error error;
  error.domain = kErrorDomain;
  error.code = 1;
  error.description = description;
  return error;
}

}  // namespace

DeviceProfile::DeviceProfile() : vendorIdentifier_(makeUUIDString()) {}

OperatingSystemVersion DeviceProfile::osVersionComponents() const {
  int fields[3] = {0, 0, 0};
  std::size_t at = 0;
  for (int& field : fields) {
    if (at >= osVersion_.size() || osVersion_[at] < '0' || osVersion_[at] > '9') break;
    long value = 0;
    while (at < osVersion_.size() && osVersion_[at] >= '0' && osVersion_[at] <= '9') {
      if (value < std::numeric_limits<int>::max() / 10) value = value * 10 + (osVersion_[at] - '0');
      ++at;
    }
    field = static_cast<int>(value);
    if (at >= osVersion_.size() || osVersion_[at] != '.') break;
    ++at;
  }
  return OperatingSystemVersion{fields[0], fields[1], fields[2]};
}

bool DeviceProfile::isAppExtension(const std::string& bundlePath) const {
  if (appExtension_) return *appExtension_;
  std::string path = bundlePath;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const std::string suffix = kAppExtensionSuffix;
  return path.size() >= suffix.size() &&
         path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string DeviceProfile::makeUUIDString() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) {
    std::random_device device;
    for (unsigned char& byte : bytes) byte = static_cast<unsigned char>(device());
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

bool DeviceProfile::loadOverrides(const std::string& path, Error* error) {
  Bytes bytes;
  if (!AtomicFile::read(path, &bytes, error)) return false;
  nlohmann::json root = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (root.is_discarded() || !root.is_object()) {
    if (error) *error = overridesError("Device profile overrides are not a JSON object: " + path);
    return false;
  }
  DeviceProfile result = *this;
  auto wrongType = [&](const char* key) {
    if (error) *error = overridesError(std::string("Wrong type for \"") + key + "\" in " + path);
    return false;
  };
  auto string = [&](const char* key, auto apply) {
    auto it = root.find(key);
    if (it == root.end()) return true;
    if (!it->is_string()) return wrongType(key);
    apply(it->template get<std::string>());
    return true;
  };
  auto boolean = [&](const char* key, auto apply) {
    auto it = root.find(key);
    if (it == root.end()) return true;
    if (!it->is_boolean()) return wrongType(key);
    apply(it->template get<bool>());
    return true;
  };
  auto integer = [&](const char* key, std::int64_t low, std::int64_t high, auto apply) {
    auto it = root.find(key);
    if (it == root.end()) return true;
    if (!it->is_number_integer()) return wrongType(key);
    std::int64_t value = it->template get<std::int64_t>();
    if (value < low || value > high) return wrongType(key);
    apply(value);
    return true;
  };
  bool ok = string("os_name", [&](std::string v) { result.osName_ = std::move(v); }) &&
            string("os_version", [&](std::string v) { result.osVersion_ = std::move(v); }) &&
            string("device_model", [&](std::string v) { result.deviceModel_ = std::move(v); }) &&
            string("vendor_identifier",
                   [&](std::string v) { result.vendorIdentifier_ = std::move(v); }) &&
            string("originally_installed_version",
                   [&](std::string v) { result.originallyInstalledVersion_ = std::move(v); }) &&
            boolean("app_store_installation", [&](bool v) { result.appStoreInstallation_ = v; }) &&
            boolean("sandbox_installation", [&](bool v) { result.sandboxInstallation_ = v; }) &&
            boolean("app_extension", [&](bool v) { result.appExtension_ = v; }) &&
            integer("time_zone_offset_seconds", -24 * 3600, 24 * 3600,
                    [&](std::int64_t v) { result.timeZoneOffsetSeconds_ = static_cast<int>(v); }) &&
            integer("free_disk_space_bytes", 0, std::numeric_limits<std::int64_t>::max(),
                    [&](std::int64_t v) { result.freeDiskSpaceBytes_ = v; });
  if (!ok) return false;
  auto languages = root.find("preferred_languages");
  if (languages != root.end()) {
    if (!languages->is_array()) return wrongType("preferred_languages");
    result.preferredLanguages_.clear();
    for (const auto& language : *languages) {
      if (!language.is_string()) return wrongType("preferred_languages");
      result.preferredLanguages_.push_back(language.get<std::string>());
    }
  }
  *this = std::move(result);
  return true;
}
