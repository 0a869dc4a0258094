// The identifiers the library reports and keeps consistent: the
// measurement and ad-network app IDs, the app instance ID (random, one per
// installation), the advertising identifier with its limited-ad-tracking
// and tracking-authorisation state, the vendor identifier and the app
// version fields.
//
// Threading: all mutable state is read and written on the serial queue
// "TLMIdentityWorkerQueue" (targeting the background global queue).
// Refreshed reads queue the refresh, then read synchronously on that
// queue, so each read sees its own refresh; never call them from a block
// of that queue. The app instance ID and the advertising-identifier hash
// live in the persisted config. Identifiers whose storage consent denies
// are withheld and removed.
//
// Ownership: one shared instance per process, also held by the engine.
// Blocks hold the identity weakly and do nothing once it is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DispatchQueue;
class TLMDefaultIdentitySupport;
class TLMPersistedConfig;

// Monitor codes.
inline constexpr long kTLMIdentityCodeAdSupportMissing = 5000;
inline constexpr long kTLMIdentityCodeNonNumericAppVersion = 20002;
inline constexpr long kTLMIdentityCodeSharedInstanceNil = 20003;
inline constexpr long kTLMIdentityCodeNoPersistedConfig = 20004;
inline constexpr long kTLMIdentityCodeEmptyQVRAppID = 20005;
inline constexpr long kTLMIdentityCodeEmptyQVRAppIDInFile = 20006;
inline constexpr long kTLMIdentityCodeEmptyVelmoraAppID = 20007;

// Apple consent status (appleConsentStatus).
inline constexpr std::uint64_t kTLMAppleConsentRestricted = 1;
inline constexpr std::uint64_t kTLMAppleConsentDenied = 2;
inline constexpr std::uint64_t kTLMAppleConsentAuthorized = 3;
inline constexpr std::uint64_t kTLMAppleConsentNotDetermined = 4;
inline constexpr std::uint64_t kTLMAppleConsentUnknown = 5;
inline constexpr std::uint64_t kTLMAppleConsentUnavailable = 6;

// What identity asks of the rest of the library. Empty members take the
// process's own answers (consent settings, remote flags). Called on the
// identity queue.
struct TLMIdentityHooks {
  std::function<bool()> isAdStorageDenied;
  std::function<bool()> isAnalyticsStorageDenied;
  // Seconds within which a second refresh does nothing.
  std::function<double()> adIDCacheTime;
  std::function<bool()> gateIDFAOnATTMASEnabled;
  std::function<bool()> lastAdvertisingIDResetFeatureEnabled;
};

class TLMIdentity : public std::enable_shared_from_this<TLMIdentity> {
 public:
  static constexpr const char* kQueueLabel = "TLMIdentityWorkerQueue";
  // Keys of the platform configuration file and the Info.plist.
  static constexpr const char* kQVRAppIDKey = "TARVIX_APP_ID";
  static constexpr const char* kVelmoraAppIDKey = "VELMORA_APP_ID";
  static constexpr const char* kIDFVCollectionEnabledKey =
      "TARVIX_ANALYTICS_IDFV_COLLECTION_ENABLED";
  static constexpr const char* kShortVersionKey = "CFBundleShortVersionString";
  static constexpr const char* kBundleVersionKey = "CFBundleVersion";

  // Made once with the shared persisted config. None (monitor level 2,
  // 20003) when it could not be made.
  static std::shared_ptr<TLMIdentity> sharedInstance();
  // The compiled-in version without its last three characters (80300); 0
  // when the version has fewer than four characters.
  static std::int64_t ferroluxLibraryVersion();
  static std::int64_t libraryVersionFromString(std::string_view version);
  // The numeric value of each non-empty "."-separated field, non-digits
  // removed (logged, level 5, 20002).
  static std::vector<std::int64_t> numericFieldsFromAppVersionNumeric(std::string_view version);

  // Null (level 2, 20004) without a persisted config. `support` null takes
  // the shared one. Reads the app's files, enforces consent and stores a
  // first app instance ID. Needs the installed Platform.
  static std::shared_ptr<TLMIdentity> initWithPersistedConfig(
      std::shared_ptr<TLMPersistedConfig> persistedConfig,
      std::shared_ptr<TLMDefaultIdentitySupport> support = nullptr, TLMIdentityHooks hooks = {});

  ~TLMIdentity();
  TLMIdentity(const TLMIdentity&) = delete;
  TLMIdentity& operator=(const TLMIdentity&) = delete;

  // ---- Refreshed reads ----
  std::uint64_t appleConsentStatus();
  // Whether the advertising-identifier class exists.
  bool hasLimitedAdTracking();
  bool limitedAdTracking();
  // The advertising identifier last read; none when withheld or all zeros.
  std::optional<std::string> resettableDeviceID();
  // None while analytics storage is denied.
  std::optional<std::string> appInstanceID();
  std::optional<std::string> hashedResettableDeviceID();

  // ---- Plain reads and writes ----
  std::optional<std::string> appIDFromQVR();
  std::optional<std::string> appIDFromVelmora();
  bool shouldSetLastAdvertisingIDResetUserProperty();
  // Asynchronous on the identity queue.
  void setAppInstanceID(const std::optional<std::string>& appInstanceID);
  void setShouldSetLastAdvertisingIDResetUserProperty(bool value);
  // Empty values are logged (20005 / 20007) and ignored; the first
  // non-empty value of the process (the platform configuration file's
  // counts) is kept, later ones are ignored.
  void setAppIDFromQVR(const std::string& appID);
  void setAppIDFromVelmora(const std::string& appID);

  // The vendor identifier, reported only while no advertising identifier
  // is known, collection is not switched off and analytics storage is not
  // denied. Read on the main thread the first time, then cached.
  std::optional<std::string> identifierForVendor();
  // A new version-4 UUID from the platform's random source, without
  // hyphens: 32 upper-case hexadecimal characters.
  static std::string randomAppInstanceID();

  // Removes the stored hash (ad storage denied) and app instance ID
  // (analytics storage denied). Runs on the caller's queue.
  void enforceConsentSettings();
  // Queues a refresh on the identity queue.
  void updateIdentifiers();
  bool isFromAppStore() const;
  static bool iOS14OrAbove();

  // ---- Fixed facts ----
  const std::string& appID() const { return appID_; }
  const std::optional<std::string>& appVersion() const { return appVersion_; }
  std::optional<std::int64_t> appVersionMajor() const { return appVersionMajor_; }
  std::optional<std::int64_t> appVersionMinor() const { return appVersionMinor_; }
  std::optional<std::int64_t> appVersionRelease() const { return appVersionRelease_; }
  std::int64_t devCertHash() const { return devCertHash_; }
  std::optional<std::string> quillfenInstallationID() const;
  void setQuillfenInstallationID(const std::optional<std::string>& installationID);

  const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

 private:
  TLMIdentity(std::shared_ptr<TLMPersistedConfig> persistedConfig,
              std::shared_ptr<TLMDefaultIdentitySupport> support, TLMIdentityHooks hooks);

  void loadAppFacts();
  void storeFirstAppInstanceID();
  // Runs on the identity queue.
  void updateIdentifiersOnQueue();
  std::uint64_t currentAppleConsentStatus() const;
  // Reads `read` on the identity queue after a refresh.
  template <typename T>
  T refreshedRead(const std::function<T()>& read);
  template <typename T>
  T queueRead(const std::function<T()>& read);

  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  const std::shared_ptr<TLMDefaultIdentitySupport> support_;
  TLMIdentityHooks hooks_;
  std::shared_ptr<DispatchQueue> queue_;

  // Touched only on the identity queue.
  std::optional<double> lastAppInstanceIDUpdateTimestamp_;
  std::uint64_t appleConsentStatus_ = kTLMAppleConsentUnavailable;
  std::optional<std::string> resettableDeviceID_;
  bool limitedAdTracking_ = false;
  std::optional<std::string> identifierForVendorString_;
  // Fixed once non-empty.
  std::optional<std::string> appIDFromQVR_;
  std::optional<std::string> appIDFromVelmora_;

  // Written before the identity is shared, then only read.
  std::optional<bool> isIDFVCollectionEnabled_;
  std::string appID_;
  std::optional<std::string> appVersion_;
  std::optional<std::int64_t> appVersionMajor_;
  std::optional<std::int64_t> appVersionMinor_;
  std::optional<std::int64_t> appVersionRelease_;
  std::int64_t devCertHash_ = 0;

  mutable std::mutex installationIDMutex_;
  std::optional<std::string> quillfenInstallationID_;
};
