#include "engine/TLMEvent.h"

#include <utility>

#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMParameterSanitizer.h"
#include "engine/TLMTime.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kDefaultEditedOrigin[] = "app";
constexpr long kCodeNonFiniteTimestamp = 16005;
constexpr std::string_view kAdImpressionLongName = "ad_impression";
constexpr std::string_view kAdImpressionShortName = "_ai";

// The sanitised copy of caller parameters (values become TLMValue
// objects), or an empty dictionary when nothing is left.
ObjectDictionary sanitizedParameters(const ObjectDictionary& parameters,
                                     std::optional<std::string_view> eventName,
                                     bool isPublicEvent) {
  std::optional<ObjectDictionary> sanitized =
      tlm_sanitizedParameters(parameters, eventName, isPublicEvent, /*isItem=*/false);
  return sanitized ? std::move(*sanitized) : ObjectDictionary();
}

// One parameter value as the editing runtime sees it; nothing for a kind it
// does not take. Array items are converted one level deep only.
OptionalObject editObjectFromValue(const Object& object, bool allowArray) {
  const TLMValuePtr value = TLMValue::fromObject(object);
  if (value == nullptr) return std::nullopt;
  switch (value->valueType()) {
    case TLMValueTypeDouble:
      return Object::floating(value->doubleValue());
    case TLMValueTypeInt64:
      return Object::integer(value->int64Value());
    case TLMValueTypeString:
      return value->value();
    case TLMValueTypeArray: {
      if (!allowArray) return std::nullopt;
      ObjectArray items;
      for (const Object& item : *value->arrayValue()) {
        const ObjectDictionary* entries = item.asDictionary();
        if (entries == nullptr) continue;
        ObjectDictionary converted;
        for (const auto& [key, entry] : *entries) {
          if (OptionalObject plain = editObjectFromValue(entry, /*allowArray=*/false)) {
            converted.emplace(key, std::move(*plain));
          }
        }
        items.push_back(Object::dictionary(std::move(converted)));
      }
      return Object::array(std::move(items));
    }
    default:
      return std::nullopt;
  }
}

}  // namespace

TLMEvent::TLMEvent(Token, std::string origin, std::string name, double timestamp,
                   double previousTimestamp)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      timestamp_(timestamp),
      previousTimestamp_(previousTimestamp) {}

TLMEventPtr TLMEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                     const std::string& name, double timestamp,
                                     double previousTimestamp, const ObjectDictionary& parameters) {
  const Object originObject(origin);
  unsigned failureCode = kTLMValidatorValid;
  if (!TLMDataTypeValidator::isValidForwardedEventOrigin(originObject, &failureCode)) {
    if (failureCode != kTLMValidatorFailureNotForwarded) return nullptr;
    if (!TLMDataTypeValidator::isValidInternalEventOrigin(originObject, nullptr)) return nullptr;
  }
  const Object nameObject(name);
  if (isPublic && !TLMDataTypeValidator::isValidPublicEventName(nameObject, nullptr)) {
    return nullptr;
  }
  if (!TLMDataTypeValidator::isValidInternalEventName(nameObject, nullptr)) return nullptr;
  if (!tlm_isFiniteTime(timestamp) || !tlm_isFiniteTime(previousTimestamp)) {
    TLMMeasurement::monitor().logWithLevel(
        4, kCodeNonFiniteTimestamp,
        "Failed to create event. Received timestamp that is not a finite number. Event name",
        Object(TLMNames::debugDisplayEventName(name)));
    return nullptr;
  }
  if (previousTimestamp > timestamp) {
    TLMMeasurement::monitor().logWithLevel(
        5, 16002, "Event created with previous timestamp after current timestamp");
  }

  auto event = std::make_shared<TLMEvent>(Token(), origin, name, timestamp, previousTimestamp);
  event->parameters_ = sanitizedParameters(parameters, name, isPublic);
  event->setParameterValue(kTLMEventParamOrigin, TLMValue::fromString(origin));
  if (event->shouldValidateParams() && !tlm_checkValueAndCurrency(event->parameters_)) {
    event->removeParameter(kTLMEventParamConversion);
  }
  return event;
}

TLMValuePtr TLMEvent::parameterValue(std::string_view name) const {
  auto found = parameters_.find(Object(name));
  return found != parameters_.end() ? TLMValue::fromObject(found->second) : nullptr;
}

void TLMEvent::setParameterValue(const std::string& name, TLMValuePtr value) {
  if (value == nullptr) {
    removeParameter(name);
    return;
  }
  parameters_.insert_or_assign(Object(name), value->asObject());
}

void TLMEvent::removeParameter(std::string_view name) { parameters_.erase(Object(name)); }

bool TLMEvent::hasParameter(std::string_view name) const {
  return parameters_.find(Object(name)) != parameters_.end();
}

bool TLMEvent::markerIsSet(std::string_view name) const {
  const TLMValuePtr value = parameterValue(name);
  return value != nullptr && value->isInt64() && value->int64Value() == 1;
}

void TLMEvent::setMarker(const std::string& name, bool set) {
  if (set) {
    setParameterValue(name, TLMValue::initWithInt64(1));
  } else {
    removeParameter(name);
  }
}

bool TLMEvent::conversion() const { return markerIsSet(kTLMEventParamConversion); }

bool TLMEvent::realtime() const {
  if (!hasParameter(kTLMEventParamRealtime)) return false;
  const TLMValuePtr value = parameterValue(kTLMEventParamRealtime);
  if (value == nullptr || !value->isInt64()) {
    TLMMeasurement::monitor().logWithLevel(2, 16006,
                                           "Realtime parameter must be an int64. Event name",
                                           Object(TLMNames::debugDisplayEventName(name_)));
    return false;
  }
  return value->int64Value() == 1;
}

bool TLMEvent::debug() const { return markerIsSet(kTLMEventParamDebug); }

void TLMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!tlm_checkValueAndCurrency(parameters_)) return;
    setMarker(kTLMEventParamConversion, true);
    const TLMValuePtr error = parameterValue(kTLMEventParamError);
    if (error != nullptr && error->isInt64() &&
        error->int64Value() == kTLMEventConversionErrorCode) {
      removeParameter(kTLMEventParamError);
    }
    return;
  }
  if (!hasParameter(kTLMEventParamConversion)) return;
  removeParameter(kTLMEventParamConversion);
  if (!hasParameter(kTLMEventParamError)) {
    setParameterValue(kTLMEventParamError, TLMValue::initWithInt64(kTLMEventConversionErrorCode));
  }
}

void TLMEvent::setRealtime(bool realtime) { setMarker(kTLMEventParamRealtime, realtime); }

void TLMEvent::setDebug(bool debug) { setMarker(kTLMEventParamDebug, debug); }

bool TLMEvent::shouldValidateParams() const {
  return conversion() || name_ == kAdImpressionLongName || name_ == kAdImpressionShortName;
}

void TLMEvent::applyParameters(const ObjectDictionary& parameters) {
  if (parameters.empty()) return;
  ObjectDictionary defaults = sanitizedParameters(parameters, std::nullopt, /*isPublicEvent=*/true);
  if (defaults.empty()) return;
  // The event's own values win over the defaults.
  for (const auto& [key, value] : parameters_) defaults.insert_or_assign(key, value);
  parameters_ = std::move(defaults);
}

bool TLMEvent::addScreenParameters(const ObjectDictionary& screenParameters) {
  if (screenParameters.empty()) return false;
  if (hasParameter(kTLMEventParamScreenName) || hasParameter(kTLMEventParamScreenClass) ||
      hasParameter(kTLMEventParamScreenID)) {
    return false;
  }
  auto lookUp = [&](const char* key) -> const Object* {
    auto found = screenParameters.find(Object(key));
    return found != screenParameters.end() ? &found->second : nullptr;
  };
  const Object* screenID = lookUp(kTLMEventParamScreenID);
  if (screenID == nullptr) return false;
  const TLMValuePtr screenIDValue = TLMValue::fromObject(*screenID);
  if (!screenID->isNumber() && (screenIDValue == nullptr || !screenIDValue->isInt64())) {
    return false;
  }
  // A screen class or name, given as a string or a string value, must be a
  // valid screen parameter value.
  auto isValidScreenString = [](const Object& object) {
    const TLMValuePtr value = TLMValue::fromObject(object);
    const std::string* text = value != nullptr ? value->stringValue() : object.asString();
    return text != nullptr &&
           TLMDataTypeValidator::isValidScreenParameterValue(Object(*text), nullptr);
  };
  const Object* screenClass = lookUp(kTLMEventParamScreenClass);
  if (screenClass != nullptr && !isValidScreenString(*screenClass)) {
    TLMMeasurement::monitor().logWithLevel(3, 16003, "Received invalid screen class", *screenClass);
    return false;
  }
  const Object* screenName = lookUp(kTLMEventParamScreenName);
  if (screenName != nullptr && !isValidScreenString(*screenName)) {
    TLMMeasurement::monitor().logWithLevel(3, 16004, "Received invalid screen name", *screenName);
    return false;
  }
  setParameterValue(kTLMEventParamScreenID, TLMValue::valueFromObject(*screenID));
  if (screenClass != nullptr) {
    setParameterValue(kTLMEventParamScreenClass, TLMValue::valueFromObject(*screenClass));
  }
  if (screenName != nullptr) {
    setParameterValue(kTLMEventParamScreenName, TLMValue::valueFromObject(*screenName));
  }
  return true;
}

TLMEventPtr TLMEvent::copy() const { return copyWithParameters(parameters_); }

TLMEventPtr TLMEvent::copyWithParameters(const ObjectDictionary& parameters) const {
  return initWithOrigin(origin_, /*isPublic=*/false, name_, timestamp_, previousTimestamp_,
                        parameters);
}

TLMEventPtr TLMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  return initWithOrigin(origin_, /*isPublic=*/false, name_, timestamp_, previousTimestamp,
                        parameters_);
}

TLMEditEventFields TLMEvent::editEvent() const {
  TLMEditEventFields fields;
  fields.name = TLMNames::longEventName(name_).value_or(name_);
  fields.timestamp = timestamp_;
  for (const auto& [key, value] : parameters_) {
    if (OptionalObject plain = editObjectFromValue(value, /*allowArray=*/true)) {
      fields.parameters.emplace(key, std::move(*plain));
    }
  }
  return fields;
}

TLMEventPtr TLMEvent::eventFromEditEvent(const TLMEditEventFields& editEvent) {
  const std::string name = TLMNames::shortEventName(editEvent.name).value_or(editEvent.name);
  std::string origin = kDefaultEditedOrigin;
  auto found = editEvent.parameters.find(Object(kTLMEventParamOrigin));
  if (found != editEvent.parameters.end()) {
    const TLMValuePtr value = TLMValue::fromObject(found->second);
    const std::string* text = value != nullptr ? value->stringValue() : found->second.asString();
    if (text != nullptr) origin = *text;
  }
  return initWithOrigin(origin, /*isPublic=*/false, name, editEvent.timestamp,
                        /*previousTimestamp=*/0, editEvent.parameters);
}

std::string TLMEvent::description() const {
  return "TLMEvent(origin: " + origin_ + ", name: " + TLMNames::debugDisplayEventName(name_) +
         ", timestamp: " + Object::floating(timestamp_).stringValue() +
         ", previousTimestamp: " + Object::floating(previousTimestamp_).stringValue() +
         ", parameters: " + Object::dictionary(parameters_).description() + ")";
}
