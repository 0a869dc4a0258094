// TLMRemoteConfig: parsing a measurement configuration into the caches,
// the per-event answers, the event-editing runtime and reset.
#include <array>
#include <string_view>
#include <utility>

#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNMutableDictionary.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelError = 2;
constexpr int kLevelNotice = 5;
constexpr int kLevelDebug = 7;

// The public event names that the event pipeline stores under an internal
// name; their configurations are kept under that name.
constexpr std::array<std::pair<std::string_view, std::string_view>, 1> kConfigEventNameMapping = {{
    {"ad_impression", "_ai"},
}};

}  // namespace

std::string TLMRemoteConfig::internalEventNameForConfigName(std::string_view name) {
  for (const auto& [publicName, internalName] : kConfigEventNameMapping) {
    if (name == publicName) return std::string(internalName);
  }
  return std::string(name);
}

void TLMRemoteConfig::publish(std::shared_ptr<HRNMutableDictionary> flags,
                              std::shared_ptr<const EventConfigMap> eventConfigs) {
  // Released after the lock.
  std::shared_ptr<HRNMutableDictionary> replacedFlags;
  std::shared_ptr<const EventConfigMap> replacedEventConfigs;
  std::lock_guard<std::mutex> lock(mutex_);
  replacedFlags = std::exchange(cachedValueByRemoteConfigKeys_, std::move(flags));
  replacedEventConfigs = std::exchange(cachedEventConfigByEventName_, std::move(eventConfigs));
}

void TLMRemoteConfig::parseRemoteConfigFromMeasurementConfig(
    const TLMPBMeasurementConfig& measurementConfig) {
  TLMMonitor& monitor = TLMMeasurement::monitor();
  if (measurementConfig.settings_size() == 0) {
    monitor.logWithLevel(kLevelError, kTLMRemoteConfigCodeNoSettings,
                         "Cannot parse empty measurement config. Using default values");
    return;
  }
  // The default instance has no app ID and so never matches.
  if (isDefaultInstance_ || !measurementConfig.has_qvr_app_id() ||
      measurementConfig.qvr_app_id() != appID_) {
    return;
  }

  // Both caches are filled completely, then swapped in together, so a
  // reader never sees half of a configuration. A later entry of the same
  // name replaces an earlier one.
  auto flags = std::make_shared<HRNMutableDictionary>();
  for (const TLMPBSetting& setting : measurementConfig.settings()) {
    if (setting.name().empty() || !setting.has_value()) {
      monitor.logWithLevel(kLevelNotice, kTLMRemoteConfigCodeEmptyCacheValue,
                           "Cannot cache empty configuration value");
      continue;
    }
    flags->setObject(Object(setting.value()), Object(setting.name()));
  }
  auto eventConfigs = std::make_shared<EventConfigMap>();
  for (TLMPBEventConfig& eventConfig : measurementConfig.event_config()) {
    if (eventConfig.name().empty()) {
      monitor.logWithLevel(kLevelNotice, kTLMRemoteConfigCodeEmptyEventConfigName,
                           "Cannot cache event configuration with an empty configuration name");
      continue;
    }
    (*eventConfigs)[internalEventNameForConfigName(eventConfig.name())] = std::move(eventConfig);
  }
  publish(std::move(flags), std::move(eventConfigs));

  if (measurementConfig.has_version()) {
    monitor.logWithLevel(kLevelDebug, kTLMRemoteConfigCodeParsed,
                         "Successfully parsed a configuration. Version",
                         Object::integer(measurementConfig.version()));
  }
  // Without programs the runtime made from an earlier configuration stays.
  if (measurementConfig.dynamic_event_editing_size() > 0) loadEventEditing(measurementConfig);
}

void TLMRemoteConfig::loadEventEditing(const TLMPBMeasurementConfig& measurementConfig) {
  std::shared_ptr<TLMEventEditingRuntime> runtime;
  if (hooks_.eventEditingLoader) {
    Error error;
    runtime = hooks_.eventEditingLoader(measurementConfig.dynamic_event_editing(), weak_from_this(),
                                        &error);
    if (runtime == nullptr) {
      TLMMeasurement::monitor().logWithLevel(kLevelFailure, kTLMRemoteConfigCodeEventEditingFailed,
                                             "Failed to initiate event editing instance",
                                             Object::error(error));
    } else {
      TLMMeasurement::monitor().logWithLevel(kLevelDebug, kTLMRemoteConfigCodeEventEditingLoaded,
                                             "Loading Event Modification and Creation programs",
                                             Object::integer(static_cast<std::int64_t>(
                                                 measurementConfig.dynamic_event_editing_size())));
    }
  }
  // The new programs replace the old ones even when they cannot be run:
  // no editing until a configuration loads.
  std::shared_ptr<TLMEventEditingRuntime> replaced;
  std::lock_guard<std::mutex> lock(mutex_);
  replaced = std::exchange(eventEditing_, std::move(runtime));
}

std::shared_ptr<TLMEventEditingRuntime> TLMRemoteConfig::eventEditing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return eventEditing_;
}

std::int64_t TLMRemoteConfig::version() const {
  const std::shared_ptr<const TLMPBMeasurementConfig> config = measurementConfig();
  return config != nullptr && config->has_version() ? config->version() : -1;
}

std::shared_ptr<const TLMPBMeasurementConfig> TLMRemoteConfig::measurementConfig() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return remoteConfigProto_;
}

void TLMRemoteConfig::reset() {
  std::shared_ptr<const TLMPBMeasurementConfig> dropped;  // released after the lock
  std::shared_ptr<TLMExperimentManagerSeam> manager;
  publish(std::make_shared<HRNMutableDictionary>(), std::make_shared<const EventConfigMap>());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isDefaultInstance_) dropped = std::exchange(remoteConfigProto_, nullptr);
    manager = experimentManager_;
  }
  if (manager != nullptr) manager->reset();
  setRandomGeneratorStudyEnabled(currentRandomGeneratorStudyEnabledFlag());
}

// ---- Per-event answers ----

const TLMPBEventConfig* TLMRemoteConfig::eventConfigEntry(
    const std::string& name, std::shared_ptr<const EventConfigMap>& holder) const {
  if (name.empty()) {
    TLMMeasurement::monitor().logWithLevel(kLevelNotice, kTLMRemoteConfigCodeEmptyEventName,
                                           "Cannot find event config with empty event name");
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    holder = cachedEventConfigByEventName_;
  }
  const auto found = holder->find(name);
  return found != holder->end() ? &found->second : nullptr;
}

std::optional<TLMPBEventConfig> TLMRemoteConfig::eventConfigWithName(
    const std::string& name) const {
  std::shared_ptr<const EventConfigMap> holder;
  const TLMPBEventConfig* entry = eventConfigEntry(name, holder);
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

bool TLMRemoteConfig::isEventBlocklisted(const std::string& name) const {
  std::shared_ptr<const EventConfigMap> holder;
  const TLMPBEventConfig* entry = eventConfigEntry(name, holder);
  if (entry != nullptr && entry->has_is_blocklisted() && entry->is_blocklisted()) return true;
  return !name.empty() && name.front() == '_' ? blocklistInternal() : blocklistPublic();
}

bool TLMRemoteConfig::isEventCustomConversion(const std::string& name) const {
  std::shared_ptr<const EventConfigMap> holder;
  const TLMPBEventConfig* entry = eventConfigEntry(name, holder);
  return entry != nullptr && entry->has_is_custom_conversion() && entry->is_custom_conversion();
}

bool TLMRemoteConfig::eventHasSamplingRate(const std::string& name) const {
  std::shared_ptr<const EventConfigMap> holder;
  const TLMPBEventConfig* entry = eventConfigEntry(name, holder);
  return entry != nullptr && entry->has_sampling_rate();
}

std::int32_t TLMRemoteConfig::samplingRateForEvent(const std::string& name) const {
  std::shared_ptr<const EventConfigMap> holder;
  const TLMPBEventConfig* entry = eventConfigEntry(name, holder);
  if (entry == nullptr || !entry->has_sampling_rate()) return 1;
  const std::int32_t rate = entry->sampling_rate();
  return rate >= kTLMMinimumSamplingRate && rate <= kTLMMaximumSamplingRate ? rate : 1;
}
