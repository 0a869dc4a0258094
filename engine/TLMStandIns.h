// The components that later work builds, and what the library does in
// their place until then. Every entry answers as its component would when
// it has nothing to do; each later piece of work replaces its own entries
// with the real component and removes them from this list.
//
// One process-wide table. Tests may replace entries to observe the calls
// (set them before the library starts; they are read on the queues named
// beside them). TEST_resetSharedInstances() restores the defaults.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/TLMEvent.h"
#include "engine/TLMLogEventCall.h"
#include "engine/TLMUserAttribute.h"
#include "ferrolux/Object.h"
#include "platform/PaymentQueue.h"

class DispatchQueue;
class UserActivity;
class TLMEventAggregates;
class TLMPBUserAttribute;
class TLMPBAudienceLeafFilterResult;

// The audience evaluator's timestamp cache of one evaluation pass, until
// the audience evaluator exists: an opaque object. Each cache has its own
// sequence number, so that a pass's calls can be told from another's.
class TLMAudienceTimestampsCacheStandIn {
 public:
  TLMAudienceTimestampsCacheStandIn();
  std::uint64_t sequenceNumber() const { return sequenceNumber_; }

 private:
  std::uint64_t sequenceNumber_;
};

struct TLMStandIns {
  // The process's table.
  static TLMStandIns& current();

  // ---- Conditional user properties (worker queue) ----
  // The events an event triggers; none means the controller could not
  // process it. Default: no conditional properties, so nothing triggered.
  std::function<std::optional<std::vector<TLMEventPtr>>(const TLMEventPtr& event)>
      processConditionalUserPropertiesForEvent;
  // Sets "_lair" when identity says the advertising ID was reset.
  // Default: nothing.
  std::function<void()> setLastAdvertisingIDResetUserPropertyOnWorkerQueue;

  // ---- User properties (worker queue) ----
  // Default: succeeds with nothing wiped.
  std::function<bool()> wipeoutAnalyticsDataAndResetComponents;
  // Default: nothing is stored / removed.
  std::function<void(const TLMUserAttributePtr& attribute)> setUserAttributeOnWorkerQueue;
  std::function<void(const TLMUserAttributePtr& attribute)> removeUserAttributeOnWorkerQueue;
  // Default: no properties.
  std::function<ObjectDictionary(bool includingInternal)> userProperties;

  // ---- Audience evaluator (worker queue) ----
  // Makes the evaluator; false fails the component build. Default: true.
  std::function<bool()> createAudience;
  // Bundle assembly's calls. A null cache means the evaluation makes its
  // own. Defaults: succeed with no results.
  std::function<bool(const TLMEventPtr& event, const TLMEventAggregates& eventAggregates,
                     TLMAudienceTimestampsCacheStandIn* audienceTimestampsCache)>
      evaluateFiltersForEvent;
  std::function<bool(const TLMPBUserAttribute& userProperty,
                     TLMAudienceTimestampsCacheStandIn* audienceTimestampsCache,
                     double evaluationTime)>
      evaluateFiltersForNanoUserProperty;
  std::function<void()> clearEvaluationResultsForSessionScopedFilters;
  // The results to upload with a bundle; none (filling `error`) when they
  // cannot be read.
  std::function<std::optional<std::vector<TLMPBAudienceLeafFilterResult>>(Error* error)>
      resultsForBundling;

  // ---- Sessions (worker queue) ----
  std::function<void()> backfillSessionNumber;
  std::function<void()> createSessionReporter;
  std::function<void(bool enabled)> setSessionReportingEnabled;
  std::function<void(double seconds)> setSessionTimeoutInterval;
  // The screen reporter's view of the app. Default: the application's
  // state is active.
  std::function<bool()> isAppActive;
  // Default: false (no session to expire).
  std::function<bool(double timestamp)> isSessionExpired;
  std::function<void(double timestamp, bool appInBackground)> reportSessionStartOnWorkerQueue;
  std::function<void(double timestamp)> extendSession;

  // ---- First-open, app-update and OS-update reports (worker queue) ----
  std::function<void()> reportFirstOpenOnWorkerQueue;
  std::function<void()> reportAppUpdateOnWorkerQueue;
  std::function<void()> reportOSUpdateOnWorkerQueue;

  // ---- Deep links ----
  // Worker queue, when a deep link is stored.
  std::function<void()> reportStoredCampaignEventOnWorkerQueue;
  // Worker queue. Default: false.
  std::function<bool()> shouldAllowRequestDeferredDeepLink;
  std::function<void()> requestDeferredDeepLink;
  // Worker queue, on disable: drops a stored link older than the cache TTL.
  std::function<void()> dropStaleStoredDeepLink;
  // Any queue but the worker.
  std::function<void(const std::string& url, double timestamp)> handleNonFirstOpenEventURL;
  // Any thread. Default: none.
  std::function<std::optional<std::string>(const std::shared_ptr<const UserActivity>&)>
      deepLinkFromUserActivity;
  // Main queue, when the app finished launching with launch options.
  std::function<void(const Object& launchOptions)> handleStoredURLAfterAppLaunch;

  // ---- Screen views ----
  // Main queue, when the app finished launching.
  std::function<void()> createScreenViewReporter;
  // Caller's thread: a "screen_view" logged by the app.
  std::function<void(const OptionalObject& parameters, double timestamp)> trackScreenWithParameters;
  // Caller's thread: the current screen's "_si", "_sc", "_sn". Default: none.
  std::function<OptionalObject()> screenParameters;
  // Main thread.
  std::function<void(const OptionalObject& screenName, const OptionalObject& screenClass)>
      setScreenName;
  // Default: false.
  std::function<bool()> isAutomaticScreenReportingEnabled;

  // ---- Search-ads attribution (worker queue) ----
  std::function<void()> createAndStartSearchAdReporter;
  std::function<void(bool enabled)> setSearchAdReportingEnabled;

  // ---- In-app purchase reporter (facade serial queue's callback queue) ----
  // Receives the purchased, de-duplicated transactions.
  std::function<void(const PaymentTransactions& transactions)>
      paymentQueueUpdatedFilteredTransactions;

 private:
  // Fills every entry with its default.
  TLMStandIns();
  friend struct TLMStandInsAccess;
};
