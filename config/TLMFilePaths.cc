#include "config/TLMFilePaths.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "engine/TLMMeasurement.h"
#include "platform/Bundle.h"
#include "platform/FileAttributes.h"
#include "platform/Platform.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr long kNoLibraryDirectoryCode = 19000;
constexpr long kNoApplicationSupportDirectoryCode = 19001;
constexpr char kNoLibraryDirectoryMessage[] = "NSSearchPath for Library directory is empty";
constexpr char kNoApplicationSupportDirectoryMessage[] =
    "NSSearchPath for ApplicationSupport directory is empty";

constexpr long kEmptyDeletePathCode = 1;
constexpr char kEmptyDeletePathMessage[] = "Received empty path for deleting file";

constexpr char kPOSIXErrorDomain[] = "NSPOSIXErrorDomain";

std::string containerFolder(Bundle::ContainerFolder folder) {
  Error ignored;
  return Platform::current().bundle().containerFolder(folder, &ignored);
}

// "" when the Library folder is missing; `missingFolder` says so.
std::string preferencesFilePath(const std::string& suiteName, bool* missingFolder) {
  *missingFolder = false;
  if (suiteName.empty()) return "";
  const std::string library = containerFolder(Bundle::ContainerFolder::Library);
  if (library.empty()) {
    *missingFolder = true;
    return "";
  }
  return (std::filesystem::path(library) / kTLMPreferencesFolderName /
          (suiteName + "." + kTLMPreferencesFileExtension))
      .string();
}

Error posixError(int code, const std::string& description) {
  Error error;
  error.domain = kPOSIXErrorDomain;
  error.code = code;
  error.description = description;
  return error;
}

}  // namespace

std::string tlm_preferencesFilePathQuiet(const std::string& suiteName) {
  bool missingFolder = false;
  return preferencesFilePath(suiteName, &missingFolder);
}

std::string tlm_preferencesFilePath(const std::string& suiteName) {
  bool missingFolder = false;
  std::string path = preferencesFilePath(suiteName, &missingFolder);
  if (missingFolder) {
    TLMMeasurement::monitor().logWithLevel(2, kNoLibraryDirectoryCode, kNoLibraryDirectoryMessage);
  }
  return path;
}

std::string tlm_measurementDataPath(const std::string& fileName) {
  if (fileName.empty()) return "";
  const std::string support = containerFolder(Bundle::ContainerFolder::ApplicationSupport);
  if (support.empty()) {
    TLMMeasurement::monitor().logWithLevel(2, kNoApplicationSupportDirectoryCode,
                                           kNoApplicationSupportDirectoryMessage);
    return "";
  }
  return (std::filesystem::path(support) / kTLMMeasurementDataFolderName / fileName).string();
}

bool tlm_deleteFileAtPath(const std::string& path, Error* error) {
  if (path.empty()) {
    if (error != nullptr) *error = tlm_errorWithCode(kEmptyDeletePathCode, kEmptyDeletePathMessage);
    return false;
  }
  std::error_code code;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, code);
  if (!std::filesystem::exists(status)) {
    if (error != nullptr) *error = posixError(ENOENT, "No such file or directory: " + path);
    return false;
  }
  std::filesystem::remove_all(path, code);
  if (code) {
    if (error != nullptr) *error = posixError(code.value(), code.message() + ": " + path);
    return false;
  }
  return true;
}

bool tlm_excludeFileFromBackup(const std::string& path, Error* error) {
  return Platform::current().fileAttributes().setExcludedFromBackup(path, true, error);
}
