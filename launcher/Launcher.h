// The executable's entry point: loads the game-engine framework from the
// app bundle and hands the process to it. Runs on the main thread.
#pragma once

#include <string>

// The framework's path inside a bundle.
inline constexpr const char* kEngineFrameworkPath = "/Frameworks/KelvoFramework.framework";
inline constexpr const char* kEngineFrameworkExecutable = "KelvoFramework";

// Loads "<bundlePath>/Frameworks/KelvoFramework.framework/KelvoFramework",
// asks its principal class for the engine object, sends `setExecuteHeader`
// only when the engine has no app controller yet, and runs the app's main
// loop with the unchanged arguments. Nothing is checked: a missing
// framework or principal class leaves the messages without effect. Always
// returns 0, as the app's entry point does.
int launchEngineFramework(const std::string& bundlePath, int argc, char** argv,
                          const void* executableHeader);
