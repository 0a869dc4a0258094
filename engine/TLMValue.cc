#include "engine/TLMValue.h"

#include <functional>
#include <utility>

#include "engine/TLMMeasurement.h"
#include "upload/TLMMonitor.h"

namespace {

TLMValuePtr makeValue(Object content, std::int64_t valueType) {
  return std::make_shared<const TLMValue>(TLMValue::Token(), std::move(content), valueType);
}

}  // namespace

TLMValue::TLMValue(Token, Object value, std::int64_t valueType)
    : value_(std::move(value)), valueType_(valueType) {}

TLMValuePtr TLMValue::initWithDouble(double value) {
  return makeValue(Object::floating(value), TLMValueTypeDouble);
}

TLMValuePtr TLMValue::initWithInt64(std::int64_t value) {
  return makeValue(Object::integer(value), TLMValueTypeInt64);
}

TLMValuePtr TLMValue::initWithString(const OptionalObject& value) {
  if (!value) {
    TLMMeasurement::monitor().logWithLevel(0, 35002, "Cannot create String value with nil");
    return nullptr;
  }
  if (!value->isString()) {
    TLMMeasurement::monitor().logWithLevel(
        0, 35003, "Cannot create String value with non-string value. Value", *value);
    return nullptr;
  }
  return makeValue(*value, TLMValueTypeString);
}

TLMValuePtr TLMValue::initWithArray(const OptionalObject& value) {
  if (!value) {
    TLMMeasurement::monitor().logWithLevel(0, 35004, "Cannot create Array value with nil");
    return nullptr;
  }
  if (!value->isArray()) {
    TLMMeasurement::monitor().logWithLevel(
        0, 35005, "Cannot create Array value with non-array value. Value", *value);
    return nullptr;
  }
  return makeValue(*value, TLMValueTypeArray);
}

TLMValuePtr TLMValue::fromString(std::string value) {
  return makeValue(Object(std::move(value)), TLMValueTypeString);
}

TLMValuePtr TLMValue::fromArray(ObjectArray items) {
  return makeValue(Object::array(std::move(items)), TLMValueTypeArray);
}

TLMValuePtr TLMValue::valueFromObject(const OptionalObject& object, bool allowArray) {
  if (!object) {
    TLMMeasurement::monitor().logWithLevel(0, 35000, "Cannot create Value type with nil value");
    return nullptr;
  }
  if (TLMValuePtr value = fromObject(*object)) return value;
  if (object->isString()) return makeValue(*object, TLMValueTypeString);
  if (object->isNumber()) {
    // Booleans and integers alike become integers; only floating numbers
    // stay doubles.
    if (object->isFloatingNumber()) return initWithDouble(object->doubleValue());
    return initWithInt64(object->int64Value());
  }
  if (object->isArray() && allowArray) return makeValue(*object, TLMValueTypeArray);
  TLMMeasurement::monitor().logWithLevel(
      0, 35001,
      "Cannot create Value type with unsupported value. The Value has to be NSNumber, NSString "
      "or NSArray (if supported). Value",
      *object);
  return nullptr;
}

TLMValuePtr TLMValue::fromObject(const Object& object) {
  return std::dynamic_pointer_cast<const TLMValue>(object.sharedLibrary());
}

TLMValuePtr TLMValue::fromObject(const OptionalObject& object) {
  return object ? fromObject(*object) : nullptr;
}

Object TLMValue::asObject() const { return Object::library(shared_from_this()); }

double TLMValue::doubleValue() const { return isDouble() ? value_.doubleValue() : 0.0; }

std::int64_t TLMValue::int64Value() const { return isInt64() ? value_.int64Value() : 0; }

const std::string* TLMValue::stringValue() const {
  return isString() ? value_.asString() : nullptr;
}

const ObjectArray* TLMValue::arrayValue() const { return isArray() ? value_.asArray() : nullptr; }

TLMValuePtr TLMValue::copy() const { return makeValue(value_, valueType_); }

std::size_t TLMValue::hash() const {
  std::size_t contentHash = 0;
  switch (valueType_) {
    case TLMValueTypeDouble:
      contentHash = std::hash<double>()(value_.doubleValue());
      break;
    case TLMValueTypeInt64:
      contentHash = std::hash<std::int64_t>()(value_.int64Value());
      break;
    case TLMValueTypeString:
      contentHash = std::hash<std::string>()(*value_.asString());
      break;
    default:
      // As the platform's arrays hash: by count.
      contentHash = value_.asArray() != nullptr ? value_.asArray()->size() : 0;
      break;
  }
  return contentHash ^ static_cast<std::size_t>(valueType_ * 31);
}

std::string TLMValue::description() const { return value_.description(); }

bool TLMValue::isEqualTo(const LibraryObject& other) const { return compareTo(other) == 0; }

int TLMValue::compareTo(const LibraryObject& other) const {
  const auto* that = dynamic_cast<const TLMValue*>(&other);
  if (that == nullptr) return LibraryObject::compareTo(other);
  if (valueType_ != that->valueType_) return valueType_ < that->valueType_ ? -1 : 1;
  // Kinds are equal here, so the content order decides (numbers by value).
  ObjectLess less;
  if (less(value_, that->value_)) return -1;
  if (less(that->value_, value_)) return 1;
  return 0;
}
