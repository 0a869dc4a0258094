// The configuration fetch URL: path "/config/app/<app ID>?" on the
// measurement service, then "app_instance_id", "platform", "qvr_version"
// and "runtime_version" as "key=value" pairs joined with "&", in key order.
//
// Keys, values and the app ID are percent-encoded so that no character of
// theirs can end a value or start another parameter: "&", "=", "+", "#",
// "?", "/" and anything outside printable ASCII are always encoded.
#include <map>
#include <string>
#include <string_view>

#include "common/StringHelpers.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelError = 2;
constexpr long kCodeEmptyInstanceOrPlatform = 29010;
constexpr long kCodeNoServiceAddress = 29011;

constexpr char kPathFormatPrefix[] = "/config/app/";
constexpr char kKeyAppInstanceID[] = "app_instance_id";
constexpr char kKeyPlatform[] = "platform";
constexpr char kKeyRuntimeVersion[] = "runtime_version";
constexpr char kKeySDKVersion[] = "qvr_version";

bool isKeptCharacter(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-':
    case '.':
    case '_':
    case '~':
    case ':':
    case '@':
    case '!':
    case '$':
    case '\'':
    case '(':
    case ')':
    case '*':
    case ',':
    case ';':
      return true;
    default:
      return false;
  }
}

std::string percentEncoded(std::string_view text) {
  return tlm_percentEncoded(text, isKeptCharacter);
}

}  // namespace

std::optional<std::string> TLMRemoteConfig::remoteConfigURLWithAppInstanceID(
    const std::optional<std::string>& appInstanceID, const std::string& platform,
    std::int64_t SDKVersion, std::int64_t runtimeVersion,
    const std::optional<std::string>& serviceBaseURL, bool isAnalyticsStorageDenied) const {
  TLMMonitor& monitor = TLMMeasurement::monitor();
  if (!serviceBaseURL || serviceBaseURL->empty()) {
    monitor.logWithLevel(kLevelFailure, kCodeNoServiceAddress,
                         "Cannot create a URL to fetch a configuration without a measurement "
                         "service address (FERROLUX_MEASUREMENT_SERVICE_URL or "
                         "FerroluxMeasurementServiceURL)");
    return std::nullopt;
  }
  if (appID_.empty()) {
    monitor.logWithLevel(kLevelFailure, kCodeNoServiceAddress,
                         "Cannot create a URL to fetch a configuration without an app ID");
    return std::nullopt;
  }
  const std::string instance =
      isAnalyticsStorageDenied ? std::string() : appInstanceID.value_or(std::string());
  if ((!isAnalyticsStorageDenied && instance.empty()) || platform.empty()) {
    monitor.logWithLevel(kLevelError, kCodeEmptyInstanceOrPlatform,
                         "Cannot create a URL to fetch a configuration with empty app instance "
                         "ID or empty platform (app instance, platform)",
                         appInstanceID ? OptionalObject(Object(*appInstanceID)) : std::nullopt,
                         Object(platform));
    return std::nullopt;
  }
  const std::map<std::string, std::string> parameters = {
      {kKeyAppInstanceID, instance},
      {kKeyPlatform, platform},
      {kKeyRuntimeVersion, std::to_string(runtimeVersion)},
      {kKeySDKVersion, std::to_string(SDKVersion)},
  };
  std::string url = *serviceBaseURL + kPathFormatPrefix + percentEncoded(appID_) + "?";
  bool first = true;
  for (const auto& [key, value] : parameters) {
    if (!first) url += '&';
    first = false;
    url += percentEncoded(key) + "=" + percentEncoded(value);
  }
  return url;
}
