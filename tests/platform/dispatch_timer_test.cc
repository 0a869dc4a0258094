// One-shot timers and semaphores in virtual time.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <thread>

#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Dispatch.h"
#include "platform/OneShotTimer.h"
#include "platform/Semaphore.h"

namespace {

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
  EXPECT_TRUE(timer.isScheduled());
  executor->advance(3);
  timer.schedule(5);  // Now due at 508, not 505.
  executor->advance(3);
  EXPECT_TRUE(fired.empty());
  EXPECT_TRUE(timer.isScheduled());
  executor->advance(2);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_DOUBLE_EQ(fired[0], 508.0);
  EXPECT_FALSE(timer.isScheduled());
  executor->advance(100);
  EXPECT_EQ(fired.size(), 1u) << "one schedule, one run";
}

TEST_F(DispatchTimerTest, IsScheduledTurnsFalseWhenTheBlockStarts) {
  std::optional<bool> scheduledInside;
  OneShotTimer* self = nullptr;
  OneShotTimer timer(queue, [&] { scheduledInside = self->isScheduled(); });
  self = &timer;
  timer.schedule(1);
  executor->advance(1);
  ASSERT_TRUE(scheduledInside.has_value());
  EXPECT_FALSE(*scheduledInside);
}

TEST_F(DispatchTimerTest, TimerCanRescheduleItselfFromItsBlock) {
  int runs = 0;
  OneShotTimer* self = nullptr;
  OneShotTimer timer(queue, [&] {
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

TEST_F(DispatchTimerTest, SemaphoreTimesOutAtItsDeadlineInVirtualTime) {
  Semaphore semaphore(executor);
  EXPECT_FALSE(semaphore.wait(5));
  EXPECT_DOUBLE_EQ(clock->uptime(), 505.0);
}

TEST_F(DispatchTimerTest, SemaphoreSignalledByAQueuedBlockReturnsAtOnce) {
  Semaphore semaphore(executor);
  queue->async([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(5));
  EXPECT_DOUBLE_EQ(clock->uptime(), 500.0) << "no time passes when the signal is ready";
  EXPECT_FALSE(semaphore.wait(0));
}

TEST_F(DispatchTimerTest, SemaphoreWaitFiresTimersUpToItsDeadline) {
  Semaphore semaphore(executor);
  bool late = false;
  queue->asyncAfter(2, [&] { semaphore.signal(); });
  queue->asyncAfter(8, [&] { late = true; });
  EXPECT_TRUE(semaphore.wait(5));
  EXPECT_DOUBLE_EQ(clock->uptime(), 502.0);
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
