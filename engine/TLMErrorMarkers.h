// The error markers that record the first problem of an event inside its
// own parameters: "_err" (error code), "_ev" (the offending name, trimmed)
// and "_el" (the length of the offending value). Later problems never
// overwrite them.
//
// Parameter dictionaries here map names to TLMValue objects. Plain
// functions, safe from any thread on dictionaries the caller owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ferrolux/Object.h"

inline constexpr char kTLMErrorCodeParameter[] = "_err";
inline constexpr char kTLMErrorValueParameter[] = "_ev";
inline constexpr char kTLMErrorLengthParameter[] = "_el";

// The codes recorded in "_err" and sent with the error event.
enum TLMErrorCode : std::int64_t {
  kTLMErrorCodeNoError = 0,
  kTLMErrorCodeInvalidQVRAppID = 1,
  kTLMErrorCodeInvalidEventName = 2,
  kTLMErrorCodeInvalidParameterName = 3,
  kTLMErrorCodeInvalidParameterValue = 4,
  kTLMErrorCodeParameterLimitReached = 5,
  kTLMErrorCodeInvalidUserPropertyName = 6,
  kTLMErrorCodeUserPropertyValueTooLong = 7,
  kTLMErrorCodeEventLimitReached = 8,
  kTLMErrorCodeUserPropertyLimitReached = 9,
  kTLMErrorCodeConversionEventLimitReached = 10,
  kTLMErrorCodeEventIsBlocked = 11,
  kTLMErrorCodeUserPropertyIsBlocked = 12,
  kTLMErrorCodeEventNameIsReserved = 13,
  kTLMErrorCodeParameterNameIsReserved = 14,
  kTLMErrorCodeUserPropertyNameIsReserved = 15,
  kTLMErrorCodePublicEventLimitReached = 16,
  kTLMErrorCodeTooManyExtraParamEvents = 17,
  kTLMErrorCodeValueIsNotNumeric = 18,
  kTLMErrorCodeCurrencyCodeIsMissingOrInvalid = 19,
  kTLMErrorCodeInvalidArrayParamName = 20,
  kTLMErrorCodeInvalidArrayParamEventName = 21,
  kTLMErrorCodeInvalidArrayParamNesting = 22,
  kTLMErrorCodeCustomParamsInArrayElement = 23,
};

// The "_ev" form of an offending name: a string of more than `maxLength`
// code points becomes its first `maxLength` code points and "..." (never
// splitting a character); a non-string becomes its class name, nil
// "(nil)". A string value (TLMValue) counts as its string. Bytes that are
// not UTF-8 are replaced by U+FFFD, one per byte, so the result is always
// valid UTF-8.
std::string tlm_trimmedErrorValue(const OptionalObject& value, std::size_t maxLength);

// The "_el" of an offending value: the code-point length of a string (or
// string value), the item count of an array (or array value); nullopt for
// anything else.
std::optional<std::int64_t> tlm_errorValueLength(const OptionalObject& value);

// Sets "_err" to `code` unless "_err" is present. Returns whether it did.
bool tlm_setErrorCodeIfAbsent(ObjectDictionary& parameters, std::int64_t code);

// Sets "_err", "_ev" = `errorValue` (already trimmed) and, when given,
// "_el", unless any of the three is present. Returns whether it did.
bool tlm_setErrorMarkersIfAbsent(ObjectDictionary& parameters, std::int64_t code,
                                 const std::string& errorValue,
                                 std::optional<std::int64_t> errorLength);
