// The internal facade: the single door between callers on any thread and
// the measurement engine.
//
// It checks what can be checked cheaply on the caller's thread, stamps
// events with their time and puts everything else, in call order, on one
// serial queue ("TLMAnalyticsQueue", targeting the background global
// queue). Calls made before start wait in a suspended operation queue
// ("TLMAnalyticsOperationQueue") whose operations each re-dispatch their
// block to the serial queue; start resumes it once the engine exists.
//
// State is process-wide. The serial queue is the only place where facade
// state other than the load timestamp (under its own lock) and the
// settings store is touched; the flags the start block writes are set
// before concurrent use. Callbacks to the app run on the queue it names,
// never on the serial queue.
//
// Consent persists in the facade's settings domain "TLMAnalyticsSuiteName";
// the effective settings live in TLMConsentSettingsUtil.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ferrolux/Object.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/PaymentQueue.h"

class DispatchQueue;
class TLMEvent;
class TLMUserDefaults;
class UserActivity;

// Monitor codes of the consent entry.
inline constexpr long kTLMConsentCodeEmptySettings = 25041;
inline constexpr long kTLMConsentCodeInvalidValue = 25042;
inline constexpr long kTLMConsentCodeLowerPriority = 25043;

inline constexpr char kTLMAnalyticsQueueLabel[] = "TLMAnalyticsQueue";
inline constexpr char kTLMAnalyticsOperationQueueLabel[] = "TLMAnalyticsOperationQueue";
inline constexpr char kTLMAnalyticsTimestampQueueLabel[] = "TLMAnalyticsTimestampQueue";

// Origins.
inline constexpr char kTLMOriginApp[] = "app";
inline constexpr char kTLMOriginAuto[] = "auto";
inline constexpr char kTLMOriginQA[] = "qa";
inline constexpr char kTLMOriginVM[] = "vm";

// Start option keys.
inline constexpr char kTLMStartOptionConfiguration[] = "QUILLFEN_ANALYTICS_CONFIGURATION";
inline constexpr char kTLMStartOptionCollectionDeactivated[] =
    "QUILLFEN_ANALYTICS_COLLECTION_DEACTIVATED";
inline constexpr char kTLMStartOptionCollectionEnabled[] = "QUILLFEN_ANALYTICS_COLLECTION_ENABLED";
inline constexpr char kTLMStartOptionLogTag[] = "ferrolux_log_tag";
inline constexpr char kTLMStartOptionSafelistedEvents[] = "safelisted_events";

// Notifications.
inline constexpr char kQLFAnalyticsWillStartNotification[] = "kQLFAnalyticsWillStartNotification";
inline constexpr char kQLFAnalyticsConfigurationSetEnabledNotification[] =
    "QLFAnalyticsConfigurationSetEnabledNotification";

// The facade's shared instance: the receiver of the interop methods and
// the payment-queue observer. Created once, never destroyed.
class TLMAnalyticsInterop final : public QLFAnalyticsInterop, public PaymentTransactionObserver {
 public:
  // Origin "vm" only: a string "_aeid" that passes the decimal-string
  // check becomes its 64-bit integer; one that fails logs 25024 and stays.
  // Then TLMAnalytics::logInternalEventWithOrigin.
  void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                  const OptionalObject& parameters) override;
  // TLMAnalytics::setInternalUserProperty.
  void setInternalUserProperty(const OptionalObject& value, const std::string& name,
                               const std::string& origin) override;
  // Checks the arguments (25009, 25010, 25011), then an operation asks the
  // engine and delivers the answer on `queue`.
  void maxUserPropertiesForOrigin(const std::string& origin, std::shared_ptr<DispatchQueue> queue,
                                  QLFMaxUserPropertiesCallback callback) override;
  // TLMAnalytics::paymentQueueUpdatedTransactions.
  void paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                       const PaymentTransactions& transactions) override;
};

class TLMAnalytics {
 public:
  TLMAnalytics() = delete;

  // The library load step's part: sets the load timestamp to now.
  static void load();
  // The shared instance (interop, payment observer).
  static std::shared_ptr<TLMAnalyticsInterop> sharedInstance();
  // The OS major version is 8 or later; read once and cached.
  static bool isOSSupported();

  // ---- Queue primitives ----
  static std::shared_ptr<DispatchQueue> queue();
  // No OS test.
  static void dispatchAsyncOnSerialQueue(std::function<void()> block);
  // The block runs on the serial queue after start, in call order.
  static void queueOperationWithBlock(std::function<void()> block);
  // No OS test.
  static void unsuspendOperationQueue();
  // The current queue's label is "TLMAnalyticsQueue".
  static bool isCurrentQueueSerialQueue();
  static double loadTimestamp();
  static void setLoadTimestamp(double timestamp);

  // ---- Settings (the facade's domain) ----
  static std::shared_ptr<TLMUserDefaults> settings();
  static long resetRetryCount();
  // A value below 1 removes the key.
  static void setResetRetryCount(long count);
  static bool needFirstOpenAfterReset();
  static void setNeedFirstOpenAfterReset(bool value);
  static void removeNeedFirstOpenAfterReset();
  static std::optional<std::string> appInstanceIDAfterReset();
  // None removes the key.
  static void setAppInstanceIDAfterReset(const std::optional<std::string>& appInstanceID);
  static OptionalObject deferredAnalyticsCollection();
  // None removes the key.
  static void setDeferredAnalyticsCollection(const OptionalObject& value);

  // ---- Start ----
  static void startWithAppID(const std::string& appID, const std::string& origin,
                             const OptionalObject& options);
  // Observes "QLFAnalyticsConfigurationSetEnabledNotification" from
  // `configuration` (none: stops observing).
  static void observeNotificationsForAnalyticsConfiguration(const OptionalObject& configuration);
  static void maybeEnableWklManager();
  // Once per process, on the main queue.
  static void createAppDelegateProxy();
  // Whether the facade thinks measurement is enabled. Serial queue.
  static bool isEnabled();

  // ---- Events ----
  static void logEventWithName(const std::string& name, const OptionalObject& parameters);
  static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                 const OptionalObject& parameters);
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const OptionalObject& parameters);
  static void logEventWithOriginIsPublicEvent(const std::string& origin, bool isPublicEvent,
                                              const std::string& name,
                                              const OptionalObject& parameters);
  static void logInternalEventWithOriginTimestamp(const std::string& origin,
                                                  const std::string& name, double timestamp,
                                                  const OptionalObject& parameters);
  static void logEventWithOriginIsPublicEventTimestamp(const std::string& origin,
                                                       bool isPublicEvent, const std::string& name,
                                                       const OptionalObject& parameters,
                                                       double timestamp, bool ignoreEnabled,
                                                       bool ignoreInterceptor);
  // Serial queue.
  static void logEventOnSerialQueueWithOrigin(const std::string& origin, bool isPublicEvent,
                                              const std::string& name,
                                              const OptionalObject& parameters, double timestamp,
                                              bool ignoreEnabled, bool ignoreInterceptor,
                                              const OptionalObject& addedScreenParameters);

  // ---- User properties and user ID ----
  static void setUserPropertyString(const OptionalObject& value, const std::string& name);
  static void setInternalUserProperty(const OptionalObject& value, const std::string& name,
                                      const std::string& origin);
  static void setUserID(const OptionalObject& userID);
  static void setUserAttributeNumber(const OptionalObject& value, const std::string& name);
  static void removeUserAttributeForName(const std::string& name);
  static void removeInternalUserAttributeForName(const std::string& name);
  static void userPropertiesIncludingInternal(bool includingInternal,
                                              std::shared_ptr<DispatchQueue> queue,
                                              QLFUserPropertiesCallback callback);

  // ---- Collection, sessions, identity, reset ----
  static void setAnalyticsEnabled(bool enabled);
  static void setAnalyticsEnabled(bool enabled, bool persistSetting);
  static void setSessionTimeoutInterval(double seconds);
  // Main thread only (25025 elsewhere).
  static void setScreenName(const OptionalObject& screenName, const OptionalObject& screenClass);
  static std::optional<std::string> appInstanceID();
  static void resetAnalyticsData();
  static void setDefaultEventParameters(const OptionalObject& parameters);

  // ---- Interceptor, listeners, URLs, activities ----
  static void setLogEventInterceptor(QLFLogEventInterceptor interceptor);
  static std::optional<QLFLogEventListenerToken> addLogEventListener(QLFLogEventListener listener);
  static void removeLogEventListener(std::optional<QLFLogEventListenerToken> token);
  static void notifyEventListeners(const std::shared_ptr<TLMEvent>& event);
  // Serial queue: every listener, in token order.
  static void notifyEventListenersOnSerialQueue(const std::shared_ptr<TLMEvent>& event);
  static void setOpenURLListener(QLFOpenURLListener listener);
  static void handleOpenURL(const std::string& url);
  static void handleUserActivity(std::shared_ptr<const UserActivity> userActivity);
  static void handleEventsForBackgroundURLSession(const std::string& identifier,
                                                  std::function<void()> completionHandler);

  // ---- Purchases ----
  // Registers the shared instance as the payment queue's observer (start).
  static void registerPaymentQueueObserver();
  static void paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                              const PaymentTransactions& transactions);

  // ---- Consent ----
  // setConsentForKey with "consent_settings".
  static void setConsent(const Object& consent);
  // Takes the valid "ad_storage" / "analytics_storage" entries of `consent`
  // when the key's source (10 for "consent_settings_3p", else 30) may
  // replace the current one; merges and persists them, and wipes (or
  // defers wiping) the analytics data when a granted storage is withdrawn.
  // Refusals are reported (25041, 25042, 25043) and change nothing.
  static void setConsentForKey(const Object& consent, const std::string& key);

  // Makes the persisted consent current. Nothing when none is stored.
  static void loadPersistedConsentSettings();
  // Settings of sources up to 20 go under "consent_settings_3p", others
  // under "consent_settings"; the source under "consent_source".
  static void persistConsentSettings(const OptionalObject& consentSettings, long source);
  // 100 when nothing is stored.
  static long persistedConsentSource();
  // The stored dictionaries; none when absent or not a dictionary.
  static OptionalObject consentSettings3P();
  static OptionalObject consentSettings1P();
  static OptionalObject consentSettings1PStart();
  static bool deferredResetOnDeniedConsent();
  static void removeStartUpConsentSettings();
  static void removeDeferredResetOnDeniedConsent();
  // Forgets every stored consent and the current settings (source 100).
  static void clearConsent();
};
