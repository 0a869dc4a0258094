// The app bundle of one process life, made from `launch`'s values: a
// folder with "Info.plist" (identifier and version) and
// "TarvixService-Info.plist" (the measurement app ID). Plain file work; it
// touches none of the library's objects.
#pragma once

#include <string>

#include "tools/sim/SimScenario.h"

// Writes the bundle into `folder` (created, and emptied first). Returns
// false and fills `problem` when a file cannot be written.
[[nodiscard]] bool simWriteAppBundle(const std::string& folder, const SimLaunch& launch,
                                     std::string* problem);
