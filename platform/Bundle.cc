#include "platform/Bundle.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "platform/AtomicFile.h"
#include "platform/PropertyList.h"

namespace {

constexpr mode_t kFolderMode = 0755;

const char* relativePath(Bundle::ContainerFolder folder) {
  switch (folder) {
    case Bundle::ContainerFolder::Library:
      return "Library";
    case Bundle::ContainerFolder::Preferences:
      return "Library/Preferences";
    case Bundle::ContainerFolder::ApplicationSupport:
      return "Library/Application Support";
    case Bundle::ContainerFolder::Caches:
      return "Library/Caches";
    case Bundle::ContainerFolder::Documents:
      return "Documents";
    case Bundle::ContainerFolder::Temporary:
      return "tmp";
  }
  return "";
}

std::string join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

Bundle::Bundle(std::string bundlePath, std::string containerPath)
    : bundlePath_(std::move(bundlePath)),
      containerPath_(std::move(containerPath)),
      infoDictionary_(Object::dictionary({})) {
  Error error;
  OptionalObject info = PropertyList::readFile(join(bundlePath_, kInfoPlistName), &error);
  if (!info) {
    infoDictionaryError_ = error;
  } else if (!info->isDictionary()) {
    infoDictionaryError_ =
        PropertyList::makeError(PropertyList::kMalformed, "Info.plist is not a dictionary");
  } else {
    infoDictionary_ = std::move(*info);
  }
}

std::string Bundle::bundleIdentifier() const {
  const Object* identifier = infoDictionary_.objectForKey(kIdentifierKey);
  return identifier && identifier->isString() ? *identifier->asString() : std::string();
}

OptionalObject Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  const Object* value = infoDictionary_.objectForKey(key);
  if (!value) return std::nullopt;
  return *value;
}

std::string Bundle::pathForResource(const std::string& name, const std::string& type) const {
  if (name.empty() || name.find('/') != std::string::npos || type.find('/') != std::string::npos ||
      name == "." || name == "..") {
    return "";
  }
  std::string path = join(bundlePath_, type.empty() ? name : name + "." + type);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return "";
  return path;
}

std::string Bundle::frameworksPath() const { return join(bundlePath_, kFrameworksFolderName); }

std::string Bundle::containerFolder(ContainerFolder folder, Error* error) const {
  if (containerPath_.empty()) {
    if (error) *error = AtomicFile::posixError(ENOENT, "The app has no container");
    return "";
  }
  std::string path = join(containerPath_, relativePath(folder));
  if (!AtomicFile::makeDirectories(path, kFolderMode, error)) return "";
  return path;
}
