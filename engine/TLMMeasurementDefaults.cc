// The defaults of TLMMeasurementHooks: identity and consent answer through
// their shared objects; the upload schedule and the audience evaluator are
// stand-ins until that work exists (engine/TLMStandIns.h,
// docs/stand-ins.md).
#include <memory>

#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"

void TLMMeasurement::installDefaultHooks(TLMMeasurementHooks& hooks) {
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
  if (!hooks.updateSchedule) hooks.updateSchedule = [] { TLMStandIns::current().updateSchedule(); };
  if (!hooks.uploadDataOrRegisterAlarm) hooks.uploadDataOrRegisterAlarm = [] {};
  if (!hooks.shouldUseBackgroundSession) hooks.shouldUseBackgroundSession = [] { return false; };
}
