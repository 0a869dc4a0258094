#include "config/TLMIdentity.h"

#include <limits>
#include <utility>

#include "common/DataHelpers.h"
#include "common/SharedInstance.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMDefaultIdentitySupport.h"
#include "config/TLMInfoPlistFileUtil.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "platform/AdvertisingIdentifier.h"
#include "platform/Bundle.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "platform/Random.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelError = 2;
constexpr int kLevelNotice = 5;
constexpr int kLevelDebug = 7;
constexpr int kLevelFault = 0;

constexpr char kSharedInstanceNilMessage[] = "Identity's shared instance is nil";
constexpr char kNoPersistedConfigMessage[] =
    "Unable to create measurement identity, missing a valid persisted config instance";
constexpr char kEmptyQVRAppIDMessage[] = "Cannot set empty Tarvix App ID";
constexpr char kEmptyVelmoraAppIDMessage[] = "Cannot set empty Velmora App ID";
constexpr char kNonNumericAppVersionMessage[] = "app version numeric has non-numeric characters";
constexpr char kAdSupportMissingMessage[] =
    "The AdSupport Framework is not currently linked. Some features will not function properly. "
    "Learn more at https://ferrolux.dev/docs/identity#advertising-identifier";
constexpr char kEmptyQVRAppIDInFileMessage[] =
    "Tarvix App ID from TarvixService-Info.plist is empty. Please, define TARVIX_APP_ID in "
    "TarvixService-Info.plist for Analytics to work reliably. See "
    "https://ferrolux.dev/docs/setup#app-id";

// The public facade's class; its presence means the app uses the library
// directly and needs a measurement app ID.
constexpr char kFacadeClassName[] = "QLFAnalytics";
// The system that introduced tracking authorisation.
constexpr int kTrackingAuthorizationMajorVersion = 14;
// The compiled-in version's last characters that the reported one drops.
constexpr std::size_t kLibraryVersionDroppedCharacters = 3;

std::optional<std::string> stringValue(const Object* object) {
  if (object == nullptr || !object->isString()) return std::nullopt;
  return *object->asString();
}

}  // namespace

// ---- Class methods ----------------------------------------------------------

std::shared_ptr<TLMIdentity> TLMIdentity::sharedInstance() {
  static SharedInstance<TLMIdentity> instance;
  bool made = false;
  std::shared_ptr<TLMIdentity> identity = instance.get([&made] {
    made = true;
    return initWithPersistedConfig(TLMPersistedConfig::sharedInstance());
  });
  if (identity == nullptr) {
    TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMIdentityCodeSharedInstanceNil,
                                           kSharedInstanceNilMessage);
  } else if (made && !Platform::current().capabilities().classExists(
                         kAdvertisingIdentifierManagerClassName)) {
    // Logged after creation: the monitor may ask for identity itself.
    TLMMeasurement::monitor().logWithLevel(kLevelDebug, kTLMIdentityCodeAdSupportMissing,
                                           kAdSupportMissingMessage);
  }
  return identity;
}

std::int64_t TLMIdentity::libraryVersionFromString(std::string_view version) {
  if (version.size() <= kLibraryVersionDroppedCharacters) return 0;
  std::string_view kept = version.substr(0, version.size() - kLibraryVersionDroppedCharacters);
  std::int64_t value = 0;
  for (char c : kept) {
    if (c < '0' || c > '9') break;
    if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) {
      return std::numeric_limits<std::int64_t>::max();
    }
    value = value * 10 + (c - '0');
  }
  return value;
}

std::int64_t TLMIdentity::ferroluxLibraryVersion() {
  return libraryVersionFromString(kFerroluxLibraryVersionString);
}

std::vector<std::int64_t> TLMIdentity::numericFieldsFromAppVersionNumeric(
    std::string_view version) {
  std::vector<std::int64_t> fields;
  std::size_t start = 0;
  while (start <= version.size()) {
    std::size_t end = version.find('.', start);
    if (end == std::string_view::npos) end = version.size();
    std::string_view component = version.substr(start, end - start);
    if (!component.empty()) {
      std::int64_t value = 0;
      bool nonNumeric = false;
      for (char c : component) {
        if (c < '0' || c > '9') {
          nonNumeric = true;
          continue;
        }
        // Saturates rather than wrapping on absurdly long fields.
        if (value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) {
          value = std::numeric_limits<std::int64_t>::max();
        } else {
          value = value * 10 + (c - '0');
        }
      }
      if (nonNumeric) {
        TLMMeasurement::monitor().logWithLevel(kLevelNotice, kTLMIdentityCodeNonNumericAppVersion,
                                               kNonNumericAppVersionMessage);
      }
      fields.push_back(value);
    }
    start = end + 1;
  }
  return fields;
}

std::string TLMIdentity::randomAppInstanceID() {
  std::vector<std::uint8_t> bytes = Platform::current().random().secureBytes(16);
  bytes.resize(16);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(32);
  for (std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

bool TLMIdentity::iOS14OrAbove() {
  return Platform::current().device().osVersionComponents().major >=
         kTrackingAuthorizationMajorVersion;
}

// ---- Initialisation ---------------------------------------------------------

std::shared_ptr<TLMIdentity> TLMIdentity::initWithPersistedConfig(
    std::shared_ptr<TLMPersistedConfig> persistedConfig,
    std::shared_ptr<TLMDefaultIdentitySupport> support, TLMIdentityHooks hooks) {
  if (persistedConfig == nullptr) {
    TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMIdentityCodeNoPersistedConfig,
                                           kNoPersistedConfigMessage);
    return nullptr;
  }
  if (support == nullptr) support = TLMDefaultIdentitySupport::sharedInstance();
  std::shared_ptr<TLMIdentity> identity(
      new TLMIdentity(std::move(persistedConfig), std::move(support), std::move(hooks)));
  identity->loadAppFacts();
  identity->enforceConsentSettings();
  identity->storeFirstAppInstanceID();
  return identity;
}

TLMIdentity::TLMIdentity(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                         std::shared_ptr<TLMDefaultIdentitySupport> support, TLMIdentityHooks hooks)
    : persistedConfig_(std::move(persistedConfig)),
      support_(std::move(support)),
      hooks_(std::move(hooks)) {
  if (!hooks_.isAdStorageDenied)
    hooks_.isAdStorageDenied = &TLMConsentSettingsUtil::isAdStorageDenied;
  if (!hooks_.isAnalyticsStorageDenied) {
    hooks_.isAnalyticsStorageDenied = &TLMConsentSettingsUtil::isAnalyticsStorageDenied;
  }
  if (!hooks_.adIDCacheTime) {
    hooks_.adIDCacheTime = [] { return TLMMeasurement::remoteConfig().adIDCacheTime(); };
  }
  if (!hooks_.gateIDFAOnATTMASEnabled) {
    hooks_.gateIDFAOnATTMASEnabled = [] {
      return TLMMeasurement::remoteConfig().gateIDFAOnATTMASEnabled();
    };
  }
  if (!hooks_.lastAdvertisingIDResetFeatureEnabled) {
    hooks_.lastAdvertisingIDResetFeatureEnabled = [] {
      return TLMMeasurement::remoteConfig().lastAdvertisingIDResetFeatureEnabled();
    };
  }
  Dispatch& dispatch = Platform::current().dispatch();
  queue_ = dispatch.createSerialQueue(kQueueLabel, dispatch.globalQueue(QueuePriority::Background));
}

TLMIdentity::~TLMIdentity() = default;

void TLMIdentity::loadAppFacts() {
  Platform& platform = Platform::current();
  OptionalObject serviceInfo = TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist();
  if (serviceInfo) {
    appIDFromQVR_ = stringValue(serviceInfo->objectForKey(kQVRAppIDKey));
    appIDFromVelmora_ = stringValue(serviceInfo->objectForKey(kVelmoraAppIDKey));
  }
  if (platform.capabilities().classExists(kFacadeClassName) &&
      (!appIDFromQVR_ || appIDFromQVR_->empty())) {
    TLMMeasurement::monitor().logWithLevel(kLevelFault, kTLMIdentityCodeEmptyQVRAppIDInFile,
                                           kEmptyQVRAppIDInFileMessage);
  }

  const Bundle& bundle = platform.bundle();
  OptionalObject collection = bundle.objectForInfoDictionaryKey(kIDFVCollectionEnabledKey);
  if (collection && collection->isNumber()) isIDFVCollectionEnabled_ = collection->boolValue();

  appID_ = bundle.bundleIdentifier();
  appVersion_ = stringValue(bundle.infoDictionary().objectForKey(kShortVersionKey));
  std::optional<std::string> bundleVersion =
      stringValue(bundle.infoDictionary().objectForKey(kBundleVersionKey));
  if (bundleVersion) {
    std::vector<std::int64_t> fields = numericFieldsFromAppVersionNumeric(*bundleVersion);
    if (fields.size() > 0) appVersionMajor_ = fields[0];
    if (fields.size() > 1) appVersionMinor_ = fields[1];
    if (fields.size() > 2) appVersionRelease_ = fields[2];
  }
}

void TLMIdentity::storeFirstAppInstanceID() {
  if (persistedConfig_->appInstanceID()) return;
  if (hooks_.isAnalyticsStorageDenied()) return;
  persistedConfig_->setAppInstanceID(randomAppInstanceID());
}

// ---- Consent and refresh ----------------------------------------------------

void TLMIdentity::enforceConsentSettings() {
  if (hooks_.isAdStorageDenied()) persistedConfig_->setHashedResettableDeviceID(std::nullopt);
  if (hooks_.isAnalyticsStorageDenied()) persistedConfig_->setAppInstanceID(std::nullopt);
}

void TLMIdentity::updateIdentifiers() {
  std::weak_ptr<TLMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf] {
    if (std::shared_ptr<TLMIdentity> self = weakSelf.lock()) self->updateIdentifiersOnQueue();
  });
}

std::uint64_t TLMIdentity::currentAppleConsentStatus() const {
  if (!iOS14OrAbove() || !support_->hasLimitedAdTracking()) return kTLMAppleConsentUnavailable;
  if (!support_->hasAppDataConsentStatus()) return kTLMAppleConsentUnknown;
  switch (support_->appDataConsentStatus()) {
    case 0:
      return kTLMAppleConsentNotDetermined;
    case 1:
      return kTLMAppleConsentRestricted;
    case 2:
      return kTLMAppleConsentDenied;
    case 3:
      return kTLMAppleConsentAuthorized;
    default:
      return kTLMAppleConsentUnknown;
  }
}

void TLMIdentity::updateIdentifiersOnQueue() {
  enforceConsentSettings();
  const double now = Platform::current().clock().now();
  const std::optional<std::string> storedAppInstanceID = persistedConfig_->appInstanceID();
  if (storedAppInstanceID && lastAppInstanceIDUpdateTimestamp_) {
    // A wall clock set back puts the last refresh in the future: refresh.
    const double elapsed = now - *lastAppInstanceIDUpdateTimestamp_;
    if (elapsed >= 0 && elapsed < hooks_.adIDCacheTime()) return;
  }

  const std::uint64_t status = currentAppleConsentStatus();
  const bool adStorageDenied = hooks_.isAdStorageDenied();
  bool readIdentifier = !adStorageDenied;
  if (iOS14OrAbove() && hooks_.gateIDFAOnATTMASEnabled() && status != kTLMAppleConsentAuthorized) {
    readIdentifier = false;
  }

  bool changed = false;
  std::optional<std::string> newAppInstanceID;
  std::optional<std::string> newHash;
  // Withheld identifiers are not kept: a read must not report an
  // identifier from before consent was withdrawn.
  std::optional<std::string> keptIdentifier;
  if (readIdentifier) {
    keptIdentifier = resettableDeviceID_;
    std::optional<std::string> identifier = support_->resettableDeviceID();
    if (identifier && *identifier == kAllZeroAdvertisingIdentifier) {
      keptIdentifier.reset();
    } else if (identifier && !identifier->empty()) {
      keptIdentifier = identifier;
      std::string hash = tlm_MD5String(*identifier);
      std::optional<std::string> storedHash = persistedConfig_->hashedResettableDeviceID();
      if (!hash.empty() && hash != storedHash) {
        if (storedHash) {
          // The user reset the advertising identifier.
          newAppInstanceID = randomAppInstanceID();
          if (hooks_.lastAdvertisingIDResetFeatureEnabled()) {
            persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(true);
          }
        }
        newHash = hash;
        changed = true;
      }
    }
  }

  if (!storedAppInstanceID) changed = true;
  if (changed) {
    if (!hooks_.isAnalyticsStorageDenied()) {
      std::string appInstanceID = newAppInstanceID      ? *newAppInstanceID
                                  : storedAppInstanceID ? *storedAppInstanceID
                                                        : randomAppInstanceID();
      persistedConfig_->setAppInstanceID(appInstanceID);
    }
    if (newHash && !adStorageDenied) persistedConfig_->setHashedResettableDeviceID(newHash);
  }

  lastAppInstanceIDUpdateTimestamp_ = now;
  limitedAdTracking_ = support_->limitedAdTracking();
  resettableDeviceID_ = keptIdentifier;
  appleConsentStatus_ = status;
}

// ---- Reads and writes -------------------------------------------------------

template <typename T>
T TLMIdentity::queueRead(const std::function<T()>& read) {
  T value{};
  queue_->sync([&] { value = read(); });
  return value;
}

template <typename T>
T TLMIdentity::refreshedRead(const std::function<T()>& read) {
  updateIdentifiers();
  return queueRead<T>(read);
}

std::uint64_t TLMIdentity::appleConsentStatus() {
  return refreshedRead<std::uint64_t>([this] { return appleConsentStatus_; });
}

bool TLMIdentity::hasLimitedAdTracking() {
  return refreshedRead<bool>([this] { return support_->hasLimitedAdTracking(); });
}

bool TLMIdentity::limitedAdTracking() {
  return refreshedRead<bool>([this] { return limitedAdTracking_; });
}

std::optional<std::string> TLMIdentity::resettableDeviceID() {
  return refreshedRead<std::optional<std::string>>([this] { return resettableDeviceID_; });
}

std::optional<std::string> TLMIdentity::appInstanceID() {
  return refreshedRead<std::optional<std::string>>(
      [this] { return persistedConfig_->appInstanceID(); });
}

std::optional<std::string> TLMIdentity::hashedResettableDeviceID() {
  return refreshedRead<std::optional<std::string>>(
      [this] { return persistedConfig_->hashedResettableDeviceID(); });
}

std::optional<std::string> TLMIdentity::appIDFromQVR() {
  return queueRead<std::optional<std::string>>([this] { return appIDFromQVR_; });
}

std::optional<std::string> TLMIdentity::appIDFromVelmora() {
  return queueRead<std::optional<std::string>>([this] { return appIDFromVelmora_; });
}

bool TLMIdentity::shouldSetLastAdvertisingIDResetUserProperty() {
  return queueRead<bool>(
      [this] { return persistedConfig_->shouldSetLastAdvertisingIDResetUserProperty(); });
}

void TLMIdentity::setAppInstanceID(const std::optional<std::string>& appInstanceID) {
  std::weak_ptr<TLMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, appInstanceID] {
    if (std::shared_ptr<TLMIdentity> self = weakSelf.lock()) {
      self->persistedConfig_->setAppInstanceID(appInstanceID);
    }
  });
}

void TLMIdentity::setShouldSetLastAdvertisingIDResetUserProperty(bool value) {
  std::weak_ptr<TLMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, value] {
    if (std::shared_ptr<TLMIdentity> self = weakSelf.lock()) {
      self->persistedConfig_->setShouldSetLastAdvertisingIDResetUserProperty(value);
    }
  });
}

void TLMIdentity::setAppIDFromQVR(const std::string& appID) {
  if (appID.empty()) {
    TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMIdentityCodeEmptyQVRAppID,
                                           kEmptyQVRAppIDMessage);
    return;
  }
  std::weak_ptr<TLMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, appID] {
    std::shared_ptr<TLMIdentity> self = weakSelf.lock();
    if (self != nullptr && (!self->appIDFromQVR_ || self->appIDFromQVR_->empty())) {
      self->appIDFromQVR_ = appID;
    }
  });
}

void TLMIdentity::setAppIDFromVelmora(const std::string& appID) {
  if (appID.empty()) {
    TLMMeasurement::monitor().logWithLevel(kLevelError, kTLMIdentityCodeEmptyVelmoraAppID,
                                           kEmptyVelmoraAppIDMessage);
    return;
  }
  std::weak_ptr<TLMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, appID] {
    std::shared_ptr<TLMIdentity> self = weakSelf.lock();
    if (self != nullptr && (!self->appIDFromVelmora_ || self->appIDFromVelmora_->empty())) {
      self->appIDFromVelmora_ = appID;
    }
  });
}

std::optional<std::string> TLMIdentity::identifierForVendor() {
  std::optional<std::string> cached;
  bool withheld = false;
  queue_->sync([&] {
    withheld = resettableDeviceID_.has_value() ||
               (isIDFVCollectionEnabled_ && !*isIDFVCollectionEnabled_) ||
               hooks_.isAnalyticsStorageDenied();
    cached = identifierForVendorString_;
  });
  if (withheld) return std::nullopt;
  if (cached) return cached;

  Platform& platform = Platform::current();
  std::string vendorIdentifier;
  if (platform.dispatch().isMainThread()) {
    vendorIdentifier = platform.device().vendorIdentifier();
  } else {
    platform.dispatch().mainQueue()->sync(
        [&] { vendorIdentifier = Platform::current().device().vendorIdentifier(); });
  }
  if (vendorIdentifier.empty()) return std::nullopt;
  std::weak_ptr<TLMIdentity> weakSelf = weak_from_this();
  queue_->async([weakSelf, vendorIdentifier] {
    if (std::shared_ptr<TLMIdentity> self = weakSelf.lock()) {
      self->identifierForVendorString_ = vendorIdentifier;
    }
  });
  return vendorIdentifier;
}

bool TLMIdentity::isFromAppStore() const {
  return Platform::current().device().isAppStoreInstallation();
}

std::optional<std::string> TLMIdentity::quillfenInstallationID() const {
  std::lock_guard<std::mutex> lock(installationIDMutex_);
  return quillfenInstallationID_;
}

void TLMIdentity::setQuillfenInstallationID(const std::optional<std::string>& installationID) {
  std::lock_guard<std::mutex> lock(installationIDMutex_);
  quillfenInstallationID_ = installationID;
}
