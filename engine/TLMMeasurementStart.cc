// Enabling, disabling and starting the engine: the component build with
// its wipe decision. Everything here runs on the worker queue unless said.
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "api/TLMAnalytics.h"
#include "api/TLMConsentStartup.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMFilePaths.h"
#include "config/TLMIdentifiers.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "engine/TLMAEU.h"
#include "engine/TLMAlarm.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMScheduler.h"
#include "engine/TLMStandIns.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelFatal = 0;
constexpr int kLevelFailure = 1;
constexpr int kLevelWarning = 4;
constexpr int kLevelNotice = 5;
constexpr int kLevelInfo = 6;
constexpr int kLevelDebug = 7;

constexpr char kScreenReportingFlag[] = "QuillfenAutomaticScreenReportingEnabled";

bool has(const std::optional<std::string>& value) { return value && !value->empty(); }

}  // namespace

void TLMMeasurement::scheduleWeakly(std::string_view blockID,
                                    std::function<void(TLMMeasurement&)> block) {
  if (scheduler_ == nullptr) return;
  std::weak_ptr<TLMMeasurement> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(blockID, [weak, block = std::move(block)] {
    if (const std::shared_ptr<TLMMeasurement> engine = weak.lock()) block(*engine);
  });
}

bool TLMMeasurement::didInitializeComponents() const {
  std::lock_guard<std::mutex> lock(initializeComponentsLock_);
  return didInitializeComponents_;
}

// ---- Enable and disable ----

bool TLMMeasurement::shouldEnableMeasurement() const {
  if (isAnalyticsCollectionDeactivated_) return false;
  switch (persistedConfig_->measurementEnabledState()) {
    case 1:
      return true;
    case 2:
      return false;
    default:
      return isAnalyticsCollectionEnabled_;
  }
}

void TLMMeasurement::setEnabled(bool enabled) {
  scheduleWeakly("TLMMeasurement:564",
                 [enabled](TLMMeasurement& engine) { engine.setEnabledOnWorkerQueue(enabled); });
}

void TLMMeasurement::setEnabledOnWorkerQueue(bool enabled) {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("setIsEnabledOnWorkerQueue");
  if (isAnalyticsCollectionDeactivated_ && enabled) {
    report(kLevelInfo, kTLMMeasurementCodeCollectionDeactivated,
           "Analytics collection deactivated");
    return;
  }
  // The first explicit choice stays.
  if (!isAnalyticsCollectionDeactivated_ && !TLMAnalytics::deferredAnalyticsCollection()) {
    TLMAnalytics::setDeferredAnalyticsCollection(Object::integer(enabled ? 0 : 1));
  }
  enabled_.store(enabled);
  TLMStandIns& standIns = TLMStandIns::current();

  if (enabled) {
    if (!startMeasurementOnWorkerQueue()) {
      report(kLevelFatal, kTLMMeasurementCodeStartFailed,
             "Failed to start Analytics. Analytics is disabled");
      // Refuse events at once rather than only when the scheduled disable
      // runs: there is no database to write them to.
      enabled_.store(false);
      setEnabled(false);
      return;
    }
    standIns.setSessionReportingEnabled(true);
    standIns.setSearchAdReportingEnabled(true);
    report(kLevelInfo, kTLMMeasurementCodeEnabled, "Analytics collection enabled");
    if (standIns.isAutomaticScreenReportingEnabled() &&
        Platform::current().capabilities().classExists(kTLMPublicAnalyticsClass)) {
      report(kLevelInfo, kTLMMeasurementCodeScreenReportingEnabled,
             std::string("Analytics screen reporting is enabled. Call +[QLFAnalytics "
                         "logEventWithName:QLFEventScreenView parameters:] to log a screen view "
                         "event. To disable automatic screen reporting, set the flag ") +
                 kScreenReportingFlag + " to NO (boolean) in the Info.plist");
    }
    return;
  }

  standIns.dropStaleStoredDeepLink();
  if (alarm_ != nullptr) alarm_->cancel();
  standIns.setSessionReportingEnabled(false);
  standIns.setSearchAdReportingEnabled(false);
  report(kLevelInfo, kTLMMeasurementCodeDisabled, "Analytics collection disabled");
}

// ---- Start ----

bool TLMMeasurement::startMeasurementOnWorkerQueue() {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("startMeasurementOnWorkerQueue");
  if (!TLMAEU::isOSSupported()) return false;
  {
    std::lock_guard<std::mutex> lock(initializeComponentsLock_);
    if (!didInitializeComponents_) {
      if (!initializeComponentsOnWorkerQueue()) return false;
      didInitializeComponents_ = true;
    }
  }
  setPersonalizedAdsUserPropertyOnWorkerQueue();
  TLMStandIns& standIns = TLMStandIns::current();
  if (TLMAnalytics::needFirstOpenAfterReset()) {
    standIns.reportFirstOpenOnWorkerQueue();
    TLMAnalytics::removeNeedFirstOpenAfterReset();
  }
  updateSchedule();
  return true;
}

bool TLMMeasurement::initializeComponentsOnWorkerQueue() {
  identity_ = TLMIdentity::sharedInstance();
  if (identity_ == nullptr) return false;
  publishComponents();

  const bool resetOwed = TLMConsentStartup::applyStartUpConsent();
  wipeIfOwedOnWorkerQueue(resetOwed);

  identity_->updateIdentifiers();
  const std::optional<std::string> appInstanceIDAfterReset =
      TLMAnalytics::appInstanceIDAfterReset();
  if (has(appInstanceIDAfterReset)) {
    identity_->setAppInstanceID(appInstanceIDAfterReset);
    TLMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  }
  persistAppIDsOnWorkerQueue();

  if (!openDatabaseOnWorkerQueue()) return false;

  TLMRemoteConfigHooks flagHooks;
  flagHooks.identifiersOrigin = [] {
    return TLMIdentifiers::sharedInstance()->origin().value_or("");
  };
  std::weak_ptr<TLMMeasurement> weak = weak_from_this();
  flagHooks.isMeasurementEnabled = [weak] {
    const std::shared_ptr<TLMMeasurement> engine = weak.lock();
    return engine != nullptr && engine->isEnabled();
  };
  remoteConfig_ =
      TLMRemoteConfig::initWithAppID(appID_, database_, experimentManager_, std::move(flagHooks));
  TLMStandIns& standIns = TLMStandIns::current();
  if (remoteConfig_ == nullptr || !standIns.createAudience()) {
    // Nothing half-built stays behind: the next start builds again.
    remoteConfig_ = nullptr;
    database_ = nullptr;
    return false;
  }
  database_->setRemoteConfig(remoteConfig_);
  publishComponents();
  TLMConsentSettingsUtil::setRemoteConfig(remoteConfig_);

  excludeDataFolderFromBackup();

  report(kLevelDebug, kTLMMeasurementCodeReady, "Analytics is ready to receive events");
  monitor().setEncodeContexts(identity_->isFromAppStore());

  Error error;
  if (!database_->maybeDeleteStaleData(&error)) {
    report(kLevelNotice, kTLMMeasurementCodeStaleDataFailed, "Unable to delete stale data. Error",
           {Object::error(error)});
  }

  setPersonalizedAdsUserPropertyOnWorkerQueue();
  standIns.backfillSessionNumber();
  standIns.createSessionReporter();
  standIns.reportFirstOpenOnWorkerQueue();

  if (TLMUserDefaults::standardUserDefaults().objectForKey(kTLMDeepLinkKey)) {
    standIns.reportStoredCampaignEventOnWorkerQueue();
  } else if (standIns.shouldAllowRequestDeferredDeepLink()) {
    standIns.requestDeferredDeepLink();
  }

  standIns.reportAppUpdateOnWorkerQueue();
  standIns.reportOSUpdateOnWorkerQueue();
  standIns.createAndStartSearchAdReporter();

  if (persistedConfig_->quillfenFeatureRollouts() && !isQuillfenRemoteConfigSDKPresent()) {
    persistedConfig_->setQuillfenFeatureRollouts(std::nullopt);
  }

  observeApplicationNotifications();
  return true;
}

void TLMMeasurement::wipeIfOwedOnWorkerQueue(bool resetOwed) {
  const bool wipeDue = shouldWipeDataWithAppID(
      appID_, identity_->appIDFromQVR(), identity_->appIDFromVelmora(),
      persistedConfig_->appIDFromQVR(), persistedConfig_->appIDFromVelmora());
  if (!resetOwed && !wipeDue) return;
  if (resetOwed) TLMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
  // Raised before the attempt, so that a crash during the wipe still
  // counts as a failed attempt.
  TLMAnalytics::setResetRetryCount(TLMAnalytics::resetRetryCount() + 1);
  previousQVRAppID_ = persistedConfig_->appIDFromQVR().value_or("");
  if (!TLMStandIns::current().wipeoutAnalyticsDataAndResetComponents()) {
    report(kLevelWarning, kTLMMeasurementCodeWipeFailed, "Failed to wipe out Analytics data");
    return;
  }
  TLMAnalytics::setResetRetryCount(0);
}

void TLMMeasurement::persistAppIDsOnWorkerQueue() {
  // Only known IDs are copied: an identity that lost one must not erase
  // the record the next wipe decision compares against.
  const std::optional<std::string> appIDFromQVR = identity_->appIDFromQVR();
  if (has(appIDFromQVR) && appIDFromQVR != persistedConfig_->appIDFromQVR()) {
    persistedConfig_->setAppIDFromQVR(appIDFromQVR);
  }
  const std::optional<std::string> appIDFromVelmora = identity_->appIDFromVelmora();
  if (has(appIDFromVelmora) && appIDFromVelmora != persistedConfig_->appIDFromVelmora()) {
    persistedConfig_->setAppIDFromVelmora(appIDFromVelmora);
  }
  const std::optional<std::string> origin = TLMIdentifiers::sharedInstance()->origin();
  if (origin == kTLMOriginQA) {
    persistedConfig_->setAppIDFromQVR(appID_);
  } else if (origin == kTLMOriginVM) {
    persistedConfig_->setAppIDFromVelmora(appID_);
  }
}

bool TLMMeasurement::openDatabaseOnWorkerQueue() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    Error error;
    std::unique_ptr<TLMDatabase> opened =
        TLMDatabase::initWithDatabaseName(databaseName_, persistedConfig_, &error);
    if (opened != nullptr) {
      database_ = std::move(opened);
      return true;
    }
  }
  return false;
}

void TLMMeasurement::excludeDataFolderFromBackup() {
  const std::string databasePath = TLMDatabase::databasePathWithName(databaseName_);
  Error error;
  const std::string folder =
      databasePath.empty() ? "" : std::filesystem::path(databasePath).parent_path().string();
  if (folder.empty()) {
    error.domain = kTLMErrorDomain;
    error.description = "The measurement data folder cannot be resolved";
  } else if (tlm_excludeFileFromBackup(folder, &error)) {
    return;
  }
  report(kLevelNotice, kTLMMeasurementCodeExcludeFromBackupFailed,
         "Failed to exclude directory from backup. Error", {Object::error(error)});
}

bool TLMMeasurement::isQuillfenRemoteConfigSDKPresent() {
  return Platform::current().capabilities().classExists(kTLMRemoteConfigSDKClass);
}

// ---- Wipe decision ----

bool TLMMeasurement::shouldWipeDataWithAppID(
    const std::optional<std::string>& appID, const std::optional<std::string>& appIDFromQVR,
    const std::optional<std::string>& appIDFromVelmora,
    const std::optional<std::string>& persistedAppIDFromQVR,
    const std::optional<std::string>& persistedAppIDFromVelmora) {
  const long retryCount = TLMAnalytics::resetRetryCount();
  if (retryCount >= 1 && retryCount <= kTLMMaxForcedWipeRetryCount) return true;

  const bool hasA = has(appID);
  const bool hasQ = has(appIDFromQVR);
  const bool hasV = has(appIDFromVelmora);
  const bool hasPQ = has(persistedAppIDFromQVR);
  const bool hasPV = has(persistedAppIDFromVelmora);

  if (hasPQ && hasQ) return *persistedAppIDFromQVR != *appIDFromQVR;
  if (!hasPQ && hasPV && !hasV && hasQ) return true;
  if (!hasPQ && hasPV && hasV && hasQ && *persistedAppIDFromVelmora != *appIDFromVelmora) {
    return true;
  }
  if (!hasPV && !hasQ && hasPQ && hasV && hasA) return true;
  if (hasQ || !hasPV) return false;
  if (!hasA) return false;
  if (*appID == *persistedAppIDFromVelmora) return false;
  return true;
}
