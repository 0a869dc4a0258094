// The public analytics interface: checks that the platform core is
// configured where the calls need it, then forwards to the internal facade.
// Holds no state of its own except the one installation-ID subscription.
#include "ferrolux/QLFAnalytics.h"

#include <memory>
#include <mutex>
#include <utility>

#include "api/QLFAnalyticsSupport.h"
#include "api/QLFAnalyticsUTF8.h"
#include "api/TLMAnalytics.h"
#include "common/SharedInstance.h"
#include "config/TLMIdentity.h"
#include "core/QLFApp.h"
#include "core/QLFCore.h"
#include "core/QLFInstallations.h"
#include "core/QLFOptions.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "platform/CapabilityRegistry.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kSwiftValueClassName[] = "__SwiftValue";
constexpr char kConsentSettings3PKey[] = "consent_settings_3p";
constexpr char kSafelistedEventsOptionKey[] = "ANALYTICS_SAFELISTED_EVENTS";

// Identifies the class's own subscription in the notification centre.
constexpr char kInstallationIDObserver = 0;

constexpr char kEventRefusal[] = "Event not logged.";

bool refuseEvent(const std::string& origin, const std::string& name,
                 const OptionalObject& parameters) {
  return QLFAnalyticsRefuseInvalidUTF8(
      kQLFInvalidUTF8EventCode, kEventRefusal,
      {{"the event name", name}, {"the origin", origin}, {"the parameters", parameters}});
}

bool refuseUserProperty(const OptionalObject& value, const std::string& name,
                        const std::string* origin) {
  static const std::string kNoOrigin;
  return QLFAnalyticsRefuseInvalidUTF8(kQLFInvalidUTF8UserPropertyCode, "User property not set.",
                                       {{"the property name", name},
                                        {"the origin", origin != nullptr ? *origin : kNoOrigin},
                                        {"the value", value}});
}

// Forwards the interop methods to the internal facade's shared instance.
class QLFAnalyticsShared final : public QLFAnalyticsInterop {
 public:
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const OptionalObject& parameters) override {
    if (refuseEvent(origin, name, parameters)) return;
    TLMAnalytics::sharedInstance()->logInternalEventWithOrigin(origin, name, parameters);
  }
  void setInternalUserProperty(const OptionalObject& value, const std::string& name,
                               const std::string& origin) override {
    if (refuseUserProperty(value, name, &origin)) return;
    TLMAnalytics::sharedInstance()->setInternalUserProperty(value, name, origin);
  }
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<DispatchQueue> queue,
                                  QLFMaxUserPropertiesCallback callback) override {
    TLMAnalytics::sharedInstance()->maxUserPropertiesForOrigin(origin, std::move(queue),
                                                               std::move(callback));
  }
};

// Serialises the remove-then-add of the installation-ID subscription, so
// that concurrent calls still leave a single one.
std::mutex& subscriptionMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

}  // namespace

bool QLFAnalyticsContainsClass(const Object& value, const std::string& className) {
  if (value.className() == className) return true;
  if (const ObjectDictionary* dictionary = value.asDictionary()) {
    for (const auto& [key, element] : *dictionary) {
      if (QLFAnalyticsContainsClass(key, className) ||
          QLFAnalyticsContainsClass(element, className)) {
        return true;
      }
    }
    return false;
  }
  if (const ObjectArray* array = value.asArray()) {
    for (const Object& element : *array) {
      if (QLFAnalyticsContainsClass(element, className)) return true;
    }
    return false;
  }
  if (const ObjectSet* set = value.asSet()) {
    for (const Object& element : *set) {
      if (QLFAnalyticsContainsClass(element, className)) return true;
    }
  }
  return false;
}

extern "C" __attribute__((noinline)) void __QLFANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__(void) {
  TLMMeasurement::monitor().logWithLevel(
      3, 25040,
      "Unbridgeable Swift type logged in parameters. Break on "
      "__QLFANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.");
}

std::shared_ptr<QLFAnalyticsInterop> QLFAnalytics::sharedInstance() {
  static SharedInstance<QLFAnalyticsShared> instance;
  return instance.get([] { return std::make_shared<QLFAnalyticsShared>(); });
}

void QLFAnalytics::logEventWithName(const std::string& name, const OptionalObject& parameters) {
  logEventWithOrigin(kTLMOriginApp, name, parameters);
}

void QLFAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const OptionalObject& parameters) {
  if (refuseEvent(origin, name, parameters)) return;
  if (!QLFApp::isDefaultAppConfigured()) {
    TLMMeasurement::monitor().logWithLevel(3, 25018, "Event not logged. Call +[QLFApp configure]",
                                           Object(TLMNames::debugDisplayEventName(name)));
    return;
  }
  if (parameters && Platform::current().capabilities().classExists(kSwiftValueClassName) &&
      QLFAnalyticsContainsClass(*parameters, kSwiftValueClassName)) {
    __QLFANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__();
  }
  TLMAnalytics::logEventWithOrigin(origin, name, parameters);
}

void QLFAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const OptionalObject& parameters) {
  if (refuseEvent(origin, name, parameters)) return;
  TLMAnalytics::logInternalEventWithOrigin(origin, name, parameters);
}

void QLFAnalytics::logEventWithOriginIsPublicEvent(const std::string& origin, bool isPublicEvent,
                                                   const std::string& name,
                                                   const OptionalObject& parameters,
                                                   double timestamp, bool ignoreEnabled,
                                                   bool ignoreInterceptor) {
  if (refuseEvent(origin, name, parameters)) return;
  TLMAnalytics::logEventWithOriginIsPublicEventTimestamp(
      origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor);
}

void QLFAnalytics::setUserPropertyString(const OptionalObject& value, const std::string& name) {
  if (refuseUserProperty(value, name, nullptr)) return;
  if (!QLFApp::isDefaultAppConfigured()) {
    TLMMeasurement::monitor().logWithLevel(3, 25019,
                                           "User property not set. Call +[QLFApp configure]",
                                           Object(TLMNames::debugDisplayUserPropertyName(name)));
    return;
  }
  TLMAnalytics::setUserPropertyString(value, name);
}

void QLFAnalytics::setUserID(const OptionalObject& userID) {
  if (QLFAnalyticsRefuseInvalidUTF8(kQLFInvalidUTF8UserIDCode, "User ID not set.",
                                    {{"the user ID", userID}})) {
    return;
  }
  TLMAnalytics::setUserID(userID);
}

void QLFAnalytics::setAnalyticsCollectionEnabled(bool enabled) {
  TLMAnalytics::setAnalyticsEnabled(enabled, /*persistSetting=*/true);
}

void QLFAnalytics::setSessionTimeoutInterval(double seconds) {
  TLMAnalytics::setSessionTimeoutInterval(seconds);
}

std::optional<std::string> QLFAnalytics::appInstanceID() { return TLMAnalytics::appInstanceID(); }

void QLFAnalytics::resetAnalyticsData() { TLMAnalytics::resetAnalyticsData(); }

void QLFAnalytics::setConsent(const Object& consent) {
  if (QLFAnalyticsRefuseInvalidUTF8(kQLFInvalidUTF8ConsentCode, "Consent not set.",
                                    {{"the consent settings", consent}})) {
    return;
  }
  TLMAnalytics::setConsentForKey(consent, kConsentSettings3PKey);
}

void QLFAnalytics::setDefaultEventParameters(const OptionalObject& parameters) {
  if (QLFAnalyticsRefuseInvalidUTF8(kQLFInvalidUTF8DefaultParametersCode,
                                    "Default event parameters not set.",
                                    {{"the parameters", parameters}})) {
    return;
  }
  TLMAnalytics::setDefaultEventParameters(parameters);
}

void QLFAnalytics::setLogEventInterceptor(QLFLogEventInterceptor interceptor) {
  TLMAnalytics::setLogEventInterceptor(std::move(interceptor));
}

std::optional<QLFLogEventListenerToken> QLFAnalytics::addLogEventListener(
    QLFLogEventListener listener) {
  return TLMAnalytics::addLogEventListener(std::move(listener));
}

void QLFAnalytics::removeLogEventListener(std::optional<QLFLogEventListenerToken> token) {
  TLMAnalytics::removeLogEventListener(token);
}

void QLFAnalytics::notifyEventListeners(const std::shared_ptr<TLMEvent>& event) {
  TLMAnalytics::notifyEventListeners(event);
}

void QLFAnalytics::setOpenURLListener(QLFOpenURLListener listener) {
  TLMAnalytics::setOpenURLListener(std::move(listener));
}

void QLFAnalytics::userPropertiesIncludingInternal(bool includingInternal,
                                                   std::shared_ptr<DispatchQueue> queue,
                                                   QLFUserPropertiesCallback callback) {
  TLMAnalytics::userPropertiesIncludingInternal(includingInternal, std::move(queue),
                                                std::move(callback));
}

void QLFAnalytics::handleOpenURL(const std::string& url) {
  if (QLFAnalyticsRefuseInvalidUTF8(kQLFInvalidUTF8URLCode, "URL not handled.",
                                    {{"the URL", url}})) {
    return;
  }
  TLMAnalytics::handleOpenURL(url);
}

void QLFAnalytics::handleUserActivity(std::shared_ptr<const UserActivity> userActivity) {
  TLMAnalytics::handleUserActivity(std::move(userActivity));
}

void QLFAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  TLMAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completionHandler));
}

void QLFAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
  TLMAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
}

void QLFAnalytics::queueOperationWithBlock(std::function<void()> block) {
  TLMAnalytics::queueOperationWithBlock(std::move(block));
}

void QLFAnalytics::unsuspendOperationQueue() { TLMAnalytics::unsuspendOperationQueue(); }

double QLFAnalytics::loadTimestamp() { return TLMAnalytics::loadTimestamp(); }

std::string QLFAnalytics::topLevelVersion() { return QLFQuillfenVersion(); }

void QLFAnalytics::startWithConfiguration(const OptionalObject& configuration,
                                          const QLFOptions& options) {
  ObjectDictionary startOptions;
  if (configuration) startOptions[Object(kTLMStartOptionConfiguration)] = *configuration;
  startOptions[Object(kTLMStartOptionCollectionDeactivated)] =
      Object::boolean(options.isAnalyticsCollectionDeactivated());
  startOptions[Object(kTLMStartOptionCollectionEnabled)] =
      Object::boolean(options.isAnalyticsCollectionEnabled());
  startOptions[Object(kTLMStartOptionLogTag)] = Object(kQLFLoggerAnalytics);
  const OptionalObject defaults = QLFOptions::defaultOptionsDictionary();
  if (defaults) {
    if (const Object* safelist = defaults->objectForKey(kSafelistedEventsOptionKey)) {
      startOptions[Object(kTLMStartOptionSafelistedEvents)] = *safelist;
    }
  }
  TLMAnalytics::startWithAppID(options.tarvixAppID(), kTLMOriginQA,
                               Object::dictionary(std::move(startOptions)));
  updateQuillfenInstallationID();
  observeQuillfenInstallationIDChanges();
}

void QLFAnalytics::updateQuillfenInstallationID() {
  QLFInstallations::installations()->installationIDWithCompletion(
      [](const std::optional<std::string>& installationID, const std::optional<Error>& error) {
        if (!installationID && error) {
          TLMMeasurement::monitor().logWithLevel(4, 25038, "Failed to get Installation ID.",
                                                 Object::error(*error));
        }
        if (std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance()) {
          identity->setQuillfenInstallationID(installationID);
        }
      });
}

void QLFAnalytics::observeQuillfenInstallationIDChanges() {
  NotificationCenter& center = Platform::current().notificationCenter();
  std::lock_guard<std::mutex> lock(subscriptionMutex());
  center.removeObserver(&kInstallationIDObserver, QLFInstallationIDDidChangeNotification);
  center.addObserver(&kInstallationIDObserver, QLFInstallationIDDidChangeNotification, nullptr,
                     [](const Notification&) { updateQuillfenInstallationID(); });
}

void QLFAnalytics::notCalled() {}
