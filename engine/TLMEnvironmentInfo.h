// Device facts that uploads report: the hardware model, the system
// version, the preferred language and the time zone offset, read from the
// installed Platform's device profile.
//
// One shared instance per process. The device model is read once; the
// other answers are read on each call. Safe from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// Monitor codes.
inline constexpr long kTLMEnvironmentInfoCodeNoDeviceModel = 14000;
inline constexpr long kTLMEnvironmentInfoCodeNoLanguage = 14001;

class TLMEnvironmentInfo {
 public:
  static std::shared_ptr<TLMEnvironmentInfo> sharedInstance();

  // The hardware model ("iPhone15,2"); an empty model logs level 2, 14000.
  std::string deviceModel();
  // The system version string ("17.5").
  std::string deviceOSVersion() const;
  // The first preferred language, lower-cased; none logs level 2, 14001.
  std::optional<std::string> userDefaultLanguage() const;
  // The local time zone's offset from GMT in minutes, truncated toward
  // zero.
  std::int32_t timeZoneOffsetMinutes() const;

 private:
  std::once_flag deviceModelOnce_;
  std::string deviceModel_;
};
