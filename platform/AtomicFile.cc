#include "platform/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

void fill(Error* error, int code, const std::string& what) {
  if (error) *error = AtomicFile::posixError(code, what);
}

std::string parentOf(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool writeAll(int fd, const Bytes& contents) {
  std::size_t done = 0;
  while (done < contents.size()) {
    ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Best effort: a file system without extended attributes simply has none.
void copyUserAttributes(const std::string& from, int toFd) {
  ssize_t size = ::listxattr(from.c_str(), nullptr, 0);
  if (size <= 0) return;
  std::vector<char> names(static_cast<std::size_t>(size));
  size = ::listxattr(from.c_str(), names.data(), names.size());
  if (size <= 0) return;
  for (std::size_t at = 0; at < static_cast<std::size_t>(size);) {
    const char* name = names.data() + at;
    std::size_t length = std::strlen(name);
    at += length + 1;
    if (std::strncmp(name, "user.", 5) != 0) continue;
    ssize_t valueSize = ::getxattr(from.c_str(), name, nullptr, 0);
    if (valueSize < 0) continue;
    std::vector<char> value(static_cast<std::size_t>(valueSize));
    valueSize = ::getxattr(from.c_str(), name, value.data(), value.size());
    if (valueSize < 0) continue;
    (void)::fsetxattr(toFd, name, value.data(), static_cast<std::size_t>(valueSize), 0);
  }
}

}  // namespace

Error AtomicFile::posixError(int code, const std::string& what) {
  Error error;
  error.domain = kPOSIXErrorDomain;
  error.code = code;
  error.description = what + ": " + std::strerror(code);
  return error;
}

bool AtomicFile::read(const std::string& path, Bytes* contents, Error* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    fill(error, errno, "Cannot open " + path);
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    int code = errno;
    ::close(fd);
    fill(error, code, "Cannot inspect " + path);
    return false;
  }
  if (static_cast<std::size_t>(info.st_size) > kMaxFileBytes) {
    ::close(fd);
    fill(error, EFBIG, "Too large to read " + path);
    return false;
  }
  Bytes result;
  std::uint8_t buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      ::close(fd);
      fill(error, code, "Cannot read " + path);
      return false;
    }
    if (n == 0) break;
    if (result.size() + static_cast<std::size_t>(n) > kMaxFileBytes) {
      ::close(fd);
      fill(error, EFBIG, "Too large to read " + path);
      return false;
    }
    result.insert(result.end(), buffer, buffer + n);
  }
  ::close(fd);
  *contents = std::move(result);
  return true;
}

bool AtomicFile::write(const std::string& path, const Bytes& contents, mode_t mode, Error* error) {
  std::string folder = parentOf(path);
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::string temporary = folder + "/." + name + ".XXXXXX";
  std::vector<char> pattern(temporary.begin(), temporary.end());
  pattern.push_back('\0');
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) {
    fill(error, errno, "Cannot create a temporary file in " + folder);
    return false;
  }
  temporary.assign(pattern.data());
  auto fail = [&](int code, const std::string& what) {
    ::close(fd);
    ::unlink(temporary.c_str());
    fill(error, code, what);
    return false;
  };
  if (::fchmod(fd, mode) != 0) return fail(errno, "Cannot set the mode of " + temporary);
  if (!writeAll(fd, contents)) return fail(errno, "Cannot write " + temporary);
  copyUserAttributes(path, fd);
  if (::fsync(fd) != 0) return fail(errno, "Cannot flush " + temporary);
  if (::close(fd) != 0) {
    int code = errno;
    ::unlink(temporary.c_str());
    fill(error, code, "Cannot close " + temporary);
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    int code = errno;
    ::unlink(temporary.c_str());
    fill(error, code, "Cannot replace " + path);
    return false;
  }
  // The rename is durable only once the folder itself is on disk.
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    int result = ::fsync(folderFd);
    int code = errno;
    ::close(folderFd);
    if (result != 0 && code != EINVAL) {
      fill(error, code, "Cannot flush " + folder);
      return false;
    }
  }
  return true;
}

bool AtomicFile::makeDirectories(const std::string& path, mode_t mode, Error* error) {
  if (path.empty()) {
    fill(error, ENOENT, "Empty folder path");
    return false;
  }
  std::size_t at = 0;
  for (;;) {
    at = path.find('/', at + 1);
    std::string prefix = at == std::string::npos ? path : path.substr(0, at);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      fill(error, errno, "Cannot create " + prefix);
      return false;
    }
    if (at == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    fill(error, ENOTDIR, "Not a folder: " + path);
    return false;
  }
  return true;
}
