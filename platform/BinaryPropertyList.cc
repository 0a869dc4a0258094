#include "platform/BinaryPropertyList.h"

#include <unicode/ustring.h>

#include <cstring>
#include <limits>
#include <vector>

#include "common/StringHelpers.h"
#include "platform/PropertyList.h"

namespace {

constexpr char kHeader[] = "bplist00";
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kTrailerSize = 32;
// Dates count seconds from 2001-01-01T00:00:00Z.
constexpr double kSecondsFrom1970To2001 = 978307200.0;

enum Marker : std::uint8_t {
  kFalse = 0x08,
  kTrue = 0x09,
  kInt = 0x10,
  kReal = 0x20,
  kDate = 0x33,
  kData = 0x40,
  kASCIIString = 0x50,
  kUTF16String = 0x60,
  kUID = 0x80,
  kArray = 0xA0,
  kDictionary = 0xD0,
};

void appendBigEndian(Bytes& out, std::uint64_t value, std::size_t size) {
  for (std::size_t i = size; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::size_t bytesFor(std::uint64_t value) {
  if (value <= 0xFF) return 1;
  if (value <= 0xFFFF) return 2;
  if (value <= 0xFFFFFFFFull) return 4;
  return 8;
}

void appendInteger(Bytes& out, std::int64_t value) {
  // Non-negative values take the smallest unsigned width; negative values
  // are always eight bytes of two's complement, as the format requires.
  std::size_t size = value < 0 ? 8 : bytesFor(static_cast<std::uint64_t>(value));
  std::uint8_t exponent = size == 1 ? 0 : size == 2 ? 1 : size == 4 ? 2 : 3;
  out.push_back(kInt | exponent);
  appendBigEndian(out, static_cast<std::uint64_t>(value), size);
}

void appendMarker(Bytes& out, std::uint8_t type, std::uint64_t count) {
  if (count < 15) {
    out.push_back(static_cast<std::uint8_t>(type | count));
  } else {
    out.push_back(type | 0x0F);
    appendInteger(out, static_cast<std::int64_t>(count));
  }
}

void appendDouble(Bytes& out, std::uint8_t marker, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  out.push_back(marker);
  appendBigEndian(out, bits, 8);
}

Error unsupported(const std::string& what) {
  return PropertyList::makeError(PropertyList::kUnsupportedValue, what);
}

Error malformed(const std::string& what) {
  return PropertyList::makeError(PropertyList::kMalformed,
                                 "Malformed binary property list: " + what);
}

class Writer {
 public:
  // Counts the objects and checks that each one can be stored.
  bool count(const Object& object, std::size_t depth, std::uint64_t* total, Error* error) {
    if (depth > PropertyList::kMaxDepth) {
      *error = unsupported("Property list nested too deeply");
      return false;
    }
    ++*total;
    switch (object.kind()) {
      case Object::Kind::String:
        if (!tlm_isValidUTF8(*object.asString())) {
          *error = unsupported("String is not valid UTF-8");
          return false;
        }
        return true;
      case Object::Kind::Number:
      case Object::Kind::Data:
      case Object::Kind::Date:
        return true;
      case Object::Kind::Array:
        for (const Object& item : *object.asArray()) {
          if (!count(item, depth + 1, total, error)) return false;
        }
        return true;
      case Object::Kind::Dictionary:
        for (const auto& [key, value] : *object.asDictionary()) {
          if (!key.isString()) {
            *error = unsupported("Dictionary key of class " + key.className() + " is not a string");
            return false;
          }
          if (!count(key, depth + 1, total, error)) return false;
          if (!count(value, depth + 1, total, error)) return false;
        }
        return true;
      default:
        *error = unsupported("Cannot store an object of class " + object.className());
        return false;
    }
  }

  void setReferenceSize(std::uint64_t objectCount) { referenceSize_ = bytesFor(objectCount); }

  // Appends `object` and everything it holds; returns its index.
  std::uint64_t add(const Object& object) {
    std::uint64_t index = objects_.size();
    objects_.emplace_back();
    Bytes bytes;
    switch (object.kind()) {
      case Object::Kind::String:
        appendString(bytes, *object.asString());
        break;
      case Object::Kind::Number:
        switch (object.numberKind()) {
          case Object::NumberKind::Boolean:
            bytes.push_back(object.boolValue() ? kTrue : kFalse);
            break;
          case Object::NumberKind::Integer:
            appendInteger(bytes, object.int64Value());
            break;
          case Object::NumberKind::Floating:
            appendDouble(bytes, kReal | 3, object.doubleValue());
            break;
        }
        break;
      case Object::Kind::Data: {
        const Bytes& data = *object.asData();
        appendMarker(bytes, kData, data.size());
        bytes.insert(bytes.end(), data.begin(), data.end());
        break;
      }
      case Object::Kind::Date:
        appendDouble(bytes, kDate, object.dateValue() - kSecondsFrom1970To2001);
        break;
      case Object::Kind::Array: {
        std::vector<std::uint64_t> references;
        for (const Object& item : *object.asArray()) references.push_back(add(item));
        appendMarker(bytes, kArray, references.size());
        appendReferences(bytes, references);
        break;
      }
      case Object::Kind::Dictionary: {
        std::vector<std::uint64_t> keys;
        std::vector<std::uint64_t> values;
        for (const auto& [key, value] : *object.asDictionary()) {
          keys.push_back(add(key));
          values.push_back(add(value));
        }
        appendMarker(bytes, kDictionary, keys.size());
        appendReferences(bytes, keys);
        appendReferences(bytes, values);
        break;
      }
      default:
        break;  // Refused by count().
    }
    objects_[index] = std::move(bytes);
    return index;
  }

  Bytes finish() {
    Bytes out(kHeader, kHeader + kHeaderSize);
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (const Bytes& object : objects_) {
      offsets.push_back(out.size());
      out.insert(out.end(), object.begin(), object.end());
    }
    std::uint64_t tableOffset = out.size();
    std::size_t offsetSize = bytesFor(tableOffset);
    for (std::uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
    out.insert(out.end(), 6, 0);  // unused, sort version
    out.push_back(static_cast<std::uint8_t>(offsetSize));
    out.push_back(static_cast<std::uint8_t>(referenceSize_));
    appendBigEndian(out, objects_.size(), 8);
    appendBigEndian(out, 0, 8);  // the top object is always the first
    appendBigEndian(out, tableOffset, 8);
    return out;
  }

 private:
  void appendReferences(Bytes& out, const std::vector<std::uint64_t>& references) const {
    for (std::uint64_t reference : references) appendBigEndian(out, reference, referenceSize_);
  }

  static void appendString(Bytes& out, const std::string& text) {
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    if (ascii) {
      appendMarker(out, kASCIIString, text.size());
      out.insert(out.end(), text.begin(), text.end());
      return;
    }
    // Validity was checked by count(), so the conversion cannot fail.
    std::vector<UChar> units(text.size() + 1);
    int32_t length = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8(units.data(), static_cast<int32_t>(units.size()), &length, text.data(),
                  static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status)) length = 0;
    appendMarker(out, kUTF16String, static_cast<std::uint64_t>(length));
    for (int32_t i = 0; i < length; ++i) appendBigEndian(out, units[i], 2);
  }

  std::vector<Bytes> objects_;
  std::size_t referenceSize_ = 1;
};

class Reader {
 public:
  explicit Reader(const Bytes& bytes) : bytes_(bytes) {}

  OptionalObject read(Error* error) {
    if (bytes_.size() < kHeaderSize + 1 + kTrailerSize) return fail(error, "too short");
    std::size_t trailer = bytes_.size() - kTrailerSize;
    offsetSize_ = bytes_[trailer + 6];
    referenceSize_ = bytes_[trailer + 7];
    count_ = bigEndian(trailer + 8, 8);
    std::uint64_t top = bigEndian(trailer + 16, 8);
    tableOffset_ = bigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8) {
      return fail(error, "bad trailer sizes");
    }
    if (tableOffset_ <= kHeaderSize || tableOffset_ > trailer) {
      return fail(error, "offset table out of bounds");
    }
    if (count_ == 0 || count_ > (trailer - tableOffset_) / offsetSize_ || top >= count_) {
      return fail(error, "bad object count");
    }
    state_.assign(count_, kUnvisited);
    cache_.assign(count_, OptionalObject());
    return object(top, 0, error);
  }

 private:
  enum State : std::uint8_t { kUnvisited, kInProgress, kDone };

  OptionalObject fail(Error* error, const std::string& what) {
    if (error) *error = malformed(what);
    return std::nullopt;
  }

  std::uint64_t bigEndian(std::uint64_t at, std::size_t size) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes_[at + i];
    return value;
  }

  // Objects lie between the header and the offset table.
  bool fits(std::uint64_t at, std::uint64_t size) const {
    return at <= tableOffset_ && size <= tableOffset_ - at;
  }

  // The count of a data, string, array or dictionary marker; moves `*at`
  // past the marker and any integer that follows it.
  bool readCount(std::uint64_t* at, std::uint64_t* count) {
    std::uint8_t low = bytes_[*at] & 0x0F;
    *at += 1;
    if (low != 0x0F) {
      *count = low;
      return true;
    }
    if (!fits(*at, 1)) return false;
    std::uint8_t marker = bytes_[*at];
    if ((marker & 0xF0) != kInt || (marker & 0x0F) > 3) return false;
    std::size_t size = std::size_t{1} << (marker & 0x0F);
    if (!fits(*at + 1, size)) return false;
    *count = bigEndian(*at + 1, size);
    *at += 1 + size;
    return true;
  }

  bool readReferences(std::uint64_t at, std::uint64_t count, std::vector<std::uint64_t>* out) {
    if (count > (tableOffset_ - at) / referenceSize_) return false;
    out->reserve(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t reference = bigEndian(at + i * referenceSize_, referenceSize_);
      if (reference >= count_) return false;
      out->push_back(reference);
    }
    return true;
  }

  OptionalObject object(std::uint64_t index, std::size_t depth, Error* error) {
    if (state_[index] == kDone) return cache_[index];
    if (state_[index] == kInProgress) return fail(error, "object contains itself");
    if (depth > PropertyList::kMaxDepth) return fail(error, "nested too deeply");
    state_[index] = kInProgress;
    OptionalObject result = parse(index, depth, error);
    if (!result) return std::nullopt;
    state_[index] = kDone;
    cache_[index] = result;
    return result;
  }

  OptionalObject parse(std::uint64_t index, std::size_t depth, Error* error) {
    std::uint64_t at = bigEndian(tableOffset_ + index * offsetSize_, offsetSize_);
    if (at < kHeaderSize || at >= tableOffset_) return fail(error, "object offset out of bounds");
    std::uint8_t marker = bytes_[at];
    std::uint8_t low = marker & 0x0F;
    switch (marker & 0xF0) {
      case 0x00:
        if (marker == kFalse) return Object::boolean(false);
        if (marker == kTrue) return Object::boolean(true);
        return fail(error, "unsupported simple object");
      case kInt:
        return integer(at + 1, low, error);
      case kReal: {
        if (low == 2 && fits(at + 1, 4)) {
          std::uint32_t bits = static_cast<std::uint32_t>(bigEndian(at + 1, 4));
          float value;
          std::memcpy(&value, &bits, sizeof value);
          return Object::floating(value);
        }
        if (low == 3 && fits(at + 1, 8)) return Object::floating(doubleAt(at + 1));
        return fail(error, "bad real");
      }
      case 0x30:
        if (marker != kDate || !fits(at + 1, 8)) return fail(error, "bad date");
        return Object::date(doubleAt(at + 1) + kSecondsFrom1970To2001);
      case kData: {
        std::uint64_t count;
        if (!readCount(&at, &count) || !fits(at, count)) return fail(error, "bad data");
        return Object::data(Bytes(bytes_.begin() + at, bytes_.begin() + at + count));
      }
      case kASCIIString: {
        std::uint64_t count;
        if (!readCount(&at, &count) || !fits(at, count)) return fail(error, "bad string");
        std::string text;
        for (std::uint64_t i = 0; i < count; ++i) {
          // Bytes above 0x7F are read as Latin-1 so that the result is UTF-8.
          unsigned char c = bytes_[at + i];
          if (c < 0x80) {
            text.push_back(static_cast<char>(c));
          } else {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
          }
        }
        return Object(std::move(text));
      }
      case kUTF16String: {
        std::uint64_t count;
        if (!readCount(&at, &count) || count > (tableOffset_ - at) / 2) {
          return fail(error, "bad string");
        }
        return utf16String(at, count, error);
      }
      case kUID:
        if (!fits(at + 1, low + 1u)) return fail(error, "bad uid");
        return Object::integer(static_cast<std::int64_t>(bigEndian(at + 1, low + 1u)));
      case kArray: {
        std::uint64_t count;
        std::vector<std::uint64_t> references;
        if (!readCount(&at, &count) || !readReferences(at, count, &references)) {
          return fail(error, "bad array");
        }
        ObjectArray items;
        items.reserve(references.size());
        for (std::uint64_t reference : references) {
          OptionalObject item = object(reference, depth + 1, error);
          if (!item) return std::nullopt;
          items.push_back(std::move(*item));
        }
        return Object::array(std::move(items));
      }
      case kDictionary: {
        std::uint64_t count;
        std::vector<std::uint64_t> references;
        if (!readCount(&at, &count) || count > std::numeric_limits<std::uint64_t>::max() / 2 ||
            !readReferences(at, count * 2, &references)) {
          return fail(error, "bad dictionary");
        }
        ObjectDictionary entries;
        for (std::uint64_t i = 0; i < count; ++i) {
          OptionalObject key = object(references[i], depth + 1, error);
          if (!key) return std::nullopt;
          if (!key->isString()) return fail(error, "dictionary key is not a string");
          OptionalObject value = object(references[count + i], depth + 1, error);
          if (!value) return std::nullopt;
          entries.insert_or_assign(std::move(*key), std::move(*value));
        }
        return Object::dictionary(std::move(entries));
      }
      default:
        return fail(error, "unsupported object type");
    }
  }

  OptionalObject integer(std::uint64_t at, std::uint8_t exponent, Error* error) {
    if (exponent > 4) return fail(error, "bad integer");
    std::size_t size = std::size_t{1} << exponent;
    if (!fits(at, size)) return fail(error, "bad integer");
    if (size <= 4) return Object::integer(static_cast<std::int64_t>(bigEndian(at, size)));
    if (size == 8) return Object::integer(static_cast<std::int64_t>(bigEndian(at, 8)));
    // Sixteen bytes: in range when the high half only extends the sign of
    // the low half; larger unsigned values can only be approximated.
    std::uint64_t high = bigEndian(at, 8);
    std::uint64_t low = bigEndian(at + 8, 8);
    bool negative = static_cast<std::int64_t>(low) < 0;
    if ((high == 0 && !negative) || (high == ~std::uint64_t{0} && negative)) {
      return Object::integer(static_cast<std::int64_t>(low));
    }
    if (high == 0) return Object::floating(static_cast<double>(low));
    return fail(error, "integer out of range");
  }

  double doubleAt(std::uint64_t at) const {
    std::uint64_t bits = bigEndian(at, 8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }

  OptionalObject utf16String(std::uint64_t at, std::uint64_t count, Error* error) {
    if (count > static_cast<std::uint64_t>(std::numeric_limits<int32_t>::max() / 3)) {
      return fail(error, "string too long");
    }
    std::vector<UChar> units(count);
    for (std::uint64_t i = 0; i < count; ++i) {
      units[i] = static_cast<UChar>(bigEndian(at + 2 * i, 2));
    }
    std::string text(count * 3, '\0');
    int32_t length = 0;
    int32_t substitutions = 0;
    UErrorCode status = U_ZERO_ERROR;
    // Unpaired surrogates become U+FFFD.
    u_strToUTF8WithSub(text.data(), static_cast<int32_t>(text.size()), &length, units.data(),
                       static_cast<int32_t>(units.size()), 0xFFFD, &substitutions, &status);
    if (U_FAILURE(status)) return fail(error, "bad UTF-16 string");
    text.resize(static_cast<std::size_t>(length));
    return Object(std::move(text));
  }

  const Bytes& bytes_;
  std::size_t offsetSize_ = 0;
  std::size_t referenceSize_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::vector<std::uint8_t> state_;
  std::vector<OptionalObject> cache_;
};

}  // namespace

bool BinaryPropertyList::hasHeader(const Bytes& bytes) {
  return bytes.size() >= kHeaderSize && std::memcmp(bytes.data(), kHeader, kHeaderSize) == 0;
}

OptionalObject BinaryPropertyList::decode(const Bytes& bytes, Error* error) {
  if (!hasHeader(bytes)) {
    if (error) *error = malformed("missing header");
    return std::nullopt;
  }
  return Reader(bytes).read(error);
}

bool BinaryPropertyList::encode(const Object& object, Bytes* out, Error* error) {
  Writer writer;
  std::uint64_t total = 0;
  Error problem;
  if (!writer.count(object, 0, &total, &problem)) {
    if (error) *error = std::move(problem);
    return false;
  }
  writer.setReferenceSize(total);
  writer.add(object);
  *out = writer.finish();
  return true;
}
