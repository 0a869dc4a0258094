// The fixed rules every name and value must pass before the library stores
// it: event names and origins, parameter names and values, array
// parameters, user-property names and values, screen parameters and the
// value/currency pair.
//
// Stateless class methods, safe from any thread. Each check answers true
// or false and, when `failureCode` is given, stores why (0 when it
// passed). A failed check reports one message through the monitor unless
// stated otherwise. Names and values are taken as objects because callers
// pass whatever the host gave them: nil, a non-string or a string that is
// not valid UTF-8 fails instead of crashing.
#pragma once

#include <cstddef>
#include <string_view>

#include "ferrolux/Object.h"

// Why a check failed (the `failureCode` out-parameter).
enum TLMValidatorFailureCode : unsigned {
  kTLMValidatorValid = 0,
  kTLMValidatorFailureNilOrEmpty = 1,
  kTLMValidatorFailureTooLong = 2,
  kTLMValidatorFailureForbiddenCharacter = 3,  // also: public name not starting with a letter
  kTLMValidatorFailureReserved = 4,            // reserved name or reserved prefix
  kTLMValidatorFailureWrongType = 5,           // not a string (or not UTF-8), not a TLMValue
  kTLMValidatorFailureNotForwarded = 6,        // origin without the forwarding suffix
  kTLMValidatorFailureTooShort = 7,
  kTLMValidatorFailureNotNumeric = 8,
  kTLMValidatorFailureInvalidCurrencyCode = 9,
  kTLMValidatorFailureArrayOnNonEcommerceEvent = 10,
  kTLMValidatorFailureArrayNotNamedItems = 11,
  kTLMValidatorFailureTooManyArrayItems = 12,
  kTLMValidatorFailureNestedArray = 13,
  kTLMValidatorFailureArrayItemNotDictionary = 14,
};

// What is being checked; selects the subject word of each message.
enum TLMValidatorSubject : int {
  kTLMSubjectEventName = 0,
  kTLMSubjectEventOrigin = 1,
  kTLMSubjectEventParameterName = 2,
  kTLMSubjectEventParameterValue = 3,
  kTLMSubjectUserPropertyName = 4,
  kTLMSubjectUserPropertyValue = 5,
  kTLMSubjectScreenParameterValue = 6,
  kTLMSubjectConditionalUserPropertyOrigin = 7,
  kTLMSubjectConditionalUserPropertyName = 8,
  kTLMSubjectConditionalUserPropertyValue = 9,
};

class TLMDataTypeValidator {
 public:
  // Building blocks.

  // A string of `minLength` to `maxLength` code points.
  static bool isValidString(const OptionalObject& object, std::size_t minLength,
                            std::size_t maxLength, int type, unsigned* failureCode);
  // A non-empty string of letters, decimal digits and "_", at most
  // `maxLength` code points.
  static bool isValidInternalName(const OptionalObject& name, std::size_t maxLength, int type,
                                  unsigned* failureCode);
  // An internal name that starts with a letter.
  static bool isValidPublicName(const OptionalObject& name, std::size_t maxLength, int type,
                                unsigned* failureCode);
  // A TLMValue; a string value must have `minLength` to `maxLength` code
  // points, numbers and arrays pass.
  static bool isValidValue(const OptionalObject& value, std::size_t minLength,
                           std::size_t maxLength, int type, unsigned* failureCode);
  // Whether `name` begins with "quillfen_", "tarvix_" or "tx_". Silent.
  static bool hasReservedPrefixes(std::string_view name);

  // Events.
  static bool isValidPublicEventName(const OptionalObject& name, unsigned* failureCode);
  static bool isValidInternalEventName(const OptionalObject& name, unsigned* failureCode);
  static bool isValidInternalEventOrigin(const OptionalObject& origin, unsigned* failureCode);
  // An internal name followed by "+wkl". Without the suffix (and when nil
  // or empty) it fails silently, so that callers can try the internal
  // origin rule next.
  static bool isValidForwardedEventOrigin(const OptionalObject& origin, unsigned* failureCode);
  static bool isValidPublicEventParameterName(const OptionalObject& name, unsigned* failureCode);
  static bool isValidInternalEventParameterName(const OptionalObject& name, unsigned* failureCode);
  static bool isValidPublicEventParameterValue(const OptionalObject& value, unsigned* failureCode);
  static bool isValidInternalEventParameterValue(const OptionalObject& value,
                                                 unsigned* failureCode);
  // Whether an array parameter of `arrayCount` items named `paramName` may
  // sit on `eventName` (nil for parameters that belong to no event).
  static bool isValidArrayParamForEvent(const OptionalObject& eventName,
                                        const OptionalObject& paramName, std::size_t arrayCount,
                                        bool isNestedArrayParam, unsigned* failureCode);
  static bool isValidArrayParamItem(const OptionalObject& item, unsigned* failureCode);

  // User properties.
  static bool isValidPublicUserAttributeName(const OptionalObject& name, unsigned* failureCode);
  static bool isValidPublicUserAttributeValue(const OptionalObject& value, unsigned* failureCode);
  static bool isValidInternalUserAttributeName(const OptionalObject& name, unsigned* failureCode);
  static bool isValidInternalUserAttributeValue(const OptionalObject& value,
                                                const OptionalObject& name, unsigned* failureCode);

  // Screens and conditional user properties.
  static bool isValidScreenParameterValue(const OptionalObject& value, unsigned* failureCode);
  static bool isValidConditionalUserPropertyOrigin(const OptionalObject& origin,
                                                   unsigned* failureCode);
  static bool isValidConditionalUserPropertyName(const OptionalObject& name, unsigned* failureCode);
  static bool isValidConditionalUserPropertyValue(const OptionalObject& value,
                                                  unsigned* failureCode);

  // The value/currency pair: a TLMValue of integer or double kind, and a
  // string value of exactly three letters (counted in UTF-16 units).
  static bool isValidNumericValue(const OptionalObject& value, unsigned* failureCode);
  static bool isValidCurrencyCode(const OptionalObject& value, unsigned* failureCode);

  // The subject word of a message ("Event name", ..., "Object").
  static std::string_view subjectForType(int type);
};
