// Shared pieces of the monitor tests: a logger that records what the
// monitor prints, and a fixture that runs each process life on a
// deterministic Platform in one temporary container.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/SharedInstance.h"
#include "config/TLMUserDefaults.h"
#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Platform.h"
#include "support/TestPlatform.h"
#include "upload/TLMASLLogger.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNLogger.h"

struct LoggedRecord {
  std::string message;
  std::string tag;
  long code = 0;
  int level = 0;
};

class RecordingASLLogger final : public TLMASLLogger {
 public:
  void logMessage(std::string_view message, std::string_view logTag, long messageCode,
                  int logLevel) override {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(
        LoggedRecord{std::string(message), std::string(logTag), messageCode, logLevel});
  }
  std::vector<LoggedRecord> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::vector<long> codes() const {
    std::vector<long> codes;
    for (const LoggedRecord& record : records()) codes.push_back(record.code);
    return codes;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LoggedRecord> records_;
};

inline constexpr std::int64_t kTestLibraryVersion = 80300;

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override { HRNSetLoggerLevel(kHRNLoggerDefaultLevel); }
  void TearDown() override {
    monitor_.reset();
    HRNLogger_TEST_setSink(nullptr);
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  }

  // Ends the current process life and starts a new one on the same files,
  // with `device` and `arguments`.
  void relaunch(const DeviceProfile& device, std::vector<std::string> arguments = {}) {
    endLife();
    custom_ = Platform::createDeterministic(files_.paths(), device);
    custom_->setLaunchArguments(std::move(arguments));
    Platform::install(custom_);
  }
  void relaunch(std::vector<std::string> arguments) {
    relaunch(DeviceProfile(), std::move(arguments));
  }

  // Lets queued work finish, then drops the monitor and every shared
  // instance, as the end of a process would.
  void endLife() {
    executor().runUntilIdle();
    monitor_.reset();
    TEST_resetSharedInstances();
  }

  static DeterministicExecutor& executor() { return *Platform::current().deterministicExecutor(); }
  static FakeClock& clock() { return *Platform::current().fakeClock(); }

  // A monitor printing into `logger_`; start-up work has run.
  TLMMonitor& startMonitor() {
    logger_ = std::make_shared<RecordingASLLogger>();
    monitor_ =
        TLMMonitor::createWithLogLevel(TLMMonitor::kDefaultLogLevel, logger_, kTestLibraryVersion);
    executor().runUntilIdle();
    return *monitor_;
  }

  // The suite the monitor keeps its sample in, opened afresh.
  static OptionalObject storedSample() {
    return TLMUserDefaults(TLMMonitor::kSuiteName).objectForKey(TLMMonitor::kHealthMonitorKey);
  }

  TestPlatform files_;
  std::shared_ptr<Platform> custom_;
  std::shared_ptr<RecordingASLLogger> logger_;
  std::shared_ptr<TLMMonitor> monitor_;
};
