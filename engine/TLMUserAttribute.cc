#include "engine/TLMUserAttribute.h"

#include <utility>

#include "engine/TLMDataTypeValidator.h"
#include "engine/TLMNames.h"

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
  return std::make_shared<const TLMUserAttribute>(Token(), origin, name, std::move(value),
                                                  lastSetTimestamp);
}

bool TLMUserAttribute::isPublic() const { return !name_.empty() && name_[0] != '_'; }

std::string TLMUserAttribute::description() const {
  return "TLMUserAttribute(origin: " + origin_ +
         ", name: " + TLMNames::debugDisplayUserPropertyName(name_) +
         ", value: " + (value_ != nullptr ? value_->description() : std::string("(nil)")) +
         ", lastSetTimestamp: " + Object::floating(lastSetTimestamp_).stringValue() + ")";
}
