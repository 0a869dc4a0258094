// The shared, immutable storage behind an Object. Internal to the Object
// implementation (Object.cc, ObjectOrder.cc, ObjectDescription.cc).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "ferrolux/Object.h"

struct NumberPayload {
  Object::NumberKind kind = Object::NumberKind::Integer;
  // Booleans and integers live in `integer`, floating values in `floating`.
  std::int64_t integer = 0;
  double floating = 0;
};

struct DatePayload {
  double secondsSince1970 = 0;
};

struct URLPayload {
  std::string absoluteString;
};

struct OpaquePayload {
  std::string className;
  std::string description;
  // Stands in for the address the platform would print; also orders opaque
  // objects among themselves reproducibly within a run.
  std::uint64_t sequenceNumber = 0;
};

struct Object::Payload {
  // The alternatives follow Object::Kind, so that index() is the kind.
  using Value = std::variant<std::monostate, NumberPayload, std::string, Bytes, DatePayload,
                             URLPayload, ObjectArray, ObjectDictionary, ObjectSet, Error,
                             OpaquePayload, std::shared_ptr<const LibraryObject>>;
  Value value;
};

struct ObjectInternals {
  // Null for the null kind.
  static const Object::Payload* payload(const Object& object) { return object.payload_.get(); }
};

// Three-way comparisons shared by equality and ordering.
int compareObjects(const Object& a, const Object& b);
// Numbers by value across number kinds; NaN equals NaN and sorts after
// every other number, so the order stays strict weak.
int compareNumbers(const NumberPayload& a, const NumberPayload& b);
