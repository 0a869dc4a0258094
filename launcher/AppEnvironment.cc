#include "launcher/AppEnvironment.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/Bundle.h"

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string executableFolder() {
  std::error_code error;
  std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::string(".") : executable.parent_path().string();
}

std::string dataHome() {
  std::string xdg = environment("XDG_DATA_HOME");
  if (!xdg.empty()) return xdg + "/ferrolux";
  std::string home = environment("HOME");
  return (home.empty() ? std::string("/tmp") : home) + "/.local/share/ferrolux";
}

}  // namespace

PlatformPaths appPathsFromEnvironment() {
  PlatformPaths paths;
  paths.bundlePath = environment("FERROLUX_BUNDLE_PATH");
  if (paths.bundlePath.empty()) paths.bundlePath = executableFolder();

  paths.containerPath = environment("FERROLUX_CONTAINER_DIR");
  if (paths.containerPath.empty()) {
    std::string identifier = Bundle(paths.bundlePath, "").bundleIdentifier();
    if (identifier.empty()) identifier = "app";
    paths.containerPath = dataHome() + "/containers/" + identifier;
  }
  paths.keychainPath = environment("FERROLUX_KEYCHAIN_DIR");
  if (paths.keychainPath.empty()) paths.keychainPath = dataHome() + "/keychain";
  return paths;
}
