// The public interface tests: a deterministic platform, a recording
// monitor, and helpers to run the library's queues and check messages.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ferrolux/Object.h"
#include "support/MonitorRecorder.h"
#include "support/TestPlatform.h"

inline constexpr char kPublicTestAppID[] = "1:100000000001:ios:0123456789abcdef";

// One expected monitor message.
struct ExpectedReport {
  long code;
  int level;
  const char* message;
};

inline void PrintTo(const ExpectedReport& report, std::ostream* out) { *out << report.code; }

class PublicTest : public ::testing::Test {
 protected:
  void run() { platform_.executor().runUntilIdle(); }

  // Exactly one report with the code, at the level and with the text.
  const MonitorReport* expectOneReport(const ExpectedReport& expected) {
    const std::vector<MonitorReport> found = monitor_.withCode(expected.code);
    EXPECT_EQ(found.size(), 1u) << "code " << expected.code;
    if (found.size() != 1) return nullptr;
    EXPECT_EQ(found[0].level, expected.level) << "code " << expected.code;
    EXPECT_EQ(found[0].message, expected.message) << "code " << expected.code;
    last_ = found[0];
    return &last_;
  }

  static Object dictionary(std::initializer_list<std::pair<const char*, Object>> entries) {
    ObjectDictionary values;
    for (const auto& [key, value] : entries) values[Object(key)] = value;
    return Object::dictionary(std::move(values));
  }

  TestPlatform platform_;
  MonitorRecorder monitor_;

 private:
  MonitorReport last_{};
};
