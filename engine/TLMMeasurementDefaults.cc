// The defaults of TLMMeasurementHooks: identity and consent answer through
// their shared objects; the upload schedule is the engine's own; the
// audience evaluator is a stand-in until that work exists
// (docs/stand-ins.md).
#include <memory>
#include <mutex>
#include <optional>

#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"

namespace {

std::mutex testNetworkTimeoutMutex;
std::optional<double> testNetworkTimeout;  // under testNetworkTimeoutMutex

}  // namespace

void TLMMeasurement::TEST_setNetworkTimeout(std::optional<double> seconds) {
  std::lock_guard<std::mutex> lock(testNetworkTimeoutMutex);
  testNetworkTimeout = seconds;
}

void TLMMeasurement::installDefaultHooks(TLMMeasurementHooks& hooks) {
  if (!hooks.networkTimeout) {
    std::lock_guard<std::mutex> lock(testNetworkTimeoutMutex);
    if (testNetworkTimeout)
      hooks.networkTimeout = [seconds = *testNetworkTimeout] { return seconds; };
  }
  if (!hooks.appInstanceID) {
    hooks.appInstanceID = []() -> std::optional<std::string> {
      const std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance();
      if (identity == nullptr) return std::nullopt;
      return identity->appInstanceID();
    };
  }
  if (!hooks.appIDFromQVR) {
    hooks.appIDFromQVR = []() -> std::optional<std::string> {
      const std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance();
      if (identity == nullptr) return std::nullopt;
      return identity->appIDFromQVR();
    };
  }
  if (!hooks.isAnalyticsStorageDenied) {
    hooks.isAnalyticsStorageDenied = [] {
      return TLMConsentSettingsUtil::isAnalyticsStorageDenied();
    };
  }
  if (!hooks.updateAudiences) {
    hooks.updateAudiences = [](const std::vector<TLMPBAudience>&) { return true; };
  }
}

void TLMMeasurement::installUploadHooks() {
  // The hooks live in the engine itself, so holding `this` is safe.
  if (!hooks_.updateSchedule) hooks_.updateSchedule = [this] { updateSchedule(); };
  if (!hooks_.uploadDataOrRegisterAlarm) {
    hooks_.uploadDataOrRegisterAlarm = [this] { uploadDataOrRegisterAlarm(); };
  }
  if (!hooks_.shouldUseBackgroundSession) {
    hooks_.shouldUseBackgroundSession = [this] { return shouldUseBackgroundSession(); };
  }
}
