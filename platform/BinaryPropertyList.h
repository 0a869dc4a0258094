// The binary property list format ("bplist00"), encoded and decoded here
// rather than with libplist because libplist 2.2 keeps dates as whole
// microseconds, which loses the low bits of a date's double value.
//
// Layout: the 8-byte header, the objects, the offset table (one big-endian
// offset per object) and a 32-byte trailer (offset size, reference size,
// object count, top object, offset-table position). Objects are written
// without de-duplication; shared objects are accepted when reading, and
// decoded once. Pure functions, safe from any thread.
#pragma once

#include "ferrolux/Object.h"

class BinaryPropertyList {
 public:
  // Whether `bytes` start with the binary header.
  static bool hasHeader(const Bytes& bytes);
  // Nothing, with `error` filled, for malformed input (bad bounds, cycles,
  // nesting deeper than PropertyList::kMaxDepth, unsupported object types).
  static OptionalObject decode(const Bytes& bytes, Error* error);
  // False, with `error` filled, for objects that cannot be stored.
  [[nodiscard]] static bool encode(const Object& object, Bytes* out, Error* error);
};
