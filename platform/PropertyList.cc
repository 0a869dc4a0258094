#include "platform/PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

#include "common/StringHelpers.h"
#include "platform/AtomicFile.h"
#include "platform/BinaryPropertyList.h"

namespace {

constexpr double kSecondsFrom1970To2001 = 978307200.0;

struct PlistDeleter {
  void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Converts a libplist tree (from XML) into an Object.
class XMLConverter {
 public:
  OptionalObject convert(plist_t node, std::size_t depth, Error* error) {
    if (depth > PropertyList::kMaxDepth) return fail(error, "nested too deeply");
    switch (plist_get_node_type(node)) {
      case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return Object::boolean(value != 0);
      }
      case PLIST_UINT: {
        // libplist keeps every integer in 64 bits; negative values arrive
        // as their two's complement.
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return Object::integer(static_cast<std::int64_t>(value));
      }
      case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return Object::floating(value);
      }
      case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return Object(std::string(text ? text : "", text ? length : 0));
      }
      case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* data = plist_get_data_ptr(node, &length);
        const auto* begin = reinterpret_cast<const std::uint8_t*>(data);
        return Object::data(data ? Bytes(begin, begin + length) : Bytes());
      }
      case PLIST_DATE: {
        std::int32_t seconds = 0;
        std::int32_t microseconds = 0;
        plist_get_date_val(node, &seconds, &microseconds);
        return Object::date(seconds + microseconds / 1e6 + kSecondsFrom1970To2001);
      }
      case PLIST_UID: {
        std::uint64_t value = 0;
        plist_get_uid_val(node, &value);
        return Object::integer(static_cast<std::int64_t>(value));
      }
      case PLIST_ARRAY: {
        ObjectArray items;
        std::uint32_t size = plist_array_get_size(node);
        items.reserve(size);
        for (std::uint32_t i = 0; i < size; ++i) {
          OptionalObject item = convert(plist_array_get_item(node, i), depth + 1, error);
          if (!item) return std::nullopt;
          items.push_back(std::move(*item));
        }
        return Object::array(std::move(items));
      }
      case PLIST_DICT: {
        ObjectDictionary entries;
        plist_dict_iter iterator = nullptr;
        plist_dict_new_iter(node, &iterator);
        for (;;) {
          char* key = nullptr;
          plist_t value = nullptr;
          plist_dict_next_item(node, iterator, &key, &value);
          if (!value) {
            std::free(key);
            break;
          }
          std::string name = key ? key : "";
          std::free(key);
          OptionalObject converted = convert(value, depth + 1, error);
          if (!converted) {
            std::free(iterator);
            return std::nullopt;
          }
          entries.insert_or_assign(Object(std::move(name)), std::move(*converted));
        }
        std::free(iterator);
        return Object::dictionary(std::move(entries));
      }
      default:
        return fail(error, "unsupported node");
    }
  }

 private:
  static OptionalObject fail(Error* error, const std::string& what) {
    if (error) {
      *error =
          PropertyList::makeError(PropertyList::kMalformed, "Malformed XML property list: " + what);
    }
    return std::nullopt;
  }
};

bool storable(const Object& object, std::size_t depth) {
  if (depth > PropertyList::kMaxDepth) return false;
  switch (object.kind()) {
    case Object::Kind::String:
      return tlm_isValidUTF8(*object.asString());
    case Object::Kind::Number:
    case Object::Kind::Data:
    case Object::Kind::Date:
      return true;
    case Object::Kind::Array:
      for (const Object& item : *object.asArray()) {
        if (!storable(item, depth + 1)) return false;
      }
      return true;
    case Object::Kind::Dictionary:
      for (const auto& [key, value] : *object.asDictionary()) {
        if (!key.isString() || !storable(key, depth + 1) || !storable(value, depth + 1)) {
          return false;
        }
      }
      return true;
    default:
      return false;
  }
}

}  // namespace

Error PropertyList::makeError(ErrorCode code, const std::string& description) {
  Error error;
  error.domain = kErrorDomain;
  error.code = code;
  error.description = description;
  return error;
}

OptionalObject PropertyList::read(const Bytes& bytes, Error* error) {
  if (BinaryPropertyList::hasHeader(bytes)) return BinaryPropertyList::decode(bytes, error);
  if (bytes.empty() || bytes.size() > AtomicFile::kMaxFileBytes) {
    if (error) *error = makeError(kMalformed, "Not a property list");
    return std::nullopt;
  }
  plist_t root = nullptr;
  plist_from_xml(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()), &root);
  PlistPtr owner(root);
  if (!root) {
    if (error) *error = makeError(kMalformed, "Not a property list");
    return std::nullopt;
  }
  return XMLConverter().convert(root, 0, error);
}

OptionalObject PropertyList::readFile(const std::string& path, Error* error) {
  Bytes bytes;
  if (!AtomicFile::read(path, &bytes, error)) return std::nullopt;
  return read(bytes, error);
}

bool PropertyList::writeBinary(const Object& object, Bytes* out, Error* error) {
  return BinaryPropertyList::encode(object, out, error);
}

bool PropertyList::isStorable(const Object& object) { return storable(object, 0); }
