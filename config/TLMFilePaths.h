// Paths of the library's files in the app container, and the two file
// operations other components share: deleting a file and excluding one
// from device backup. Safe from any thread; need the installed Platform.
#pragma once

#include <string>

#include "ferrolux/Object.h"

// "Preferences" under the container's Library folder.
inline constexpr char kTLMPreferencesFolderName[] = "Preferences";
inline constexpr char kTLMPreferencesFileExtension[] = "plist";
// Under the container's Application Support folder.
inline constexpr char kTLMMeasurementDataFolderName[] = "Tarvix/Measurement";

// "<Library>/Preferences/<suiteName>.plist"; "" for an empty name. When
// there is no Library folder the monitor logs code 19000 and the result is
// "". Must not be used by anything the monitor itself relies on (the
// settings store uses tlm_preferencesFilePathQuiet).
std::string tlm_preferencesFilePath(const std::string& suiteName);
// As tlm_preferencesFilePath, without logging.
std::string tlm_preferencesFilePathQuiet(const std::string& suiteName);

// "<Application Support>/Tarvix/Measurement/<fileName>"; "" for an empty
// name. When there is no Application Support folder the monitor logs code
// 19001 and the result is "".
std::string tlm_measurementDataPath(const std::string& fileName);

// Removes the file (or folder, with its contents) at `path`. Returns false
// and fills `error` for an empty path (code 1 in the library's error
// domain, "Received empty path for deleting file") or when nothing could be
// removed (domain "NSPOSIXErrorDomain", code errno).
[[nodiscard]] bool tlm_deleteFileAtPath(const std::string& path, Error* error);

// Marks the file at `path` as excluded from device backup. Returns false
// and fills `error` when the file is missing or the mark cannot be set.
[[nodiscard]] bool tlm_excludeFileFromBackup(const std::string& path, Error* error);
