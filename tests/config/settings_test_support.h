// Shared pieces of the settings tests: a console recorder at a fixed time
// and a TestPlatform whose Info.plist can carry extra entries.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ferrolux/Object.h"
#include "platform/PropertyList.h"
#include "support/ConsoleRecorder.h"
#include "support/TestPlatform.h"
#include "utilities/HRNLogger.h"

// Records what reaches the console logger, at a fixed time so that whole
// records can be compared.
class LogRecorder {
 public:
  // 2026-01-01 00:00:00 UTC.
  static constexpr double kTime = 1767225600.0;
  static constexpr const char* kPrefix = "2026-01-01 00:00:00.000 +0000 ";

  LogRecorder() {
    HRNLogger_TEST_setTimeSource([] { return kTime; });
  }
  ~LogRecorder() { HRNLogger_TEST_setTimeSource(nullptr); }
  LogRecorder(const LogRecorder&) = delete;
  LogRecorder& operator=(const LogRecorder&) = delete;

  // Records holding `fragment`.
  std::vector<std::string> matching(const std::string& fragment) const {
    std::vector<std::string> found;
    for (const std::string& record : console_.lines()) {
      if (record.find(fragment) != std::string::npos) found.push_back(record);
    }
    return found;
  }
  // Records of the settings store (codes I-ACS0410xx).
  std::vector<std::string> settingsRecords() const { return matching("[I-ACS0410"); }
  void clear() { console_.clear(); }

 private:
  ConsoleRecorder console_;
};

// Rewrites the test bundle's Info.plist with `extraEntries` (XML plist
// dictionary entries) added; takes effect at the next restart.
inline void writeInfoPlist(const TestPlatform& test, const std::string& extraEntries) {
  std::ofstream(test.paths().bundlePath + "/Info.plist", std::ios::trunc)
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      << "<key>CFBundleIdentifier</key><string>" << TestPlatform::kBundleIdentifier << "</string>"
      << extraEntries << "</dict></plist>\n";
}

inline std::string preferencesFileOf(const TestPlatform& test, const std::string& domain) {
  return test.paths().containerPath + "/Library/Preferences/" + domain + ".plist";
}

// The value stored on disk for `key` in `domain`'s preferences file.
inline OptionalObject storedOnDisk(const TestPlatform& test, const std::string& domain,
                                   const std::string& key) {
  OptionalObject root = PropertyList::readFile(preferencesFileOf(test, domain), nullptr);
  if (!root || root->objectForKey(key) == nullptr) return std::nullopt;
  return *root->objectForKey(key);
}
