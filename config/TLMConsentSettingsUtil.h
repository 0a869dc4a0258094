// The process's effective consent settings and the source they came from.
//
// Consent settings are a dictionary with at most the keys "ad_storage" and
// "analytics_storage", each "granted" or "denied". A storage counts as
// denied only when its value, lower-cased, is "denied"; a missing key
// counts as granted. A source is an integer, a smaller number being a
// stronger source (see the kTLMConsentSource constants).
//
// All state is class-level and lives on the serial queue
// "TLMConsentSettingsUtilQueue", created on first use from the installed
// Platform. Reads run synchronously on that queue and writes
// asynchronously, so a read that follows a write from the same thread sees
// it. Every member is safe from any thread but that queue itself.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ferrolux/Object.h"

class DispatchQueue;
class TLMRemoteConfig;

// Consent sources.
inline constexpr long kTLMConsentSource3P = 10;        // strong entry; engine-start fallback
inline constexpr long kTLMConsentSourcePlist = 20;     // Info.plist defaults; reloaded strong
inline constexpr long kTLMConsentSourcePublic = 30;    // public setConsent
inline constexpr long kTLMConsentSourceOptions = 40;   // start options; reloaded public
inline constexpr long kTLMConsentSourceUnknown = 100;  // no consent known
// Settings of sources up to this one are persisted as the strong settings.
inline constexpr long kTLMConsentSourceStrongLimit = 20;

inline constexpr char kTLMAdStorageKey[] = "ad_storage";
inline constexpr char kTLMAnalyticsStorageKey[] = "analytics_storage";
inline constexpr char kTLMConsentGranted[] = "granted";
inline constexpr char kTLMConsentDenied[] = "denied";

// The main bundle's Info.plist defaults, each read only when a number.
inline constexpr char kTLMPlistDefaultAllowAdStorageKey[] =
    "TARVIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
inline constexpr char kTLMPlistDefaultAllowAnalyticsStorageKey[] =
    "TARVIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";

class TLMConsentSettingsUtil {
 public:
  static constexpr const char* kQueueLabel = "TLMConsentSettingsUtilQueue";

  static std::shared_ptr<DispatchQueue> serialQueue();

  // A copy of the current settings; none until some are set.
  static OptionalObject consentSettings();
  // kTLMConsentSourceUnknown until a source is set.
  static long consentSource();
  static void setConsentSource(long source);
  // Replaces the settings; none also resets the source to
  // kTLMConsentSourceUnknown.
  static void setConsentSettings(OptionalObject settings);
  // Merges `settings` (a dictionary; anything else changes nothing) into the
  // current settings, its keys replacing existing ones.
  static void updateSettings(const Object& settings);

  // False whenever "measurement.api.consent_settings" is off; otherwise
  // whether the current settings deny that storage.
  static bool isAdStorageDenied();
  static bool isAnalyticsStorageDenied();

  // The "ad_storage" and "analytics_storage" entries of `dictionary` that
  // are present, values unchecked; empty for a non-dictionary.
  static Object consentSettingsFromDictionary(const Object& dictionary);
  // The Info.plist defaults as settings ("granted" for true); an empty
  // dictionary when neither key holds a number.
  static Object consentSettingsFromPlist();

  // Whether the current settings deny a storage that `previous` did not.
  // False while consent handling is off, for a present non-dictionary
  // `previous`, for current settings that are not a dictionary, and when
  // both are equal.
  static bool didWithdrawPreviousConsent(const OptionalObject& previous);
  // Whether a setting from `source` may replace the current one: the
  // current source number is greater than or equal to it.
  static bool isConsentSourceHigherPriority(long source);

  // "G1" and one character per storage (ad, then analytics): '0' denied,
  // '1' granted, '-' unset or anything else. None unless both consent
  // switches are on.
  static std::optional<std::string> consentSignals();
  // "ad_storage is <v>. analytics_storage is <v>." (missing = granted).
  static std::string description();

  // Whether `settings` (a dictionary) denies the storage `key`.
  static bool isDenied(const OptionalObject& settings, const char* key);

  // Where the two consent switches are read. Null (the default) means
  // TLMMeasurement::remoteConfig(); the engine connects its own
  // configuration here once it has one, and tests connect one with the
  // switches they need. Dropped with the other state at a shared-instance
  // reset.
  static void setRemoteConfig(std::shared_ptr<TLMRemoteConfig> remoteConfig);
  static bool isConsentSettingsEnabled();
  static bool isConsentSettings3PEnabled();
};
