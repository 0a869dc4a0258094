#include "engine/TLMDataTypeValidator.h"

#include <algorithm>
#include <string>

#include "common/StringHelpers.h"
#include "engine/TLMCharacterClasses.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMValidationLimits.h"
#include "engine/TLMValidationTables.h"
#include "engine/TLMValue.h"
#include "upload/TLMMonitor.h"

namespace {

// Message codes of the validator.
constexpr long kCodeInvalidString = 13000;
constexpr long kCodeRequired = 13001;
constexpr long kCodeForbiddenCharacter = 13002;
constexpr long kCodeMustStartWithLetter = 13003;
constexpr long kCodeValueNil = 13004;
constexpr long kCodeValueNotTLMValue = 13005;
constexpr long kCodeEventNameReserved = 13006;
constexpr long kCodeEventNamePrefix = 13007;
constexpr long kCodeParameterNamePrefix = 13008;
constexpr long kCodeUserPropertyNameReserved = 13009;
constexpr long kCodeUserPropertyNamePrefix = 13010;
constexpr long kCodeNotNumeric = 13011;
constexpr long kCodeCurrencyCode = 13012;
constexpr long kCodeArrayParam = 13013;
constexpr long kCodeArrayItem = 13014;

TLMMonitor& monitor() { return TLMMeasurement::monitor(); }

void setFailure(unsigned* failureCode, unsigned code) {
  if (failureCode != nullptr) *failureCode = code;
}

bool fail(unsigned* failureCode, unsigned code) {
  setFailure(failureCode, code);
  return false;
}

bool pass(unsigned* failureCode) {
  setFailure(failureCode, kTLMValidatorValid);
  return true;
}

// Value subjects report at warning level; everything else at error level.
int levelForType(int type) {
  return (type == kTLMSubjectEventParameterValue || type == kTLMSubjectUserPropertyValue) ? 3 : 0;
}

std::string message(int type, std::string_view suffix) {
  std::string text(TLMDataTypeValidator::subjectForType(type));
  text.append(suffix);
  return text;
}

// The string inside a string object; null for anything else.
const std::string* stringOf(const OptionalObject& object) {
  return object ? object->asString() : nullptr;
}

bool isIdentifierUserProperty(const OptionalObject& name) {
  const std::string* text = stringOf(name);
  return text != nullptr &&
         std::find(kTLMIdentifierUserPropertyNames.begin(), kTLMIdentifierUserPropertyNames.end(),
                   *text) != kTLMIdentifierUserPropertyNames.end();
}

bool isAllowedTableEventName(std::string_view name) {
  return std::find(kTLMAllowedTableEventNames.begin(), kTLMAllowedTableEventNames.end(), name) !=
         kTLMAllowedTableEventNames.end();
}

}  // namespace

std::string_view TLMDataTypeValidator::subjectForType(int type) {
  switch (type) {
    case kTLMSubjectEventName:
      return "Event name";
    case kTLMSubjectEventOrigin:
      return "Event origin";
    case kTLMSubjectEventParameterName:
      return "Event parameter name";
    case kTLMSubjectEventParameterValue:
      return "Event parameter value";
    case kTLMSubjectUserPropertyName:
      return "User property name";
    case kTLMSubjectUserPropertyValue:
      return "User property value";
    case kTLMSubjectScreenParameterValue:
      return "Screen parameter value";
    case kTLMSubjectConditionalUserPropertyOrigin:
      return "Conditional user property origin";
    case kTLMSubjectConditionalUserPropertyName:
      return "Conditional user property name";
    case kTLMSubjectConditionalUserPropertyValue:
      return "Conditional user property value";
    default:
      return "Object";
  }
}

bool TLMDataTypeValidator::isValidString(const OptionalObject& object, std::size_t minLength,
                                         std::size_t maxLength, int type, unsigned* failureCode) {
  const int level = levelForType(type);
  if (!object) {
    monitor().logWithLevel(level, kCodeRequired, message(type, " is required and can't be nil"));
    return fail(failureCode, kTLMValidatorFailureNilOrEmpty);
  }
  const std::string* text = object->asString();
  if (text == nullptr) {
    monitor().logWithLevel(level, kCodeInvalidString, message(type, " must be of type NSString"),
                           *object);
    return fail(failureCode, kTLMValidatorFailureWrongType);
  }
  // Bytes that are not UTF-8 cannot be a string the service accepts. The
  // text itself stays out of the report so that it cannot garble output.
  if (!tlm_isValidUTF8(*text)) {
    monitor().logWithLevel(level, kCodeInvalidString, message(type, " must be of type NSString"));
    return fail(failureCode, kTLMValidatorFailureWrongType);
  }
  if (text->empty() && minLength >= 1) {
    if (type != kTLMSubjectEventParameterValue && type != kTLMSubjectUserPropertyValue) {
      monitor().logWithLevel(level, kCodeRequired,
                             message(type, " is required and can't be empty"));
    }
    return fail(failureCode, kTLMValidatorFailureNilOrEmpty);
  }
  const std::size_t length = tlm_UTF32Length(*text);
  if (length > maxLength) {
    monitor().logWithLevel(
        level, kCodeInvalidString,
        message(type, " is too long. The maximum supported length is " + std::to_string(maxLength)),
        *object);
    return fail(failureCode, kTLMValidatorFailureTooLong);
  }
  if (length < minLength) {
    monitor().logWithLevel(level, kCodeInvalidString,
                           message(type, " is too short. The minimum supported length is " +
                                             std::to_string(minLength)));
    return fail(failureCode, kTLMValidatorFailureTooShort);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidInternalName(const OptionalObject& name, std::size_t maxLength,
                                               int type, unsigned* failureCode) {
  if (!isValidString(name, 1, maxLength, type, failureCode)) return false;
  if (tlm_firstForbiddenNameCharacter(*name->asString())) {
    monitor().logWithLevel(0, kCodeForbiddenCharacter,
                           message(type, " must contain only letters, numbers, or underscores"));
    return fail(failureCode, kTLMValidatorFailureForbiddenCharacter);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidPublicName(const OptionalObject& name, std::size_t maxLength,
                                             int type, unsigned* failureCode) {
  if (!isValidInternalName(name, maxLength, type, failureCode)) return false;
  if (!tlm_startsWithLetter(*name->asString())) {
    monitor().logWithLevel(0, kCodeMustStartWithLetter, message(type, " must start with a letter"));
    return fail(failureCode, kTLMValidatorFailureForbiddenCharacter);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidValue(const OptionalObject& value, std::size_t minLength,
                                        std::size_t maxLength, int type, unsigned* failureCode) {
  if (!value) {
    monitor().logWithLevel(3, kCodeValueNil, message(type, " cannot be nil"));
    return fail(failureCode, kTLMValidatorFailureNilOrEmpty);
  }
  const TLMValuePtr typed = TLMValue::fromObject(*value);
  if (typed == nullptr) {
    monitor().logWithLevel(3, kCodeValueNotTLMValue,
                           message(type, " must be a TLMValue instance. value"),
                           Object(value->className()));
    return fail(failureCode, kTLMValidatorFailureWrongType);
  }
  if (const std::string* text = typed->stringValue()) {
    return isValidString(Object(*text), minLength, maxLength, type, failureCode);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::hasReservedPrefixes(std::string_view name) {
  return std::any_of(kTLMReservedPrefixes.begin(), kTLMReservedPrefixes.end(),
                     [name](std::string_view prefix) { return name.starts_with(prefix); });
}

bool TLMDataTypeValidator::isValidPublicEventName(const OptionalObject& name,
                                                  unsigned* failureCode) {
  if (!isValidPublicName(name, kTLMMaxEventNameLength, kTLMSubjectEventName, failureCode)) {
    return false;
  }
  const std::string& text = *name->asString();
  if (!isAllowedTableEventName(text) && TLMNames::shortEventName(text)) {
    monitor().logWithLevel(0, kCodeEventNameReserved, "Event name is reserved. Ignoring event");
    return fail(failureCode, kTLMValidatorFailureReserved);
  }
  if (hasReservedPrefixes(text)) {
    monitor().logWithLevel(0, kCodeEventNamePrefix,
                           "Event name uses reserved prefix. Ignoring event");
    return fail(failureCode, kTLMValidatorFailureReserved);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventName(const OptionalObject& name,
                                                    unsigned* failureCode) {
  return isValidInternalName(name, kTLMMaxEventNameLength, kTLMSubjectEventName, failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventOrigin(const OptionalObject& origin,
                                                      unsigned* failureCode) {
  return isValidInternalName(origin, kTLMMaxEventOriginLength, kTLMSubjectEventOrigin, failureCode);
}

bool TLMDataTypeValidator::isValidForwardedEventOrigin(const OptionalObject& origin,
                                                       unsigned* failureCode) {
  const std::string* text = stringOf(origin);
  if (!origin || (text != nullptr && text->empty())) {
    return fail(failureCode, kTLMValidatorFailureNilOrEmpty);
  }
  // Not a string: the name rule reports it.
  if (text == nullptr) {
    return isValidInternalName(origin, kTLMMaxEventOriginLength, kTLMSubjectEventOrigin,
                               failureCode);
  }
  const std::string_view suffix = kTLMForwardedOriginSuffix;
  if (!std::string_view(*text).ends_with(suffix)) {
    return fail(failureCode, kTLMValidatorFailureNotForwarded);
  }
  const std::string base = text->substr(0, text->size() - suffix.size());
  return isValidInternalName(Object(base), kTLMMaxEventOriginLength, kTLMSubjectEventOrigin,
                             failureCode);
}

bool TLMDataTypeValidator::isValidPublicEventParameterName(const OptionalObject& name,
                                                           unsigned* failureCode) {
  if (!isValidPublicName(name, kTLMMaxEventParameterNameLength, kTLMSubjectEventParameterName,
                         failureCode)) {
    return false;
  }
  if (hasReservedPrefixes(*name->asString())) {
    monitor().logWithLevel(0, kCodeParameterNamePrefix,
                           "Parameter name uses reserved prefix. Ignoring parameter");
    return fail(failureCode, kTLMValidatorFailureReserved);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventParameterName(const OptionalObject& name,
                                                             unsigned* failureCode) {
  return isValidInternalName(name, kTLMMaxEventParameterNameLength, kTLMSubjectEventParameterName,
                             failureCode);
}

bool TLMDataTypeValidator::isValidPublicEventParameterValue(const OptionalObject& value,
                                                            unsigned* failureCode) {
  return isValidValue(value, 0, kTLMMaxPublicEventParameterValueLength,
                      kTLMSubjectEventParameterValue, failureCode);
}

bool TLMDataTypeValidator::isValidInternalEventParameterValue(const OptionalObject& value,
                                                              unsigned* failureCode) {
  return isValidValue(value, 0, kTLMMaxInternalEventParameterValueLength,
                      kTLMSubjectEventParameterValue, failureCode);
}

bool TLMDataTypeValidator::isValidArrayParamForEvent(const OptionalObject& eventName,
                                                     const OptionalObject& paramName,
                                                     std::size_t arrayCount,
                                                     bool isNestedArrayParam,
                                                     unsigned* failureCode) {
  if (isNestedArrayParam) {
    monitor().logWithLevel(0, kCodeArrayParam, "Nested array parameters are not allowed. Name",
                           paramName);
    return fail(failureCode, kTLMValidatorFailureNestedArray);
  }
  const std::string* event = stringOf(eventName);
  if (event == nullptr || !tlm_isEcommerceEventName(*event)) {
    monitor().logWithLevel(
        0, kCodeArrayParam,
        "Only ecommerce events are allowed to contain array parameters. Invalid ecommerce name",
        eventName);
    return fail(failureCode, kTLMValidatorFailureArrayOnNonEcommerceEvent);
  }
  const std::string* param = stringOf(paramName);
  if (param == nullptr || *param != kTLMItemsParameterName) {
    monitor().logWithLevel(
        0, kCodeArrayParam,
        message(kTLMSubjectEventParameterName,
                " is an invalid ecommerce items. The name of array parameters "
                "for ecommerce should be \"" +
                    std::string(kTLMItemsParameterName) + "\". Invalid parameter name"),
        paramName);
    return fail(failureCode, kTLMValidatorFailureArrayNotNamedItems);
  }
  if (arrayCount > kTLMMaxArrayParameterItems) {
    monitor().logWithLevel(0, kCodeArrayParam,
                           "Array parameter has too many items. The maximum number of supported "
                           "items is " +
                               std::to_string(kTLMMaxArrayParameterItems) + ". Invalid array size",
                           Object::integer(static_cast<std::int64_t>(arrayCount)));
    return fail(failureCode, kTLMValidatorFailureTooManyArrayItems);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidArrayParamItem(const OptionalObject& item,
                                                 unsigned* failureCode) {
  if (!item || !item->isDictionary()) {
    monitor().logWithLevel(0, kCodeArrayItem, "Array param must be a dictionary. Parameters", item);
    return fail(failureCode, kTLMValidatorFailureArrayItemNotDictionary);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidPublicUserAttributeName(const OptionalObject& name,
                                                          unsigned* failureCode) {
  if (!isValidPublicName(name, kTLMMaxUserPropertyNameLength, kTLMSubjectUserPropertyName,
                         failureCode)) {
    return false;
  }
  const std::string& text = *name->asString();
  if (TLMNames::shortUserPropertyName(text)) {
    monitor().logWithLevel(0, kCodeUserPropertyNameReserved,
                           "User property name is reserved. Ignoring user property");
    return fail(failureCode, kTLMValidatorFailureReserved);
  }
  if (hasReservedPrefixes(text)) {
    monitor().logWithLevel(0, kCodeUserPropertyNamePrefix,
                           "User property name uses reserved prefix. Ignoring user property");
    return fail(failureCode, kTLMValidatorFailureReserved);
  }
  return pass(failureCode);
}

bool TLMDataTypeValidator::isValidPublicUserAttributeValue(const OptionalObject& value,
                                                           unsigned* failureCode) {
  return isValidValue(value, 1, kTLMMaxUserPropertyValueLength, kTLMSubjectUserPropertyValue,
                      failureCode);
}

bool TLMDataTypeValidator::isValidInternalUserAttributeName(const OptionalObject& name,
                                                            unsigned* failureCode) {
  return isValidInternalName(name, kTLMMaxUserPropertyNameLength, kTLMSubjectUserPropertyName,
                             failureCode);
}

bool TLMDataTypeValidator::isValidInternalUserAttributeValue(const OptionalObject& value,
                                                             const OptionalObject& name,
                                                             unsigned* failureCode) {
  const std::size_t maxLength = isIdentifierUserProperty(name)
                                    ? kTLMMaxIdentifierUserPropertyValueLength
                                    : kTLMMaxUserPropertyValueLength;
  return isValidValue(value, 1, maxLength, kTLMSubjectUserPropertyValue, failureCode);
}

bool TLMDataTypeValidator::isValidScreenParameterValue(const OptionalObject& value,
                                                       unsigned* failureCode) {
  return isValidString(value, 1, kTLMMaxScreenParameterValueLength, kTLMSubjectScreenParameterValue,
                       failureCode);
}

bool TLMDataTypeValidator::isValidConditionalUserPropertyOrigin(const OptionalObject& origin,
                                                                unsigned* failureCode) {
  return isValidInternalName(origin, kTLMMaxConditionalUserPropertyOriginLength,
                             kTLMSubjectConditionalUserPropertyOrigin, failureCode);
}

bool TLMDataTypeValidator::isValidConditionalUserPropertyName(const OptionalObject& name,
                                                              unsigned* failureCode) {
  return isValidInternalName(name, kTLMMaxConditionalUserPropertyNameLength,
                             kTLMSubjectConditionalUserPropertyName, failureCode);
}

bool TLMDataTypeValidator::isValidConditionalUserPropertyValue(const OptionalObject& value,
                                                               unsigned* failureCode) {
  return isValidValue(value, 1, kTLMMaxConditionalUserPropertyValueLength,
                      kTLMSubjectConditionalUserPropertyValue, failureCode);
}

bool TLMDataTypeValidator::isValidNumericValue(const OptionalObject& value, unsigned* failureCode) {
  const TLMValuePtr typed = TLMValue::fromObject(value);
  if (typed != nullptr && (typed->isInt64() || typed->isDouble())) return pass(failureCode);
  OptionalObject shown;
  if (typed != nullptr) {
    shown = Object(tlm_repairedUTF8(typed->description()));
  } else if (value) {
    shown = Object(value->className());
  }
  monitor().logWithLevel(
      3, kCodeNotNumeric,
      message(kTLMSubjectEventParameterValue, " must be specified with a numeric type. value"),
      shown);
  return fail(failureCode, kTLMValidatorFailureNotNumeric);
}

bool TLMDataTypeValidator::isValidCurrencyCode(const OptionalObject& value, unsigned* failureCode) {
  const TLMValuePtr typed = TLMValue::fromObject(value);
  const std::string* code = typed != nullptr ? typed->stringValue() : nullptr;
  if (code != nullptr && tlm_UTF16Length(*code) == kTLMCurrencyCodeLength &&
      tlm_isAllLetters(*code)) {
    return pass(failureCode);
  }
  OptionalObject shown;
  if (typed != nullptr) {
    shown = Object(tlm_repairedUTF8(typed->description()));
  } else if (value) {
    shown = Object(value->className());
  }
  monitor().logWithLevel(3, kCodeCurrencyCode,
                         message(kTLMSubjectEventParameterValue,
                                 " must contain a " + std::to_string(kTLMCurrencyCodeLength) +
                                     "-letter ISO_4217 currency code. value"),
                         shown);
  return fail(failureCode, kTLMValidatorFailureInvalidCurrencyCode);
}
