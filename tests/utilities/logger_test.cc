// Console logger: threshold, force flag, message codes and record layout.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/ConsoleRecorder.h"
#include "utilities/HRNLogger.h"

namespace {

constexpr double kNoonNewYear2026 = 1767268800.25;  // 2026-01-01 12:00:00.250 UTC

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HRNLogger_TEST_setTimeSource([] { return kNoonNewYear2026; });
  }
  void TearDown() override {
    HRNLogger_TEST_setTimeSource(nullptr);
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
  }

  // Logs one record at every level and answers the letters that got out.
  std::string lettersPassing(bool force) {
    console_.clear();
    HRNLogError("s", force, "I-ACS000001", "m");
    HRNLogWarning("s", force, "I-ACS000001", "m");
    HRNLogNotice("s", force, "I-ACS000001", "m");
    HRNLogInfo("s", force, "I-ACS000001", "m");
    HRNLogDebug("s", force, "I-ACS000001", "m");
    std::string letters;
    // The letter follows the 29-character timestamp and a blank.
    for (const std::string& line : console_.lines()) letters += line.at(30);
    return letters;
  }

  ConsoleRecorder console_;
};

TEST_F(LoggerTest, ThresholdFiltersForceBypassesItAndBadLevelsAreIgnored) {
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Notice);
  EXPECT_FALSE(HRNIsLoggableLevel(HRNLoggerLevel::Info));
  EXPECT_EQ(lettersPassing(false), "EWN");
  HRNSetLoggerLevel(HRNLoggerLevel::Error);
  EXPECT_EQ(lettersPassing(false), "E");
  EXPECT_EQ(lettersPassing(true), "EWNID");
  HRNSetLoggerLevel(HRNLoggerLevel::Debug);
  EXPECT_TRUE(HRNIsLoggableLevel(HRNLoggerLevel::Debug));
  EXPECT_EQ(lettersPassing(false), "EWNID");
  HRNSetLoggerLevel(HRNLoggerLevel::Warning);
  EXPECT_EQ(lettersPassing(false), "EW");

  HRNSetLoggerLevel(static_cast<HRNLoggerLevel>(8));
  HRNSetLoggerLevel(static_cast<HRNLoggerLevel>(2));
  EXPECT_EQ(HRNLoggerCurrentLevel(), HRNLoggerLevel::Warning);
}

TEST_F(LoggerTest, RecordLayoutMessageCodesAndVerbatimText) {
  EXPECT_EQ(HRNMessageCode(0), "I-ACS000000");
  EXPECT_EQ(HRNMessageCode(800001), "I-ACS800001");
  EXPECT_EQ(HRNMessageCode(1234567), "I-ACS1234567");
  HRNLogWarning("<Ferrolux>", false, HRNMessageCode(23147), "100% sure, %@ %s stay as they are");
  HRNLogBasic(HRNLoggerLevel::Debug, "<Ferrolux>", true, HRNMessageCode(24000), "Debug mode is on");
  EXPECT_EQ(console_.lines(),
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
  const std::vector<std::string> all = console_.lines();
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kRecordsPerThread));
  for (const std::string& line : all) {
    const char t = line.back();
    EXPECT_EQ(line.substr(30), std::string("E svc[I-ACS00000") + t + "] thread " + t);
  }
}

}  // namespace
