// An immutable tagged value: the type of every event parameter and user
// property value. Values travel as `Object`s (library kind), so they can
// sit in parameter dictionaries next to caller objects.
//
// Immutable once made: safe to share between threads. Values are always
// held by shared pointer (TLMValuePtr); a null pointer stands for nil.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ferrolux/Object.h"

class TLMValue;
using TLMValuePtr = std::shared_ptr<const TLMValue>;

// The `valueType` tags.
enum TLMValueType : std::int64_t {
  TLMValueTypeDouble = 0,
  TLMValueTypeInt64 = 1,
  TLMValueTypeString = 2,
  // An array of parameter dictionaries (name -> TLMValue object).
  TLMValueTypeArray = 3,
};

class TLMValue final : public LibraryObject, public std::enable_shared_from_this<TLMValue> {
 public:
  // Always succeed.
  static TLMValuePtr initWithDouble(double value);
  static TLMValuePtr initWithInt64(std::int64_t value);
  // Nil when `value` is nil or not a string / not an array; each failure is
  // reported through the monitor (codes 35002...35005).
  static TLMValuePtr initWithString(const OptionalObject& value);
  static TLMValuePtr initWithArray(const OptionalObject& value);
  // Infallible forms for content that is known to be of the right kind.
  static TLMValuePtr fromString(std::string value);
  static TLMValuePtr fromArray(ObjectArray items);

  // `valueFromObject:allowArray:`. A TLMValue is returned as it is; a string
  // gives a string value; a floating number a double value and every other
  // number (booleans included) an integer value; an array an array value
  // only when `allowArray`. Nil and other kinds fail with a monitor report
  // (codes 35000, 35001) and give nil.
  static TLMValuePtr valueFromObject(const OptionalObject& object, bool allowArray = false);

  // The TLMValue inside `object`, or nil when it holds something else.
  static TLMValuePtr fromObject(const Object& object);
  static TLMValuePtr fromObject(const OptionalObject& object);
  // This value as an Object of the library kind (shares this value).
  Object asObject() const;

  // The boxed content: a floating or integer number, a string, or an array.
  const Object& value() const { return value_; }
  std::int64_t valueType() const { return valueType_; }

  bool isDouble() const { return valueType_ == TLMValueTypeDouble; }
  bool isInt64() const { return valueType_ == TLMValueTypeInt64; }
  bool isString() const { return valueType_ == TLMValueTypeString; }
  bool isArray() const { return valueType_ == TLMValueTypeArray; }
  // Accessors of the wrong kind answer 0, 0.0 or null.
  double doubleValue() const;
  std::int64_t int64Value() const;
  const std::string* stringValue() const;
  const ObjectArray* arrayValue() const;

  // A new value of the same kind sharing the content.
  TLMValuePtr copy() const;

  // The content's hash XOR (valueType * 31).
  std::size_t hash() const;

  // LibraryObject. Equal only to a TLMValue of the same valueType with
  // equal content: integer 1 and double 1.0 differ.
  std::string className() const override { return "TLMValue"; }
  std::string description() const override;  // the content's description
  bool isEqualTo(const LibraryObject& other) const override;
  int compareTo(const LibraryObject& other) const override;

  // Use the factories above; public only for std::make_shared.
  struct Token {
    explicit Token() = default;
  };
  TLMValue(Token, Object value, std::int64_t valueType);

 private:
  Object value_;
  std::int64_t valueType_;
};
