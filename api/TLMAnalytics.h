// The internal facade between callers on any thread and the measurement
// engine.
//
// For now only the consent class methods; the rest of the facade (start,
// events, user properties, reset, listeners) is added with the public
// interface work.
//
// Consent persists in the facade's settings domain "TLMAnalyticsSuiteName";
// the effective settings live in TLMConsentSettingsUtil. The setters run on
// the caller's thread; the facade serialises public calls.
#pragma once

#include <memory>
#include <string>

#include "ferrolux/Object.h"

class TLMUserDefaults;

// Monitor codes of the consent entry.
inline constexpr long kTLMConsentCodeEmptySettings = 25041;
inline constexpr long kTLMConsentCodeInvalidValue = 25042;
inline constexpr long kTLMConsentCodeLowerPriority = 25043;

class TLMAnalytics {
 public:
  // The facade's settings domain, created on first use.
  static std::shared_ptr<TLMUserDefaults> settings();

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
