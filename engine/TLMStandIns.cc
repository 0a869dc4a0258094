#include "engine/TLMStandIns.h"

#include "common/SharedInstance.h"

struct TLMStandInsAccess {
  static std::shared_ptr<TLMStandIns> make() {
    return std::shared_ptr<TLMStandIns>(new TLMStandIns());
  }
};

TLMStandIns& TLMStandIns::current() {
  static SharedInstance<TLMStandIns> instance;
  return *instance.get([] { return TLMStandInsAccess::make(); });
}

TLMStandIns::TLMStandIns() {
  logEventOnWorkerQueue = [](const TLMLogEventCall&) {};
  setDefaultEventParameters = [](const OptionalObject&) {};

  wipeoutAnalyticsDataAndResetComponents = [] { return true; };
  setUserAttributeOnWorkerQueue = [](const TLMUserAttributePtr&) {};
  removeUserAttributeOnWorkerQueue = [](const TLMUserAttributePtr&) {};
  userProperties = [](bool) { return ObjectDictionary(); };

  createAudience = [] { return true; };

  backfillSessionNumber = [] {};
  createSessionReporter = [] {};
  setSessionReportingEnabled = [](bool) {};
  setSessionTimeoutInterval = [](double) {};

  reportFirstOpenOnWorkerQueue = [] {};
  reportAppUpdateOnWorkerQueue = [] {};
  reportOSUpdateOnWorkerQueue = [] {};

  reportStoredCampaignEventOnWorkerQueue = [] {};
  shouldAllowRequestDeferredDeepLink = [] { return false; };
  requestDeferredDeepLink = [] {};
  dropStaleStoredDeepLink = [] {};
  handleNonFirstOpenEventURL = [](const std::string&, double) {};
  deepLinkFromUserActivity =
      [](const std::shared_ptr<const UserActivity>&) -> std::optional<std::string> {
    return std::nullopt;
  };
  handleStoredURLAfterAppLaunch = [](const Object&) {};

  createScreenViewReporter = [] {};
  trackScreenWithParameters = [](const OptionalObject&, double) {};
  screenParameters = []() -> OptionalObject { return std::nullopt; };
  setScreenName = [](const OptionalObject&, const OptionalObject&) {};
  isAutomaticScreenReportingEnabled = [] { return false; };

  createAndStartSearchAdReporter = [] {};
  setSearchAdReportingEnabled = [](bool) {};

  updateSchedule = [] {};
  uploadData = [] {};

  paymentQueueUpdatedFilteredTransactions = [](const PaymentTransactions&) {};
}
