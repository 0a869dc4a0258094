// Collection on and off, the session timeout, default event parameters,
// the app instance ID and the analytics-data reset.
#include <optional>
#include <string>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMMeasurement.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"

namespace {

// The persisted measurement-enabled states.
constexpr std::int64_t kMeasurementStateEnabled = 1;
constexpr std::int64_t kMeasurementStateDisabled = 2;

constexpr long kCodeResetFailed = 25037;
constexpr long kCodeNoNewAppInstanceID = 25039;

// The engine when it exists; no warning before start.
std::shared_ptr<TLMMeasurement> engineIfStarted() {
  if (!TLMMeasurement::hasSharedInstance()) return nullptr;
  return TLMMeasurement::sharedInstance();
}

// Runs on the serial queue.
void resetEngineData(const std::optional<std::string>& appInstanceID) {
  const std::shared_ptr<TLMMeasurement> engine = engineIfStarted();
  // Without an engine nothing was reset: the bookkeeping stays for the
  // next start, as after a failed reset.
  if (engine == nullptr || !engine->resetAnalyticsDataWithAppInstanceID(appInstanceID)) {
    TLMMeasurement::monitor().logWithLevel(1, kCodeResetFailed, "Failed to reset Analytics data");
    return;
  }
  TLMAnalytics::setResetRetryCount(0);
  // A later reset may have chosen another ID meanwhile; that one stays.
  const std::optional<std::string> pending = TLMAnalytics::appInstanceIDAfterReset();
  if (pending && pending == appInstanceID) TLMAnalytics::setAppInstanceIDAfterReset(std::nullopt);
}

}  // namespace

bool TLMAnalytics::isEnabled() { return TLMAnalyticsState::current().enabled.load(); }

void TLMAnalytics::setAnalyticsEnabled(bool enabled) { setAnalyticsEnabled(enabled, false); }

void TLMAnalytics::setAnalyticsEnabled(bool enabled, bool persistSetting) {
  if (!isOSSupported()) return;
  dispatchAsyncOnSerialQueue([enabled, persistSetting] {
    if (persistSetting) {
      TLMPersistedConfig::sharedInstance()->setMeasurementEnabledState(
          enabled ? kMeasurementStateEnabled : kMeasurementStateDisabled);
    }
    TLMAnalyticsState& state = TLMAnalyticsState::current();
    if (state.collectionDeactivated.load() && enabled) return;
    state.enabled.store(enabled);
    const std::shared_ptr<TLMMeasurement> engine = engineIfStarted();
    if (engine == nullptr) {
      // The start block would overwrite the flag from the engine's own
      // view; remembering the request lets it reach the engine instead.
      state.enabledRequestBeforeStart = enabled;
      return;
    }
    engine->setEnabled(enabled);
  });
}

void TLMAnalytics::setSessionTimeoutInterval(double seconds) {
  if (!isOSSupported()) return;
  dispatchAsyncOnSerialQueue([seconds] {
    if (const auto engine = engineIfStarted()) engine->setSessionTimeoutInterval(seconds);
  });
}

void TLMAnalytics::setDefaultEventParameters(const OptionalObject& parameters) {
  if (!isOSSupported()) return;
  queueOperationWithBlock([parameters] {
    if (!isEnabled()) return;
    if (const auto engine = engineIfStarted()) engine->setDefaultEventParameters(parameters);
  });
}

std::optional<std::string> TLMAnalytics::appInstanceID() {
  if (!isOSSupported()) return std::nullopt;
  if (TLMConsentSettingsUtil::isAnalyticsStorageDenied()) return std::nullopt;
  std::optional<std::string> afterReset = appInstanceIDAfterReset();
  if (afterReset && !afterReset->empty()) return afterReset;
  const std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance();
  if (identity == nullptr) return std::nullopt;
  return identity->appInstanceID();
}

void TLMAnalytics::resetAnalyticsData() {
  if (!isOSSupported()) return;
  setLoadTimestamp(Platform::current().clock().now());
  setResetRetryCount(resetRetryCount() + 1);
  setNeedFirstOpenAfterReset(true);

  std::optional<std::string> appInstanceID = TLMIdentity::randomAppInstanceID();
  if (appInstanceID->empty()) {
    TLMMeasurement::monitor().logWithLevel(1, kCodeNoNewAppInstanceID,
                                           "Cannot generate a new app instance ID");
    return;
  }
  if (TLMConsentSettingsUtil::isAnalyticsStorageDenied()) {
    appInstanceID.reset();
  } else {
    setAppInstanceIDAfterReset(appInstanceID);
  }
  queueOperationWithBlock([appInstanceID] { resetEngineData(appInstanceID); });
}
