// File attributes of the original platform: "excluded from backup" and
// "immutable". Kept as extended attributes in the "user." namespace where
// the file system has them; where it has none, setting succeeds and does
// nothing, and reading answers false. They are metadata only: they never
// make an open, a write or a delete fail. Thread-safe.
#pragma once

#include <atomic>
#include <string>

#include "ferrolux/Object.h"

class FileAttributes {
 public:
  static constexpr const char* kExcludedFromBackupAttribute = "user.excluded_from_backup";
  static constexpr const char* kImmutableAttribute = "user.immutable";

  // Returns false and fills `error` (domain "NSPOSIXErrorDomain", code
  // errno) when the file does not exist or the attribute cannot be
  // written for another reason than missing file-system support.
  [[nodiscard]] bool setExcludedFromBackup(const std::string& path, bool excluded, Error* error);
  bool isExcludedFromBackup(const std::string& path) const;

  [[nodiscard]] bool setImmutable(const std::string& path, bool immutable, Error* error);
  bool isImmutable(const std::string& path) const;

  // The next `count` set calls fail with EIO and change nothing.
  void TEST_failNextSetCalls(int count) { failuresLeft_.store(count); }

 private:
  bool set(const std::string& path, const char* attribute, bool on, Error* error);
  bool get(const std::string& path, const char* attribute) const;

  std::atomic<int> failuresLeft_{0};
};
