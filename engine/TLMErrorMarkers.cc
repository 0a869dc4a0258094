#include "engine/TLMErrorMarkers.h"

#include "common/StringHelpers.h"
#include "engine/TLMCharacterClasses.h"
#include "engine/TLMValidationLimits.h"
#include "engine/TLMValue.h"

namespace {

bool contains(const ObjectDictionary& parameters, const char* key) {
  return parameters.find(Object(key)) != parameters.end();
}

}  // namespace

std::string tlm_trimmedErrorValue(const OptionalObject& value, std::size_t maxLength) {
  if (!value) return "(nil)";
  const TLMValuePtr typed = TLMValue::fromObject(*value);
  const std::string* text = typed != nullptr ? typed->stringValue() : value->asString();
  if (text == nullptr) return value->className();
  if (tlm_UTF32Length(*text) <= maxLength) return tlm_repairedUTF8(*text);
  std::string trimmed = tlm_repairedUTF8(tlm_UTF32Prefix(*text, maxLength));
  trimmed.append(kTLMTrimmedSuffix);
  return trimmed;
}

std::optional<std::int64_t> tlm_errorValueLength(const OptionalObject& value) {
  if (!value) return std::nullopt;
  if (const std::string* text = value->asString()) {
    return static_cast<std::int64_t>(tlm_UTF32Length(*text));
  }
  if (const ObjectArray* items = value->asArray()) return static_cast<std::int64_t>(items->size());
  if (const TLMValuePtr typed = TLMValue::fromObject(*value)) {
    if (const std::string* text = typed->stringValue()) {
      return static_cast<std::int64_t>(tlm_UTF32Length(*text));
    }
    if (const ObjectArray* items = typed->arrayValue()) {
      return static_cast<std::int64_t>(items->size());
    }
  }
  return std::nullopt;
}

bool tlm_setErrorCodeIfAbsent(ObjectDictionary& parameters, std::int64_t code) {
  if (contains(parameters, kTLMErrorCodeParameter)) return false;
  parameters[Object(kTLMErrorCodeParameter)] = TLMValue::initWithInt64(code)->asObject();
  return true;
}

bool tlm_setErrorMarkersIfAbsent(ObjectDictionary& parameters, std::int64_t code,
                                 const std::string& errorValue,
                                 std::optional<std::int64_t> errorLength) {
  if (contains(parameters, kTLMErrorCodeParameter) ||
      contains(parameters, kTLMErrorValueParameter) ||
      contains(parameters, kTLMErrorLengthParameter)) {
    return false;
  }
  parameters[Object(kTLMErrorCodeParameter)] = TLMValue::initWithInt64(code)->asObject();
  parameters[Object(kTLMErrorValueParameter)] = TLMValue::fromString(errorValue)->asObject();
  if (errorLength) {
    parameters[Object(kTLMErrorLengthParameter)] =
        TLMValue::initWithInt64(*errorLength)->asObject();
  }
  return true;
}
