// Start: the checks every call makes, then the start block, once per
// process, which creates the engine on the serial queue and resumes the
// operation queue behind it.
#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "api/TLMConsentWipeSeam.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentifiers.h"
#include "config/TLMIdentity.h"
#include "config/TLMInfoPlistFileUtil.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMErrorEventSeam.h"
#include "engine/TLMMeasurement.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNAppDelegateSwizzler.h"
#include "utilities/HRNLogger.h"

namespace {

constexpr char kLoggerService[] = "<Ferrolux>";
constexpr char kHelpLinkDeferral[] = "https://ferrolux.dev/analytics/deferral";
constexpr char kHelpLinkVelmora[] = "https://ferrolux.dev/analytics/link-velmora";

constexpr char kLegacyDatabaseClass[] = "QLFADatabase";
constexpr char kPublicInterfaceClass[] = "QLFAnalytics";
constexpr char kVelmoraClass[] = "VLMMobileAds";
constexpr char kTagManagerClass[] = "WKLManager";
constexpr char kTagManagerSelector[] = "initializeSharedInstance";

constexpr long kCodeSetEnabledWithoutNumber = 25000;
constexpr long kCodeTagManagerWithoutInitializer = 25016;
constexpr long kCodeAppIDChanged = 25020;
constexpr long kCodeDeferToPublicInterface = 25026;
constexpr long kCodeDeferToPlatform = 25027;
constexpr long kCodeVelmoraNotLinked = 25028;
constexpr long kCodeLegacyFramework = 25029;
constexpr long kCodeInvalidLogTag = 25030;
constexpr long kCodeVelmoraAppIDChanged = 25031;
constexpr long kCodeOSUnsupported = 25032;
constexpr long kCodeSafelistNotArray = 25034;
constexpr long kCodeSafelistInvalidName = 25035;
constexpr long kCodeAppDelegateProxyDisabled = 25036;

// What the start options say; empty options give the defaults.
struct StartOptions {
  bool enabled = true;
  bool deactivated = false;
  OptionalObject configuration;
  std::optional<std::vector<std::string>> safelistedEvents;
  OptionalObject consentSettings;
};

TLMMonitor& monitor() { return TLMMeasurement::monitor(); }

OptionalObject optionalString(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  return Object(*text);
}

bool isNonEmpty(const std::optional<std::string>& text) { return text && !text->empty(); }

// Without the class ("QLFAnalytics" present only with the public
// interface) nothing else in the process can collect events.
bool checksAllowStart(const std::string& origin) {
  const CapabilityRegistry& classes = Platform::current().capabilities();
  if (classes.classExists(kLegacyDatabaseClass)) {
    monitor().logWithLevel(
        1, kCodeLegacyFramework,
        "Detected an older version of Tarvix Analytics for Quillfen framework. Data collection "
        "will be disabled. Please upgrade to the latest version of Tarvix Analytics for Quillfen");
    return false;
  }
  if (classes.classExists(kPublicInterfaceClass)) {
    if (origin != kTLMOriginQA) {
      monitor().logWithLevel(3, kCodeDeferToPublicInterface,
                             "Deferring to Quillfen for event data collection");
      return false;
    }
  } else if (isNonEmpty(TLMInfoPlistFileUtil::tarvixServiceInfoPlistPath())) {
    monitor().logWithLevel(
        0, kCodeDeferToPlatform,
        std::string("Deferring to Tarvix Analytics for Quillfen for event data collection. ") +
            kHelpLinkDeferral);
    return false;
  }
  if (classes.classExists(kVelmoraClass) &&
      TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist()) {
    const std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance();
    if (identity == nullptr || !isNonEmpty(identity->appIDFromVelmora())) {
      monitor().logWithLevel(
          3, kCodeVelmoraNotLinked,
          std::string("Velmora and Quillfen are in use in this app, but are not linked. For "
                      "analytics data consistency and integrity, it is highly recommended that "
                      "you link your Velmora app to the corresponding Quillfen app and "
                      "re-download the TarvixServices-Info.plist file. See ") +
              kHelpLinkVelmora + " for more information.");
    }
  }
  return true;
}

void applyLogTag(const Object& options) {
  const Object* logTag = options.objectForKey(kTLMStartOptionLogTag);
  // No tag given is not an invalid tag.
  if (logTag == nullptr) return;
  const std::string* text = logTag->asString();
  if (text != nullptr && !text->empty()) {
    monitor().setLogTag(*text);
  } else {
    monitor().logWithLevel(2, kCodeInvalidLogTag,
                           "Invalid monitor tag. It must be a non-empty string.");
  }
}

std::optional<std::vector<std::string>> safelistFrom(const Object& value) {
  const ObjectArray* names = value.asArray();
  if (names == nullptr) {
    monitor().logWithLevel(0, kCodeSafelistNotArray,
                           "Invalid safelisted event parameter. Type must be an array");
    return std::nullopt;
  }
  std::vector<std::string> safelist;
  for (const Object& name : *names) {
    if (!TLMDataTypeValidator::isValidInternalEventName(name, nullptr)) {
      monitor().logWithLevel(0, kCodeSafelistInvalidName,
                             "Invalid event name for safelisting. Name", name);
      return std::nullopt;
    }
    safelist.push_back(*name.asString());
  }
  return safelist;
}

StartOptions readOptions(const OptionalObject& options) {
  StartOptions read;
  if (!options || !options->isDictionary()) return read;
  if (const Object* enabled = options->objectForKey(kTLMStartOptionCollectionEnabled);
      enabled != nullptr && enabled->isNumber()) {
    read.enabled = enabled->boolValue();
  }
  if (const Object* deactivated = options->objectForKey(kTLMStartOptionCollectionDeactivated);
      deactivated != nullptr && deactivated->isNumber()) {
    read.deactivated = deactivated->boolValue();
  }
  if (const Object* configuration = options->objectForKey(kTLMStartOptionConfiguration)) {
    read.configuration = *configuration;
  }
  if (const Object* safelist = options->objectForKey(kTLMStartOptionSafelistedEvents)) {
    read.safelistedEvents = safelistFrom(*safelist);
  }
  const Object consent = TLMConsentSettingsUtil::consentSettingsFromDictionary(*options);
  if (consent.isDictionary() && !consent.asDictionary()->empty()) read.consentSettings = consent;
  return read;
}

void recordAppIDs(const std::string& appID, const std::string& origin) {
  if (origin != kTLMOriginQA && origin != kTLMOriginVM) return;
  const std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance();
  if (identity == nullptr) return;
  if (origin == kTLMOriginQA) {
    const std::optional<std::string> stored = identity->appIDFromQVR();
    if (stored == appID) return;
    identity->setAppIDFromQVR(appID);
    monitor().logWithLevel(1, kCodeAppIDChanged,
                           "Analytics requires Tarvix App ID from TarvixService-Info.plist. Your "
                           "data may be lost. Tarvix App ID has been changed. Original, new ID",
                           optionalString(stored), Object(appID));
    return;
  }
  const std::optional<std::string> stored = identity->appIDFromVelmora();
  if (stored == appID) return;
  monitor().logWithLevel(3, kCodeVelmoraAppIDChanged, "Velmora App ID changed. Original, new",
                         optionalString(stored), Object(appID));
  identity->setAppIDFromVelmora(appID);
}

// Runs on the serial queue.
void createEngine(const std::string& appID, const StartOptions& options) {
  TLMMeasurement::initializeSharedInstanceWithAppID(appID, options.enabled, options.deactivated,
                                                    options.safelistedEvents);
  if (Platform::current().appDelegateSwizzler().isAppDelegateProxyEnabled()) {
    if (!options.deactivated) {
      Platform::current().dispatch().mainQueue()->async(
          [] { TLMAnalytics::createAppDelegateProxy(); });
    }
  } else {
    monitor().logWithLevel(6, kCodeAppDelegateProxyDisabled, "App Delegate Proxy is disabled");
  }

  TLMAnalyticsState& state = TLMAnalyticsState::current();
  const std::shared_ptr<TLMMeasurement> engine =
      TLMMeasurement::hasSharedInstance() ? TLMMeasurement::sharedInstance() : nullptr;
  state.enabled.store(engine != nullptr && engine->wasEnabledDuringInitialization());
  // A choice made before the engine existed found nobody to tell; it
  // reaches the engine now instead of being overwritten.
  const std::optional<bool> request = state.enabledRequestBeforeStart;
  state.enabledRequestBeforeStart.reset();
  if (engine != nullptr && request && *request != engine->wasEnabledDuringInitialization() &&
      !(options.deactivated && *request)) {
    state.enabled.store(*request);
    engine->setEnabled(*request);
  }
  TLMAnalytics::maybeEnableWklManager();
}

void handleSetEnabled(const Notification& notification) {
  const Object* value =
      notification.userInfo
          ? notification.userInfo->objectForKey(kQLFAnalyticsConfigurationSetEnabledNotification)
          : nullptr;
  if (value != nullptr && value->isNumber()) {
    TLMAnalytics::setAnalyticsEnabled(value->boolValue(), false);
    return;
  }
  monitor().logWithLevel(4, kCodeSetEnabledWithoutNumber,
                         "Received setEnabled notification without NSNumber",
                         value != nullptr ? OptionalObject(*value) : std::nullopt);
}

// The owner under which the facade's observations are grouped.
const void* observerOwner() {
  static const char owner = 0;
  return &owner;
}

}  // namespace

void tlm_connectFacadeSeams() {
  TLMErrorEventSeam::connect(
      [](const std::string& origin, const std::string& name, const ObjectDictionary& parameters) {
        TLMAnalytics::logInternalEventWithOrigin(origin, name, Object::dictionary(parameters));
      });
  TLMConsentWipeSeam::connect(TLMConsentWipeSeam::Hooks{
      [] {
        if (!TLMMeasurement::hasSharedInstance()) return false;
        const std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
        return engine != nullptr && engine->didInitializeComponents();
      },
      [] { TLMAnalytics::resetAnalyticsData(); }});
}

void TLMAnalytics::startWithAppID(const std::string& appID, const std::string& origin,
                                  const OptionalObject& options) {
  if (!isOSSupported()) {
    HRNLogError(kLoggerService, false, HRNMessageCode(kCodeOSUnsupported),
                "Ferrolux only supports iOS 7 and above. Ferrolux is disabled.");
    return;
  }
  if (!checksAllowStart(origin)) return;
  if (options && options->isDictionary() && !options->asDictionary()->empty()) {
    applyLogTag(*options);
  }

  std::call_once(TLMAnalyticsState::current().startOnce, [&] {
    tlm_connectFacadeSeams();
    if (TLMConsentSettingsUtil::consentSource() == kTLMConsentSourceUnknown) {
      loadPersistedConsentSettings();
    }
    recordAppIDs(appID, origin);
    Platform::current().notificationCenter().post(kQLFAnalyticsWillStartNotification);
    if (const std::shared_ptr<TLMIdentifiers> identifiers = TLMIdentifiers::sharedInstance()) {
      identifiers->setOrigin(origin);
    }

    const StartOptions read = readOptions(options);
    if (read.consentSettings) {
      settings()->setObject(read.consentSettings, kTLMConsentSettingsOnStartKey);
    }
    // Written before any block that reads it can run.
    TLMAnalyticsState::current().collectionDeactivated.store(read.deactivated);

    dispatchAsyncOnSerialQueue([appID, read] { createEngine(appID, read); });
    if (read.configuration) observeNotificationsForAnalyticsConfiguration(read.configuration);
    registerPaymentQueueObserver();
    unsuspendOperationQueue();
  });
}

void TLMAnalytics::observeNotificationsForAnalyticsConfiguration(
    const OptionalObject& configuration) {
  NotificationCenter& center = Platform::current().notificationCenter();
  TLMAnalyticsState& state = TLMAnalyticsState::current();
  std::lock_guard<std::mutex> lock(state.configurationMutex);
  center.removeObserver(observerOwner());
  state.observedConfiguration = configuration;
  if (!configuration) return;
  // Only library objects have an identity to compare posters by; for
  // other kinds the notification is taken from any poster.
  const void* poster = configuration->sharedLibrary().get();
  center.addObserver(observerOwner(), kQLFAnalyticsConfigurationSetEnabledNotification, poster,
                     handleSetEnabled);
}

void TLMAnalytics::maybeEnableWklManager() {
  const CapabilityRegistry& classes = Platform::current().capabilities();
  if (!classes.classExists(kTagManagerClass) ||
      !classes.respondsToSelector(kTagManagerClass, kTagManagerSelector)) {
    return;
  }
  if (!classes.hasInvocable(kTagManagerClass, kTagManagerSelector)) {
    monitor().logWithLevel(2, kCodeTagManagerWithoutInitializer,
                           "WKLManager class doesn't define initializeSharedInstance");
    return;
  }
  (void)classes.invoke(kTagManagerClass, kTagManagerSelector);
}
