// The facade's consent entry and the consent it persists.
#include "api/TLMAnalytics.h"

#include <algorithm>
#include <utility>

#include "api/TLMConsentWipeSeam.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kInvalidValueMessage[] =
    "Valid consent values are 'granted' and 'denied'. Ignoring invalid consent setting";
constexpr char kEmptySettingsMessage[] = "Discarding empty consent settings";
constexpr char kLowerPriorityMessage[] = "Ignoring lower priority consent settings";

OptionalObject storedDictionary(const char* key) {
  OptionalObject value = TLMAnalytics::settings()->dictionaryForKey(key);
  if (!value || !value->isDictionary()) return std::nullopt;
  return value;
}

}  // namespace

void TLMAnalytics::setConsent(const Object& consent) {
  setConsentForKey(consent, kTLMConsentSettingsKey);
}

void TLMAnalytics::setConsentForKey(const Object& consent, const std::string& key) {
  const bool strong = key == kTLMConsentSettings3PKey;
  if (strong && !TLMConsentSettingsUtil::isConsentSettings3PEnabled()) return;
  if (!TLMConsentSettingsUtil::isConsentSettingsEnabled()) return;

  if (TLMConsentSettingsUtil::consentSource() == kTLMConsentSourceUnknown) {
    loadPersistedConsentSettings();
  }

  TLMMonitor& monitor = TLMMeasurement::monitor();
  ObjectDictionary valid;
  const Object given = TLMConsentSettingsUtil::consentSettingsFromDictionary(consent);
  for (const auto& [name, value] : *given.asDictionary()) {
    const std::string* text = value.asString();
    if (text != nullptr && (*text == kTLMConsentGranted || *text == kTLMConsentDenied)) {
      valid[name] = value;
    } else {
      monitor.logWithLevel(3, kTLMConsentCodeInvalidValue, kInvalidValueMessage, value);
    }
  }
  if (valid.empty()) {
    monitor.logWithLevel(3, kTLMConsentCodeEmptySettings, kEmptySettingsMessage);
    return;
  }

  const long source = strong ? kTLMConsentSource3P : kTLMConsentSourcePublic;
  if (!TLMConsentSettingsUtil::isConsentSourceHigherPriority(source)) {
    monitor.logWithLevel(3, kTLMConsentCodeLowerPriority, kLowerPriorityMessage);
    return;
  }

  // The baseline of the withdrawal test is the effective consent before
  // this call. The settings persisted under the call's key alone would miss
  // a denial that came from the other source: denying analytics storage
  // publicly and then granting ad storage through the strong entry would
  // then count as a withdrawal and wipe the data for nothing.
  const OptionalObject previous = TLMConsentSettingsUtil::consentSettings();
  TLMConsentSettingsUtil::updateSettings(Object::dictionary(std::move(valid)));
  TLMConsentSettingsUtil::setConsentSource(source);
  persistConsentSettings(TLMConsentSettingsUtil::consentSettings(), source);

  if (!TLMConsentSettingsUtil::didWithdrawPreviousConsent(previous)) return;
  settings()->removeObjectForKey(kTLMAppInstanceIDAfterResetKey);
  if (TLMConsentWipeSeam::isEngineInitialized() && TLMConsentWipeSeam::resetAnalyticsData()) {
    return;
  }
  settings()->setBool(true, kTLMDeferredConsentResetKey);
}

void TLMAnalytics::loadPersistedConsentSettings() {
  const long storedSource = persistedConsentSource();
  if (storedSource == kTLMConsentSourceUnknown) return;
  OptionalObject stored = consentSettings3P();
  long ceiling = kTLMConsentSourcePlist;
  if (!stored) {
    stored = consentSettings1P();
    ceiling = kTLMConsentSourceOptions;
  }
  if (!stored) {
    TLMConsentSettingsUtil::setConsentSource(storedSource);
    return;
  }
  TLMConsentSettingsUtil::setConsentSettings(std::move(stored));
  TLMConsentSettingsUtil::setConsentSource(std::min(storedSource, ceiling));
}

void TLMAnalytics::persistConsentSettings(const OptionalObject& consentSettings, long source) {
  const char* key =
      source <= kTLMConsentSourceStrongLimit ? kTLMConsentSettings3PKey : kTLMConsentSettingsKey;
  settings()->setObject(consentSettings, key);
  settings()->setInteger(source, kTLMConsentSourceKey);
}

long TLMAnalytics::persistedConsentSource() {
  const OptionalObject stored = settings()->objectForKey(kTLMConsentSourceKey);
  if (!stored || !stored->isNumber()) return kTLMDefaultConsentSource;
  return static_cast<long>(stored->int64Value());
}

OptionalObject TLMAnalytics::consentSettings3P() {
  return storedDictionary(kTLMConsentSettings3PKey);
}

OptionalObject TLMAnalytics::consentSettings1P() {
  return storedDictionary(kTLMConsentSettingsKey);
}

OptionalObject TLMAnalytics::consentSettings1PStart() {
  return storedDictionary(kTLMConsentSettingsOnStartKey);
}

bool TLMAnalytics::deferredResetOnDeniedConsent() {
  return settings()->boolForKey(kTLMDeferredConsentResetKey);
}

void TLMAnalytics::removeStartUpConsentSettings() {
  settings()->removeObjectForKey(kTLMConsentSettingsOnStartKey);
}

void TLMAnalytics::removeDeferredResetOnDeniedConsent() {
  settings()->removeObjectForKey(kTLMDeferredConsentResetKey);
}

void TLMAnalytics::clearConsent() {
  for (const char* key : {kTLMConsentSourceKey, kTLMConsentSettings3PKey, kTLMConsentSettingsKey,
                          kTLMConsentSettingsOnStartKey, kTLMDeferredConsentResetKey}) {
    settings()->removeObjectForKey(key);
  }
  TLMConsentSettingsUtil::setConsentSettings(std::nullopt);
}
