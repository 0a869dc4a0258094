#include "config/TLMPersistedConfig.h"

#include <utility>

#include "common/SharedInstance.h"
#include "config/TLMPersistedConfigKeys.h"
#include "config/TLMSettingsKeys.h"
#include "engine/TLMMeasurement.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "platform/Random.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr long kSharedInstanceNilCode = 27001;
constexpr char kSharedInstanceNilMessage[] = "PersistedConfig's shared instance is nil";
constexpr long kUnsupportedDictionaryValueCode = 27002;
constexpr char kUnsupportedDictionaryValueMessage[] = "Unsupported value passed in dictionary";

std::int64_t int64Of(const OptionalObject& value) {
  return value && value->isNumber() ? value->int64Value() : 0;
}

double doubleOf(const OptionalObject& value) {
  return value && value->isNumber() ? value->doubleValue() : 0.0;
}

bool boolOf(const OptionalObject& value) {
  return value && value->isNumber() && value->boolValue();
}

OptionalObject stringObject(const std::optional<std::string>& value) {
  if (!value) return std::nullopt;
  return Object(*value);
}

}  // namespace

std::shared_ptr<TLMPersistedConfig> TLMPersistedConfig::sharedInstance() {
  static SharedInstance<TLMPersistedConfig> instance;
  std::shared_ptr<TLMPersistedConfig> config =
      instance.get([] { return create(kTLMMeasurementSuiteName); });
  if (config == nullptr) {
    TLMMeasurement::monitor().logWithLevel(1, kSharedInstanceNilCode, kSharedInstanceNilMessage);
  }
  return config;
}

std::shared_ptr<TLMPersistedConfig> TLMPersistedConfig::create(const std::string& suiteName) {
  if (suiteName.empty()) return nullptr;
  return std::make_shared<TLMPersistedConfig>(suiteName);
}

TLMPersistedConfig::TLMPersistedConfig(const std::string& suiteName)
    : name_(suiteName),
      userDefaults_(std::make_unique<TLMUserDefaults>(suiteName)),
      serialQueue_(Platform::current().dispatch().createSerialQueue(kQueueLabel)) {}

TLMPersistedConfig::~TLMPersistedConfig() { synchronizeBlock_.cancel(); }

template <typename Block>
void TLMPersistedConfig::onQueue(Block&& block) {
  serialQueue_->sync(std::forward<Block>(block));
}

// Primitives ---------------------------------------------------------------

OptionalObject TLMPersistedConfig::rawObjectForKey(const std::string& key) {
  if (key.empty()) return std::nullopt;
  OptionalObject value;
  onQueue([&] { value = userDefaults_->objectForKey(key); });
  return value;
}

bool TLMPersistedConfig::boolForKey(const std::string& key) { return boolOf(rawObjectForKey(key)); }

std::int64_t TLMPersistedConfig::int64ForKey(const std::string& key) {
  return int64ForKey(key, *userDefaults_);
}

std::int64_t TLMPersistedConfig::int64ForKey(const std::string& key, TLMUserDefaults& userDefault) {
  if (key.empty()) return 0;
  OptionalObject value;
  onQueue([&] { value = userDefault.objectForKey(key); });
  return int64Of(value);
}

double TLMPersistedConfig::doubleForKey(const std::string& key) {
  return doubleOf(rawObjectForKey(key));
}

std::optional<std::string> TLMPersistedConfig::stringForKey(const std::string& key) {
  OptionalObject value = rawObjectForKey(key);
  if (!value || !value->isString()) return std::nullopt;
  return *value->asString();
}

OptionalObject TLMPersistedConfig::dictionaryForKey(const std::string& key) {
  OptionalObject value = rawObjectForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return value;
}

void TLMPersistedConfig::setObjectAndSchedule(const OptionalObject& value, const std::string& key) {
  onQueue([&] {
    userDefaults_->setObject(value, key);
    scheduleSynchronizeToDisk();
  });
}

void TLMPersistedConfig::setObjectDirect(const OptionalObject& value, const std::string& key) {
  onQueue([&] { userDefaults_->setObject(value, key); });
}

void TLMPersistedConfig::setBool(bool value, const std::string& key) {
  setObjectAndSchedule(Object::boolean(value), key);
}

void TLMPersistedConfig::setInt64(std::int64_t value, const std::string& key) {
  setObjectAndSchedule(Object::integer(value), key);
}

void TLMPersistedConfig::setDouble(double value, const std::string& key) {
  setObjectAndSchedule(Object::floating(value), key);
}

void TLMPersistedConfig::setString(const std::optional<std::string>& value,
                                   const std::string& key) {
  setObjectAndSchedule(stringObject(value), key);
}

void TLMPersistedConfig::setDictionary(const OptionalObject& value, const std::string& key) {
  bool refused = false;
  onQueue([&] {
    if (key.empty()) {
      userDefaults_->setObject(value, key);  // logs the invalid key
    } else if (value && !value->isDictionary()) {
      refused = true;
    } else {
      refused = !userDefaults_->setObjectWithResult(value, key);
    }
    scheduleSynchronizeToDisk();
  });
  // Outside the queue: the monitor may read this config.
  if (refused) {
    TLMMeasurement::monitor().logWithLevel(1, kUnsupportedDictionaryValueCode,
                                           kUnsupportedDictionaryValueMessage);
  }
}

// Debounced flush ------------------------------------------------------------

void TLMPersistedConfig::scheduleSynchronizeToDisk() {
  if (!serialQueue_->isCurrent()) {
    onQueue([this] { scheduleSynchronizeToDisk(); });
    return;
  }
  synchronizeBlock_.cancel();
  std::weak_ptr<TLMPersistedConfig> weakSelf = weak_from_this();
  synchronizeBlock_ = serialQueue_->asyncAfter(kSynchronizeDelaySeconds, [weakSelf] {
    if (std::shared_ptr<TLMPersistedConfig> self = weakSelf.lock()) self->synchronizeToDisk();
  });
}

void TLMPersistedConfig::cancelScheduledSynchronize() {
  if (!serialQueue_->isCurrent()) {
    onQueue([this] { cancelScheduledSynchronize(); });
    return;
  }
  synchronizeBlock_.cancel();
  synchronizeBlock_ = DelayedBlock();
}

void TLMPersistedConfig::synchronizeToDisk() {
  synchronizeCount_.fetch_add(1);
  (void)userDefaults_->synchronize();
}

void TLMPersistedConfig::clearValues() {
  onQueue([this] { userDefaults_->clearAllData(); });
}

// Named accessors ------------------------------------------------------------

double TLMPersistedConfig::lastDeleteStaleBundlesTimestamp() {
  return doubleForKey(kTLMLastDeleteStaleKey);
}
void TLMPersistedConfig::setLastDeleteStaleBundlesTimestamp(double seconds) {
  setDouble(seconds, kTLMLastDeleteStaleKey);
}

OptionalObject TLMPersistedConfig::searchAdCampaignValue() {
  return rawObjectForKey(kTLMIsSearchAdCampaignKey);
}
void TLMPersistedConfig::setSearchAdCampaignValue(const OptionalObject& value) {
  if (value && value->isNumber()) userDefaults_->setObject(value, kTLMIsSearchAdCampaignKey);
}

double TLMPersistedConfig::lastSearchAdLookUpTimestamp() {
  return doubleForKey(kTLMSearchAdLastAttemptTimestampKey);
}
void TLMPersistedConfig::setLastSearchAdLookUpTimestamp(double seconds) {
  setDouble(seconds, kTLMSearchAdLastAttemptTimestampKey);
}

std::int64_t TLMPersistedConfig::searchAdRetryCount() {
  return int64ForKey(kTLMSearchAdNumberOfRetriesKey);
}
void TLMPersistedConfig::setSearchAdRetryCount(std::int64_t count) {
  setInt64(count, kTLMSearchAdNumberOfRetriesKey);
}

std::optional<std::string> TLMPersistedConfig::appInstanceID() {
  return stringForKey(kTLMAppInstanceIDKey);
}
void TLMPersistedConfig::setAppInstanceID(const std::optional<std::string>& value) {
  setString(value, kTLMAppInstanceIDKey);
}

std::optional<std::string> TLMPersistedConfig::appIDFromQVR() {
  return stringForKey(kTLMQVRAppIDKey);
}
void TLMPersistedConfig::setAppIDFromQVR(const std::optional<std::string>& value) {
  setString(value, kTLMQVRAppIDKey);
}

std::optional<std::string> TLMPersistedConfig::appIDFromVelmora() {
  return stringForKey(kTLMVelmoraAppIDKey);
}
void TLMPersistedConfig::setAppIDFromVelmora(const std::optional<std::string>& value) {
  setString(value, kTLMVelmoraAppIDKey);
}

std::optional<std::string> TLMPersistedConfig::hashedResettableDeviceID() {
  return stringForKey(kTLMHashedIDFAKey);
}
void TLMPersistedConfig::setHashedResettableDeviceID(const std::optional<std::string>& value) {
  setString(value, kTLMHashedIDFAKey);
}

double TLMPersistedConfig::lastBackoffTimestamp() { return doubleForKey(kTLMLastBackoffKey); }
void TLMPersistedConfig::setLastBackoffTimestamp(double seconds) {
  setDouble(seconds, kTLMLastBackoffKey);
}

double TLMPersistedConfig::lastSuccessfulUploadTimestamp() {
  return doubleForKey(kTLMLastSuccessfulUploadKey);
}
void TLMPersistedConfig::setLastSuccessfulUploadTimestamp(double seconds) {
  setDouble(seconds, kTLMLastSuccessfulUploadKey);
}

double TLMPersistedConfig::lastFailedUploadTimestamp() {
  return doubleForKey(kTLMLastFailedUploadKey);
}
void TLMPersistedConfig::setLastFailedUploadTimestamp(double seconds) {
  setDouble(seconds, kTLMLastFailedUploadKey);
}

std::optional<std::string> TLMPersistedConfig::appVersion() {
  return stringForKey(kTLMAppVersionKey);
}
void TLMPersistedConfig::setAppVersion(const std::optional<std::string>& value) {
  setString(value, kTLMAppVersionKey);
}

std::optional<std::string> TLMPersistedConfig::osVersion() {
  return stringForKey(kTLMOSVersionKey);
}
void TLMPersistedConfig::setOSVersion(const std::optional<std::string>& value) {
  setString(value, kTLMOSVersionKey);
}

double TLMPersistedConfig::midnightOffset() {
  double offset = 0.0;
  // Read and, when missing, created in one block so that concurrent first
  // readers agree on one value.
  onQueue([&] {
    OptionalObject stored = userDefaults_->objectForKey(kTLMMidnightOffsetKey);
    if (stored && stored->isNumber()) {
      offset = stored->doubleValue();
      return;
    }
    const std::uint64_t milliseconds =
        Platform::current().random().uniform(kMidnightOffsetRangeMilliseconds);
    offset = static_cast<double>(milliseconds) / 1000.0;
    userDefaults_->setObject(Object::floating(offset), kTLMMidnightOffsetKey);
    scheduleSynchronizeToDisk();
  });
  return offset;
}

double TLMPersistedConfig::lastMonitorDataSampledTimestamp() {
  return doubleForKey(kTLMLastMonitorDataSampledTimestampKey);
}
void TLMPersistedConfig::setLastMonitorDataSampledTimestamp(double seconds) {
  setDouble(seconds, kTLMLastMonitorDataSampledTimestampKey);
}

std::int64_t TLMPersistedConfig::firstOpenTimestampMilliseconds() {
  return int64ForKey(kTLMFirstOpenTimestampMillisecondsKey);
}
void TLMPersistedConfig::setFirstOpenTimestampMilliseconds(std::int64_t milliseconds) {
  setInt64(milliseconds, kTLMFirstOpenTimestampMillisecondsKey);
}

OptionalObject TLMPersistedConfig::configServerLastModifiedString() {
  return rawObjectForKey(kTLMLastModifiedSinceKey);
}
void TLMPersistedConfig::setConfigServerLastModifiedString(
    const std::optional<std::string>& value) {
  setString(value, kTLMLastModifiedSinceKey);
}

OptionalObject TLMPersistedConfig::loadTimestampValue() {
  return rawObjectForKey(kTLMLoadTimestampKey);
}
void TLMPersistedConfig::setLoadTimestampValue(const OptionalObject& value) {
  setObjectDirect(value, kTLMLoadTimestampKey);
}

OptionalObject TLMPersistedConfig::allowPersonalizedAds() {
  return rawObjectForKey(kTLMAllowPersonalizedAdsKey);
}
void TLMPersistedConfig::setAllowPersonalizedAds(const OptionalObject& value) {
  setObjectDirect(value, kTLMAllowPersonalizedAdsKey);
}

std::optional<std::string> TLMPersistedConfig::quillfenFeatureRollouts() {
  return stringForKey(kTLMQuillfenFeatureRolloutsKey);
}
void TLMPersistedConfig::setQuillfenFeatureRollouts(const std::optional<std::string>& value) {
  setString(value, kTLMQuillfenFeatureRolloutsKey);
}

OptionalObject TLMPersistedConfig::deferredDeepLinkRetrievalComplete() {
  return rawObjectForKey(kTLMDeepLinkRetrievalCompleteKey);
}
void TLMPersistedConfig::setDeferredDeepLinkRetrievalComplete(const OptionalObject& value) {
  setObjectDirect(value, kTLMDeepLinkRetrievalCompleteKey);
}

std::int64_t TLMPersistedConfig::deferredDeepLinkRetryCount() {
  return int64ForKey(kTLMDeepLinkRetryCountKey);
}
void TLMPersistedConfig::setDeferredDeepLinkRetryCount(std::int64_t count) {
  setInt64(count, kTLMDeepLinkRetryCountKey);
}

bool TLMPersistedConfig::shouldSetLastAdvertisingIDResetUserProperty() {
  return int64ForKey(kTLMSetLastAdvertisingIDResetKey) != 0;
}
void TLMPersistedConfig::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  setInt64(value ? 1 : 0, kTLMSetLastAdvertisingIDResetKey);
}

bool TLMPersistedConfig::unmatchedFirstOpenWithoutIDFA() {
  return int64ForKey(kTLMUnmatchedFirstOpenKey) != 0;
}
void TLMPersistedConfig::setUnmatchedFirstOpenWithoutIDFA(bool value) {
  setInt64(value ? 1 : 0, kTLMUnmatchedFirstOpenKey);
}

bool TLMPersistedConfig::startNewSession() { return boolForKey(kTLMStartNewSessionKey); }
void TLMPersistedConfig::setStartNewSession(bool value) { setBool(value, kTLMStartNewSessionKey); }

double TLMPersistedConfig::lastSessionActivityClockTime() {
  return doubleForKey(kTLMLastEngagementEndKey);
}
void TLMPersistedConfig::setLastSessionActivityClockTime(double seconds) {
  setDouble(seconds, kTLMLastEngagementEndKey);
}

double TLMPersistedConfig::engagementTimeBeforeSessionStart() {
  return doubleForKey(kTLMEngagementTimeBeforeSessionStartKey);
}
void TLMPersistedConfig::setEngagementTimeBeforeSessionStart(double value) {
  setDouble(value, kTLMEngagementTimeBeforeSessionStartKey);
}

std::int64_t TLMPersistedConfig::sessionNumber() { return int64ForKey(kTLMSessionNumberKey); }
void TLMPersistedConfig::setSessionNumber(std::int64_t value) {
  setInt64(value, kTLMSessionNumberKey);
}

OptionalObject TLMPersistedConfig::defaultEventParameters() {
  return dictionaryForKey(kTLMDefaultEventParametersKey);
}
void TLMPersistedConfig::setDefaultEventParameters(const OptionalObject& value) {
  setDictionary(value, kTLMDefaultEventParametersKey);
}

// The app's own domain ---------------------------------------------------------

std::int64_t TLMPersistedConfig::measurementEnabledState() {
  return int64ForKey(kTLMMeasurementEnabledStateKey, TLMUserDefaults::standardUserDefaults());
}

void TLMPersistedConfig::setMeasurementEnabledState(std::int64_t state) {
  onQueue([state] {
    TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
    standard.setObject(Object::integer(state), kTLMMeasurementEnabledStateKey);
    (void)standard.synchronize();
  });
}
