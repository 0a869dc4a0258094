#include "config/TLMConsentSettingsUtil.h"

#include <mutex>
#include <utility>

#include "common/SharedInstance.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"

namespace {

struct ConsentState {
  std::shared_ptr<DispatchQueue> queue;
  // Touched only on `queue`.
  OptionalObject settings;
  long source = kTLMConsentSourceUnknown;

  std::mutex remoteConfigMutex;  // guards remoteConfig
  std::shared_ptr<TLMRemoteConfig> remoteConfig;
};

// One per process life: tests drop it with the other shared instances, so
// that each test starts with no consent known.
std::shared_ptr<ConsentState> state() {
  static SharedInstance<ConsentState> instance;
  return instance.get([] {
    auto made = std::make_shared<ConsentState>();
    // The original runs this queue at utility priority; the pool here has
    // one priority for serial queues.
    made->queue =
        Platform::current().dispatch().createSerialQueue(TLMConsentSettingsUtil::kQueueLabel);
    return made;
  });
}

bool isDeniedValue(const Object* value) {
  if (value == nullptr || !value->isString()) return false;
  std::string lowered = *value->asString();
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered == kTLMConsentDenied;
}

char signalCharacter(const Object* value) {
  if (value == nullptr || !value->isString()) return '-';
  if (*value->asString() == kTLMConsentDenied) return '0';
  if (*value->asString() == kTLMConsentGranted) return '1';
  return '-';
}

std::string describedValue(const OptionalObject& settings, const char* key) {
  const Object* value = settings ? settings->objectForKey(key) : nullptr;
  return value != nullptr ? value->stringValue() : std::string(kTLMConsentGranted);
}

}  // namespace

std::shared_ptr<DispatchQueue> TLMConsentSettingsUtil::serialQueue() { return state()->queue; }

OptionalObject TLMConsentSettingsUtil::consentSettings() {
  const std::shared_ptr<ConsentState> s = state();
  OptionalObject copy;
  s->queue->sync([&] { copy = s->settings; });
  return copy;
}

long TLMConsentSettingsUtil::consentSource() {
  const std::shared_ptr<ConsentState> s = state();
  long source = kTLMConsentSourceUnknown;
  s->queue->sync([&] { source = s->source; });
  return source;
}

void TLMConsentSettingsUtil::setConsentSource(long source) {
  const std::shared_ptr<ConsentState> s = state();
  s->queue->async([s, source] { s->source = source; });
}

void TLMConsentSettingsUtil::setConsentSettings(OptionalObject settings) {
  const std::shared_ptr<ConsentState> s = state();
  s->queue->async([s, settings = std::move(settings)] {
    s->settings = settings;
    if (!settings) s->source = kTLMConsentSourceUnknown;
  });
}

void TLMConsentSettingsUtil::updateSettings(const Object& settings) {
  const ObjectDictionary* given = settings.asDictionary();
  if (given == nullptr) return;
  const std::shared_ptr<ConsentState> s = state();
  s->queue->async([s, given = *given] {
    ObjectDictionary merged;
    if (s->settings && s->settings->asDictionary() != nullptr)
      merged = *s->settings->asDictionary();
    for (const auto& [key, value] : given) merged[key] = value;
    s->settings = Object::dictionary(std::move(merged));
  });
}

bool TLMConsentSettingsUtil::isDenied(const OptionalObject& settings, const char* key) {
  return settings && isDeniedValue(settings->objectForKey(key));
}

bool TLMConsentSettingsUtil::isAdStorageDenied() {
  if (!isConsentSettingsEnabled()) return false;
  return isDenied(consentSettings(), kTLMAdStorageKey);
}

bool TLMConsentSettingsUtil::isAnalyticsStorageDenied() {
  if (!isConsentSettingsEnabled()) return false;
  return isDenied(consentSettings(), kTLMAnalyticsStorageKey);
}

Object TLMConsentSettingsUtil::consentSettingsFromDictionary(const Object& dictionary) {
  ObjectDictionary kept;
  for (const char* key : {kTLMAdStorageKey, kTLMAnalyticsStorageKey}) {
    if (const Object* value = dictionary.objectForKey(key)) kept[Object(key)] = *value;
  }
  return Object::dictionary(std::move(kept));
}

Object TLMConsentSettingsUtil::consentSettingsFromPlist() {
  const Bundle& bundle = Platform::current().bundle();
  ObjectDictionary settings;
  const std::pair<const char*, const char*> entries[] = {
      {kTLMPlistDefaultAllowAdStorageKey, kTLMAdStorageKey},
      {kTLMPlistDefaultAllowAnalyticsStorageKey, kTLMAnalyticsStorageKey}};
  for (const auto& [plistKey, settingsKey] : entries) {
    const OptionalObject value = bundle.objectForInfoDictionaryKey(plistKey);
    if (!value || !value->isNumber()) continue;
    settings[Object(settingsKey)] =
        Object(value->boolValue() ? kTLMConsentGranted : kTLMConsentDenied);
  }
  return Object::dictionary(std::move(settings));
}

bool TLMConsentSettingsUtil::didWithdrawPreviousConsent(const OptionalObject& previous) {
  if (!isConsentSettingsEnabled()) return false;
  if (previous && !previous->isDictionary()) return false;
  const OptionalObject current = consentSettings();
  if (!current || !current->isDictionary()) return false;
  if (previous && *previous == *current) return false;
  for (const char* key : {kTLMAdStorageKey, kTLMAnalyticsStorageKey}) {
    if (!isDenied(previous, key) && isDenied(current, key)) return true;
  }
  return false;
}

bool TLMConsentSettingsUtil::isConsentSourceHigherPriority(long source) {
  return consentSource() >= source;
}

std::optional<std::string> TLMConsentSettingsUtil::consentSignals() {
  if (!isConsentSettings3PEnabled() || !isConsentSettingsEnabled()) return std::nullopt;
  const OptionalObject settings = consentSettings();
  std::string signal = "G1";
  for (const char* key : {kTLMAdStorageKey, kTLMAnalyticsStorageKey}) {
    signal += signalCharacter(settings ? settings->objectForKey(key) : nullptr);
  }
  return signal;
}

std::string TLMConsentSettingsUtil::description() {
  const OptionalObject settings = consentSettings();
  return std::string(kTLMAdStorageKey) + " is " + describedValue(settings, kTLMAdStorageKey) +
         ". " + kTLMAnalyticsStorageKey + " is " +
         describedValue(settings, kTLMAnalyticsStorageKey) + ".";
}

void TLMConsentSettingsUtil::setRemoteConfig(std::shared_ptr<TLMRemoteConfig> remoteConfig) {
  const std::shared_ptr<ConsentState> s = state();
  std::lock_guard<std::mutex> lock(s->remoteConfigMutex);
  s->remoteConfig = std::move(remoteConfig);
}

namespace {

// Keeps the connected configuration alive while it is asked.
template <typename Question>
bool askRemoteConfig(Question&& question) {
  const std::shared_ptr<ConsentState> s = state();
  std::shared_ptr<TLMRemoteConfig> connected;
  {
    std::lock_guard<std::mutex> lock(s->remoteConfigMutex);
    connected = s->remoteConfig;
  }
  return question(connected != nullptr ? *connected : TLMMeasurement::remoteConfig());
}

}  // namespace

bool TLMConsentSettingsUtil::isConsentSettingsEnabled() {
  return askRemoteConfig([](TLMRemoteConfig& config) { return config.isConsentSettingsEnabled(); });
}

bool TLMConsentSettingsUtil::isConsentSettings3PEnabled() {
  return askRemoteConfig(
      [](TLMRemoteConfig& config) { return config.isConsentSettings3PEnabled(); });
}
