// Construction, typed access and equality of Object.
#include "ferrolux/Object.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <utility>

#include "common/ObjectPayload.h"

namespace {

const NumberPayload* numberOf(const Object::Payload* payload) {
  return payload ? std::get_if<NumberPayload>(&payload->value) : nullptr;
}

std::uint64_t nextOpaqueSequenceNumber() {
  static std::atomic<std::uint64_t> counter{0};
  return ++counter;
}

// Truncation toward zero that saturates instead of overflowing; NaN is 0.
std::int64_t truncateToInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; anything at or above it saturates.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (value >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (value < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

}  // namespace

Object::Object() = default;

Object::Object(std::shared_ptr<const Payload> payload) : payload_(std::move(payload)) {}

Object::Object(std::string value)
    : payload_(std::make_shared<const Payload>(Payload{std::move(value)})) {}

Object::Object(std::string_view value) : Object(std::string(value)) {}

Object::Object(const char* value) : Object(std::string(value ? value : "")) {}

Object Object::boolean(bool value) {
  return Object(std::make_shared<const Payload>(
      Payload{NumberPayload{NumberKind::Boolean, value ? 1 : 0, value ? 1.0 : 0.0}}));
}

Object Object::integer(std::int64_t value) {
  return Object(std::make_shared<const Payload>(
      Payload{NumberPayload{NumberKind::Integer, value, static_cast<double>(value)}}));
}

Object Object::floating(double value) {
  return Object(std::make_shared<const Payload>(
      Payload{NumberPayload{NumberKind::Floating, truncateToInt64(value), value}}));
}

Object Object::data(Bytes value) {
  return Object(std::make_shared<const Payload>(Payload{std::move(value)}));
}

Object Object::date(double secondsSince1970) {
  return Object(std::make_shared<const Payload>(Payload{DatePayload{secondsSince1970}}));
}

Object Object::url(std::string absoluteString) {
  return Object(std::make_shared<const Payload>(Payload{URLPayload{std::move(absoluteString)}}));
}

Object Object::array(ObjectArray value) {
  return Object(std::make_shared<const Payload>(Payload{std::move(value)}));
}

Object Object::dictionary(ObjectDictionary value) {
  return Object(std::make_shared<const Payload>(Payload{std::move(value)}));
}

Object Object::set(ObjectSet value) {
  return Object(std::make_shared<const Payload>(Payload{std::move(value)}));
}

Object Object::error(const Error& value) {
  return Object(std::make_shared<const Payload>(Payload{value}));
}

Object Object::opaque(std::string className, std::string description) {
  return Object(std::make_shared<const Payload>(Payload{
      OpaquePayload{std::move(className), std::move(description), nextOpaqueSequenceNumber()}}));
}

Object Object::library(std::shared_ptr<const LibraryObject> value) {
  // A library object without a target has nothing to stand for; it is null.
  if (!value) return Object();
  return Object(std::make_shared<const Payload>(Payload{std::move(value)}));
}

Object::Kind Object::kind() const {
  return payload_ ? static_cast<Kind>(payload_->value.index()) : Kind::Null;
}

const std::string* Object::asString() const {
  return payload_ ? std::get_if<std::string>(&payload_->value) : nullptr;
}

const Bytes* Object::asData() const {
  return payload_ ? std::get_if<Bytes>(&payload_->value) : nullptr;
}

const ObjectArray* Object::asArray() const {
  return payload_ ? std::get_if<ObjectArray>(&payload_->value) : nullptr;
}

const ObjectDictionary* Object::asDictionary() const {
  return payload_ ? std::get_if<ObjectDictionary>(&payload_->value) : nullptr;
}

const ObjectSet* Object::asSet() const {
  return payload_ ? std::get_if<ObjectSet>(&payload_->value) : nullptr;
}

const Error* Object::asError() const {
  return payload_ ? std::get_if<Error>(&payload_->value) : nullptr;
}

const LibraryObject* Object::asLibrary() const {
  auto library = sharedLibrary();
  return library.get();
}

std::shared_ptr<const LibraryObject> Object::sharedLibrary() const {
  if (!payload_) return nullptr;
  auto* library = std::get_if<std::shared_ptr<const LibraryObject>>(&payload_->value);
  return library ? *library : nullptr;
}

Object::NumberKind Object::numberKind() const {
  const NumberPayload* number = numberOf(payload_.get());
  return number ? number->kind : NumberKind::Integer;
}

std::int64_t Object::int64Value() const {
  const NumberPayload* number = numberOf(payload_.get());
  return number ? number->integer : 0;
}

double Object::doubleValue() const {
  const NumberPayload* number = numberOf(payload_.get());
  return number ? number->floating : 0;
}

bool Object::boolValue() const {
  const NumberPayload* number = numberOf(payload_.get());
  if (!number) return false;
  return number->kind == NumberKind::Floating ? number->floating != 0 : number->integer != 0;
}

double Object::dateValue() const {
  if (!payload_) return 0;
  auto* date = std::get_if<DatePayload>(&payload_->value);
  return date ? date->secondsSince1970 : 0;
}

const std::string* Object::urlString() const {
  if (!payload_) return nullptr;
  auto* url = std::get_if<URLPayload>(&payload_->value);
  return url ? &url->absoluteString : nullptr;
}

const Object* Object::objectForKey(std::string_view key) const { return objectForKey(Object(key)); }

const Object* Object::objectForKey(const char* key) const { return objectForKey(Object(key)); }

const Object* Object::objectForKey(const std::string& key) const {
  return objectForKey(Object(key));
}

const Object* Object::objectForKey(const Object& key) const {
  const ObjectDictionary* dictionary = asDictionary();
  if (!dictionary) return nullptr;
  auto it = dictionary->find(key);
  return it == dictionary->end() ? nullptr : &it->second;
}

std::string Object::className() const {
  if (!payload_) return "NSNull";
  return std::visit(
      [](const auto& value) -> std::string {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, std::monostate>) return "NSNull";
        if constexpr (std::is_same_v<T, NumberPayload>) return "NSNumber";
        if constexpr (std::is_same_v<T, std::string>) return "NSString";
        if constexpr (std::is_same_v<T, Bytes>) return "NSData";
        if constexpr (std::is_same_v<T, DatePayload>) return "NSDate";
        if constexpr (std::is_same_v<T, URLPayload>) return "NSURL";
        if constexpr (std::is_same_v<T, ObjectArray>) return "NSArray";
        if constexpr (std::is_same_v<T, ObjectDictionary>) return "NSDictionary";
        if constexpr (std::is_same_v<T, ObjectSet>) return "NSSet";
        if constexpr (std::is_same_v<T, Error>) return "NSError";
        if constexpr (std::is_same_v<T, OpaquePayload>) return value.className;
        if constexpr (std::is_same_v<T, std::shared_ptr<const LibraryObject>>) {
          return value->className();
        }
      },
      payload_->value);
}

bool operator==(const Object& a, const Object& b) {
  if (a.payload_ == b.payload_) return true;
  return compareObjects(a, b) == 0;
}

std::string Error::toString() const {
  std::string text = domain + " " + std::to_string(code);
  if (description) text += ": " + *description;
  return text;
}

bool operator==(const Error& a, const Error& b) {
  return a.domain == b.domain && a.code == b.code && a.description == b.description &&
         a.context == b.context;
}
