// What reaches the console logger: which levels print, the printed text,
// the log tag, the console record itself, and the one-per-process monitor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "monitor_test_support.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "support/ConsoleRecorder.h"
#include "upload/TLMErrors.h"

namespace {

using MonitorReportingTest = MonitorTest;

TEST_F(MonitorReportingTest, PrintedAndSampledLevelsFollowTheTable) {
  TLMMonitor& monitor = startMonitor();
  monitor.logWithLevel(0, 100, "printed, never sampled");
  executor().runUntilIdle();
  EXPECT_EQ(monitor.TEST_sampledEntry(), std::nullopt);
  for (int level : {1, 2, 3, 4, 5, 6, -1, 64}) monitor.logWithLevel(level, 100 + level, "m");
  executor().runUntilIdle();
  // Printed: 0, 1, 3, 4 and 6. Sampled: 1, 2, 4, 5 and those out of the table.
  EXPECT_EQ(logger_->codes(), (std::vector<long>{100, 101, 103, 104, 106}));
  ASSERT_TRUE(monitor.TEST_sampledEntry().has_value());
  EXPECT_EQ(monitor.TEST_sampledEntry()->asArray()->at(1).int64Value(), 6);
}

TEST_F(MonitorReportingTest, DebugLevelFollowsTheThresholdAndVerboseNeedsVerboseLogging) {
  TLMMonitor& monitor = startMonitor();
  monitor.logWithLevel(7, 1, "hidden at notice");
  executor().runUntilIdle();
  EXPECT_TRUE(logger_->records().empty());
  HRNSetLoggerLevel(HRNLoggerLevel::Debug);
  monitor.logWithLevel(7, 2, "shown at debug");
  monitor.logWithLevel(8, 3, "verbose");
  executor().runUntilIdle();
  EXPECT_EQ(logger_->codes(), std::vector<long>{2});

  monitor.setVerboseLoggingEnabled(true);
  monitor.logWithLevel(8, 4, "verbose");
  executor().runUntilIdle();
  // The switch's own confirmation, then the report; neither is sampled.
  EXPECT_EQ(logger_->codes(), (std::vector<long>{2, 24003, 4}));
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
  ConsoleRecorder console;
  TLMMonitor& monitor = TLMMeasurement::monitor();
  monitor.logWithLevel(1, 25032, "100% of %d %s %@ %n", Object("50%"));
  executor().runUntilIdle();
  const std::vector<std::string> records = console.lines();
  ASSERT_EQ(records.size(), 1u);
  const std::string expectedTail = "<Ferrolux>[I-ACS025032] 100% of %d %s %@ %n: 50%";
  ASSERT_GE(records[0].size(), expectedTail.size());
  EXPECT_EQ(records[0].substr(records[0].size() - expectedTail.size()), expectedTail);
  EXPECT_EQ(records[0].at(30), 'E');
}

TEST_F(MonitorReportingTest, ConsoleLoggerForcesExactlyLevelSeven) {
  ConsoleRecorder console;
  TLMASLLogger logger;
  // Threshold at notice: only the forced level 7 gets past it.
  logger.logMessage("seven", "<Ferrolux>", 1, 7);
  logger.logMessage("eight", "<Ferrolux>", 2, 8);
  logger.logMessage("six", "<Ferrolux>", 3, 6);
  logger.logMessage("twelve", "<Ferrolux>", 4, 12);
  const std::vector<std::string> records = console.lines();
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

TEST_F(MonitorReportingTest, MeasurementMonitorIsOnePerProcessOnABackgroundQueue) {
  TLMMonitor& monitor = TLMMeasurement::monitor();
  EXPECT_EQ(&monitor, &TLMMeasurement::monitor());
  EXPECT_EQ(monitor.libraryVersion(), kFerroluxLibraryVersion);
  EXPECT_EQ(monitor.logLevel(), 6);
  EXPECT_EQ(monitor.logTag(), "<Ferrolux>");
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
  ConsoleRecorder console;
  TLMMonitor& monitor = TLMMeasurement::monitor();
  executor().runUntilIdle();
  EXPECT_TRUE(monitor.isDebugModeEnabled());
  EXPECT_TRUE(monitor.isVerboseLoggingEnabled());
  const std::vector<std::string> records = console.lines();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_NE(records[0].find("[I-ACS024000] Debug mode is on"), std::string::npos);
  EXPECT_NE(records[1].find("[I-ACS024003] Verbose logging is on"), std::string::npos);
}

TEST(MonitorErrors, LibraryErrorsCarryTheirMonitorContext) {
  const Error full = tlm_errorWithCode(12, "Bad thing", "ctx");
  EXPECT_EQ(full,
            (Error{"com.tarvix.qvr.measurement.ErrorDomain", 12, "Bad thing", Object("ctx")}));
  EXPECT_EQ(tlm_monitorContextOfError(full), "ctx");
  // Empty texts are absent.
  EXPECT_EQ(tlm_errorWithCode(13, ""), (Error{kTLMErrorDomain, 13, std::nullopt, std::nullopt}));
  EXPECT_EQ(tlm_errorWithCode(14, "d", "").context, std::nullopt);
  // Only a string context of the library's own domain counts.
  EXPECT_EQ(tlm_monitorContextOfError(Error{"other", 1, {}, Object("ctx")}), "");
  EXPECT_EQ(tlm_monitorContextOfError(Error{kTLMErrorDomain, 1, {}, Object::integer(3)}), "");

  Error error;
  EXPECT_TRUE(tlm_checkCondition(true, &error, 1, "unused"));
  EXPECT_EQ(error.code, 0);
  EXPECT_FALSE(tlm_checkCondition(false, &error, 7, "Condition failed", "where"));
  EXPECT_EQ(error, tlm_errorWithCode(7, "Condition failed", "where"));
  EXPECT_FALSE(tlm_checkCondition(false, nullptr, 7, "no out-pointer"));
  // The null kind is present; nil is not.
  EXPECT_TRUE(tlm_checkObject(Object::null(), &error, 8, "present"));
  EXPECT_FALSE(tlm_checkObject(std::nullopt, &error, 9, "Missing object", "ctx"));
  EXPECT_EQ(error, tlm_errorWithCode(9, "Missing object", "ctx"));
}

}  // namespace
