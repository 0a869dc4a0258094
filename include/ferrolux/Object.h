// Dynamically typed values: what the public interface accepts as a
// parameter value, what settings and property lists hold, and what
// diagnostics carry as context.
//
// An Object is an immutable value with shared storage: copying is cheap
// and copies may be used from any thread. "No object" (nil) is
// std::optional<Object> holding nothing, which is never the same as the
// null kind. Dictionaries iterate in a fixed order (sorted by key, with a
// total order across key kinds), so enumeration order is reproducible.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class Object;
struct Error;

// Strict weak order over all objects: by kind first, then by value.
// Objects that are equal (`==`) are never ordered apart.
struct ObjectLess {
  bool operator()(const Object& a, const Object& b) const;
};

using ObjectArray = std::vector<Object>;
using ObjectDictionary = std::map<Object, Object, ObjectLess>;
using ObjectSet = std::set<Object, ObjectLess>;
using Bytes = std::vector<std::uint8_t>;

// Library objects that travel as values (a measurement value, an event).
class LibraryObject {
 public:
  virtual ~LibraryObject() = default;
  virtual std::string className() const = 0;
  virtual std::string description() const = 0;
  // Identity unless a class says otherwise. Only called with an object of
  // the same class name.
  virtual bool isEqualTo(const LibraryObject& other) const { return this == &other; }
  // Order among objects of the same class name: negative, zero or positive.
  // Must answer zero exactly when isEqualTo is true, so that dictionaries
  // and sets keyed by library objects stay consistent; a class that
  // overrides isEqualTo overrides this too. The default orders by
  // description, then by identity.
  virtual int compareTo(const LibraryObject& other) const;
};

class Object {
 public:
  enum class Kind {
    Null,
    Number,
    String,
    Data,
    Date,
    URL,
    Array,
    Dictionary,
    Set,
    Error,
    Opaque,
    Library,
  };
  // How a number was made; floating numbers become doubles and every other
  // number an integer when converted to measurement values.
  enum class NumberKind { Boolean, Integer, Floating };

  // The null kind.
  Object();
  static Object null() { return Object(); }

  // Strings are UTF-8.
  Object(std::string value);       // NOLINT: implicit by design
  Object(std::string_view value);  // NOLINT
  Object(const char* value);       // NOLINT
  static Object boolean(bool value);
  static Object integer(std::int64_t value);
  static Object floating(double value);
  static Object data(Bytes value);
  // Seconds since 1970.
  static Object date(double secondsSince1970);
  static Object url(std::string absoluteString);
  static Object array(ObjectArray value);
  static Object dictionary(ObjectDictionary value);
  static Object set(ObjectSet value);
  static Object error(const Error& value);
  // A host value that cannot be converted (for example one whose class is
  // "__SwiftValue"). Equal only to itself.
  static Object opaque(std::string className, std::string description = "");
  // A null pointer gives the null kind.
  static Object library(std::shared_ptr<const LibraryObject> value);

  Kind kind() const;
  bool isNull() const { return kind() == Kind::Null; }
  bool isNumber() const { return kind() == Kind::Number; }
  bool isString() const { return kind() == Kind::String; }
  bool isArray() const { return kind() == Kind::Array; }
  bool isDictionary() const { return kind() == Kind::Dictionary; }

  // Typed views; null when the object is of another kind.
  const std::string* asString() const;
  const Bytes* asData() const;
  const ObjectArray* asArray() const;
  const ObjectDictionary* asDictionary() const;
  const ObjectSet* asSet() const;
  const Error* asError() const;
  const LibraryObject* asLibrary() const;
  template <typename T>
  const T* asLibraryOf() const {
    return dynamic_cast<const T*>(asLibrary());
  }
  std::shared_ptr<const LibraryObject> sharedLibrary() const;

  // Numbers. For other kinds: NumberKind::Integer and zero values.
  NumberKind numberKind() const;
  bool isFloatingNumber() const { return isNumber() && numberKind() == NumberKind::Floating; }
  std::int64_t int64Value() const;  // floating values truncate toward zero
  double doubleValue() const;
  bool boolValue() const;  // non-zero
  // "1"/"0" for booleans, decimal integers, shortest round-trip doubles
  // ("0.1", "3", "1e+21", "-0", "nan", "inf"). Strings answer themselves,
  // URLs their string, every other kind its description.
  std::string stringValue() const;

  // Dates: seconds since 1970. URLs: the absolute string.
  double dateValue() const;
  const std::string* urlString() const;

  // Dictionary lookup by string key; null when absent or not a dictionary.
  const Object* objectForKey(std::string_view key) const;
  // Exact matches for the usual key types; without them a literal or a
  // std::string would convert equally well to string_view and to Object.
  const Object* objectForKey(const char* key) const;
  const Object* objectForKey(const std::string& key) const;
  const Object* objectForKey(const Object& key) const;

  // The platform's public class name: "NSNull", "NSNumber", "NSString",
  // "NSData", "NSDate", "NSURL", "NSArray", "NSDictionary", "NSSet",
  // "NSError", or the opaque/library object's own.
  std::string className() const;
  // Human-readable form, as the platform's `description` prints it.
  std::string description() const;

  // Value equality; numbers compare by value across number kinds.
  friend bool operator==(const Object& a, const Object& b);
  friend bool operator!=(const Object& a, const Object& b) { return !(a == b); }

  struct Payload;

 private:
  friend struct ObjectInternals;  // the implementation's own access to the payload

  explicit Object(std::shared_ptr<const Payload> payload);
  std::shared_ptr<const Payload> payload_;
};

using OptionalObject = std::optional<Object>;

// A failure: domain, code, optional description and optional monitor
// context (the "TLMMonitorContext" of the diagnostics).
struct Error {
  std::string domain;
  long code = 0;
  std::optional<std::string> description;
  std::optional<Object> context;

  // "<domain> <code>: <description>", or "<domain> <code>" without one.
  std::string toString() const;
};

bool operator==(const Error& a, const Error& b);
