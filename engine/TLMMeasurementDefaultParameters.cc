// Default event parameters: kept in the persisted configuration and
// added to every event the app logs (the event's own values win).
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <utility>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMErrorEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMValue.h"

namespace {

constexpr long kCodeDisabled = 23211;
constexpr long kCodeInvalidKey = 23212;
constexpr long kCodeInvalidValue = 23213;
constexpr long kCodeInvalidName = 23214;
constexpr long kCodeTooMany = 23215;
constexpr long kCodeUpdating = 23216;

// Error event codes (code only).
constexpr std::int64_t kErrorCodeTooManyDefaultParameters = 26;
constexpr std::int64_t kErrorCodeArrayDefaultParameter = 27;

ObjectDictionary storedDefaults(TLMPersistedConfig& persistedConfig) {
  const OptionalObject stored = persistedConfig.defaultEventParameters();
  if (stored && stored->asDictionary() != nullptr) return *stored->asDictionary();
  return {};
}

}  // namespace

void TLMMeasurement::setDefaultEventParameters(const OptionalObject& parameters) {
  scheduleWeakly("TLMMeasurement:2285", [parameters](TLMMeasurement& engine) {
    engine.handleSetDefaultEventParametersOnWorkerQueue(parameters);
  });
}

void TLMMeasurement::handleSetDefaultEventParametersOnWorkerQueue(
    const OptionalObject& parameters) {
  if (!isEnabled()) {
    report(7, kCodeDisabled, "Analytics is disabled. Default event parameters not updated");
    return;
  }
  if (persistedConfig_ == nullptr) return;

  ObjectDictionary defaults;
  if (parameters) {
    defaults = storedDefaults(*persistedConfig_);
    const ObjectDictionary* given = parameters->asDictionary();
    for (const auto& [key, value] : given != nullptr ? *given : ObjectDictionary()) {
      if (!key.isString()) {
        report(4, kCodeInvalidKey, "Invalid key in default event parameters. Parameter ignored.");
        continue;
      }
      if (!value.isNumber() && !value.isString() && !value.isNull()) {
        report(4, kCodeInvalidValue, "Invalid key in default event parameters. Parameter ignored.");
        if (value.isArray()) tlm_logErrorEventWithCode(kErrorCodeArrayDefaultParameter);
        continue;
      }
      if (!TLMDataTypeValidator::isValidPublicEventParameterName(key, nullptr)) {
        report(4, kCodeInvalidName, "Invalid default event parameter name. Name", {key});
        continue;
      }
      if (value.isNull()) {
        defaults.erase(key);
      } else if (const TLMValuePtr checked = TLMValue::valueFromObject(value);
                 checked != nullptr && TLMDataTypeValidator::isValidPublicEventParameterValue(
                                           checked->asObject(), nullptr)) {
        // Stored as given: events sanitise the defaults again when applied.
        defaults.insert_or_assign(key, value);
      }
    }
  }

  const TLMRemoteConfig& flags = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  const std::size_t limit = static_cast<std::size_t>(std::max(0, flags.maxPublicEventParams()));
  if (defaults.size() > limit) {
    // The greatest names go first, so the same ones survive every time.
    while (defaults.size() > limit) defaults.erase(std::prev(defaults.end()));
    tlm_logErrorEventWithCode(kErrorCodeTooManyDefaultParameters);
    report(4, kCodeTooMany,
           "Too many default event parameters set. Discarding beyond event parameter limit");
  }

  report(7, kCodeUpdating, "Updating default event parameters. Parameters",
         {Object::dictionary(defaults)});
  persistedConfig_->setDefaultEventParameters(
      defaults.empty() ? OptionalObject()
                       : OptionalObject(Object::dictionary(std::move(defaults))));
}

OptionalObject TLMMeasurement::parametersWithAddedDefaultEventParameters(
    const OptionalObject& parameters) {
  if (persistedConfig_ == nullptr) return parameters;
  ObjectDictionary merged = storedDefaults(*persistedConfig_);
  if (merged.empty()) return parameters;
  if (parameters) {
    const ObjectDictionary* given = parameters->asDictionary();
    if (given == nullptr) return parameters;
    for (const auto& [key, value] : *given) merged.insert_or_assign(key, value);
  }
  return Object::dictionary(std::move(merged));
}
