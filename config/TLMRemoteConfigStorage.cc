// TLMRemoteConfig's work with the database: creation bound to it,
// applying and storing a configuration, loading the stored one, and the
// update time behind the expiry.
#include <cmath>
#include <string>
#include <utility>

#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMScheduler.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelError = 2;
constexpr int kLevelWarning = 4;
constexpr int kLevelNotice = 5;
constexpr int kLevelDebug = 7;

// The engine's configuration needs both; reports which is missing.
bool canCreate(const std::string& appID, const std::weak_ptr<TLMDatabase>& database) {
  if (appID.empty()) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelFailure, kTLMRemoteConfigCodeNoAppID,
        "Cannot init remote configuration without valid Tarvix App ID");
    return false;
  }
  if (database.expired()) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelFailure, kTLMRemoteConfigCodeNoDatabase,
        "Cannot init remote configuration without valid database");
    return false;
  }
  return true;
}

// Whether a call that fills `error` only on failure filled it.
bool errorWasSet(const Error& error) { return !error.domain.empty(); }

}  // namespace

// ---- Creation ----

std::shared_ptr<TLMRemoteConfig> TLMRemoteConfig::initWithAppID(
    const std::string& appID, const std::weak_ptr<TLMDatabase>& database,
    std::shared_ptr<TLMExperimentManagerSeam> experimentManager, TLMRemoteConfigHooks hooks) {
  if (!canCreate(appID, database)) return nullptr;
  return initDesignated(appID, database, nullptr, std::move(experimentManager), std::move(hooks));
}

std::shared_ptr<TLMRemoteConfig> TLMRemoteConfig::initWithAppID(
    const std::string& appID, const std::weak_ptr<TLMDatabase>& database,
    const TLMPBMeasurementConfig& measurementConfig,
    std::shared_ptr<TLMExperimentManagerSeam> experimentManager, TLMRemoteConfigHooks hooks) {
  if (!canCreate(appID, database)) return nullptr;
  return initDesignated(appID, database, &measurementConfig, std::move(experimentManager),
                        std::move(hooks));
}

std::shared_ptr<TLMRemoteConfig> TLMRemoteConfig::initDesignated(
    const std::string& appID, const std::weak_ptr<TLMDatabase>& database,
    const TLMPBMeasurementConfig* measurementConfig,
    std::shared_ptr<TLMExperimentManagerSeam> experimentManager, TLMRemoteConfigHooks hooks) {
  std::shared_ptr<TLMRemoteConfig> config(new TLMRemoteConfig(appID, database, std::move(hooks)));
  // Registration hands the manager a weak delegate, which needs the
  // shared_ptr made above.
  config->registerWithExperimentManager(std::move(experimentManager));
  if (const std::shared_ptr<TLMExperimentClientSeam> client = config->experimentClient()) {
    Error error;
    if (!client->activateLatestSnapshot(&error) && errorWasSet(error)) {
      TLMMeasurement::monitor().logWithLevel(
          kLevelError, kTLMRemoteConfigCodeStaleSnapshotActivation,
          "Cannot activate stale snapshot. Error", Object::error(error));
    }
  }
  config->setRandomGeneratorStudyEnabled(config->currentRandomGeneratorStudyEnabledFlag());
  if (!config->isDefaultInstance_) {
    if (measurementConfig != nullptr) {
      (void)config->updateMeasurementConfig(measurementConfig);
    } else {
      config->loadStoredConfiguration();
    }
  }
  return config;
}

void TLMRemoteConfig::loadStoredConfiguration() {
  std::optional<TLMPBMeasurementConfig> stored = measurementConfigFromDatabase();
  if (!stored) return;
  // The stored configuration is the one in force again, so uploads report
  // its version before the next fetch.
  if (stored->has_qvr_app_id() && stored->qvr_app_id() == appID_) {
    auto kept = std::make_shared<const TLMPBMeasurementConfig>(std::move(*stored));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      remoteConfigProto_ = kept;
    }
    parseRemoteConfigFromMeasurementConfig(*kept);
    return;
  }
  parseRemoteConfigFromMeasurementConfig(*stored);
}

std::shared_ptr<TLMDatabase> TLMRemoteConfig::lockedDatabase(Error* error) const {
  std::shared_ptr<TLMDatabase> database = database_.lock();
  if (database == nullptr && error != nullptr) {
    *error = tlm_errorWithCode(2, "The measurement database is not available");
  }
  return database;
}

// ---- Applying and loading ----

std::shared_ptr<const TLMPBMeasurementConfig> TLMRemoteConfig::updateMeasurementConfig(
    const TLMPBMeasurementConfig* measurementConfig) {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("updateMeasurementConfig");
  TLMMonitor& monitor = TLMMeasurement::monitor();
  if (isDefaultInstance_) {
    monitor.logWithLevel(kLevelError, kTLMRemoteConfigCodeUpdateDefaultInstance,
                         "Cannot update the default measurement configuration");
    return nullptr;
  }
  if (measurementConfig == nullptr) {
    monitor.logWithLevel(kLevelNotice, kTLMRemoteConfigCodeEmptyConfig,
                         "Cannot set empty measurement config to database");
    return nullptr;
  }
  const std::string origin = hooks_.identifiersOrigin ? hooks_.identifiersOrigin() : std::string();
  if (origin == kTLMAdNetworkOrigin && measurementConfig->velmora_app_id() != appID_) {
    monitor.logWithLevel(kLevelError, kTLMRemoteConfigCodeAdNetworkAppIDMismatch,
                         "Cannot set measurement config when Velmora App ID does not match");
    return nullptr;
  }
  if (!measurementConfig->has_qvr_app_id() || measurementConfig->qvr_app_id() != appID_) {
    monitor.logWithLevel(kLevelError, kTLMRemoteConfigCodeAppIDMismatch,
                         "Cannot set measurement config when Tarvix App ID does not match");
    return nullptr;
  }
  Error error;
  const std::shared_ptr<TLMDatabase> database = lockedDatabase(&error);
  if (database == nullptr || !database->updateRemoteConfig(*measurementConfig, &error)) {
    monitor.logWithLevel(kLevelFailure, kTLMRemoteConfigCodeStoreFailed,
                         "Cannot store config into the database", Object::error(error));
    return nullptr;
  }
  auto kept = std::make_shared<const TLMPBMeasurementConfig>(*measurementConfig);
  std::shared_ptr<const TLMPBMeasurementConfig> replaced;  // released after the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    replaced = std::exchange(remoteConfigProto_, kept);
  }
  parseRemoteConfigFromMeasurementConfig(*kept);
  return kept;
}

std::optional<TLMPBMeasurementConfig> TLMRemoteConfig::measurementConfigFromDatabase() {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("measurementConfigFromDatabase");
  TLMMonitor& monitor = TLMMeasurement::monitor();
  if (isDefaultInstance_) {
    monitor.logWithLevel(
        kLevelError, kTLMRemoteConfigCodeLoadForDefaultInstance,
        "Cannot retrieve a measurement configuration from the database for the default instance");
    return std::nullopt;
  }
  Error error;
  std::optional<TLMPBMeasurementConfig> stored;
  if (const std::shared_ptr<TLMDatabase> database = lockedDatabase(&error)) {
    stored = database->queryMeasurementConfigWithError(&error);
  }
  if (!stored && errorWasSet(error)) {
    monitor.logWithLevel(kLevelError, kTLMRemoteConfigCodeLoadFailed,
                         "Cannot retrieve configuration data from database. Error",
                         Object::error(error));
    return std::nullopt;
  }
  if (!stored) {
    monitor.logWithLevel(kLevelDebug, kTLMRemoteConfigCodeNotStored,
                         "Configuration was not found in database. The configuration will be "
                         "fetched from the network when necessary");
  }
  return stored;
}

// ---- Expiry ----

double TLMRemoteConfig::lastRemoteConfigUpdateTimestamp() const {
  if (isDefaultInstance_) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelError, kTLMRemoteConfigCodeTimestampOfDefaultInstance,
        "Cannot fetch the last configuration update timestamp from the default instance");
    return 0.0;
  }
  Error error;
  std::optional<double> timestamp;
  if (const std::shared_ptr<TLMDatabase> database = lockedDatabase(&error)) {
    timestamp = database->lastRemoteConfigUpdateTimestamp(&error);
  }
  if (!timestamp && errorWasSet(error)) {
    TLMMeasurement::monitor().logWithLevel(kLevelWarning, kTLMRemoteConfigCodeTimestampQueryFailed,
                                           "Failed to query last configuration update "
                                           "timestamp. Error",
                                           Object::error(error));
  }
  return timestamp.value_or(0.0);
}

bool TLMRemoteConfig::isExpired() const {
  if (isDefaultInstance_) {
    TLMMeasurement::monitor().logWithLevel(
        kLevelError, kTLMRemoteConfigCodeExpiryOfDefaultInstance,
        "Cannot fetch the last update timestamp from the default configuration");
    return false;
  }
  const double now = Platform::current().clock().now();
  return std::fabs(now - lastRemoteConfigUpdateTimestamp()) >= remoteConfigCacheTimeInterval();
}
