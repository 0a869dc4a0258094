// Walks over wire bytes along nanopb's message descriptors: the pre-scan
// that enforces the decode limits, and the rewrite of packed repeated
// numbers into the unpacked form the wire format wants.
#include <pb_common.h>

#include <map>

#include "upload/TLMPBCodec.h"

namespace {

constexpr int kMaxVarintLength = 10;

enum class VarintRead { Ok, Truncated, TooLong };

VarintRead readVarint(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint64_t* value) {
  std::uint64_t result = 0;
  for (int index = 0; index < kMaxVarintLength; ++index) {
    if (cursor == end) return VarintRead::Truncated;
    const std::uint8_t byte = *cursor++;
    result |= static_cast<std::uint64_t>(byte & 0x7f) << (7 * index);
    if ((byte & 0x80) == 0) {
      *value = result;
      return VarintRead::Ok;
    }
  }
  return VarintRead::TooLong;
}

void appendVarint(Bytes* out, std::uint64_t value) {
  while (value >= 0x80) {
    out->push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out->push_back(static_cast<std::uint8_t>(value));
}

// Finds the declared field of `tag`; `field` was begun on the message's
// descriptor (and stays usable after a miss).
bool findField(pb_field_iter_t* field, bool hasFields, std::uint64_t tag) {
  return hasFields && tag != 0 && tag <= field->descriptor->largest_tag &&
         pb_field_iter_find(field, static_cast<std::uint32_t>(tag));
}

bool isPackable(const pb_field_iter_t& field) {
  return PB_HTYPE(field.type) == PB_HTYPE_REPEATED &&
         PB_LTYPE(field.type) <= PB_LTYPE_LAST_PACKABLE;
}

// Walks one message's bytes. Recurses once per nested message, never
// deeper than kTLMPBMaxNestingDepth.
class WireScanner {
 public:
  bool scan(const pb_msgdesc_t* fields, const std::uint8_t* cursor, const std::uint8_t* end,
            int depth) {
    pb_field_iter_t field;
    const bool hasFields = pb_field_iter_begin(&field, fields, nullptr);
    while (cursor < end) {
      std::uint64_t key = 0;
      if (!varint(cursor, end, &key)) return false;
      const std::uint64_t tag = key >> 3;
      const int wireType = static_cast<int>(key & 7);
      if (tag == 0) return fail("Invalid field number 0");
      const bool declared = findField(&field, hasFields, tag);
      switch (wireType) {
        case PB_WT_VARINT: {
          std::uint64_t ignored = 0;
          if (!varint(cursor, end, &ignored)) return false;
          if (declared && !countValue(field)) return false;
          break;
        }
        case PB_WT_64BIT:
        case PB_WT_32BIT: {
          const std::size_t width = wireType == PB_WT_64BIT ? 8 : 4;
          if (static_cast<std::size_t>(end - cursor) < width) return fail("Truncated message");
          cursor += width;
          if (declared && !countValue(field)) return false;
          break;
        }
        case PB_WT_STRING: {
          std::uint64_t length = 0;
          if (!varint(cursor, end, &length)) return false;
          if (length > static_cast<std::uint64_t>(end - cursor)) return fail("Truncated message");
          if (declared && !scanDelimited(field, cursor, static_cast<std::size_t>(length), depth)) {
            return false;
          }
          cursor += length;
          break;
        }
        default:
          // Groups (3, 4) are not supported by the decoder either.
          return fail("Unsupported wire type " + std::to_string(wireType));
      }
    }
    return true;
  }

  const std::string& reason() const { return reason_; }

 private:
  bool scanDelimited(const pb_field_iter_t& field, const std::uint8_t* bytes, std::size_t length,
                     int depth) {
    const pb_type_t type = PB_LTYPE(field.type);
    if (type == PB_LTYPE_STRING || type == PB_LTYPE_BYTES) {
      if (length > kTLMPBMaxStringLength) {
        return fail("Unable to process proto stream. Buffer is too big. " + std::to_string(length) +
                    " > " + std::to_string(kTLMPBMaxStringLength));
      }
      return count(length + 1 + kTLMPBAllocationOverhead);
    }
    if (PB_LTYPE_IS_SUBMSG(field.type)) {
      if (depth + 1 > kTLMPBMaxNestingDepth) {
        return fail("Unable to process proto stream. Nesting is too deep. " +
                    std::to_string(depth + 1) + " > " + std::to_string(kTLMPBMaxNestingDepth));
      }
      if (!countValue(field)) return false;
      return scan(field.submsg_desc, bytes, bytes + length, depth + 1);
    }
    // A packed run of numbers: at least one byte per element.
    return count(length * field.data_size);
  }

  // One value of `field`: an entry of a repeated field's array, or an
  // allocation of its own. Never more for a value than for the same value
  // re-encoded, so that what decodes once decodes again.
  bool countValue(const pb_field_iter_t& field) {
    if (PB_HTYPE(field.type) == PB_HTYPE_REPEATED) return count(field.data_size);
    return count(field.data_size + kTLMPBAllocationOverhead);
  }

  bool varint(const std::uint8_t*& cursor, const std::uint8_t* end, std::uint64_t* value) {
    switch (readVarint(cursor, end, value)) {
      case VarintRead::Ok:
        return true;
      case VarintRead::Truncated:
        return fail("Truncated message");
      case VarintRead::TooLong:
        break;
    }
    return fail("Invalid varint");
  }

  bool count(std::size_t bytes) {
    decodedSize_ += bytes;
    if (decodedSize_ <= kTLMPBMaxDecodedSize) return true;
    return fail("Unable to process proto stream. Decoded message is too big. " +
                std::to_string(decodedSize_) + " > " + std::to_string(kTLMPBMaxDecodedSize));
  }

  bool fail(std::string reason) {
    reason_ = std::move(reason);
    return false;
  }

  std::size_t decodedSize_ = 0;
  std::string reason_;
};

// Rewrites the packed runs of declared repeated number fields, descending
// only into message types that can hold such fields. Recursion follows the
// message's own nesting.
class Unpacker {
 public:
  bool rewrite(const pb_msgdesc_t* fields, const std::uint8_t* cursor, const std::uint8_t* end,
               Bytes* out) {
    pb_field_iter_t field;
    const bool hasFields = pb_field_iter_begin(&field, fields, nullptr);
    while (cursor < end) {
      const std::uint8_t* start = cursor;
      std::uint64_t key = 0;
      if (readVarint(cursor, end, &key) != VarintRead::Ok) return false;
      const std::uint64_t tag = key >> 3;
      const int wireType = static_cast<int>(key & 7);
      if (wireType != PB_WT_STRING || !findField(&field, hasFields, tag)) {
        if (!skipValue(cursor, end, wireType)) return false;
        out->insert(out->end(), start, cursor);
        continue;
      }
      std::uint64_t length = 0;
      if (readVarint(cursor, end, &length) != VarintRead::Ok ||
          length > static_cast<std::uint64_t>(end - cursor)) {
        return false;
      }
      const std::uint8_t* payload = cursor;
      cursor += length;
      if (PB_LTYPE_IS_SUBMSG(field.type) && holdsPackable(field.submsg_desc)) {
        Bytes inner;
        if (!rewrite(field.submsg_desc, payload, cursor, &inner)) return false;
        appendVarint(out, key);
        appendVarint(out, inner.size());
        out->insert(out->end(), inner.begin(), inner.end());
      } else if (isPackable(field)) {
        const int elementType = elementWireType(field);
        const std::uint64_t elementKey = (tag << 3) | static_cast<std::uint64_t>(elementType);
        while (payload < cursor) {
          const std::uint8_t* element = payload;
          if (!skipValue(payload, cursor, elementType)) return false;
          appendVarint(out, elementKey);
          out->insert(out->end(), element, payload);
        }
      } else {
        out->insert(out->end(), start, cursor);
      }
    }
    return true;
  }

  // Whether messages of `fields`, or any message below them, declare a
  // repeated number field.
  bool holdsPackable(const pb_msgdesc_t* fields) {
    const auto known = holdsPackable_.find(fields);
    if (known != holdsPackable_.end()) return known->second;
    holdsPackable_[fields] = false;  // a recursive type answers for itself below
    bool result = false;
    pb_field_iter_t field;
    if (pb_field_iter_begin(&field, fields, nullptr)) {
      do {
        result = isPackable(field) ||
                 (PB_LTYPE_IS_SUBMSG(field.type) && holdsPackable(field.submsg_desc));
      } while (!result && pb_field_iter_next(&field));
    }
    holdsPackable_[fields] = result;
    return result;
  }

 private:
  static int elementWireType(const pb_field_iter_t& field) {
    switch (PB_LTYPE(field.type)) {
      case PB_LTYPE_FIXED32:
        return PB_WT_32BIT;
      case PB_LTYPE_FIXED64:
        return PB_WT_64BIT;
      default:
        return PB_WT_VARINT;
    }
  }

  static bool skipValue(const std::uint8_t*& cursor, const std::uint8_t* end, int wireType) {
    std::uint64_t value = 0;
    switch (wireType) {
      case PB_WT_VARINT:
        return readVarint(cursor, end, &value) == VarintRead::Ok;
      case PB_WT_64BIT:
      case PB_WT_32BIT: {
        const std::size_t width = wireType == PB_WT_64BIT ? 8 : 4;
        if (static_cast<std::size_t>(end - cursor) < width) return false;
        cursor += width;
        return true;
      }
      case PB_WT_STRING:
        if (readVarint(cursor, end, &value) != VarintRead::Ok ||
            value > static_cast<std::uint64_t>(end - cursor)) {
          return false;
        }
        cursor += value;
        return true;
      default:
        return false;
    }
  }

  std::map<const pb_msgdesc_t*, bool> holdsPackable_;
};

}  // namespace

bool tlm_scanProtoMessage(const pb_msgdesc_t* fields, const std::uint8_t* data, std::size_t size,
                          std::string* reason) {
  WireScanner scanner;
  const std::uint8_t* begin = size == 0 ? nullptr : data;
  if (scanner.scan(fields, begin, begin + size, 1)) return true;
  if (reason != nullptr) *reason = scanner.reason();
  return false;
}

bool tlm_unpackRepeatedNumbers(const pb_msgdesc_t* fields, Bytes* bytes) {
  Unpacker unpacker;
  if (!unpacker.holdsPackable(fields)) return true;
  Bytes rewritten;
  rewritten.reserve(bytes->size() + bytes->size() / 4);
  if (!unpacker.rewrite(fields, bytes->data(), bytes->data() + bytes->size(), &rewritten)) {
    return false;
  }
  *bytes = std::move(rewritten);
  return true;
}
