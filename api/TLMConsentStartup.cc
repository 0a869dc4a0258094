#include "api/TLMConsentStartup.h"

#include <utility>

#include "api/TLMAnalytics.h"
#include "config/TLMConsentSettingsUtil.h"
#include "platform/Bundle.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Platform.h"

namespace {

bool hasEntries(const OptionalObject& settings) {
  return settings && settings->asDictionary() != nullptr && !settings->asDictionary()->empty();
}

}  // namespace

void TLMConsentStartup::setProspectiveConsentSettings() {
  const long current = TLMConsentSettingsUtil::consentSource();
  const OptionalObject onStart = TLMAnalytics::consentSettings1PStart();
  OptionalObject candidate;
  long source = kTLMConsentSource3P;

  if (TLMConsentSettingsUtil::isConsentSettings3PEnabled()) {
    const Object plist = TLMConsentSettingsUtil::consentSettingsFromPlist();
    if (hasEntries(plist) && current >= kTLMConsentSourcePlist) {
      candidate = plist;
      source = kTLMConsentSourcePlist;
    } else if (Platform::current().capabilities().classExists(kTLMPublicAnalyticsClassName) &&
               (current == kTLMConsentSourcePublic || current == kTLMConsentSourceOptions)) {
      // The public interface passes every consent through the strong entry,
      // so public-source consent left from before is stale.
      TLMAnalytics::clearConsent();
    } else if (hasEntries(onStart) && current >= kTLMConsentSourceOptions) {
      candidate = onStart;
      source = kTLMConsentSourceOptions;
    } else {
      candidate = TLMAnalytics::consentSettings3P();
    }
  } else if (hasEntries(onStart) && current >= kTLMConsentSourceOptions) {
    candidate = onStart;
    source = kTLMConsentSourceOptions;
  } else {
    candidate = TLMConsentSettingsUtil::consentSettings();
    source = current;
  }

  if (!hasEntries(candidate) || current < source) return;
  TLMConsentSettingsUtil::setConsentSettings(candidate);
  TLMConsentSettingsUtil::setConsentSource(source);
  TLMAnalytics::persistConsentSettings(candidate, source);
}

bool TLMConsentStartup::applyStartUpConsent() {
  const OptionalObject before = TLMConsentSettingsUtil::consentSettings();
  setProspectiveConsentSettings();
  const bool owed = TLMConsentSettingsUtil::didWithdrawPreviousConsent(before) ||
                    TLMAnalytics::deferredResetOnDeniedConsent();
  TLMAnalytics::removeStartUpConsentSettings();
  TLMAnalytics::removeDeferredResetOnDeniedConsent();
  return owed;
}

std::optional<std::int64_t> TLMConsentStartup::shouldDisableAdPersonalization(
    const OptionalObject& allowPersonalizedAds) {
  if (allowPersonalizedAds && allowPersonalizedAds->isNumber()) {
    return allowPersonalizedAds->boolValue() ? 0 : 1;
  }
  const OptionalObject plist = Platform::current().bundle().objectForInfoDictionaryKey(
      kTLMPlistDefaultAllowAdPersonalizationKey);
  if (!plist) return std::nullopt;
  if (plist->isNumber()) return plist->boolValue() ? 0 : 1;
  return 0;
}

bool TLMConsentStartup::shouldAllowAdNetworkRegistration() {
  const OptionalObject value =
      Platform::current().bundle().objectForInfoDictionaryKey(kTLMPlistAdNetworkRegistrationKey);
  if (value && value->isNumber()) return value->boolValue();
  return true;
}

TLMConsentStartup::PersonalizedAdsAction TLMConsentStartup::personalizedAdsActionFor(
    std::optional<std::int64_t> desired, std::optional<std::int64_t> stored) {
  if (!desired) return stored ? PersonalizedAdsAction::kRemove : PersonalizedAdsAction::kNothing;
  if (stored && *stored == *desired) return PersonalizedAdsAction::kNothing;
  return PersonalizedAdsAction::kSet;
}
