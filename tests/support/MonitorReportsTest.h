// A fixture on a deterministic Platform that reads what the process's
// monitor reported: the records it printed through the console logger and
// its one-entry sample (levels 2 and 5 are never printed, only sampled; the
// sample is exact while a test makes at most one sampled report). Every
// read first runs the queued work.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/TLMMeasurement.h"
#include "ferrolux/Object.h"
#include "support/ConsoleRecorder.h"
#include "support/TestPlatform.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNLogger.h"

class MonitorReportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
    // Created now, so that its start-up reports are out of the way.
    TLMMeasurement::monitor();
    clearPrinted();
  }
  void TearDown() override {
    platform_.executor().runUntilIdle();
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  }

  // Every printed record so far, e.g. "... E <Ferrolux>[I-ACS035002] text".
  std::vector<std::string> printed() {
    platform_.executor().runUntilIdle();
    return console_.lines();
  }
  void clearPrinted() {
    platform_.executor().runUntilIdle();
    console_.clear();
  }
  // The texts after the message code of the printed records with `code`.
  std::vector<std::string> printedWithCode(long code) {
    const std::string tag = "[" + HRNMessageCode(code) + "] ";
    std::vector<std::string> found;
    for (const std::string& line : printed()) {
      const std::size_t at = line.find(tag);
      if (at != std::string::npos) found.push_back(line.substr(at + tag.size()));
    }
    return found;
  }
  // The text of the one record with `code`; "" and a failure otherwise.
  std::string onePrinted(long code) {
    std::vector<std::string> found = printedWithCode(code);
    EXPECT_EQ(found.size(), 1u) << "reports with code " << code;
    return found.size() == 1 ? found[0] : "";
  }

  // The sampled report's key ("1<letter>_<version>:<message>"), "" when none.
  std::string sampledKey() {
    const OptionalObject entry = sampledEntry();
    return entry ? (*entry->asArray())[2].stringValue() : "";
  }
  // How many sampled reports were made since the sample was last cleared.
  std::int64_t sampledCount() {
    const OptionalObject entry = sampledEntry();
    return entry ? (*entry->asArray())[1].int64Value() : 0;
  }
  // Whether exactly one sampled report was made and it has `message`.
  bool sampledOnly(const std::string& message) {
    return sampledCount() == 1 && sampledKey().ends_with(":" + message);
  }
  void clearSample() {
    platform_.executor().runUntilIdle();
    TLMMeasurement::monitor().clearMonitoringData();
  }

  TestPlatform platform_;

 private:
  OptionalObject sampledEntry() {
    platform_.executor().runUntilIdle();
    OptionalObject entry = TLMMeasurement::monitor().TEST_sampledEntry();
    if (!entry || entry->asArray() == nullptr || entry->asArray()->size() < 3) return std::nullopt;
    return entry;
  }

  ConsoleRecorder console_;
};
