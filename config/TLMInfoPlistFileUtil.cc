#include "config/TLMInfoPlistFileUtil.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Bundle.h"
#include "platform/Platform.h"
#include "platform/PropertyList.h"

namespace {

// The folder of the binary that holds this library (the shared library,
// or the executable it is linked into): the library's own "bundle".
std::string libraryFolder() {
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void*>(&libraryFolder), &info) == 0 ||
      info.dli_fname == nullptr) {
    return "";
  }
  std::error_code ignored;
  std::filesystem::path binary = std::filesystem::canonical(info.dli_fname, ignored);
  if (binary.empty()) return "";
  return binary.parent_path().string();
}

}  // namespace

std::optional<std::string> TLMInfoPlistFileUtil::tarvixServiceInfoPlistPath() {
  std::string path = Platform::current().bundle().pathForResource(kResourceName, kResourceType);
  if (!path.empty()) return path;
  const std::string folder = libraryFolder();
  if (folder.empty()) return std::nullopt;
  path =
      (std::filesystem::path(folder) / (std::string(kResourceName) + "." + kResourceType)).string();
  if (::access(path.c_str(), R_OK) == 0) return path;
  return std::nullopt;
}

OptionalObject TLMInfoPlistFileUtil::dictionaryFromTarvixServiceInfoPlist() {
  std::optional<std::string> path = tarvixServiceInfoPlistPath();
  if (!path) return std::nullopt;
  Error ignored;
  OptionalObject contents = PropertyList::readFile(*path, &ignored);
  if (!contents || !contents->isDictionary()) return std::nullopt;
  return contents;
}
