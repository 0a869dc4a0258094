#include "platform/FileAttributes.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>

#include "platform/AtomicFile.h"

namespace {

// File systems without extended attributes (or without the "user."
// namespace for this file type) answer one of these.
bool unsupported(int code) { return code == ENOTSUP || code == EOPNOTSUPP || code == EPERM; }

}  // namespace

bool FileAttributes::setExcludedFromBackup(const std::string& path, bool excluded, Error* error) {
  return set(path, kExcludedFromBackupAttribute, excluded, error);
}

bool FileAttributes::isExcludedFromBackup(const std::string& path) const {
  return get(path, kExcludedFromBackupAttribute);
}

bool FileAttributes::setImmutable(const std::string& path, bool immutable, Error* error) {
  return set(path, kImmutableAttribute, immutable, error);
}

bool FileAttributes::isImmutable(const std::string& path) const {
  return get(path, kImmutableAttribute);
}

bool FileAttributes::set(const std::string& path, const char* attribute, bool on, Error* error) {
  int left = failuresLeft_.load();
  while (left > 0 && !failuresLeft_.compare_exchange_weak(left, left - 1)) {
  }
  if (left > 0) {
    if (error) *error = AtomicFile::posixError(EIO, "Cannot set attributes of " + path);
    return false;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (error) *error = AtomicFile::posixError(errno, "Cannot set attributes of " + path);
    return false;
  }
  int result =
      on ? ::setxattr(path.c_str(), attribute, "1", 1, 0) : ::removexattr(path.c_str(), attribute);
  if (result == 0) return true;
  int code = errno;
  if (!on && code == ENODATA) return true;
  if (unsupported(code)) return true;
  if (error) *error = AtomicFile::posixError(code, "Cannot set attributes of " + path);
  return false;
}

bool FileAttributes::get(const std::string& path, const char* attribute) const {
  char value = 0;
  ssize_t size = ::getxattr(path.c_str(), attribute, &value, 1);
  return size == 1 && value == '1';
}
