// The public analytics interface: log events, set user properties and the
// user ID, control collection and consent, read the app instance ID.
//
// Threading: every method may be called from any thread and returns at
// once; only appInstanceID() reads identity storage synchronously. Work is
// queued, in call order, behind the library's start: calls made before the
// platform core is configured (QLFApp::configure) are held and run once
// the library has started. Callbacks run on the queue the caller names, or
// on a global queue where none is named; never on the caller's thread.
//
// Ownership: the class holds no state. Blocks passed in are copied and
// kept by the library until replaced or removed.
//
// Failures are reported through the library's diagnostics monitor and never
// thrown. The one exception is FerroluxLibrary::load() raising
// "QLFAnalyticsVersionMismatch" when the facade and the engine were built
// from different versions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ferrolux/Object.h"

class DispatchQueue;
class TLMEvent;
class UserActivity;
class QLFOptions;

// Called instead of logging a public event when set: origin, name,
// parameters (with the current screen's parameters merged in) and the time
// in seconds since 1970. To log the event after all, call
// logEventWithOriginIsPublicEvent with ignoreInterceptor = true. Called on
// the library's worker queue.
using QLFLogEventInterceptor =
    std::function<void(const std::string& origin, const std::string& name, const Object& parameters,
                       double timestamp)>;
// Called with every event that was logged. Called on the library's serial
// queue.
using QLFLogEventListener = std::function<void(const std::shared_ptr<TLMEvent>& event)>;
// Identifies one added listener. A sequence number; never reused.
using QLFLogEventListenerToken = std::uint64_t;
// Called with each URL the app was opened with. Called on the library's
// serial queue.
using QLFOpenURLListener = std::function<void(const std::string& url)>;
// User properties, name to plain value (string or number).
using QLFUserPropertiesCallback = std::function<void(const ObjectDictionary& properties)>;
using QLFMaxUserPropertiesCallback = std::function<void(long maxUserProperties)>;

// The library's version.
inline constexpr char kQLFAnalyticsVersion[] = "80300000";

// What sibling components call on the shared instance.
class QLFAnalyticsInterop {
 public:
  virtual ~QLFAnalyticsInterop() = default;
  virtual void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                          const OptionalObject& parameters) = 0;
  virtual void setInternalUserProperty(const OptionalObject& value, const std::string& name,
                                       const std::string& origin) = 0;
  virtual void maxUserPropertiesForOrigin(const std::string& origin,
                                          std::shared_ptr<DispatchQueue> queue,
                                          QLFMaxUserPropertiesCallback callback) = 0;
};

class QLFAnalytics {
 public:
  // The object sibling components talk to (the interop methods, each
  // forwarding to the internal facade's shared instance); created on first
  // use, never destroyed.
  static std::shared_ptr<QLFAnalyticsInterop> sharedInstance();

  // ---- Events ----
  // With origin "app". `parameters` is a dictionary of string keys, or nil.
  static void logEventWithName(const std::string& name, const OptionalObject& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const OptionalObject& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const OptionalObject& parameters);
  static void logEventWithOriginIsPublicEvent(const std::string& origin, bool isPublicEvent,
                                              const std::string& name,
                                              const OptionalObject& parameters, double timestamp,
                                              bool ignoreEnabled, bool ignoreInterceptor);

  // ---- User properties and user ID ----
  // A nil value removes the property.
  static void setUserPropertyString(const OptionalObject& value, const std::string& name);
  // A nil user ID removes it.
  static void setUserID(const OptionalObject& userID);

  // ---- Collection, sessions, identity, consent ----
  // Persists the choice.
  static void setAnalyticsCollectionEnabled(bool enabled);
  static void setSessionTimeoutInterval(double seconds);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  // Consent type ("ad_storage", "analytics_storage") to "granted"/"denied".
  static void setConsent(const Object& consent);
  static void setDefaultEventParameters(const OptionalObject& parameters);

  // ---- Interceptor, listeners, URLs ----
  // An empty function removes the interceptor.
  static void setLogEventInterceptor(QLFLogEventInterceptor interceptor);
  // None (and a message) for an empty function.
  static std::optional<QLFLogEventListenerToken> addLogEventListener(QLFLogEventListener listener);
  static void removeLogEventListener(std::optional<QLFLogEventListenerToken> token);
  static void notifyEventListeners(const std::shared_ptr<TLMEvent>& event);
  static void setOpenURLListener(QLFOpenURLListener listener);
  // `callback` runs on `queue`.
  static void userPropertiesIncludingInternal(bool includingInternal,
                                              std::shared_ptr<DispatchQueue> queue,
                                              QLFUserPropertiesCallback callback);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(std::shared_ptr<const UserActivity> userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  std::function<void()> completionHandler);

  // ---- The library's order, for sibling components ----
  static void dispatchAsyncOnSerialQueue(std::function<void()> block);
  static void queueOperationWithBlock(std::function<void()> block);
  static void unsuspendOperationQueue();
  static double loadTimestamp();

  // ---- Platform core ----
  static std::string topLevelVersion();
  // Called by the platform core once the default app is configured.
  // `configuration` may be nil.
  static void startWithConfiguration(const OptionalObject& configuration,
                                     const QLFOptions& options);
  static void updateQuillfenInstallationID();
  static void observeQuillfenInstallationIDChanges();
  static void notCalled();

  QLFAnalytics() = delete;
};

// Logs the unbridgeable-value error (25040). A developer sets a breakpoint
// here to find where such a value was logged.
extern "C" void __QLFANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__(void);
