// Clocks, random numbers, one-shot timers and semaphores in virtual time.

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Dispatch.h"
#include "platform/OneShotTimer.h"
#include "platform/Random.h"
#include "platform/Semaphore.h"

namespace {

TEST(DispatchClockTest, FakeUptimeIgnoresWallClockChangesAndNeverGoesBack) {
  FakeClock clock(2000000000.0, 42.0);
  clock.setNow(1000000000.0);
  EXPECT_DOUBLE_EQ(clock.uptime(), 42.0);
  clock.advance(1.5);
  EXPECT_DOUBLE_EQ(clock.now(), 1000000001.5);
  EXPECT_DOUBLE_EQ(clock.uptime(), 43.5);
  clock.setUptime(100.0);
  EXPECT_DOUBLE_EQ(clock.now(), 1000000001.5);
  clock.advanceUptimeTo(102.5);
  EXPECT_DOUBLE_EQ(clock.now(), 1000000004.0);
  clock.advanceUptimeTo(101.0);
  EXPECT_DOUBLE_EQ(clock.uptime(), 102.5);
  EXPECT_DOUBLE_EQ(clock.now(), 1000000004.0);
}

TEST(DispatchClockTest, SystemUptimeIsMonotonicAndWallTimeIsSince1970) {
  SystemClock clock;
  double previous = clock.uptime();
  EXPECT_GT(previous, 0);
  for (int i = 0; i < 10000; ++i) {
    const double next = clock.uptime();
    ASSERT_GE(next, previous);
    previous = next;
  }
  EXPECT_NEAR(clock.now(), static_cast<double>(std::time(nullptr)), 2.0);
}

TEST(DispatchRandomTest, SeededRandomIsReproducible) {
  SeededRandom first(1234), second(1234), other(1235);
  std::vector<std::uint64_t> a, b, c;
  for (int i = 0; i < 16; ++i) {
    a.push_back(first.nextUInt64());
    b.push_back(second.nextUInt64());
    c.push_back(other.nextUInt64());
  }
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(first.secureBytes(24), second.secureBytes(24));
  EXPECT_EQ(first.uniform(1000), second.uniform(1000));
  EXPECT_EQ(first.nextDouble(), second.nextDouble());
}

TEST(DispatchRandomTest, UniformStaysInRangeAndCoversIt) {
  SeededRandom random(7);
  EXPECT_EQ(random.uniform(0), 0u);
  EXPECT_EQ(random.uniform(1), 0u);
  std::vector<int> counts(3, 0);
  for (int i = 0; i < 30000; ++i) {
    const std::uint64_t value = random.uniform(3);
    ASSERT_LT(value, 3u);
    ++counts[value];
  }
  for (int count : counts) EXPECT_NEAR(count, 10000, 500);
  const std::uint64_t huge = (std::uint64_t{1} << 63) + 1;
  for (int i = 0; i < 1000; ++i) ASSERT_LT(random.uniform(huge), huge);
  double low = 1, high = 0;
  for (int i = 0; i < 10000; ++i) {
    const double value = random.nextDouble();
    ASSERT_GE(value, 0.0);
    ASSERT_LT(value, 1.0);
    low = std::min(low, value);
    high = std::max(high, value);
  }
  EXPECT_LT(low, 0.01);
  EXPECT_GT(high, 0.99);
}

TEST(DispatchRandomTest, SystemRandomSecureBytesHaveTheLengthAndVary) {
  SystemRandom random;
  EXPECT_TRUE(random.secureBytes(0).empty());
  const auto bytes = random.secureBytes(32);
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_GT(std::set<std::uint8_t>(bytes.begin(), bytes.end()).size(), 1u);
  EXPECT_NE(random.secureBytes(32), bytes);
  EXPECT_NE(random.nextUInt64(), random.nextUInt64());
}

class DispatchTimerTest : public testing::Test {
 protected:
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(1767225600.0, 500.0);
  std::shared_ptr<DeterministicExecutor> executor = std::make_shared<DeterministicExecutor>(clock);
  Dispatch dispatch{executor};
  std::shared_ptr<DispatchQueue> queue = dispatch.createSerialQueue("timer-queue");
};

TEST_F(DispatchTimerTest, RescheduleReplacesThePendingRun) {
  std::vector<double> fired;
  OneShotTimer timer(queue, [&] { fired.push_back(clock->uptime()); });
  EXPECT_FALSE(timer.isScheduled());
  timer.schedule(5);
  executor->advance(3);
  timer.schedule(5);  // Now due at 508, not 505.
  executor->advance(3);
  EXPECT_TRUE(fired.empty());
  EXPECT_TRUE(timer.isScheduled());
  executor->advance(2);
  EXPECT_EQ(fired, std::vector<double>{508.0});
  EXPECT_FALSE(timer.isScheduled());
  executor->advance(100);
  EXPECT_EQ(fired.size(), 1u) << "one schedule, one run";
}

TEST_F(DispatchTimerTest, RunningTimerIsNotScheduledAndMayRescheduleItself) {
  int runs = 0;
  std::vector<bool> scheduledInside;
  OneShotTimer* self = nullptr;
  OneShotTimer timer(queue, [&] {
    scheduledInside.push_back(self->isScheduled());
    if (++runs < 3) self->schedule(10);
  });
  self = &timer;
  timer.schedule(10);
  executor->advance(25);
  EXPECT_EQ(runs, 2);
  EXPECT_TRUE(timer.isScheduled());
  executor->advance(5);
  EXPECT_EQ(runs, 3);
  EXPECT_FALSE(timer.isScheduled());
  EXPECT_EQ(scheduledInside, (std::vector<bool>{false, false, false}));
}

TEST_F(DispatchTimerTest, CancelledOrDestroyedTimerNeverRuns) {
  int runs = 0;
  OneShotTimer cancelled(queue, [&] { ++runs; });
  cancelled.schedule(1);
  cancelled.cancel();
  EXPECT_FALSE(cancelled.isScheduled());
  {
    OneShotTimer destroyed(queue, [&] { ++runs; });
    destroyed.schedule(1);
  }
  // Due but still waiting in a suspended queue when cancelled.
  OneShotTimer queued(queue, [&] { ++runs; });
  queued.schedule(2);
  queue->suspend();
  executor->advance(2);
  queued.cancel();
  queue->resume();
  executor->advance(10);
  EXPECT_EQ(runs, 0);
  EXPECT_EQ(executor->pendingTimerCount(), 0u);
}

TEST_F(DispatchTimerTest, SemaphoreWaitRunsWorkAndTimersUpToItsDeadline) {
  Semaphore semaphore(executor);
  EXPECT_FALSE(semaphore.wait(5));
  EXPECT_DOUBLE_EQ(clock->uptime(), 505.0);

  queue->async([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(5));
  EXPECT_DOUBLE_EQ(clock->uptime(), 505.0) << "no time passes when the signal is ready";
  EXPECT_FALSE(semaphore.wait(0));

  bool late = false;
  queue->asyncAfter(2, [&] { semaphore.signal(); });
  queue->asyncAfter(8, [&] { late = true; });
  EXPECT_TRUE(semaphore.wait(5));
  EXPECT_DOUBLE_EQ(clock->uptime(), 507.0);
  EXPECT_FALSE(late) << "a timer beyond the deadline stays pending";
  EXPECT_EQ(executor->pendingTimerCount(), 1u);
}

TEST_F(DispatchTimerTest, SemaphoreWithInitialValueAndSignalFromAnotherThread) {
  Semaphore semaphore(executor, 1);
  EXPECT_TRUE(semaphore.wait(0));
  EXPECT_FALSE(semaphore.wait(0));
  executor->beginExternalWork();
  std::thread io([&] {
    semaphore.signal();
    executor->endExternalWork();
  });
  EXPECT_TRUE(semaphore.wait());
  io.join();
}

using DispatchTimerDeathTest = DispatchTimerTest;

TEST_F(DispatchTimerDeathTest, SemaphoreWaitForeverThatCannotBeSignalledIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Semaphore semaphore(executor);
  EXPECT_DEATH((void)semaphore.wait(), "Semaphore: wait without timeout can never be signalled");
}

}  // namespace
