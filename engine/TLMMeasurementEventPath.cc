// The event path: what happens to an event on the worker queue before it
// is written: the enabled gate, the safelist, background sessions,
// subscription de-duplication, conditional user properties and feature-
// rollout de-duplication; then the write step and the upload schedule.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMValue.h"
#include "storage/TLMDatabase.h"

namespace {

constexpr long kCodeNilEvent = 23048;
constexpr long kCodeDisabled = 23049;
constexpr long kCodeConditionalUserPropertyFailed = 23050;
constexpr long kCodeNotSafelisted = 23174;
constexpr long kCodeSessionIDNotRemoved = 23177;
constexpr long kCodeSessionNumberNotRemoved = 23178;
constexpr long kCodeReservedExtendSession = 23179;
constexpr long kCodeSubscriptionNotSaved = 23181;
constexpr long kCodeSubscriptionDuplicate = 23182;
constexpr long kCodeSubscriptionsNotTrimmed = 23183;
constexpr long kCodeSubscriptionsTrimmed = 23184;
constexpr long kCodeRolloutsNotString = 23190;
constexpr long kCodeRolloutsDuplicate = 23191;
constexpr long kCodeSessionEngagementNotRemoved = 23192;

constexpr char kParamSafelisted[] = "tx_safelisted";
constexpr char kParamExtendSession[] = "extend_session";
constexpr char kParamSubscription[] = "subscription";
constexpr char kParamSubscriptionID[] = "_did";
constexpr char kParamProductID[] = "product_id";
constexpr char kParamFeatureRollouts[] = "_ffr";

constexpr char kEventError[] = "_err";
constexpr char kEventAppStoreSubscriptionConvert[] = "_assc";
constexpr char kEventAppStoreSubscriptionRenew[] = "_assr";
constexpr char kEventInAppPurchase[] = "_iap";
constexpr char kEventSessionStartWithRollouts[] = "_ssr";
constexpr char kEventUserEngagement[] = "_ae";

constexpr char kUserAttributeSessionID[] = "_sid";
constexpr char kUserAttributeSessionNumber[] = "_sno";
constexpr char kUserAttributeSessionEngagement[] = "_se";

bool isIntegerOne(const TLMValuePtr& value) {
  return value != nullptr && value->isInt64() && value->int64Value() == 1;
}

// The value's content for log contexts; NSNull when absent.
Object contextOf(const TLMValuePtr& value) { return value != nullptr ? value->value() : Object(); }

bool isSubscriptionEvent(const TLMEvent& event) {
  if (event.name() == kEventAppStoreSubscriptionConvert ||
      event.name() == kEventAppStoreSubscriptionRenew) {
    return true;
  }
  return event.name() == kEventInAppPurchase &&
         isIntegerOne(event.parameterValue(kParamSubscription));
}

// A string that is there and not empty.
std::optional<std::string> nonEmpty(const std::optional<std::string>& value) {
  if (!value || value->empty()) return std::nullopt;
  return value;
}

}  // namespace

void TLMMeasurement::logEventOnWorkerQueue(const TLMEventPtr& event, bool notifyEventListeners) {
  if (event == nullptr) return;
  if (!notifyEventListeners) {
    handleEventOnWorkerQueue(event);
    return;
  }
  // Listeners see the event as it was logged, not as the path changed it.
  TLMEventPtr logged = event->copy();
  handleEventOnWorkerQueue(event);
  TLMAnalytics::notifyEventListeners(logged != nullptr ? logged : event);
}

void TLMMeasurement::logEvent(const TLMEventPtr& event) {
  if (event == nullptr) {
    report(4, kCodeNilEvent, "Attempted to log nil event");
    return;
  }
  scheduleWeakly("TLMMeasurement:2276",
                 [event](TLMMeasurement& engine) { engine.handleEventOnWorkerQueue(event); });
}

void TLMMeasurement::handleInternalEventOnWorkerQueue(const TLMEventPtr& event) {
  if (event == nullptr) return;
  if (event->name() != kEventError && persistedConfig_ != nullptr) {
    const OptionalObject defaults = persistedConfig_->defaultEventParameters();
    if (defaults && defaults->asDictionary() != nullptr) {
      event->applyParameters(*defaults->asDictionary());
    }
  }
  handleEventOnWorkerQueue(event);
  TLMAnalytics::notifyEventListeners(event);
}

void TLMMeasurement::handleEventOnWorkerQueue(const TLMEventPtr& loggedEvent) {
  if (loggedEvent == nullptr) return;
  if (!isEnabled()) {
    report(7, kCodeDisabled, "Analytics is disabled. Event not logged");
    return;
  }
  TLMEventPtr event = loggedEvent;

  // Safelisting: with a safelist, only its names get through, marked.
  if (safelistedEvents_ && !safelistedEvents_->empty()) {
    const std::vector<std::string>& safelist = *safelistedEvents_;
    if (std::find(safelist.begin(), safelist.end(), event->name()) == safelist.end()) {
      report(3, kCodeNotSafelisted, "Event dropped. Reason: not in allowlist. Event name, origin",
             {Object(TLMNames::debugDisplayEventName(event->name())), Object(event->origin())});
      return;
    }
    if (TLMEventPtr marked = event->copy()) event = std::move(marked);
    event->setParameterValue(kParamSafelisted, TLMValue::initWithInt64(1));
  }

  TLMStandIns& standIns = TLMStandIns::current();

  // Background sessions: the foreground session reporter does not see
  // events logged while the app is in the background.
  if (!standIns.isAppActive()) {
    const double timestamp = event->timestamp();
    if (event->hasParameter(kParamExtendSession)) {
      if (isIntegerOne(event->parameterValue(kParamExtendSession))) {
        if (standIns.isSessionExpired(timestamp)) {
          standIns.reportSessionStartOnWorkerQueue(timestamp, /*appInBackground=*/true);
        } else {
          standIns.extendSession(timestamp);
        }
      } else {
        report(3, kCodeReservedExtendSession,
               "extend_session is a reserved parameter. To extend or start a session in the "
               "background, set an event parameter {@'extend_session': @1}");
      }
    }
    if (standIns.isSessionExpired(timestamp) && database_ != nullptr) {
      struct Removal {
        const char* name;
        long code;
        const char* message;
      };
      static constexpr Removal kRemovals[] = {
          {kUserAttributeSessionID, kCodeSessionIDNotRemoved,
           "Failed to remove session ID user property on session expiration. Error"},
          {kUserAttributeSessionNumber, kCodeSessionNumberNotRemoved,
           "Failed to remove session number user property on session expiration. Error"},
          {kUserAttributeSessionEngagement, kCodeSessionEngagementNotRemoved,
           "Failed to remove session user engagement user property on session expiration. "
           "Error"},
      };
      // One transaction: all three go or none does.
      (void)writeInCommitRun([this] {
        for (const Removal& removal : kRemovals) {
          Error error;
          if (!database_->deleteUserAttributeWithName(removal.name, &error)) {
            report(2, removal.code, removal.message, {Object::error(error)});
            return false;
          }
        }
        return true;
      });
    }
  }

  // Subscription de-duplication: the store reports renewals more than once.
  if (isSubscriptionEvent(*event) && database_ != nullptr) {
    const TLMValuePtr subscriptionID = event->parameterValue(kParamSubscriptionID);
    if (subscriptionID != nullptr && subscriptionID->isInt64()) {
      const Object productID = contextOf(event->parameterValue(kParamProductID));
      Error error;
      const std::optional<bool> inserted = database_->insertIfNotDuplicateSubscriptionID(
          std::to_string(subscriptionID->int64Value()), &error);
      if (!inserted) {
        report(2, kCodeSubscriptionNotSaved, "Failed to save subscription ID. Product ID, error",
               {productID, Object::error(error)});
      } else if (!*inserted) {
        report(4, kCodeSubscriptionDuplicate,
               "Event dropped. Reason: Subscription purchase is a duplicate. Product ID",
               {productID});
        return;
      } else {
        Error trimError;
        const std::optional<std::int64_t> deleted =
            database_->deleteSubscriptionsOverLimit(&trimError);
        if (!deleted) {
          // The subscription ID is already recorded, so dropping the event
          // here would lose it for good: a retry counts as a duplicate.
          // Failing to trim old records only delays the trimming.
          report(5, kCodeSubscriptionsNotTrimmed,
                 "Failed to delete older subscription records. Error", {Object::error(trimError)});
        } else if (*deleted > 0) {
          report(5, kCodeSubscriptionsTrimmed, "Deleted older subscription records beyond limit");
        }
      }
    }
  }

  // Conditional user properties may trigger further events.
  std::optional<std::vector<TLMEventPtr>> triggered =
      standIns.processConditionalUserPropertiesForEvent(event);
  if (!triggered) {
    report(4, kCodeConditionalUserPropertyFailed,
           "Unable to process conditional user property. Event name, origin",
           {Object(TLMNames::debugDisplayEventName(event->name())), Object(event->origin())});
  }

  // Feature rollouts: "_ssr" is only worth storing when the value changed.
  if (event->name() == kEventSessionStartWithRollouts && persistedConfig_ != nullptr) {
    const TLMValuePtr value = event->parameterValue(kParamFeatureRollouts);
    std::optional<std::string> received;
    if (value != nullptr && value->isString()) received = *value->stringValue();
    received = nonEmpty(received);
    const std::optional<std::string> stored = nonEmpty(persistedConfig_->quillfenFeatureRollouts());
    if (received == stored) {
      report(8, kCodeRolloutsDuplicate, "Feature rollouts value is a duplicate, dropping event");
      return;
    }
    if (value != nullptr && !value->isString()) {
      report(2, kCodeRolloutsNotString,
             "Unable to process quillfen feature rollouts, value is not a string.");
    }
    persistedConfig_->setQuillfenFeatureRollouts(received);
  }
  if (event->name() == kEventUserEngagement && persistedConfig_ != nullptr) {
    if (const std::optional<std::string> stored =
            nonEmpty(persistedConfig_->quillfenFeatureRollouts())) {
      event->setParameterValue(kParamFeatureRollouts, TLMValue::fromString(*stored));
    }
  }

  writeEventOnWorkerQueue(event);
  writeSessionStartEventOnWorkerQueue(event);
  if (triggered) {
    for (const TLMEventPtr& triggeredEvent : *triggered) writeEventOnWorkerQueue(triggeredEvent);
  }
  if (hooks_.updateSchedule) hooks_.updateSchedule();
}
