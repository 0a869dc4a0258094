// Whole-file reads and crash-safe replacement of small files (preferences,
// keychain). A replaced file is either the old one or the new one, never a
// mix, even after a power loss. Safe from any thread; callers serialise
// writers of one path themselves.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "ferrolux/Object.h"

// Errors carry this domain and the errno value as the code.
inline constexpr const char* kPOSIXErrorDomain = "NSPOSIXErrorDomain";

class AtomicFile {
 public:
  // Largest file `read` accepts; these files hold small settings only.
  static constexpr std::size_t kMaxFileBytes = 64 * 1024 * 1024;

  // Reads the whole file. Returns false and fills `error` (code ENOENT when
  // the file does not exist, EFBIG above kMaxFileBytes).
  [[nodiscard]] static bool read(const std::string& path, Bytes* contents, Error* error);

  // Writes `contents` to a temporary file in the same folder, flushes it to
  // disk, renames it over `path` and flushes the folder. Extended attributes
  // of the "user." namespace on the old file are carried over, so that a
  // file excluded from backup stays excluded when it is rewritten. Returns
  // false and fills `error` when any step fails; the old file is then left
  // as it was.
  [[nodiscard]] static bool write(const std::string& path, const Bytes& contents, mode_t mode,
                                  Error* error);

  // Creates `path` and any missing parents with `mode`. True when the
  // folder exists afterwards.
  [[nodiscard]] static bool makeDirectories(const std::string& path, mode_t mode, Error* error);

  // An error in kPOSIXErrorDomain with `what` and the system's text.
  static Error posixError(int code, const std::string& what);
};
