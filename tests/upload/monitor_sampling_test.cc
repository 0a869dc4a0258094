// The one-entry sample: reservoir sampling, the health string, the stored
// entry across process lives, migration from the old location and
// clearing.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "config/TLMUserDefaults.h"
#include "monitor_test_support.h"
#include "platform/PreferenceStore.h"
#include "platform/PropertyList.h"
#include "platform/Random.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitoringSampledData.h"

namespace {

constexpr double kStart = 1767225600.0;

// A stored sample in its four-item shape.
Object sampleArray(const char* context, std::int64_t population, const char* key) {
  return Object::array(
      {Object(context), Object::integer(population), Object(key), Object::date(kStart)});
}

TEST(MonitoringSampledData, FirstInsertMakesTheEntryLaterOnesCount) {
  SeededRandom random(7);
  TLMMonitoringSampledData sample;
  // A nil key or context changes nothing.
  sample.insertOrUpdateSampledDataWithKey(std::nullopt, "c", kStart, random);
  sample.insertOrUpdateSampledDataWithKey("k", std::nullopt, kStart, random);
  EXPECT_FALSE(sample.hasEntry());
  sample.insertOrUpdateSampledDataWithKey("1E_1:a", "ctx-a", kStart, random);
  ASSERT_TRUE(sample.hasEntry());
  EXPECT_EQ(sample.population(), 1);
  EXPECT_EQ(sample.key(), "1E_1:a");
  EXPECT_EQ(sample.context(), "ctx-a");
  for (int i = 2; i <= 10; ++i) {
    sample.insertOrUpdateSampledDataWithKey("1W_1:" + std::to_string(i), "c", kStart + i, random);
  }
  sample.insertOrUpdateSampledDataWithKey(std::nullopt, "c", kStart, random);
  EXPECT_EQ(sample.population(), 10);
  EXPECT_EQ(sample.timestamp(), kStart);
}

// Every report of a period must be equally likely to be the one kept.
TEST(MonitoringSampledData, EachReportIsKeptWithEqualProbability) {
  SeededRandom random(42);
  std::map<std::string, int> kept;
  constexpr int kTrials = 30000;
  for (int trial = 0; trial < kTrials; ++trial) {
    TLMMonitoringSampledData sample;
    for (const char* key : {"a", "b", "c"}) {
      sample.insertOrUpdateSampledDataWithKey(key, key, kStart, random);
    }
    ASSERT_EQ(sample.key(), sample.context());
    ++kept[sample.key()];
  }
  for (const char* key : {"a", "b", "c"}) {
    EXPECT_NEAR(kept[key], kTrials / 3, kTrials / 30) << key;
  }
}

TEST(MonitoringSampledData, HealthStringForms) {
  SeededRandom random(1);
  TLMMonitoringSampledData sample;
  sample.insertOrUpdateSampledDataWithKey("1E_80300:Failed", "7,-", kStart, random);
  sample.insertOrUpdateSampledDataWithKey("1E_80300:Failed", "7,-", kStart, random);
  // Younger than the period (also exactly at its end): nothing yet.
  EXPECT_EQ(sample.takeMonitoringData(60, 0, kStart + 30), std::nullopt);
  EXPECT_EQ(sample.takeMonitoringData(60, 0, kStart + 60), std::nullopt);
  EXPECT_EQ(sample.takeMonitoringData(60, 0, kStart + 61), "2:1E_80300:Failed:7,-");
  EXPECT_FALSE(sample.hasEntry());

  sample.insertOrUpdateSampledDataWithKey("1W_80300:No context", "", kStart, random);
  EXPECT_EQ(sample.takeMonitoringData(60, 0, kStart + 61), "1:1W_80300:No context");

  // No entry: "0:" only after a real earlier dispatch more than a period ago.
  EXPECT_EQ(sample.takeMonitoringData(60, 0, kStart + 1000), std::nullopt);
  EXPECT_EQ(sample.takeMonitoringData(60, kStart + 990, kStart + 1000), std::nullopt);
  EXPECT_EQ(sample.takeMonitoringData(60, kStart, kStart + 1000), "0:");
  EXPECT_EQ(sample.takeMonitoringData(60, kStart + 2000, kStart + 1000), "0:");
}

TEST(MonitoringSampledData, StoredArraysMustHaveTheFourItemShape) {
  const Object good = sampleArray("ctx", 3, "1E_1:m");
  TLMMonitoringSampledData loaded{OptionalObject(good)};
  ASSERT_TRUE(loaded.hasEntry());
  EXPECT_EQ(loaded.population(), 3);
  EXPECT_EQ(loaded.arrayRepresentation(), good);

  const Object invalid[] = {
      Object::array({Object("ctx"), Object::integer(3), Object("k")}),
      Object::array({Object("ctx"), Object::integer(3), Object("k"), Object::date(1), Object("x")}),
      Object::array({Object::integer(1), Object::integer(3), Object("k"), Object::date(1)}),
      Object::array({Object("ctx"), Object("3"), Object("k"), Object::date(1)}),
      Object::array({Object("ctx"), Object::integer(3), Object("k"), Object::floating(1)}),
      Object::array({Object("ctx"), Object::integer(0), Object("k"), Object::date(1)}),
      Object::array({Object("ctx"), Object::integer(-4), Object("k"), Object::date(1)}),
      Object::array({Object("ctx"), Object::floating(2.5), Object("k"), Object::date(1)}),
      Object("not an array"),
      Object::null(),
  };
  for (const Object& stored : invalid) {
    EXPECT_FALSE(TLMMonitoringSampledData(OptionalObject(stored)).hasEntry())
        << stored.description();
  }
  EXPECT_FALSE(TLMMonitoringSampledData(std::nullopt).hasEntry());
}

using MonitorSamplingTest = MonitorTest;

TEST_F(MonitorSamplingTest, TenReportsLeaveOneEntryWithTheFirstTimestamp) {
  TLMMonitor& monitor = startMonitor();
  const double first = clock().now();
  for (int i = 0; i < 10; ++i) {
    monitor.logWithLevel(i % 2 == 0 ? 2 : 5, 13000 + i, "Report " + std::to_string(i),
                         Object::integer(i));
    executor().runUntilIdle();
    clock().advance(5);
  }
  const OptionalObject entry = monitor.TEST_sampledEntry();
  ASSERT_TRUE(entry.has_value());
  const ObjectArray& items = *entry->asArray();
  EXPECT_EQ(items[1].int64Value(), 10);
  EXPECT_EQ(items[3].dateValue(), first);
  // The kept report is one of the ten, key and context together.
  const std::string key = *items[2].asString();
  const std::string context = *items[0].asString();
  ASSERT_EQ(key.rfind("1", 0), 0u);
  const int index = std::stoi(key.substr(key.find("Report ") + 7));
  EXPECT_EQ(key, std::string("1") + (index % 2 == 0 ? "E" : "W") + "_80300:Report " +
                     std::to_string(index));
  EXPECT_EQ(context, std::to_string(index));
  // Written through to the file itself, not only the store's memory.
  const std::string path = Platform::current().preferences().pathForDomain(TLMMonitor::kSuiteName);
  const OptionalObject file = PropertyList::readFile(path, nullptr);
  ASSERT_TRUE(file.has_value());
  ASSERT_NE(file->objectForKey(TLMMonitor::kHealthMonitorKey), nullptr);
  EXPECT_EQ(*file->objectForKey(TLMMonitor::kHealthMonitorKey), entry);
}

TEST_F(MonitorSamplingTest, SameSeedKeepsTheSameReport) {
  auto keptKey = [this] {
    startMonitor();
    for (int i = 0; i < 20; ++i) monitor_->logWithLevel(2, 1, "m" + std::to_string(i));
    executor().runUntilIdle();
    std::string key = *monitor_->TEST_sampledEntry()->asArray()->at(2).asString();
    monitor_->clearMonitoringData();
    return key;
  };
  const std::string first = keptKey();
  files_.restart(1);
  EXPECT_EQ(keptKey(), first);
}

TEST_F(MonitorSamplingTest, DispatchReturnsTheHealthStringAndEmptiesTheStoredSample) {
  TLMMonitor& monitor = startMonitor();
  monitor.logWithLevel(1, 23001, "Failed to open", Object::integer(345), Object("path"));
  executor().runUntilIdle();
  EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
  clock().advance(3601);
  EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(3600, 0),
            "1:1E_80300:Failed to open:100...999,-");
  EXPECT_EQ(monitor.TEST_sampledEntry(), std::nullopt);
  EXPECT_EQ(storedSample(), std::nullopt);
  // Nothing sampled since: "0:" only with a positive last timestamp.
  clock().advance(3601);
  EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(3600, 0), std::nullopt);
  EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(3600, clock().now() - 3601), "0:");
}

TEST_F(MonitorSamplingTest, LibraryErrorContextsAreAppendedToTheSampledContext) {
  TLMMonitor& monitor = startMonitor();
  const Object first = Object::error(tlm_errorWithCode(3, "Disk I/O", "sqlite:10"));
  const Object foreign = Object::error(Error{"NSCocoaErrorDomain", 4, {}, Object("ignored")});
  const Object noContext = Object::error(tlm_errorWithCode(5, "plain"));
  const Object second = Object::error(tlm_errorWithCode(6, "", "step:2"));
  monitor.logWithLevel(2, 34001, "Store failed",
                       ObjectArray{first, foreign, Object::integer(7), noContext, second});
  executor().runUntilIdle();
  clock().advance(61);
  EXPECT_EQ(monitor.monitoringDataForDispatchWithSamplePeriod(60, 0),
            std::string("1:1E_80300:Store failed:") + kTLMErrorDomain + ",NSCocoaErrorDomain,7," +
                kTLMErrorDomain + "," + kTLMErrorDomain + ",sqlite:10,step:2");
}

TEST_F(MonitorSamplingTest, TheSampleSurvivesARestart) {
  startMonitor().logWithLevel(4, 23050, "Warned", Object("x"));
  executor().runUntilIdle();
  const OptionalObject before = monitor_->TEST_sampledEntry();
  ASSERT_TRUE(before.has_value());
  monitor_.reset();
  files_.restart();

  TLMMonitor& monitor = startMonitor();
  EXPECT_EQ(monitor.TEST_sampledEntry(), before);
  // The next report adds to the restored entry.
  monitor.logWithLevel(5, 23051, "Again");
  executor().runUntilIdle();
  EXPECT_EQ(monitor.TEST_sampledEntry()->asArray()->at(1).int64Value(), 2);
  EXPECT_EQ(monitor.TEST_sampledEntry()->asArray()->at(3), before->asArray()->at(3));
}

TEST_F(MonitorSamplingTest, AnInvalidStoredSampleIsIgnored) {
  TLMUserDefaults suite(TLMMonitor::kSuiteName);
  suite.setObject(Object::array({Object("ctx"), Object::integer(2), Object("k")}),
                  TLMMonitor::kHealthMonitorKey);
  TLMMonitor& monitor = startMonitor();
  EXPECT_EQ(monitor.TEST_sampledEntry(), std::nullopt);
  monitor.logWithLevel(1, 1, "fresh");
  executor().runUntilIdle();
  EXPECT_EQ(monitor.TEST_sampledEntry()->asArray()->at(1).int64Value(), 1);
}

TEST_F(MonitorSamplingTest, MigrationMovesTheOldSampleOnce) {
  const Object old = sampleArray("c", 4, "1E_1:old");
  TLMUserDefaults::standardUserDefaults().setObject(old, TLMMonitor::kHealthMonitorKey);
  TLMMonitor& monitor = startMonitor();
  EXPECT_EQ(monitor.TEST_sampledEntry(), old);
  TLMUserDefaults suite(TLMMonitor::kSuiteName);
  EXPECT_EQ(suite.integerForKey(TLMMonitor::kMigrationStateKey), 2);
  EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kHealthMonitorKey),
            std::nullopt);

  // Once migrated, an old value that reappears is neither copied nor removed.
  const Object other = sampleArray("d", 1, "1E_1:other");
  TLMUserDefaults::standardUserDefaults().setObject(other, TLMMonitor::kHealthMonitorKey);
  (void)TLMUserDefaults::standardUserDefaults().synchronize();
  endLife();
  files_.restart();
  EXPECT_EQ(startMonitor().TEST_sampledEntry(), old);
  EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kHealthMonitorKey),
            other);
}

TEST_F(MonitorSamplingTest, MigrationKeepsANewerSampleInTheSuite) {
  const Object old = sampleArray("c", 4, "1E_1:old");
  const Object current = sampleArray("n", 1, "1E_1:new");
  TLMUserDefaults::standardUserDefaults().setObject(old, TLMMonitor::kHealthMonitorKey);
  TLMUserDefaults(TLMMonitor::kSuiteName).setObject(current, TLMMonitor::kHealthMonitorKey);
  EXPECT_EQ(startMonitor().TEST_sampledEntry(), current);
  EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kHealthMonitorKey),
            std::nullopt);
}

TEST_F(MonitorSamplingTest, MigrationFromStateOneOnlyRemovesTheOldKey) {
  const Object old = sampleArray("c", 4, "1E_1:old");
  TLMUserDefaults::standardUserDefaults().setObject(old, TLMMonitor::kHealthMonitorKey);
  TLMUserDefaults(TLMMonitor::kSuiteName).setInteger(1, TLMMonitor::kMigrationStateKey);
  EXPECT_EQ(startMonitor().TEST_sampledEntry(), std::nullopt);
  EXPECT_EQ(TLMUserDefaults::standardUserDefaults().objectForKey(TLMMonitor::kHealthMonitorKey),
            std::nullopt);
  EXPECT_EQ(TLMUserDefaults(TLMMonitor::kSuiteName).integerForKey(TLMMonitor::kMigrationStateKey),
            2);
}

TEST_F(MonitorSamplingTest, ClearMonitoringDataForgetsSampleAndStoredSwitch) {
  relaunch({"-TLMAnalyticsDebugEnabled"});
  TLMMonitor& monitor = startMonitor();
  monitor.logWithLevel(2, 1, "sampled");
  executor().runUntilIdle();
  ASSERT_TRUE(monitor.TEST_sampledEntry().has_value());
  TLMUserDefaults& standard = TLMUserDefaults::standardUserDefaults();
  standard.setObject(Object::array({}), TLMMonitor::kHealthMonitorKey);
  ASSERT_TRUE(standard.boolForKey(TLMMonitor::kDebugModeKey));

  monitor.clearMonitoringData();
  EXPECT_EQ(monitor.TEST_sampledEntry(), std::nullopt);
  EXPECT_EQ(storedSample(), std::nullopt);
  EXPECT_EQ(standard.objectForKey(TLMMonitor::kDebugModeKey), std::nullopt);
  EXPECT_EQ(standard.objectForKey(TLMMonitor::kHealthMonitorKey), std::nullopt);
}

}  // namespace
