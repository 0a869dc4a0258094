#include "engine/TLMEnvironmentInfo.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cmath>
#include <vector>

#include "common/SharedInstance.h"
#include "engine/TLMMeasurement.h"
#include "platform/DeviceProfile.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelError = 2;

// Lower-cased by ICU's root rules, so that non-ASCII tags survive.
std::string lowerCased(const std::string& text) {
  std::string result;
  icu::UnicodeString::fromUTF8(text).toLower(icu::Locale::getRoot()).toUTF8String(result);
  return result;
}

}  // namespace

std::shared_ptr<TLMEnvironmentInfo> TLMEnvironmentInfo::sharedInstance() {
  static SharedInstance<TLMEnvironmentInfo> instance;
  return instance.get([] { return std::make_shared<TLMEnvironmentInfo>(); });
}

std::string TLMEnvironmentInfo::deviceModel() {
  std::call_once(deviceModelOnce_, [this] {
    deviceModel_ = Platform::current().device().deviceModel();
    if (deviceModel_.empty()) {
      // The platform's system call has no error text here; the profile
      // simply holds none.
      TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMEnvironmentInfoCodeNoDeviceModel,
                                             "Failed to get device model",
                                             Object("the device profile holds no model"));
    }
  });
  return deviceModel_;
}

std::string TLMEnvironmentInfo::deviceOSVersion() const {
  return Platform::current().device().osVersion();
}

std::optional<std::string> TLMEnvironmentInfo::userDefaultLanguage() const {
  const std::vector<std::string>& languages = Platform::current().device().preferredLanguages();
  if (languages.empty() || languages.front().empty()) {
    TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMEnvironmentInfoCodeNoLanguage,
                                           "Failed to get preferred language");
    return std::nullopt;
  }
  return lowerCased(languages.front());
}

std::int32_t TLMEnvironmentInfo::timeZoneOffsetMinutes() const {
  const double minutes = Platform::current().device().timeZoneOffsetSeconds() / 60.0;
  return static_cast<std::int32_t>(std::trunc(minutes));
}
