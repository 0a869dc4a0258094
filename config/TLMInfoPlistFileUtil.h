// Finds and reads the platform configuration file "TarvixService-Info.plist"
// shipped in the app bundle. Safe from any thread; needs the installed
// Platform.
#pragma once

#include <optional>
#include <string>

#include "ferrolux/Object.h"

class TLMInfoPlistFileUtil {
 public:
  static constexpr const char* kResourceName = "TarvixService-Info";
  static constexpr const char* kResourceType = "plist";

  // The file's path: the main bundle is searched first, then the bundle
  // holding the library; none when neither has it.
  static std::optional<std::string> tarvixServiceInfoPlistPath();
  // The dictionary read from that file; none when there is no file or it
  // does not hold a readable dictionary.
  static OptionalObject dictionaryFromTarvixServiceInfoPlist();
};
