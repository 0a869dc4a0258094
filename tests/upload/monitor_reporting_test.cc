// What reaches the console logger: which levels print, the printed text,
// the log tag, the console record itself, and the one-per-process monitor.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "monitor_test_support.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "upload/TLMErrors.h"

namespace {

class MonitorReportingTest : public MonitorTest {
 protected:
  void captureConsole() {
    HRNLogger_TEST_setSink([this](const std::string& record) {
      std::lock_guard<std::mutex> lock(consoleMutex_);
      console_.push_back(record);
    });
  }
  std::vector<std::string> console() {
    std::lock_guard<std::mutex> lock(consoleMutex_);
    return console_;
  }

  std::mutex consoleMutex_;
  std::vector<std::string> console_;
};

TEST_F(MonitorReportingTest, PrintedAndSampledLevels) {
  TLMMonitor& monitor = startMonitor();
  // Level 0: printed, never sampled.
  monitor.logWithLevel(0, 100, "zero");
  executor().runUntilIdle();
  ASSERT_EQ(logger_->codes(), std::vector<long>{100});
  EXPECT_EQ(monitor.TEST_sampledEntry(), std::nullopt);
  // Level 2: sampled, never printed.
  monitor.logWithLevel(2, 102, "two");
  executor().runUntilIdle();
  EXPECT_EQ(logger_->codes(), std::vector<long>{100});
  ASSERT_TRUE(monitor.TEST_sampledEntry().has_value());
  EXPECT_EQ(*monitor.TEST_sampledEntry()->asArray()->at(2).asString(), "1E_80300:two");
  // Level 1 and 4: both. Level 3 and 6: printed only. Level 5: sampled only.
  monitor.logWithLevel(1, 101, "one");
  monitor.logWithLevel(3, 103, "three");
  monitor.logWithLevel(4, 104, "four");
  monitor.logWithLevel(5, 105, "five");
  monitor.logWithLevel(6, 106, "six");
  executor().runUntilIdle();
  EXPECT_EQ(logger_->codes(), (std::vector<long>{100, 101, 103, 104, 106}));
  EXPECT_EQ(monitor.TEST_sampledEntry()->asArray()->at(1).int64Value(), 4);
  // Out of the table: sampled, silent.
  monitor.logWithLevel(-1, 107, "negative");
  monitor.logWithLevel(64, 108, "large");
  executor().runUntilIdle();
  EXPECT_EQ(logger_->codes().size(), 5u);
  EXPECT_EQ(monitor.TEST_sampledEntry()->asArray()->at(1).int64Value(), 6);
}

TEST_F(MonitorReportingTest, DebugLevelFollowsTheConsoleThreshold) {
  TLMMonitor& monitor = startMonitor();
  monitor.logWithLevel(7, 1, "hidden at notice");
  executor().runUntilIdle();
  EXPECT_TRUE(logger_->records().empty());
  HRNSetLoggerLevel(HRNLoggerLevel::Debug);
  monitor.logWithLevel(7, 2, "shown at debug");
  executor().runUntilIdle();
  EXPECT_EQ(logger_->codes(), std::vector<long>{2});
}

TEST_F(MonitorReportingTest, VerboseLevelIsSilentWithoutVerboseLogging) {
  TLMMonitor& monitor = startMonitor();
  HRNSetLoggerLevel(HRNLoggerLevel::Debug);
  monitor.logWithLevel(8, 1, "verbose");
  executor().runUntilIdle();
  EXPECT_TRUE(logger_->records().empty());
  EXPECT_EQ(monitor.TEST_sampledEntry(), std::nullopt);

  monitor.setVerboseLoggingEnabled(true);
  monitor.logWithLevel(8, 2, "verbose");
  executor().runUntilIdle();
  // The switch's own confirmation, then the report.
  EXPECT_EQ(logger_->codes(), (std::vector<long>{24003, 2}));
  EXPECT_EQ(monitor.TEST_sampledEntry(), std::nullopt);
}

TEST_F(MonitorReportingTest, RecordsCarryTextTagCodeAndLevel) {
  TLMMonitor& monitor = startMonitor();
  monitor.logWithLevel(1, 23010, "Failed to initialize network component", std::nullopt,
                       Object::integer(345));
  monitor.setLogTag("[QLFAnalytics]");
  monitor.logWithLevel(4, 23011, "Two", Object("a"), Object("b"), Object::null());
  monitor.setEncodeContexts(true);
  monitor.logWithLevel(0, 23012, "", Object("secret"), Object::integer(-345), Object::integer(7));
  executor().runUntilIdle();
  const std::vector<LoggedRecord> records = logger_->records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].message, "Failed to initialize network component: (nil), 345");
  EXPECT_EQ(records[0].tag, "<Ferrolux>");
  EXPECT_EQ(records[0].code, 23010);
  EXPECT_EQ(records[0].level, 1);
  EXPECT_EQ(records[1].message, "Two: a, b, (nil)");
  EXPECT_EQ(records[1].tag, "[QLFAnalytics]");
  EXPECT_EQ(records[1].level, 4);
  EXPECT_EQ(records[2].message, "(Message was empty): -, -999...-100, 7");
}

TEST_F(MonitorReportingTest, PercentSignsArePrintedOnceNeverAsFormat) {
  captureConsole();
  TLMMonitor& monitor = TLMMeasurement::monitor();
  monitor.logWithLevel(1, 25032, "100% of %d %s %@ %n", Object("50%"));
  executor().runUntilIdle();
  const std::vector<std::string> records = console();
  ASSERT_EQ(records.size(), 1u);
  const std::string expectedTail = "<Ferrolux>[I-ACS025032] 100% of %d %s %@ %n: 50%";
  ASSERT_GE(records[0].size(), expectedTail.size());
  EXPECT_EQ(records[0].substr(records[0].size() - expectedTail.size()), expectedTail);
  EXPECT_EQ(records[0].at(30), 'E');
}

TEST_F(MonitorReportingTest, ConsoleLoggerForcesExactlyLevelSeven) {
  captureConsole();
  TLMASLLogger logger;
  // Threshold at notice: only the forced level 7 gets past it.
  logger.logMessage("seven", "<Ferrolux>", 1, 7);
  logger.logMessage("eight", "<Ferrolux>", 2, 8);
  logger.logMessage("six", "<Ferrolux>", 3, 6);
  logger.logMessage("twelve", "<Ferrolux>", 4, 12);
  const std::vector<std::string> records = console();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_NE(records[0].find(" D <Ferrolux>[I-ACS000001] seven"), std::string::npos);
  EXPECT_NE(records[1].find(" N <Ferrolux>[I-ACS000003] six"), std::string::npos);
  EXPECT_NE(records[2].find(" W <Ferrolux>[I-ACS000004] twelve"), std::string::npos);
}

TEST_F(MonitorReportingTest, QueuedWorkHoldsTheMonitorWeakly) {
  TLMMonitor& monitor = startMonitor();
  monitor.logWithLevel(1, 1, "queued, then the monitor goes");
  monitor_.reset();
  executor().runUntilIdle();
  EXPECT_TRUE(logger_->records().empty());
  EXPECT_EQ(storedSample(), std::nullopt);
}

TEST_F(MonitorReportingTest, MeasurementMonitorIsOnePerProcess) {
  TLMMonitor& monitor = TLMMeasurement::monitor();
  EXPECT_EQ(&monitor, &TLMMeasurement::monitor());
  EXPECT_EQ(monitor.libraryVersion(), kFerroluxLibraryVersion);
  EXPECT_EQ(monitor.logLevel(), 6);
  EXPECT_EQ(monitor.logTag(), "<Ferrolux>");
  EXPECT_FALSE(monitor.isDebugModeEnabled());
  EXPECT_FALSE(monitor.encodeContexts());
  EXPECT_EQ(monitor.monitorQueue()->label(), "TLMMonitorQueue");
  ASSERT_NE(monitor.monitorQueue()->target(), nullptr);
  EXPECT_EQ(monitor.monitorQueue()->target()->label(), Dispatch::kBackgroundQueueLabel);

  // A new process life builds a new one.
  endLife();
  files_.restart();
  EXPECT_FALSE(TLMMeasurement::monitor().isDebugModeEnabled());
}

TEST_F(MonitorReportingTest, StartUpReportsDoNotRecurseIntoTheSharedAccessor) {
  relaunch({"-TLMAnalyticsDebugEnabled", "-TLMAnalyticsVerboseLoggingEnabled"});
  captureConsole();
  TLMMonitor& monitor = TLMMeasurement::monitor();
  executor().runUntilIdle();
  EXPECT_TRUE(monitor.isDebugModeEnabled());
  EXPECT_TRUE(monitor.isVerboseLoggingEnabled());
  const std::vector<std::string> records = console();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find("[I-ACS024000] Debug mode is on"), std::string::npos);
  EXPECT_NE(records[1].find("[I-ACS024003] Verbose logging is on"), std::string::npos);
}

TEST(MonitorErrors, ErrorObjects) {
  const Error full = tlm_errorWithCode(12, "Bad thing", "ctx");
  EXPECT_EQ(full.domain, "com.tarvix.qvr.measurement.ErrorDomain");
  EXPECT_EQ(full.code, 12);
  EXPECT_EQ(full.description, "Bad thing");
  EXPECT_EQ(full.context, Object("ctx"));
  EXPECT_EQ(tlm_monitorContextOfError(full), "ctx");

  const Error bare = tlm_errorWithCode(13, "");
  EXPECT_EQ(bare.description, std::nullopt);
  EXPECT_EQ(bare.context, std::nullopt);
  EXPECT_EQ(tlm_errorWithCode(14, "d", "").context, std::nullopt);
  EXPECT_EQ(tlm_monitorContextOfError(Error{"other", 1, {}, Object("ctx")}), "");
  EXPECT_EQ(tlm_monitorContextOfError(Error{kTLMErrorDomain, 1, {}, Object::integer(3)}), "");
}

TEST(MonitorErrors, ConditionHelpers) {
  Error error;
  EXPECT_TRUE(tlm_checkCondition(true, &error, 1, "unused"));
  EXPECT_EQ(error.code, 0);
  EXPECT_FALSE(tlm_checkCondition(false, &error, 7, "Condition failed", "where"));
  EXPECT_EQ(error, tlm_errorWithCode(7, "Condition failed", "where"));
  EXPECT_FALSE(tlm_checkCondition(false, nullptr, 7, "no out-pointer"));

  EXPECT_TRUE(tlm_checkObject(Object::null(), &error, 8, "present"));
  EXPECT_FALSE(tlm_checkObject(std::nullopt, &error, 9, "Missing object"));
  EXPECT_EQ(error, tlm_errorWithCode(9, "Missing object"));
  EXPECT_FALSE(tlm_checkObject(std::nullopt, &error, 10, "Missing", "ctx"));
  EXPECT_EQ(error.context, Object("ctx"));
  EXPECT_FALSE(tlm_checkObject(std::nullopt, nullptr, 10, "Missing"));
}

}  // namespace
