// Shared pieces of the event and value model tests: a deterministic
// Platform per test and a view of what the process's monitor reported.
//
// Printed reports are read from the console logger's test sink. Levels 2
// and 5 are never printed; they are read from the monitor's one-entry
// sample, which is exact while a test makes at most one sampled report.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/TLMMeasurement.h"
#include "ferrolux/Object.h"
#include "support/TestPlatform.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNLogger.h"

class ModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
    auto lines = lines_;
    HRNLogger_TEST_setSink([lines](const std::string& line) {
      std::lock_guard<std::mutex> lock(lines->mutex);
      lines->text.push_back(line);
    });
    // Created now, so that its start-up reports are out of the way.
    TLMMeasurement::monitor();
    platform_.executor().runUntilIdle();
    clearPrinted();
  }

  void TearDown() override {
    platform_.executor().runUntilIdle();
    HRNLogger_TEST_setSink(nullptr);
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  }

  // Every printed record so far, e.g. "... E <Ferrolux>[I-ACS035002] text".
  std::vector<std::string> printed() {
    platform_.executor().runUntilIdle();
    std::lock_guard<std::mutex> lock(lines_->mutex);
    return lines_->text;
  }
  void clearPrinted() {
    platform_.executor().runUntilIdle();
    std::lock_guard<std::mutex> lock(lines_->mutex);
    lines_->text.clear();
  }
  // The printed records carrying message code `code`.
  std::vector<std::string> printedWithCode(long code) {
    const std::string tag = "[" + HRNMessageCode(code) + "] ";
    std::vector<std::string> found;
    for (const std::string& line : printed()) {
      if (line.find(tag) != std::string::npos)
        found.push_back(line.substr(line.find(tag) + tag.size()));
    }
    return found;
  }
  // The text after the message code of the one record with `code`; "" and a
  // test failure when there is not exactly one.
  std::string onePrinted(long code) {
    std::vector<std::string> found = printedWithCode(code);
    EXPECT_EQ(found.size(), 1u) << "reports with code " << code;
    return found.size() == 1 ? found[0] : "";
  }

  // The sampled report: its key ("1<letter>_<version>:<message>") and how
  // many sampled reports were made. Empty key when none.
  struct Sample {
    std::string key;
    std::int64_t population = 0;
  };
  Sample sample() {
    platform_.executor().runUntilIdle();
    OptionalObject entry = TLMMeasurement::monitor().TEST_sampledEntry();
    Sample result;
    if (!entry || entry->asArray() == nullptr || entry->asArray()->size() < 3) return result;
    const ObjectArray& fields = *entry->asArray();
    result.population = fields[1].int64Value();
    result.key = fields[2].stringValue();
    return result;
  }
  // Whether the one sampled report so far has `message`.
  bool sampledOnly(const std::string& message) {
    Sample s = sample();
    const std::string suffix = ":" + message;
    return s.population == 1 && s.key.size() >= suffix.size() &&
           s.key.compare(s.key.size() - suffix.size(), suffix.size(), suffix) == 0;
  }

  TestPlatform platform_;

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> text;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};
