// The upload timer: when it fires, on which queue, what replaces and
// cancels it, and what it reports.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/TLMAlarm.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "support/MonitorRecorder.h"
#include "support/TestPlatform.h"

namespace {

class AlarmTest : public ::testing::Test {
 protected:
  AlarmTest() {
    queue_ = platform_.platform().dispatch().createSerialQueue("com.tarvix.qlfa.worker");
    alarm_ = TLMAlarm::initWithDispatchQueue(queue_, "Measurement timer");
  }

  void advance(double seconds) { platform_.executor().advance(seconds); }
  double now() const { return platform_.platform().clock().now(); }
  // A block that records the time it ran at and whether it ran on the queue.
  std::function<void()> recorder(const std::string& label) {
    return [this, label] {
      fired_.push_back(label);
      firedOnQueue_.push_back(queue_->isCurrent());
      firedAt_.push_back(now());
    };
  }
  std::vector<long> codes() const {
    std::vector<long> found;
    for (const MonitorReport& report : monitor_.reports()) {
      if (report.code >= 2000 && report.code <= 2004) found.push_back(report.code);
    }
    return found;
  }

  TestPlatform platform_;
  MonitorRecorder monitor_;
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<TLMAlarm> alarm_;
  std::vector<std::string> fired_;
  std::vector<bool> firedOnQueue_;
  std::vector<double> firedAt_;
};

TEST_F(AlarmTest, FiresOnceAtItsTimeOnItsQueueThenIsIdle) {
  const double start = now();
  alarm_->runAfterDelay(10, recorder("a"));
  EXPECT_TRUE(alarm_->hasActiveTimer());
  ASSERT_TRUE(alarm_->scheduledTimestamp().has_value());
  EXPECT_DOUBLE_EQ(*alarm_->scheduledTimestamp(), start + 10);

  advance(9.5);
  EXPECT_TRUE(fired_.empty());
  advance(1);
  ASSERT_EQ(fired_, std::vector<std::string>{"a"});
  EXPECT_TRUE(firedOnQueue_[0]);
  EXPECT_DOUBLE_EQ(firedAt_[0], start + 10);
  EXPECT_FALSE(alarm_->hasActiveTimer());
  EXPECT_FALSE(alarm_->scheduledTimestamp().has_value());
  advance(100);
  EXPECT_EQ(fired_.size(), 1u);
  // Scheduled, fired, then cancelled by the firing; never "not active".
  EXPECT_EQ(codes(), (std::vector<long>{2002, 2001, 2003}));
}

TEST_F(AlarmTest, ReportsCarryTheNameLevelAndDelay) {
  alarm_->runAfterDelay(42.5, recorder("a"));
  advance(43);
  const std::vector<MonitorReport> scheduled = monitor_.withCode(2002);
  ASSERT_EQ(scheduled.size(), 1u);
  EXPECT_EQ(scheduled[0].level, 7);
  EXPECT_EQ(scheduled[0].message, "Measurement timer scheduled to fire in approx. (s)");
  ASSERT_EQ(scheduled[0].contexts.size(), 1u);
  EXPECT_DOUBLE_EQ(scheduled[0].contexts[0].doubleValue(), 42.5);
  ASSERT_EQ(monitor_.withCode(2001).size(), 1u);
  EXPECT_EQ(monitor_.withCode(2001)[0].level, 7);
  EXPECT_EQ(monitor_.withCode(2001)[0].message, "Measurement timer fired");
  ASSERT_EQ(monitor_.withCode(2003).size(), 1u);
  EXPECT_EQ(monitor_.withCode(2003)[0].level, 7);
  EXPECT_EQ(monitor_.withCode(2003)[0].message, "Measurement timer canceled");
}

TEST_F(AlarmTest, SchedulingAgainReplacesThePendingBlock) {
  alarm_->runAfterDelay(10, recorder("first"));
  alarm_->runAfterDelay(5, recorder("second"));
  EXPECT_DOUBLE_EQ(*alarm_->scheduledTimestamp(), now() + 5);
  advance(30);
  EXPECT_EQ(fired_, std::vector<std::string>{"second"});
  // The replaced schedule was cancelled first.
  EXPECT_EQ(codes(), (std::vector<long>{2002, 2003, 2002, 2001, 2003}));
}

TEST_F(AlarmTest, LaterScheduleIsNotShortenedByTheEarlierOne) {
  alarm_->runAfterDelay(5, recorder("first"));
  alarm_->runAfterDelay(20, recorder("second"));
  advance(10);
  EXPECT_TRUE(fired_.empty());
  advance(11);
  EXPECT_EQ(fired_, std::vector<std::string>{"second"});
}

TEST_F(AlarmTest, CancelStopsTheBlockAndOnlyReportsWhenSomethingWasScheduled) {
  alarm_->cancel();
  EXPECT_TRUE(codes().empty());

  alarm_->runAfterDelay(5, recorder("a"));
  alarm_->cancel();
  EXPECT_FALSE(alarm_->hasActiveTimer());
  EXPECT_FALSE(alarm_->scheduledTimestamp().has_value());
  alarm_->cancel();
  advance(60);
  EXPECT_TRUE(fired_.empty());
  EXPECT_EQ(codes(), (std::vector<long>{2002, 2003}));
}

TEST_F(AlarmTest, EmptyBlockIsRefusedAndKeepsTheSchedule) {
  const std::shared_ptr<TLMAlarm> unnamed = TLMAlarm::initWithDispatchQueue(queue_, std::nullopt);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(unnamed->name(), "Timer");
  unnamed->runAfterDelay(5, recorder("kept"));
  unnamed->runAfterDelay(1, nullptr);
  const std::vector<MonitorReport> refused = monitor_.withCode(2000);
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(refused[0].level, 1);
  EXPECT_EQ(refused[0].message, "Timer tried to schedule an empty block");
  EXPECT_DOUBLE_EQ(*unnamed->scheduledTimestamp(), now() + 5);
  advance(10);
  EXPECT_EQ(fired_, std::vector<std::string>{"kept"});
}

TEST_F(AlarmTest, PastTimeFiresAsSoonAsTheQueueRuns) {
  alarm_->runAfterDelay(-30, recorder("late"));
  EXPECT_DOUBLE_EQ(*alarm_->scheduledTimestamp(), now() - 30);
  platform_.executor().runUntilIdle();
  EXPECT_EQ(fired_, std::vector<std::string>{"late"});
}

TEST_F(AlarmTest, DestroyedAlarmNeverFires) {
  alarm_->runAfterDelay(5, recorder("a"));
  alarm_.reset();
  advance(10);
  EXPECT_TRUE(fired_.empty());
}

TEST_F(AlarmTest, BlockMayScheduleTheAlarmAgain) {
  alarm_->runAfterDelay(5, [this] {
    fired_.push_back("first");
    alarm_->runAfterDelay(5, recorder("second"));
  });
  advance(6);
  EXPECT_EQ(fired_, std::vector<std::string>{"first"});
  EXPECT_TRUE(alarm_->hasActiveTimer());
  advance(5);
  EXPECT_EQ(fired_, (std::vector<std::string>{"first", "second"}));
}

TEST(AlarmCreation, NeedsAQueue) {
  EXPECT_EQ(TLMAlarm::initWithDispatchQueue(nullptr, "x"), nullptr);
}

}  // namespace
