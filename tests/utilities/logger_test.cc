// Console logger: threshold, force flag, message codes and record layout.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "utilities/HRNLogger.h"

namespace {

constexpr double kNoonNewYear2026 = 1767268800.25;  // 2026-01-01 12:00:00.250 UTC

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HRNLogger_TEST_setSink([this](const std::string& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
    });
    HRNLogger_TEST_setTimeSource([] { return kNoonNewYear2026; });
  }
  void TearDown() override {
    HRNLogger_TEST_setSink(nullptr);
    HRNLogger_TEST_setTimeSource(nullptr);
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  }

  std::vector<std::string> records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

  // Logs one record at every level and answers the letters that got out.
  std::string lettersPassing(bool force) {
    records_.clear();
    HRNLogError("s", force, "I-ACS000001", "m");
    HRNLogWarning("s", force, "I-ACS000001", "m");
    HRNLogNotice("s", force, "I-ACS000001", "m");
    HRNLogInfo("s", force, "I-ACS000001", "m");
    HRNLogDebug("s", force, "I-ACS000001", "m");
    std::string letters;
    // The letter follows the 29-character timestamp and a blank.
    for (const std::string& record : records()) letters += record.at(30);
    return letters;
  }

  std::mutex mutex_;
  std::vector<std::string> records_;
};

TEST_F(LoggerTest, DefaultThresholdIsNotice) {
  EXPECT_EQ(kHRNLoggerDefaultLevel, HRNLoggerLevel::Notice);
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Notice);
  EXPECT_TRUE(HRNIsLoggableLevel(HRNLoggerLevel::Notice));
  EXPECT_FALSE(HRNIsLoggableLevel(HRNLoggerLevel::Info));
  EXPECT_EQ(lettersPassing(false), "EWN");
}

TEST_F(LoggerTest, ThresholdFiltersAndForceBypassesIt) {
  HRNSetLoggerLevel(HRNLoggerLevel::Error);
  EXPECT_EQ(lettersPassing(false), "E");
  EXPECT_EQ(lettersPassing(true), "EWNID");
  HRNSetLoggerLevel(HRNLoggerLevel::Debug);
  EXPECT_TRUE(HRNIsLoggableLevel(HRNLoggerLevel::Debug));
  EXPECT_EQ(lettersPassing(false), "EWNID");
  HRNSetLoggerLevel(HRNLoggerLevel::Warning);
  EXPECT_EQ(lettersPassing(false), "EW");
}

TEST_F(LoggerTest, LevelsOutsideTheRangeAreIgnored) {
  HRNSetLoggerLevel(HRNLoggerLevel::Info);
  HRNSetLoggerLevel(static_cast<HRNLoggerLevel>(8));
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Info);
  HRNSetLoggerLevel(static_cast<HRNLoggerLevel>(2));
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Info);
}

TEST_F(LoggerTest, MessageCodesHaveSixDigits) {
  EXPECT_EQ(HRNMessageCode(25032), "I-ACS025032");
  EXPECT_EQ(HRNMessageCode(0), "I-ACS000000");
  EXPECT_EQ(HRNMessageCode(800001), "I-ACS800001");
  EXPECT_EQ(HRNMessageCode(1234567), "I-ACS1234567");
}

TEST_F(LoggerTest, RecordLayoutAndVerbatimText) {
  HRNLogWarning("<Ferrolux>", false, HRNMessageCode(23147), "100% sure, %@ %s stay as they are");
  HRNLogBasic(HRNLoggerLevel::Debug, "<Ferrolux>", true, HRNMessageCode(24000), "Debug mode is on");
  EXPECT_EQ(records(),
            (std::vector<std::string>{
                "2026-01-01 12:00:00.250 +0000 W <Ferrolux>[I-ACS023147] 100% sure, %@ "
                "%s stay as they are",
                "2026-01-01 12:00:00.250 +0000 D <Ferrolux>[I-ACS024000] Debug mode is on",
            }));
}

TEST_F(LoggerTest, ConcurrentRecordsStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kRecordsPerThread = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kRecordsPerThread; ++i) {
        HRNLogError("svc", false, HRNMessageCode(t), "thread " + std::to_string(t));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::vector<std::string> all = records();
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kRecordsPerThread));
  for (const std::string& record : all) {
    const char t = record.back();
    EXPECT_EQ(record.substr(30), std::string("E svc[I-ACS00000") + t + "] thread " + t);
  }
}

}  // namespace
