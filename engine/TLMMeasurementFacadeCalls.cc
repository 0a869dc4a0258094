// The engine methods the facade calls: events, user properties and their
// queries, the data reset, default parameters, the session timeout, links
// and the personalized-ads property. Work on engine state goes to the
// worker queue; components a later piece of work builds are reached
// through TLMStandIns.
#include <memory>
#include <string>
#include <utility>

#include "api/TLMAnalytics.h"
#include "api/TLMConsentStartup.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMScheduler.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMValue.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"

namespace {

constexpr int kLevelFatal = 0;
constexpr int kLevelFailure = 1;
constexpr int kLevelWarning = 3;
constexpr int kLevelCaution = 4;
constexpr int kLevelInfo = 6;
constexpr int kLevelDebug = 7;

constexpr char kPersonalizedAdsProperty[] = "_npa";

std::shared_ptr<DispatchQueue> backgroundQueue() {
  return Platform::current().dispatch().globalQueue(QueuePriority::Background);
}

std::optional<std::int64_t> storedInteger(const TLMUserAttributePtr& attribute) {
  if (attribute == nullptr || attribute->value() == nullptr) return std::nullopt;
  const TLMValuePtr& value = attribute->value();
  if (value->isInt64()) return value->int64Value();
  if (value->isDouble()) return static_cast<std::int64_t>(value->doubleValue());
  return std::nullopt;
}

}  // namespace

void TLMMeasurement::setSessionTimeoutInterval(double seconds) {
  scheduleWeakly("TLMMeasurement:1443", [seconds](TLMMeasurement&) {
    TLMStandIns::current().setSessionTimeoutInterval(seconds);
  });
}

// ---- User properties ----

void TLMMeasurement::setUserAttribute(const TLMUserAttributePtr& attribute) {
  if (attribute == nullptr) {
    report(kLevelWarning, kTLMMeasurementCodeSetNilUserProperty,
           "Attempted to set nil user property");
    return;
  }
  scheduleWeakly("TLMMeasurement:2469", [attribute](TLMMeasurement& engine) {
    engine.setUserAttributeOnWorkerQueue(attribute);
  });
}

void TLMMeasurement::removeUserAttribute(const TLMUserAttributePtr& attribute) {
  if (attribute == nullptr) {
    report(kLevelWarning, kTLMMeasurementCodeRemoveNilUserProperty,
           "Attempted to remove nil user property");
    return;
  }
  scheduleWeakly("TLMMeasurement:2429", [attribute](TLMMeasurement& engine) {
    engine.removeUserAttributeOnWorkerQueue(attribute);
  });
}

void TLMMeasurement::setUserAttributeOnWorkerQueue(const TLMUserAttributePtr& attribute) {
  if (!isEnabled()) {
    report(kLevelDebug, kTLMMeasurementCodeUserPropertyNotSet,
           "Analytics is disabled. User property not set");
    return;
  }
  TLMStandIns::current().setUserAttributeOnWorkerQueue(attribute);
}

void TLMMeasurement::removeUserAttributeOnWorkerQueue(const TLMUserAttributePtr& attribute) {
  if (!isEnabled()) {
    report(kLevelDebug, kTLMMeasurementCodeUserPropertyNotRemoved,
           "Analytics is disabled. User property not removed");
    return;
  }
  TLMStandIns::current().removeUserAttributeOnWorkerQueue(attribute);
}

void TLMMeasurement::userPropertiesIncludingInternal(
    bool includingInternal, std::function<void(const ObjectDictionary&)> callback) {
  if (!callback) {
    report(kLevelFatal, kTLMMeasurementCodeNilUserPropertiesCallback,
           "Unable to retrieve user properties. Callback is nil");
    return;
  }
  scheduleWeakly(
      "TLMMeasurement:2652", [includingInternal, callback = std::move(callback)](TLMMeasurement&) {
        ObjectDictionary properties = TLMStandIns::current().userProperties(includingInternal);
        backgroundQueue()->async(
            [callback, properties = std::move(properties)] { callback(properties); });
      });
}

void TLMMeasurement::maxUserPropertiesForOrigin(const std::string& origin,
                                                std::function<void(long)> callback) {
  if (origin.empty()) {
    report(kLevelFatal, kTLMMeasurementCodeEmptyMaxUserPropertiesOrigin,
           "Origin for querying MaxUserProperties cannot be nil");
    return;
  }
  if (!callback) {
    report(kLevelFatal, kTLMMeasurementCodeNilMaxUserPropertiesCallback,
           "MaxUserProperties callback cannot be nil. Origin", {Object(origin)});
    return;
  }
  backgroundQueue()->async(
      [callback = std::move(callback)] { callback(kTLMMaxUserPropertiesPerOrigin); });
}

// ---- Personalized ads ----

std::optional<std::int64_t> TLMMeasurement::shouldDisableAdPersonalization() {
  return TLMConsentStartup::shouldDisableAdPersonalization(
      persistedConfig_->allowPersonalizedAds());
}

void TLMMeasurement::setPersonalizedAdsUserPropertyOnWorkerQueue() {
  if (database_ == nullptr) return;
  Error error;
  const TLMUserAttributePtr stored =
      database_->userAttributeWithName(kPersonalizedAdsProperty, &error);
  if (stored == nullptr && !error.domain.empty()) {
    report(kLevelFailure, kTLMMeasurementCodeReadPersonalizedAdsFailed,
           "Unable to read personalized ads user property. Error", {Object::error(error)});
    return;
  }
  const std::optional<std::int64_t> desired = shouldDisableAdPersonalization();
  switch (TLMConsentStartup::personalizedAdsActionFor(desired, storedInteger(stored))) {
    case TLMConsentStartup::PersonalizedAdsAction::kNothing:
      return;
    case TLMConsentStartup::PersonalizedAdsAction::kRemove: {
      report(kLevelCaution, kTLMMeasurementCodeRemovingPersonalizedAds,
             "No value set for personalized ads. Removing user property.");
      Error deleteError;
      if (!database_->deleteUserAttributeWithName(kPersonalizedAdsProperty, &deleteError)) {
        report(kLevelFailure, kTLMMeasurementCodeRemovePersonalizedAdsFailed,
               "Unable to remove personalized ads user property in the database. Error",
               {Object::error(deleteError)});
      }
      return;
    }
    case TLMConsentStartup::PersonalizedAdsAction::kSet: {
      const TLMUserAttributePtr attribute = TLMUserAttribute::initWithOrigin(
          kTLMOriginAuto, kPersonalizedAdsProperty, TLMValue::initWithInt64(*desired),
          Platform::current().clock().now());
      if (attribute != nullptr) setUserAttributeOnWorkerQueue(attribute);
      return;
    }
  }
}

// ---- Reset ----

bool TLMMeasurement::resetAnalyticsDataWithAppInstanceID(
    const std::optional<std::string>& appInstanceID) {
  const bool emptyID = !appInstanceID || appInstanceID->empty();
  if (emptyID) {
    if (!TLMConsentSettingsUtil::isAnalyticsStorageDenied()) {
      report(kLevelFailure, kTLMMeasurementCodeEmptyResetAppInstanceID,
             "Cannot reset with an empty app instance ID");
      return false;
    }
    report(kLevelDebug, kTLMMeasurementCodeResetWithEmptyAppInstanceID,
           "Resetting with an empty app instance ID");
  }
  if (scheduler_ == nullptr) return false;
  bool reset = false;
  const bool finished = scheduler_->dispatchSyncOnWorkerQueueBlockID("TLMMeasurement:3053", [&] {
    previousQVRAppID_ = persistedConfig_->appIDFromQVR().value_or("");
    TLMStandIns& standIns = TLMStandIns::current();
    if (!standIns.wipeoutAnalyticsDataAndResetComponents()) return;
    const std::shared_ptr<TLMIdentity> identity =
        identity_ != nullptr ? identity_ : TLMIdentity::sharedInstance();
    if (identity != nullptr) identity->setAppInstanceID(appInstanceID);
    report(kLevelInfo, kTLMMeasurementCodeDataReset, "Analytics data has been reset");
    if (!isAnalyticsCollectionDeactivated_ && !TLMAnalytics::deferredAnalyticsCollection()) {
      TLMAnalytics::setDeferredAnalyticsCollection(Object::integer(isEnabled() ? 0 : 1));
    }
    initTimestamp_ = TLMAnalytics::loadTimestamp();
    persistedConfig_->setLoadTimestampValue(Object::floating(initTimestamp_));
    if (isEnabled()) {
      standIns.reportFirstOpenOnWorkerQueue();
      // Reported now; the next start must not report it a second time.
      TLMAnalytics::removeNeedFirstOpenAfterReset();
    }
    reset = true;
  });
  return finished && reset;
}

// ---- Links ----

void TLMMeasurement::handleNonFirstOpenEventURL(const std::string& url,
                                                double eventTimestampInSeconds) {
  TLMStandIns::current().handleNonFirstOpenEventURL(url, eventTimestampInSeconds);
}

std::optional<std::string> TLMMeasurement::deepLinkFromUserActivity(
    const std::shared_ptr<const UserActivity>& userActivity) {
  return TLMStandIns::current().deepLinkFromUserActivity(userActivity);
}
