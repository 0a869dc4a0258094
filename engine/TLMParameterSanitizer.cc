#include "engine/TLMParameterSanitizer.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "common/StringHelpers.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMErrorMarkers.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMValidationLimits.h"
#include "engine/TLMValidationTables.h"
#include "engine/TLMValue.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr long kCodeUnsupportedValueType = 18015;
constexpr long kCodeCustomParametersInItem = 18016;
constexpr long kCodeTooManyParameters = 18017;
constexpr long kCodeNameNotString = 18002;
constexpr long kCodeNameEmpty = 18003;
constexpr long kCodeValueDiscarded = 18014;

constexpr char kValueParameter[] = "value";
constexpr char kCurrencyParameter[] = "currency";

TLMMonitor& monitor() { return TLMMeasurement::monitor(); }

// The first problem met while sanitising; written once the result is
// known, so that markers already in the caller's dictionary win.
struct Problem {
  std::int64_t code = kTLMErrorCodeNoError;
  std::string errorValue;
  std::optional<std::int64_t> errorLength;
};

class Sanitizer {
 public:
  Sanitizer(std::optional<std::string_view> eventName, bool isPublicEvent, bool isItem,
            const TLMRemoteConfig& config)
      : eventName_(eventName), isPublicEvent_(isPublicEvent), isItem_(isItem), config_(config) {}

  std::optional<ObjectDictionary> run(const ObjectDictionary& parameters) {
    if (parameters.empty()) return std::nullopt;
    for (const auto& [key, object] : parameters) sanitizeEntry(key, object);

    ObjectDictionary result;
    if (dropped_.size() == parameters.size()) {
      result = std::move(newEntries_);
      writeProblem(result);
      return result;
    }
    result = parameters;
    for (const Object& key : dropped_) result.erase(key);
    for (auto& [key, value] : newEntries_) result[key] = std::move(value);
    writeProblem(result);
    if (isItem_) {
      removeCustomItemParameters(result);
    } else {
      enforceParameterLimit(result);
    }
    return result;
  }

 private:
  void record(std::int64_t code, const OptionalObject& offending,
              std::optional<std::int64_t> length) {
    if (problem_) return;
    problem_ =
        Problem{code, tlm_trimmedErrorValue(offending, kTLMMaxErrorValueMarkerLength), length};
  }

  void writeProblem(ObjectDictionary& result) const {
    if (problem_) {
      tlm_setErrorMarkersIfAbsent(result, problem_->code, problem_->errorValue,
                                  problem_->errorLength);
    }
  }

  OptionalObject eventNameObject() const {
    return eventName_ ? OptionalObject(Object(*eventName_)) : std::nullopt;
  }

  void sanitizeEntry(const Object& key, const Object& object) {
    // 1. The name.
    unsigned failure = kTLMValidatorValid;
    const bool validName =
        (!isPublicEvent_ || TLMDataTypeValidator::isValidPublicEventParameterName(key, &failure)) &&
        TLMDataTypeValidator::isValidInternalEventParameterName(key, &failure);
    if (!validName) {
      dropped_.push_back(key);
      std::optional<std::int64_t> length;
      if (const std::string* text = key.asString()) {
        const std::size_t codePoints = tlm_UTF32Length(*text);
        if (codePoints > kTLMMaxEventParameterNameLength) {
          length = static_cast<std::int64_t>(codePoints);
        }
      }
      record(failure == kTLMValidatorFailureReserved ? kTLMErrorCodeParameterNameIsReserved
                                                     : kTLMErrorCodeInvalidParameterName,
             key, length);
      return;
    }
    const std::string& name = *key.asString();

    // 2. The value, converted.
    const bool callerValue = TLMValue::fromObject(object) != nullptr;
    TLMValuePtr value = TLMValue::valueFromObject(object, /*allowArray=*/true);
    if (value == nullptr) {
      dropped_.push_back(key);
      monitor().logWithLevel(
          3, kCodeUnsupportedValueType,
          "Event parameter value must be of type NSString, NSNumber or NSArray. Type",
          Object(object.className()));
      return;
    }
    bool changed = !callerValue;

    // 3. The value's length.
    if (isPublicEvent_ &&
        !TLMDataTypeValidator::isValidPublicEventParameterValue(value->asObject(), &failure)) {
      dropValue(key, name, value, failure);
      return;
    }
    if (name == kTLMErrorValueParameter) {
      if (!trimErrorValue(&value, &changed, &failure)) {
        dropValue(key, name, value, failure);
        return;
      }
    } else if (!TLMDataTypeValidator::isValidInternalEventParameterValue(value->asObject(),
                                                                         &failure)) {
      dropValue(key, name, value, failure);
      return;
    }

    // 4. Arrays: only "items" of an ecommerce event, each item sanitised.
    if (!callerValue && value->isArray()) {
      value = sanitizeArray(key, name, *value->arrayValue());
      if (value == nullptr) {
        dropped_.push_back(key);
        return;
      }
    }

    // 5. Keep what was converted or changed.
    if (changed) newEntries_[key] = value->asObject();
  }

  void dropValue(const Object& key, const std::string& name, const TLMValuePtr& value,
                 unsigned failure) {
    dropped_.push_back(key);
    if (failure == kTLMValidatorFailureTooLong) {
      record(kTLMErrorCodeInvalidParameterValue, Object(name),
             tlm_errorValueLength(value->asObject()));
    }
  }

  // An "_ev" value is trimmed rather than refused, unless it was trimmed
  // already (its maximum length plus the ellipsis, ending in it). False
  // when it is not a usable string.
  bool trimErrorValue(TLMValuePtr* value, bool* changed, unsigned* failure) {
    if (!TLMDataTypeValidator::isValidValue((*value)->asObject(), 0, SIZE_MAX,
                                            kTLMSubjectEventParameterValue, failure)) {
      return false;
    }
    const std::string* text = (*value)->stringValue();
    if (text == nullptr) return true;
    const std::size_t length = tlm_UTF32Length(*text);
    const std::string_view suffix = kTLMTrimmedSuffix;
    const bool trimmedAlready = length == kTLMMaxErrorValueMarkerLength + suffix.size() &&
                                std::string_view(*text).ends_with(suffix);
    if (length > kTLMMaxErrorValueMarkerLength && !trimmedAlready) {
      *value =
          TLMValue::fromString(tlm_trimmedErrorValue(Object(*text), kTLMMaxErrorValueMarkerLength));
      *changed = true;
    }
    return true;
  }

  // The array value to keep, or null to drop the parameter.
  TLMValuePtr sanitizeArray(const Object& key, const std::string& name, const ObjectArray& items) {
    unsigned failure = kTLMValidatorValid;
    if (!TLMDataTypeValidator::isValidArrayParamForEvent(eventNameObject(), key, items.size(),
                                                         isItem_, &failure)) {
      const auto count = static_cast<std::int64_t>(items.size());
      switch (failure) {
        case kTLMValidatorFailureArrayOnNonEcommerceEvent:
          record(kTLMErrorCodeInvalidArrayParamEventName, eventNameObject(), count);
          break;
        case kTLMValidatorFailureArrayNotNamedItems:
          record(kTLMErrorCodeInvalidArrayParamName, key, count);
          break;
        case kTLMValidatorFailureTooManyArrayItems:
          record(kTLMErrorCodeTooManyExtraParamEvents, key, count);
          break;
        case kTLMValidatorFailureNestedArray:
          record(kTLMErrorCodeInvalidArrayParamNesting, key, count);
          break;
        default:
          break;
      }
      if (failure != kTLMValidatorFailureTooManyArrayItems) return nullptr;
    }
    const std::size_t kept = std::min(items.size(), kTLMMaxArrayParameterItems);
    ObjectArray sanitizedItems;
    sanitizedItems.reserve(kept);
    for (std::size_t index = 0; index < kept; ++index) {
      const Object& item = items[index];
      if (!TLMDataTypeValidator::isValidArrayParamItem(item, &failure)) {
        record(kTLMErrorCodeInvalidParameterValue, Object(name + "[" + std::to_string(index) + "]"),
               std::nullopt);
        continue;
      }
      Sanitizer itemSanitizer(eventName_, isPublicEvent_, /*isItem=*/true, config_);
      std::optional<ObjectDictionary> sanitized = itemSanitizer.run(*item.asDictionary());
      if (sanitized) sanitizedItems.push_back(Object::dictionary(std::move(*sanitized)));
    }
    return TLMValue::fromArray(std::move(sanitizedItems));
  }

  static std::vector<std::string> publicNames(const ObjectDictionary& result) {
    std::vector<std::string> names;
    for (const auto& entry : result) {
      if (tlm_isPublicName(entry.first)) names.push_back(*entry.first.asString());
    }
    return names;
  }

  void removeCustomItemParameters(ObjectDictionary& result) const {
    bool removed = false;
    for (const std::string& name : publicNames(result)) {
      if (tlm_isItemParameterName(name)) continue;
      result.erase(Object(name));
      removed = true;
    }
    if (!removed) return;
    tlm_setErrorCodeIfAbsent(result, kTLMErrorCodeCustomParamsInArrayElement);
    monitor().logWithLevel(0, kCodeCustomParametersInItem, "Item cannot contain custom parameters");
  }

  void enforceParameterLimit(ObjectDictionary& result) const {
    std::vector<std::string> names = publicNames(result);
    const std::int32_t limit = std::max<std::int32_t>(config_.maxPublicEventParams(), 0);
    if (names.size() <= static_cast<std::size_t>(limit)) return;
    // Byte order of UTF-8 is code-point order.
    std::sort(names.begin(), names.end());
    for (std::size_t index = static_cast<std::size_t>(limit); index < names.size(); ++index) {
      result.erase(Object(names[index]));
    }
    tlm_setErrorCodeIfAbsent(result, kTLMErrorCodeParameterLimitReached);
    monitor().logWithLevel(
        1, kCodeTooManyParameters,
        "Event cannot contain more than " + std::to_string(limit) + " parameters");
  }

  const std::optional<std::string_view> eventName_;
  const bool isPublicEvent_;
  const bool isItem_;
  const TLMRemoteConfig& config_;
  std::vector<Object> dropped_;
  ObjectDictionary newEntries_;
  std::optional<Problem> problem_;
};

const Object* lookup(const ObjectDictionary& parameters, const char* name) {
  const auto found = parameters.find(Object(name));
  return found == parameters.end() ? nullptr : &found->second;
}

}  // namespace

std::optional<ObjectDictionary> tlm_sanitizedParameters(const ObjectDictionary& parameters,
                                                        std::optional<std::string_view> eventName,
                                                        bool isPublicEvent, bool isItem,
                                                        const TLMRemoteConfig& config) {
  return Sanitizer(eventName, isPublicEvent, isItem, config).run(parameters);
}

std::optional<ObjectDictionary> tlm_sanitizedParameters(const ObjectDictionary& parameters,
                                                        std::optional<std::string_view> eventName,
                                                        bool isPublicEvent, bool isItem) {
  return tlm_sanitizedParameters(parameters, eventName, isPublicEvent, isItem,
                                 TLMMeasurement::remoteConfig());
}

bool tlm_checkValueAndCurrency(ObjectDictionary& parameters) {
  const Object* value = lookup(parameters, kValueParameter);
  if (value == nullptr) return true;
  if (!TLMDataTypeValidator::isValidNumericValue(*value, nullptr)) {
    parameters.erase(Object(kValueParameter));
    tlm_setErrorMarkersIfAbsent(parameters, kTLMErrorCodeValueIsNotNumeric, kValueParameter,
                                std::nullopt);
    return false;
  }
  const Object* currency = lookup(parameters, kCurrencyParameter);
  if (!TLMDataTypeValidator::isValidCurrencyCode(
          currency != nullptr ? OptionalObject(*currency) : std::nullopt, nullptr)) {
    monitor().logWithLevel(3, kCodeValueDiscarded,
                           "Value parameter discarded. You must also supply a 3-letter ISO_4217 "
                           "currency code in the currency parameter.");
    parameters.erase(Object(kValueParameter));
    tlm_setErrorMarkersIfAbsent(parameters, kTLMErrorCodeCurrencyCodeIsMissingOrInvalid,
                                kCurrencyParameter, std::nullopt);
    return false;
  }
  return true;
}

bool tlm_isPublicName(const OptionalObject& name) {
  const std::string* text = name ? name->asString() : nullptr;
  if (text == nullptr) {
    monitor().logWithLevel(2, kCodeNameNotString, "Cannot check the name. Name is not a string");
    return false;
  }
  if (text->empty()) {
    monitor().logWithLevel(2, kCodeNameEmpty, "Cannot check the name. Name is empty");
    return false;
  }
  return (*text)[0] != '_';
}
