// The configuration fetch: the request, every response status, and the
// transaction that puts a received configuration in force together with
// its audiences.
//
// Settings touched (measurement suite): the stored "Last-Modified" string,
// and the failed-upload and back-off times shared with uploads. Database:
// the time of the last successful fetch and the stored configuration.
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "platform/Clock.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "utilities/HRNNetwork.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelError = 2;
constexpr int kLevelWarning = 3;
constexpr int kLevelVerbose = 8;

constexpr long kCodeNoServiceAddress = 29011;

constexpr char kIfModifiedSinceHeader[] = "If-Modified-Since";
constexpr char kLastModifiedHeader[] = "Last-Modified";
// The internal user property holding the first-open time.
constexpr char kFirstOpenTimeProperty[] = "_fot";

bool isAcceptedStatus(int status) {
  return status == kHRNNetworkHTTPStatusOK || status == kHRNNetworkHTTPStatusNoContent ||
         status == kHRNNetworkHTTPStatusCodeNotModified ||
         status == kHRNNetworkHTTPStatusCodeNotFound;
}

bool isBackoffStatus(int status) {
  return status == kHRNNetworkHTTPStatusCodeUnavailable ||
         status == kHRNNetworkHTTPStatusCodeCannotAcceptTraffic;
}

Object statusObject(const std::optional<HRNHTTPResponse>& response) {
  return response ? Object::integer(response->statusCode()) : Object::null();
}

Object errorObject(const std::optional<Error>& error) {
  return error ? Object::error(*error) : Object::null();
}

const Clock& platformClock() { return Platform::current().clock(); }

}  // namespace

void TLMMeasurement::fetchRemoteConfig() {
  if (isNetworkRequestPending_.load()) {
    // A second exchange would let the first completion clear the flag
    // while the second is still in flight.
    report(kLevelVerbose, kTLMFetchCodeRequestPending,
           "Network operation is pending. Ignoring request to fetch configuration");
    return;
  }
  // An engine whose components are not built yet, or that has no network
  // client, has nothing to fetch with.
  if (network_ == nullptr || database_ == nullptr || remoteConfig_ == nullptr) return;
  std::optional<std::string> url;
  if (!serviceBaseURL_) {
    report(kLevelFailure, kCodeNoServiceAddress,
           "Cannot fetch a configuration without a valid measurement service address. Problem",
           {Object(serviceAddressProblem_)});
  } else {
    const bool denied = hooks_.isAnalyticsStorageDenied();
    const std::optional<std::string> appInstanceID =
        denied ? std::optional<std::string>() : hooks_.appInstanceID();
    url = remoteConfig_->remoteConfigURLWithAppInstanceID(
        appInstanceID, kTLMFetchPlatform, kFerroluxLibraryVersion, kTLMEventEditingRuntimeVersion,
        serviceBaseURL_, denied);
  }
  if (!url) {
    report(kLevelError, kTLMFetchCodeInvalidURL, "Invalid server URL to get configuration");
    return;
  }
  report(kLevelVerbose, kTLMFetchCodeFetching, "Fetching configuration from the server");

  std::map<std::string, std::string> headers;
  const OptionalObject lastModified = persistedConfig_->configServerLastModifiedString();
  // A value with a line break could never be sent (the client refuses
  // it), and keeping it would make every later fetch fail the same way.
  if (lastModified && lastModified->asString() != nullptr && !lastModified->asString()->empty() &&
      lastModified->asString()->find_first_of("\r\n") == std::string::npos) {
    headers[kIfModifiedSinceHeader] = *lastModified->asString();
  }

  isNetworkRequestPending_.store(true);
  network_->setTimeoutInterval(hooks_.networkTimeout ? hooks_.networkTimeout()
                                                     : remoteConfig_->networkTimeout());
  std::weak_ptr<TLMMeasurement> weakSelf = weak_from_this();
  // When the request cannot start, the completion still runs once (with
  // the error), so the pending flag is always cleared there.
  (void)network_->getURL(
      *url, headers, workerQueue_, hooks_.shouldUseBackgroundSession(),
      [weakSelf](std::optional<HRNHTTPResponse> response, Bytes data, std::optional<Error> error) {
        const std::shared_ptr<TLMMeasurement> self = weakSelf.lock();
        if (self == nullptr) return;
        self->isNetworkRequestPending_.store(false);
        self->networkRemoteConfigFetchCompletionHandler(response, data, error);
      });
}

void TLMMeasurement::networkRemoteConfigFetchCompletionHandler(
    const std::optional<HRNHTTPResponse>& response, const Bytes& data,
    const std::optional<Error>& error) {
  const double now = platformClock().now();
  const int status = response ? response->statusCode() : 0;
  report(kLevelVerbose, kTLMFetchCodeFetched, "Fetched configuration. Status code",
         {statusObject(response)});

  if (!response || !isAcceptedStatus(status)) {
    report(kLevelWarning, kTLMFetchCodeRequestFailed,
           "Network request failed to fetch remote config. Code, Error",
           {statusObject(response), errorObject(error)});
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (response && isBackoffStatus(status)) persistedConfig_->setLastBackoffTimestamp(now);
    report(kLevelWarning, kTLMFetchCodeWillRetry,
           "Network fetch failed. Will retry later. Code, error",
           {statusObject(response), errorObject(error)});
    hooks_.updateSchedule();
    return;
  }

  persistedConfig_->setConfigServerLastModifiedString(
      response->valueForHTTPHeaderField(kLastModifiedHeader));
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);

  if (status == kHRNNetworkHTTPStatusCodeNotFound ||
      status == kHRNNetworkHTTPStatusCodeNotModified) {
    if (status == kHRNNetworkHTTPStatusCodeNotFound) {
      report(kLevelWarning, kTLMFetchCodeNotFound,
             "Configuration not found. Using default configuration");
    } else {
      report(kLevelVerbose, kTLMFetchCodeNotModified,
             "Configuration has not been modified. Using the same configuration. Code",
             {Object::integer(status)});
    }
    recordSuccessfulFetch(now, kTLMFetchCodeTimestampFailedUnchanged,
                          "Failed to update config last set timestamp. Error");
  } else {
    report(kLevelVerbose, kTLMFetchCodeFetchedSuccessfully,
           "Successfully fetched configuration from the server. Code, size",
           {Object::integer(status), Object::integer(response->expectedContentLength())});
    recordSuccessfulFetch(now, kTLMFetchCodeTimestampFailed,
                          "Failed to set last set timestamp in database. Error");
    if (!data.empty()) (void)applyReceivedConfiguration(data);
  }
  hooks_.uploadDataOrRegisterAlarm();
}

void TLMMeasurement::recordSuccessfulFetch(double now, long failureCode,
                                           std::string_view failureMessage) {
  Error error;
  if (database_->updateRemoteConfigSuccessfulTimestamp(now, &error)) {
    suspendedUploadTimestamp_.store(0.0);
    return;
  }
  report(kLevelFailure, failureCode, failureMessage, {Object::error(error)});
  // Uploads wait until the fetch time can be recorded again; the device
  // uptime marks when that started.
  suspendedUploadTimestamp_.store(platformClock().uptime());
}

bool TLMMeasurement::applyReceivedConfiguration(const Bytes& data) {
  // updateMeasurementConfig puts the configuration in force at once; when
  // the commit after it fails, the previous one must be put back so that
  // what is in force matches what is stored.
  const std::shared_ptr<const TLMPBMeasurementConfig> previous = remoteConfig_->measurementConfig();
  bool appliedInMemory = false;
  const bool committed = database_->performTransaction([&]() {
    Error decodeError;
    std::optional<TLMPBMeasurementConfig> config =
        TLMPBMeasurementConfig::initWithBuffer(data, &decodeError);
    if (!config) {
      report(kLevelError, kTLMFetchCodeInvalidData, "Configuration data is invalid.");
      return false;
    }
    const std::optional<std::string> appIDFromQVR = hooks_.appIDFromQVR();
    if (!appIDFromQVR || appIDFromQVR->empty() || !config->has_qvr_app_id() ||
        config->qvr_app_id() != *appIDFromQVR) {
      report(kLevelError, kTLMFetchCodeWrongAppID,
             "Configuration does not have valid Tarvix App ID.");
      return false;
    }
    if (!hooks_.updateAudiences(config->audiences())) {
      report(kLevelError, kTLMFetchCodeAudiencesRefused,
             "Failed to update audiences with new server configuration", {Object::data(data)});
      return false;
    }
    // Audiences live in their own tables; the stored configuration does not
    // carry them twice.
    config->clear_audiences();
    if (remoteConfig_->updateMeasurementConfig(&*config) == nullptr) {
      report(kLevelError, kTLMFetchCodeConfigurationRefused,
             "Failed to update configuration with new server configuration", {Object::data(data)});
      return false;
    }
    appliedInMemory = true;
    return true;
  });
  if (!committed && appliedInMemory) {
    if (previous != nullptr) {
      (void)remoteConfig_->updateMeasurementConfig(previous.get());
    } else {
      remoteConfig_->reset();
    }
  }
  return committed;
}

double TLMMeasurement::firstOpenTimestamp() {
  Error error;
  const std::optional<std::vector<TLMUserAttributePtr>> attributes =
      database_->userAttributesIncludingInternal(true, &error);
  if (!attributes) {
    report(kLevelFailure, kTLMFetchCodeFirstOpenQueryFailed,
           "Unable to query current user properties. Error", {Object::error(error)});
    return 0;
  }
  if (attributes->empty()) {
    report(kLevelError, kTLMFetchCodeFirstOpenNoProperties,
           "Cannot extract first open timestamp. Empty user properties");
    return 0;
  }
  double earliest = std::numeric_limits<double>::max();
  for (const TLMUserAttributePtr& attribute : *attributes) {
    if (attribute == nullptr) continue;
    if (attribute->name() == kFirstOpenTimeProperty) return attribute->lastSetTimestamp();
    earliest = std::min(earliest, attribute->lastSetTimestamp());
  }
  return earliest;
}
