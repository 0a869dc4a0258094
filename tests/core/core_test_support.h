// Writing the app bundle's property lists for the core tests.
#pragma once

#include <fstream>
#include <string>

#include "support/TestPlatform.h"

inline constexpr char kCoreTestAppID[] = "1:100000000001:ios:0123456789abcdef";

// Writes "<bundle>/<name>" as an XML property list holding `entries`
// (already-formed <key>/<value> pairs).
inline void writeBundlePlist(const TestPlatform& platform, const std::string& name,
                             const std::string& entries) {
  std::ofstream(platform.paths().bundlePath + "/" + name)
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" << entries
      << "</dict></plist>\n";
}

inline void writeServiceInfo(const TestPlatform& platform, const std::string& entries) {
  writeBundlePlist(platform, "TarvixService-Info.plist", entries);
}

// The test platform's Info.plist with `extra` entries.
inline void writeInfoPlist(const TestPlatform& platform, const std::string& extra) {
  writeBundlePlist(
      platform, "Info.plist",
      std::string("<key>CFBundleIdentifier</key><string>") + TestPlatform::kBundleIdentifier +
          "</string><key>CFBundleShortVersionString</key><string>1.0</string>" + extra);
}
