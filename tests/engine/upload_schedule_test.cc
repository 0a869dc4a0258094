// When the next upload happens: the base time, retries with doubling gaps,
// back-off, an alarm already due, waiting for the network, suspension by
// uptime, and nothing at all without data.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "engine/upload_test_support.h"

namespace {

// Defaults of the flags involved (seconds).
constexpr double kInitialDelay = 15;
constexpr double kInterval = 3600;
constexpr double kRetryInterval = 1800;
constexpr double kBackoffInterval = 43200;

class UploadScheduleTest : public UploadTest {
 protected:
  double nextTime() {
    double next = -1;
    onWorker([&](TLMMeasurement& e) { next = e.nextUploadingTime(); });
    return next;
  }
  // Data that arrived 10 s ago; the base time of its first upload.
  double queueRecentData() {
    const double dataTime = kNow - 10;
    queue(kTestAppID, dataTime, "e");
    return dataTime + kInitialDelay;
  }
};

TEST_F(UploadScheduleTest, NothingQueuedSetsNoAlarmAndEndsTheBackgroundTask) {
  const BackgroundTaskIdentifier task = beginBackgroundTask();
  ASSERT_NE(task, kBackgroundTaskInvalid);
  schedule();
  EXPECT_FALSE(alarmTime().has_value());
  EXPECT_EQ(engine_->backgroundUpdateTask(), kBackgroundTaskInvalid);
  EXPECT_TRUE(app().backgroundTasks().empty());
  const std::vector<MonitorReport> reports = monitor_.withCode(23024);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 8);
  EXPECT_EQ(reports[0].message, "No data to upload. Upload task will not be scheduled");
  EXPECT_EQ(nextTime(), 0);
}

TEST_F(UploadScheduleTest, FirstUploadIsTheInitialDelayAfterTheData) {
  const double base = queueRecentData();
  EXPECT_DOUBLE_EQ(nextTime(), base);
  schedule();
  ASSERT_TRUE(alarmTime().has_value());
  EXPECT_DOUBLE_EQ(*alarmTime(), base);
  const std::vector<MonitorReport> scheduled = monitor_.withCode(23028);
  ASSERT_EQ(scheduled.size(), 1u);
  EXPECT_EQ(scheduled[0].message, "Upload task scheduled to be executed in approx. (s)");
  EXPECT_DOUBLE_EQ(scheduled[0].contexts[0].doubleValue(), base - kNow);
}

TEST_F(UploadScheduleTest, RecentSuccessWaitsForTheInterval) {
  queueRecentData();
  settings().setLastSuccessfulUploadTimestamp(kNow - 2);
  EXPECT_DOUBLE_EQ(nextTime(), kNow - 2 + kInterval);
  // Real-time data uses its own, shorter interval (10 s).
  queue(makeBundle(kTestAppID, kNow - 50), /*realtime=*/true);
  EXPECT_DOUBLE_EQ(nextTime(), kNow - 2 + 10);
}

TEST_F(UploadScheduleTest, RetriesDoubleTheirGapsAndStopAfterTheBudget) {
  const double base = queueRecentData();
  for (int i = 0; i < 6; ++i) {
    const double offset = kRetryInterval * (std::ldexp(1.0, i + 1) - 1);
    // A failure just before the i-th retry time: that time is next.
    settings().setLastFailedUploadTimestamp(base + offset - 1);
    EXPECT_DOUBLE_EQ(nextTime(), base + offset) << "retry " << i;
    // A failure exactly at it moves on to the next one.
    settings().setLastFailedUploadTimestamp(base + offset);
    const double following = kRetryInterval * (std::ldexp(1.0, i + 2) - 1);
    EXPECT_DOUBLE_EQ(nextTime(), i < 5 ? base + following : 0) << "retry " << i;
  }
  // After six retries nothing is scheduled, and no alarm is left.
  settings().setLastFailedUploadTimestamp(base + kRetryInterval * 63);
  schedule();
  EXPECT_FALSE(alarmTime().has_value());
  EXPECT_EQ(monitor_.count(23025), 1u);
  EXPECT_EQ(monitor_.withCode(23025)[0].message,
            "No next uploading time. Upload task will not be scheduled");
}

TEST_F(UploadScheduleTest, NewDataAfterTheFailureStartsAgain) {
  queue(kTestAppID, kNow - 100, "old");
  settings().setLastFailedUploadTimestamp(kNow - 50);  // after the data, before the new data
  EXPECT_DOUBLE_EQ(nextTime(), kNow - 100 + kInitialDelay + kRetryInterval);
  queue(kTestAppID, kNow - 10, "new");
  EXPECT_DOUBLE_EQ(nextTime(), kNow - 10 + kInitialDelay);
}

TEST_F(UploadScheduleTest, BackoffDelaysTheNextUploadUntilItsEnd) {
  queueRecentData();
  settings().setLastBackoffTimestamp(kNow - 10);
  schedule();
  ASSERT_TRUE(alarmTime().has_value());
  EXPECT_DOUBLE_EQ(*alarmTime(), kNow - 10 + kBackoffInterval);

  // A back-off that has run its course no longer delays.
  settings().setLastBackoffTimestamp(kNow - kBackoffInterval - 1);
  engine_->alarm()->cancel();
  schedule();
  EXPECT_DOUBLE_EQ(*alarmTime(), kNow - 10 + kInitialDelay);
}

TEST_F(UploadScheduleTest, AlarmAlreadyDueEarlierStays) {
  const double base = queueRecentData();
  schedule();
  ASSERT_DOUBLE_EQ(*alarmTime(), base);
  // A later computed time keeps the earlier alarm.
  settings().setLastSuccessfulUploadTimestamp(kNow - 1);
  schedule();
  EXPECT_DOUBLE_EQ(*alarmTime(), base);
  const std::vector<MonitorReport> kept = monitor_.withCode(23027);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].message,
            "Do not schedule an upload task. Task already exists. Will be executed in seconds");

  // An earlier computed time replaces a later alarm.
  engine_->alarm()->runAfterDelay(10000, [] {});
  settings().setLastSuccessfulUploadTimestamp(0);
  schedule();
  EXPECT_DOUBLE_EQ(*alarmTime(), base);
}

TEST_F(UploadScheduleTest, AlarmStartsTheUploadOnTheWorkerQueue) {
  const double base = queueRecentData();
  schedule();
  calls_.clear();
  platform_.executor().advance(base - kNow - 1);
  EXPECT_EQ(count("uploadData"), 0);
  platform_.executor().advance(2);
  platform_.executor().runUntilIdle(20.0);
  EXPECT_EQ(count("uploadData"), 1);
  EXPECT_EQ(batches().size(), 1u);
  EXPECT_TRUE(queueRows().empty());
}

TEST_F(UploadScheduleTest, WithoutNetworkWaitsForReachability) {
  queueRecentData();
  reachability().setOverride(false);
  schedule();
  EXPECT_FALSE(alarmTime().has_value());
  ASSERT_EQ(monitor_.count(23026), 1u);
  EXPECT_EQ(monitor_.withCode(23026)[0].message, "No network. Upload task will not be scheduled");

  // The engine listens while it waits: the network coming back schedules.
  calls_.clear();
  reachability().setOverride(true);
  run();
  EXPECT_EQ(count("updateSchedule"), 1);
  EXPECT_TRUE(alarmTime().has_value());

  // Once scheduled it stops listening.
  calls_.clear();
  reachability().setOverride(false);
  reachability().setOverride(true);
  run();
  EXPECT_EQ(count("updateSchedule"), 0);
}

TEST_F(UploadScheduleTest, SuspensionLastsAnHourOfUptimeWhateverTheWallClock) {
  queueRecentData();
  const double suspendedAt = clock().uptime();
  engine_->setSuspendedUploadTimestamp(suspendedAt);
  const BackgroundTaskIdentifier task = beginBackgroundTask();
  ASSERT_NE(task, kBackgroundTaskInvalid);
  schedule();
  EXPECT_FALSE(alarmTime().has_value());
  EXPECT_EQ(engine_->backgroundUpdateTask(), kBackgroundTaskInvalid);
  const std::vector<MonitorReport> suspended = monitor_.withCode(23023);
  ASSERT_EQ(suspended.size(), 1u);
  EXPECT_EQ(suspended[0].level, 3);
  EXPECT_EQ(suspended[0].message,
            "Upload has been suspended. Will update scheduling later. Seconds");
  EXPECT_DOUBLE_EQ(suspended[0].contexts[0].doubleValue(), 3600);

  // Setting the wall clock forward does not end it.
  clock().setNow(kNow + 7200);
  schedule();
  EXPECT_FALSE(alarmTime().has_value());
  EXPECT_EQ(monitor_.count(23023), 2u);
  EXPECT_GT(engine_->suspendedUploadTimestamp(), 0);

  // One second of uptime short of the hour: still suspended.
  clock().setNow(kNow);
  clock().setUptime(suspendedAt + 3599);
  schedule();
  EXPECT_EQ(monitor_.count(23023), 3u);
  EXPECT_DOUBLE_EQ(monitor_.withCode(23023)[2].contexts[0].doubleValue(), 1);

  clock().setUptime(suspendedAt + 3600);
  schedule();
  EXPECT_EQ(engine_->suspendedUploadTimestamp(), 0);
  EXPECT_TRUE(alarmTime().has_value());
}

TEST_F(UploadScheduleTest, SuspendedUploadOnlyUpdatesTheSchedule) {
  queueRecentData();
  engine_->setSuspendedUploadTimestamp(clock().uptime());
  upload();
  EXPECT_TRUE(batches().empty());
  EXPECT_EQ(monitor_.count(23033), 0u);
  EXPECT_EQ(monitor_.count(23023), 1u);
  EXPECT_EQ(queueRows().size(), 1u);
}

TEST_F(UploadScheduleTest, DebugModeUploadsSoonAfterTheData) {
  queueRecentData();
  settings().setLastSuccessfulUploadTimestamp(kNow - 1);
  TLMMeasurement::monitor().setDebugModeEnabled(true);
  const double next = nextTime();
  TLMMeasurement::monitor().setDebugModeEnabled(false);
  // All data counts as real time (10 s after the last success), capped at
  // the debug interval (1 s) after the data.
  EXPECT_DOUBLE_EQ(next, kNow - 10 + 1);
}

TEST_F(UploadScheduleTest, DisablingCancelsTheAlarm) {
  queueRecentData();
  schedule();
  ASSERT_TRUE(alarmTime().has_value());
  engine_->setEnabled(false);
  run();
  EXPECT_FALSE(alarmTime().has_value());
}

}  // namespace
