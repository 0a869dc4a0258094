#include "tools/sim/SimAppBundle.h"

#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

namespace {

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n<dict>\n";
constexpr char kFooter[] = "</dict>\n</plist>\n";

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

using Entries = std::vector<std::pair<std::string, std::string>>;

bool writePlist(const std::filesystem::path& path, const Entries& entries, std::string* problem) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << kHeader;
  for (const auto& [key, value] : entries) {
    file << "\t<key>" << escaped(key) << "</key>\n\t<string>" << escaped(value) << "</string>\n";
  }
  file << kFooter;
  file.close();
  if (!file) {
    if (problem != nullptr) *problem = "cannot write " + path.string();
    return false;
  }
  return true;
}

}  // namespace

bool simWriteAppBundle(const std::string& folder, const SimLaunch& launch, std::string* problem) {
  std::error_code error;
  std::filesystem::remove_all(folder, error);
  std::filesystem::create_directories(std::filesystem::path(folder) / "Frameworks", error);
  if (error) {
    if (problem != nullptr) *problem = "cannot create " + folder + ": " + error.message();
    return false;
  }
  const Entries info = {
      {"CFBundleExecutable", "SimApp"},
      {"CFBundleIdentifier", launch.bundleID},
      {"CFBundleName", "SimApp"},
      {"CFBundleShortVersionString", launch.appVersion},
      {"CFBundleVersion", launch.appVersion},
  };
  const Entries service = {
      {"TARVIX_APP_ID", launch.appID},
      {"BUNDLE_ID", launch.bundleID},
  };
  const std::filesystem::path root(folder);
  return writePlist(root / "Info.plist", info, problem) &&
         writePlist(root / "TarvixService-Info.plist", service, problem);
}
