// The app bundle and the app container.
//
// The bundle is a folder holding "Info.plist" (the information property
// list, XML or binary), the platform configuration file
// "TarvixService-Info.plist" and "Frameworks/". Its information dictionary
// is read once, on construction, and kept exactly as read. The container
// is the app's own writable area; its standard folders are created on
// first use. Thread-safe (the folder helpers may be called from any
// thread).
#pragma once

#include <optional>
#include <string>

#include "ferrolux/Object.h"

class Bundle {
 public:
  static constexpr const char* kInfoPlistName = "Info.plist";
  static constexpr const char* kFrameworksFolderName = "Frameworks";
  static constexpr const char* kIdentifierKey = "CFBundleIdentifier";

  enum class ContainerFolder {
    Library,             // "Library"
    Preferences,         // "Library/Preferences"
    ApplicationSupport,  // "Library/Application Support"
    Caches,              // "Library/Caches"
    Documents,           // "Documents"
    Temporary,           // "tmp"
  };

  Bundle(std::string bundlePath, std::string containerPath);

  const std::string& bundlePath() const { return bundlePath_; }
  // CFBundleIdentifier, or "" when Info.plist has no string under it.
  std::string bundleIdentifier() const;
  // A dictionary; empty when Info.plist is missing or unreadable.
  const Object& infoDictionary() const { return infoDictionary_; }
  // Why Info.plist could not be read; nothing when it was read.
  const std::optional<Error>& infoDictionaryError() const { return infoDictionaryError_; }
  OptionalObject objectForInfoDictionaryKey(const std::string& key) const;

  // "<bundle>/<name>.<type>" ("<bundle>/<name>" for an empty type) when
  // that file exists, otherwise "". Names that would leave the bundle
  // ("..", "/") find nothing.
  std::string pathForResource(const std::string& name, const std::string& type) const;
  std::string frameworksPath() const;

  const std::string& containerPath() const { return containerPath_; }
  // The folder's path, created (with its parents) if missing. Returns ""
  // and fills `error` when there is no container or it cannot be created.
  std::string containerFolder(ContainerFolder folder, Error* error = nullptr) const;

 private:
  std::string bundlePath_;
  std::string containerPath_;
  Object infoDictionary_;
  std::optional<Error> infoDictionaryError_;
};
