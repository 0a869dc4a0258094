// The consent decisions the engine takes while it starts: which consent
// wins at start-up, whether the analytics data must be wiped, and the
// personalized-ads and ad-network answers. The engine calls these on its
// worker queue while it builds its components.
#pragma once

#include <cstdint>
#include <optional>

#include "ferrolux/Object.h"

// Info.plist keys, each read only when its value is a number.
inline constexpr char kTLMPlistDefaultAllowAdPersonalizationKey[] =
    "TARVIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";
inline constexpr char kTLMPlistAdNetworkRegistrationKey[] =
    "TARVIX_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED";
// The public interface class whose presence clears public consent at start.
inline constexpr char kTLMPublicAnalyticsClassName[] = "QLFAnalytics";

class TLMConsentStartup {
 public:
  // Chooses the start-up consent among the Info.plist defaults, the start
  // options' settings and the stored strong settings, and makes the winner
  // current and persisted when its source may replace the current one.
  static void setProspectiveConsentSettings();

  // The whole start-up step: remembers the settings held before, runs
  // setProspectiveConsentSettings, then forgets the start options' settings
  // and the deferred-reset flag. Returns whether the analytics data must be
  // wiped: consent was withdrawn by the choice, or a wipe was deferred.
  [[nodiscard]] static bool applyStartUpConsent();

  // 1 when ad personalization is disabled, 0 when allowed, none when
  // nothing says. `allowPersonalizedAds` is the measurement settings'
  // stored value (TLMPersistedConfig::allowPersonalizedAds); without a
  // number there, the Info.plist default decides.
  static std::optional<std::int64_t> shouldDisableAdPersonalization(
      const OptionalObject& allowPersonalizedAds);

  // The Info.plist switch when it is a number, else true.
  static bool shouldAllowAdNetworkRegistration();

  // What to do with the stored "_npa" user property at start.
  enum class PersonalizedAdsAction { kNothing, kRemove, kSet };
  static PersonalizedAdsAction personalizedAdsActionFor(std::optional<std::int64_t> desired,
                                                        std::optional<std::int64_t> stored);
};
