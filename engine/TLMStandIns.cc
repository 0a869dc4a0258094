#include "engine/TLMStandIns.h"

#include <atomic>

#include "common/SharedInstance.h"
#include "platform/Application.h"
#include "platform/Platform.h"
#include "upload/TLMPBUploadMessages.h"

struct TLMStandInsAccess {
  static std::shared_ptr<TLMStandIns> make() {
    return std::shared_ptr<TLMStandIns>(new TLMStandIns());
  }
};

TLMAudienceTimestampsCacheStandIn::TLMAudienceTimestampsCacheStandIn() {
  static std::atomic<std::uint64_t> next{1};
  sequenceNumber_ = next.fetch_add(1);
}

TLMStandIns& TLMStandIns::current() {
  static SharedInstance<TLMStandIns> instance;
  return *instance.get([] { return TLMStandInsAccess::make(); });
}

TLMStandIns::TLMStandIns() {
  processConditionalUserPropertiesForEvent =
      [](const TLMEventPtr&) -> std::optional<std::vector<TLMEventPtr>> {
    return std::vector<TLMEventPtr>();
  };
  setLastAdvertisingIDResetUserPropertyOnWorkerQueue = [] {};

  wipeoutAnalyticsDataAndResetComponents = [] { return true; };
  setUserAttributeOnWorkerQueue = [](const TLMUserAttributePtr&) {};
  removeUserAttributeOnWorkerQueue = [](const TLMUserAttributePtr&) {};
  userProperties = [](bool) { return ObjectDictionary(); };

  createAudience = [] { return true; };
  evaluateFiltersForEvent = [](const TLMEventPtr&, const TLMEventAggregates&,
                               TLMAudienceTimestampsCacheStandIn*) { return true; };
  evaluateFiltersForNanoUserProperty =
      [](const TLMPBUserAttribute&, TLMAudienceTimestampsCacheStandIn*, double) { return true; };
  clearEvaluationResultsForSessionScopedFilters = [] {};
  resultsForBundling = [](Error*) -> std::optional<std::vector<TLMPBAudienceLeafFilterResult>> {
    return std::vector<TLMPBAudienceLeafFilterResult>();
  };

  backfillSessionNumber = [] {};
  createSessionReporter = [] {};
  setSessionReportingEnabled = [](bool) {};
  setSessionTimeoutInterval = [](double) {};
  isAppActive = [] {
    return Platform::current().application().applicationState() == ApplicationState::Active;
  };
  isSessionExpired = [](double) { return false; };
  reportSessionStartOnWorkerQueue = [](double, bool) {};
  extendSession = [](double) {};

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

  paymentQueueUpdatedFilteredTransactions = [](const PaymentTransactions&) {};
}
