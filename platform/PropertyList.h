// Property lists: the file format of Info.plist, the platform
// configuration file, the preferences and the keychain.
//
// Reading accepts XML (through libplist) and binary ("bplist00") property
// lists. Writing produces binary property lists. Dates and real numbers
// keep every bit of their double value through a binary round trip (a
// date is stored as seconds since 2001 and converted back, which is exact
// for every date from 1985 on).
//
// What can be stored: strings (valid UTF-8), numbers (boolean, integer
// and floating kinds are kept apart), data, dates, arrays and dictionaries
// with string keys, nested up to kMaxDepth. Everything else (the null kind,
// URLs, sets, errors, opaque and library objects) is refused. Malformed
// input is an error, never a crash. Pure functions, safe from any thread.
#pragma once

#include <cstddef>
#include <string>

#include "ferrolux/Object.h"

class PropertyList {
 public:
  static constexpr const char* kErrorDomain = "PropertyList";
  enum ErrorCode : long {
    kUnsupportedValue = 1,  // the object cannot be stored
    kMalformed = 2,         // the bytes are not a property list
  };
  // Deepest nesting of arrays and dictionaries read or written.
  static constexpr std::size_t kMaxDepth = 256;

  // Returns the object, or nothing and fills `error` (kMalformed).
  static OptionalObject read(const Bytes& bytes, Error* error);
  // Reads a file; a missing or unreadable file gives the system's error
  // (domain "NSPOSIXErrorDomain", code errno: ENOENT when missing).
  static OptionalObject readFile(const std::string& path, Error* error);

  // Encodes `object` as a binary property list. Returns false and fills
  // `error` (kUnsupportedValue) when it holds something that cannot be
  // stored; `out` is then left unchanged.
  [[nodiscard]] static bool writeBinary(const Object& object, Bytes* out, Error* error);

  // Whether writeBinary would accept `object`.
  static bool isStorable(const Object& object);

  // The error this class reports, for callers that check their input first.
  static Error makeError(ErrorCode code, const std::string& description);
};
