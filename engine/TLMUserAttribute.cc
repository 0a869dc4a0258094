#include "engine/TLMUserAttribute.h"

#include <utility>

#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMNames.h"
#include "engine/TLMTime.h"
#include "upload/TLMMonitor.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

constexpr long kCodeNonFiniteTimestamp = 16007;

}  // namespace

TLMUserAttribute::TLMUserAttribute(Token, std::string origin, std::string name, TLMValuePtr value,
                                   double lastSetTimestamp)
    : origin_(std::move(origin)),
      name_(std::move(name)),
      value_(std::move(value)),
      lastSetTimestamp_(lastSetTimestamp) {}

TLMUserAttributePtr TLMUserAttribute::initWithOrigin(const std::string& origin,
                                                     const std::string& name, TLMValuePtr value,
                                                     double lastSetTimestamp) {
  const Object nameObject(name);
  if (!TLMDataTypeValidator::isValidInternalUserAttributeName(nameObject, nullptr)) {
    return nullptr;
  }
  const OptionalObject valueObject =
      value != nullptr ? OptionalObject(value->asObject()) : std::nullopt;
  if (!TLMDataTypeValidator::isValidInternalUserAttributeValue(valueObject, nameObject, nullptr)) {
    return nullptr;
  }
  if (!tlm_isFiniteTime(lastSetTimestamp)) {
    TLMMeasurement::monitor().logWithLevel(
        4, kCodeNonFiniteTimestamp,
        "Failed to create user property. Received set timestamp that is not a finite number. Name",
        Object(TLMNames::debugDisplayUserPropertyName(name)));
    return nullptr;
  }
  return std::make_shared<const TLMUserAttribute>(Token(), origin, name, std::move(value),
                                                  lastSetTimestamp);
}

TLMPBUserAttribute TLMUserAttribute::protoUserAttribute() const {
  TLMPBUserAttribute proto;
  proto.set_set_timestamp_millis(tlm_millisecondsFromSeconds(lastSetTimestamp_));
  proto.set_name(name_);
  if (value_ == nullptr) return proto;
  switch (value_->valueType()) {
    case TLMValueTypeString:
      proto.set_string_value(*value_->stringValue());
      break;
    case TLMValueTypeInt64:
      proto.set_int_value(value_->int64Value());
      break;
    case TLMValueTypeDouble:
      proto.set_double_value(value_->doubleValue());
      break;
    default:
      break;
  }
  return proto;
}

bool TLMUserAttribute::isPublic() const { return !name_.empty() && name_[0] != '_'; }

std::string TLMUserAttribute::description() const {
  return "TLMUserAttribute(origin: " + origin_ +
         ", name: " + TLMNames::debugDisplayUserPropertyName(name_) +
         ", value: " + (value_ != nullptr ? value_->description() : std::string("(nil)")) +
         ", lastSetTimestamp: " + Object::floating(lastSetTimestamp_).stringValue() + ")";
}
