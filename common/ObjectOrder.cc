// The total order over objects behind ObjectLess and equality.
//
// Kinds rank in the order of Object::Kind; within a kind objects compare by
// value. Equality is "neither orders before the other", so dictionary keys
// that are equal (true, 1 and 1.0) are one key.
#include <cmath>
#include <cstring>
#include <functional>

#include "common/ObjectPayload.h"

namespace {

template <typename T>
int threeWay(const T& a, const T& b) {
  if (a < b) return -1;
  if (b < a) return 1;
  return 0;
}

// NaN equals NaN and sorts after every other value; -0 equals +0.
int compareDoubles(double a, double b) {
  const bool aNaN = std::isnan(a);
  const bool bNaN = std::isnan(b);
  if (aNaN || bNaN) return threeWay(aNaN, bNaN);
  return threeWay(a, b);
}

// Exact comparison of an integer with a non-NaN double: no rounding of the
// integer to double, which would make 2^53 + 1 equal 2^53.
int compareIntegerWithDouble(std::int64_t integer, double value) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (value >= kTwoTo63) return -1;
  if (value < -kTwoTo63) return 1;
  const double whole = std::trunc(value);
  const auto wholeInteger = static_cast<std::int64_t>(whole);
  if (integer != wholeInteger) return threeWay(integer, wholeInteger);
  // Same integral part: the fraction decides (it is exact).
  return threeWay(0.0, value - whole);
}

int compareStrings(const std::string& a, const std::string& b) {
  // std::string compares through char_traits<char>, which compares as
  // unsigned char: byte order.
  const int result = a.compare(b);
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

template <typename Container, typename Compare>
int compareSequences(const Container& a, const Container& b, Compare compare) {
  auto ia = a.begin();
  auto ib = b.begin();
  for (; ia != a.end() && ib != b.end(); ++ia, ++ib) {
    const int result = compare(*ia, *ib);
    if (result != 0) return result;
  }
  return threeWay(a.size(), b.size());
}

int compareOptionalStrings(const std::optional<std::string>& a,
                           const std::optional<std::string>& b) {
  if (!a || !b) return threeWay(a.has_value(), b.has_value());
  return compareStrings(*a, *b);
}

int compareErrors(const Error& a, const Error& b) {
  if (int result = compareStrings(a.domain, b.domain)) return result;
  if (int result = threeWay(a.code, b.code)) return result;
  if (int result = compareOptionalStrings(a.description, b.description)) return result;
  if (!a.context || !b.context) return threeWay(a.context.has_value(), b.context.has_value());
  return compareObjects(*a.context, *b.context);
}

int compareLibraryObjects(const LibraryObject& a, const LibraryObject& b) {
  if (&a == &b) return 0;
  if (int result = compareStrings(a.className(), b.className())) return result;
  if (a.isEqualTo(b)) return 0;
  if (int result = a.compareTo(b)) return result < 0 ? -1 : 1;
  // A class that broke the contract: keep unequal objects apart.
  return std::less<const LibraryObject*>()(&a, &b) ? -1 : 1;
}

int compareKeyValue(const ObjectDictionary::value_type& a, const ObjectDictionary::value_type& b) {
  if (int result = compareObjects(a.first, b.first)) return result;
  return compareObjects(a.second, b.second);
}

}  // namespace

int compareNumbers(const NumberPayload& a, const NumberPayload& b) {
  const bool aFloating = a.kind == Object::NumberKind::Floating;
  const bool bFloating = b.kind == Object::NumberKind::Floating;
  if (!aFloating && !bFloating) return threeWay(a.integer, b.integer);
  if (aFloating && bFloating) return compareDoubles(a.floating, b.floating);
  if (aFloating) {
    if (std::isnan(a.floating)) return 1;
    return -compareIntegerWithDouble(b.integer, a.floating);
  }
  if (std::isnan(b.floating)) return -1;
  return compareIntegerWithDouble(a.integer, b.floating);
}

int compareObjects(const Object& a, const Object& b) {
  const Object::Kind kindA = a.kind();
  const Object::Kind kindB = b.kind();
  if (kindA != kindB) return threeWay(static_cast<int>(kindA), static_cast<int>(kindB));
  switch (kindA) {
    case Object::Kind::Null:
      return 0;
    case Object::Kind::Number:
      return compareNumbers(std::get<NumberPayload>(ObjectInternals::payload(a)->value),
                            std::get<NumberPayload>(ObjectInternals::payload(b)->value));
    case Object::Kind::String:
      return compareStrings(*a.asString(), *b.asString());
    case Object::Kind::Data:
      return compareSequences(*a.asData(), *b.asData(), threeWay<std::uint8_t>);
    case Object::Kind::Date:
      return compareDoubles(a.dateValue(), b.dateValue());
    case Object::Kind::URL:
      return compareStrings(*a.urlString(), *b.urlString());
    case Object::Kind::Array:
      return compareSequences(*a.asArray(), *b.asArray(), compareObjects);
    case Object::Kind::Dictionary:
      return compareSequences(*a.asDictionary(), *b.asDictionary(), compareKeyValue);
    case Object::Kind::Set:
      return compareSequences(*a.asSet(), *b.asSet(), compareObjects);
    case Object::Kind::Error:
      return compareErrors(*a.asError(), *b.asError());
    case Object::Kind::Opaque: {
      // Equal only to the same instance; copies share the payload and with
      // it the sequence number.
      const auto& pa = std::get<OpaquePayload>(ObjectInternals::payload(a)->value);
      const auto& pb = std::get<OpaquePayload>(ObjectInternals::payload(b)->value);
      return threeWay(pa.sequenceNumber, pb.sequenceNumber);
    }
    case Object::Kind::Library:
      return compareLibraryObjects(*a.asLibrary(), *b.asLibrary());
  }
  return 0;
}

bool ObjectLess::operator()(const Object& a, const Object& b) const {
  return compareObjects(a, b) < 0;
}

int LibraryObject::compareTo(const LibraryObject& other) const {
  if (this == &other) return 0;
  if (int result = compareStrings(description(), other.description())) return result;
  return std::less<const LibraryObject*>()(this, &other) ? -1 : 1;
}
