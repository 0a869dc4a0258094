#include "engine/TLMErrorEvent.h"

#include <optional>
#include <string>

#include "engine/TLMErrorEventSeam.h"
#include "engine/TLMErrorMarkers.h"

void tlm_logErrorEvent(std::int64_t code, const OptionalObject& name, std::size_t maxLength,
                       const OptionalObject& value) {
  if (code == kTLMErrorCodeNoError) return;
  ObjectDictionary parameters;
  parameters[Object(kTLMErrorCodeParameter)] = Object::integer(code);
  parameters[Object(kTLMErrorValueParameter)] = Object(tlm_trimmedErrorValue(name, maxLength));
  const std::optional<std::int64_t> length = tlm_errorValueLength(value);
  if (length && (code == kTLMErrorCodeInvalidParameterValue ||
                 code == kTLMErrorCodeUserPropertyValueTooLong ||
                 *length > static_cast<std::int64_t>(maxLength))) {
    parameters[Object(kTLMErrorLengthParameter)] = Object::integer(*length);
  }
  TLMErrorEventSeam::logInternalEventWithOrigin(kTLMErrorEventOrigin, kTLMErrorEventName,
                                                parameters);
}

void tlm_logErrorEventWithCode(std::int64_t code) {
  if (code == kTLMErrorCodeNoError) return;
  ObjectDictionary parameters;
  parameters[Object(kTLMErrorCodeParameter)] = Object::integer(code);
  TLMErrorEventSeam::logInternalEventWithOrigin(kTLMErrorEventOrigin, kTLMErrorEventName,
                                                parameters);
}
