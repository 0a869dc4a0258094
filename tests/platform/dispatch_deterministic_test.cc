// Queues, delayed blocks and timers on the deterministic executor: one
// thread, virtual time, no sleeping.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"

namespace {

class DeterministicDispatchTest : public testing::Test {
 protected:
  double uptime() const { return clock->uptime(); }

  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(1767225600.0, 1000.0);
  std::shared_ptr<DeterministicExecutor> executor = std::make_shared<DeterministicExecutor>(clock);
  Dispatch dispatch{executor};
};

struct Fired {
  std::string name;
  double uptime;
};

TEST_F(DeterministicDispatchTest, DelayedBlocksFireInDueOrderEachAtItsOwnTime) {
  auto queue = dispatch.createSerialQueue("timers");
  std::vector<Fired> fired;
  auto record = [&](std::string name) { return [&, name] { fired.push_back({name, uptime()}); }; };
  queue->asyncAfter(3, record("c"));
  queue->asyncAfter(1, record("a1"));
  queue->asyncAfter(2, record("b"));
  queue->asyncAfter(1, record("a2"));
  EXPECT_EQ(executor->pendingTimerCount(), 4u);
  EXPECT_DOUBLE_EQ(executor->nextTimerUptime(), 1001.0);

  executor->advance(0.999);
  EXPECT_TRUE(fired.empty());
  executor->advance(0.001);
  ASSERT_EQ(fired.size(), 2u);
  executor->advance(10);

  ASSERT_EQ(fired.size(), 4u);
  EXPECT_EQ(fired[0].name, "a1");
  EXPECT_EQ(fired[1].name, "a2");
  EXPECT_EQ(fired[2].name, "b");
  EXPECT_EQ(fired[3].name, "c");
  EXPECT_DOUBLE_EQ(fired[0].uptime, 1001.0);
  EXPECT_DOUBLE_EQ(fired[1].uptime, 1001.0);
  EXPECT_DOUBLE_EQ(fired[2].uptime, 1002.0);
  EXPECT_DOUBLE_EQ(fired[3].uptime, 1003.0);
  EXPECT_DOUBLE_EQ(uptime(), 1011.0);
  EXPECT_LT(executor->nextTimerUptime(), 0);
}

TEST_F(DeterministicDispatchTest, ExecutorTimersNeverFireEarlyAndCancelledOnesNever) {
  std::vector<std::pair<int, double>> fired;
  std::vector<Executor::TimerID> ids;
  for (int i = 0; i < 6; ++i) {
    const double delay = (i % 3) * 0.5;  // 0, 0.5, 1, 0, 0.5, 1
    ids.push_back(executor->postAfter(delay, [&, i] { fired.emplace_back(i, uptime()); }));
  }
  EXPECT_TRUE(executor->cancelTimer(ids[4]));
  EXPECT_FALSE(executor->cancelTimer(ids[4]));

  // Timers already due run without the clock moving.
  executor->runUntilIdle();
  ASSERT_EQ(fired.size(), 2u);
  EXPECT_EQ(fired[0].first, 0);
  EXPECT_EQ(fired[1].first, 3);
  EXPECT_DOUBLE_EQ(uptime(), 1000.0);

  executor->advance(2);
  const std::vector<int> expected = {0, 3, 1, 2, 5};
  ASSERT_EQ(fired.size(), expected.size());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_EQ(fired[k].first, expected[k]);
    EXPECT_DOUBLE_EQ(fired[k].second, 1000.0 + (expected[k] % 3) * 0.5);
  }
  EXPECT_FALSE(executor->cancelTimer(ids[1])) << "a fired timer cannot be cancelled";
}

TEST_F(DeterministicDispatchTest, CancelledDelayedBlockNeverRunsEvenOnceQueued) {
  auto queue = dispatch.createSerialQueue("delayed");
  int early = 0;
  int queued = 0;
  int kept = 0;
  DelayedBlock cancelledEarly = queue->asyncAfter(1, [&] { ++early; });
  EXPECT_TRUE(cancelledEarly.cancel());
  EXPECT_EQ(executor->pendingTimerCount(), 0u) << "cancel drops the timer";

  // Due while the queue is suspended: the block waits in the queue.
  queue->suspend();
  DelayedBlock cancelledLate = queue->asyncAfter(1, [&] { ++queued; });
  DelayedBlock keptBlock = queue->asyncAfter(1, [&] { ++kept; });
  executor->advance(1);
  EXPECT_EQ(executor->pendingTimerCount(), 0u);
  EXPECT_TRUE(cancelledLate.cancel());
  EXPECT_FALSE(cancelledLate.cancel());
  queue->resume();
  executor->runUntilIdle();

  EXPECT_EQ(early, 0);
  EXPECT_EQ(queued, 0);
  EXPECT_EQ(kept, 1);
  EXPECT_TRUE(cancelledLate.isCancelled());
  EXPECT_FALSE(keptBlock.cancel()) << "too late: it ran";
  EXPECT_FALSE(keptBlock.isCancelled());
}

TEST_F(DeterministicDispatchTest, RunUntilIdleRunsPoolAndMainTasksInPostOrderWithoutMovingTime) {
  std::vector<std::string> order;
  executor->post([&] { order.push_back("pool1"); });
  executor->postMain([&] { order.push_back("main1"); });
  executor->post([&] {
    order.push_back("pool2");
    executor->postMain([&] { order.push_back("main3"); });
  });
  executor->postMain([&] { order.push_back("main2"); });
  EXPECT_EQ(executor->runUntilIdle(), 5);
  const std::vector<std::string> expected = {"pool1", "main1", "pool2", "main2", "main3"};
  EXPECT_EQ(order, expected);
  EXPECT_DOUBLE_EQ(uptime(), 1000.0);
}

TEST_F(DeterministicDispatchTest, DrainMainRunsOnlyMainTasksAlreadyPosted) {
  int pool = 0;
  int main = 0;
  executor->post([&] { ++pool; });
  executor->postMain([&] {
    ++main;
    executor->postMain([&] { ++main; });
  });
  EXPECT_EQ(dispatch.drainMainQueue(), 1);
  EXPECT_EQ(main, 1);
  EXPECT_EQ(pool, 0);
  executor->runUntilIdle();
  EXPECT_EQ(main, 2);
  EXPECT_EQ(pool, 1);
}

TEST_F(DeterministicDispatchTest, SuspendedQueueReleasesBlocksInOrderAfterLastResume) {
  auto queue = dispatch.createSerialQueue("held");
  std::vector<int> order;
  queue->suspend();
  queue->suspend();
  for (int i = 0; i < 3; ++i) queue->async([&, i] { order.push_back(i); });
  executor->runUntilIdle();
  queue->resume();
  executor->runUntilIdle();
  EXPECT_TRUE(order.empty());
  EXPECT_TRUE(queue->isSuspended());
  queue->resume();
  EXPECT_FALSE(queue->isSuspended());
  executor->runUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST_F(DeterministicDispatchTest, BlockThatSuspendsItsQueueHoldsTheRest) {
  auto queue = dispatch.createSerialQueue("self-suspending");
  std::vector<int> order;
  queue->async([&] {
    order.push_back(0);
    queue->suspend();
  });
  queue->async([&] { order.push_back(1); });
  executor->runUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{0}));
  queue->resume();
  executor->runUntilIdle();
  EXPECT_EQ(order, (std::vector<int>{0, 1}));
}

TEST_F(DeterministicDispatchTest, BusyQueueYieldsToOtherQueuesAfterABatch) {
  auto busy = dispatch.createSerialQueue("busy");
  auto other = dispatch.createSerialQueue("other");
  std::vector<std::string> order;
  for (int i = 0; i < 40; ++i) busy->async([&] { order.push_back("busy"); });
  other->async([&] { order.push_back("other"); });
  executor->runUntilIdle();
  ASSERT_EQ(order.size(), 41u);
  const auto position = std::find(order.begin(), order.end(), "other") - order.begin();
  EXPECT_LT(position, 40) << "one queue must not hold the pool for all its blocks";
}

TEST_F(DeterministicDispatchTest, SyncOntoIdleQueueRunsPendingBlocksFirstOnThisThread) {
  auto target = dispatch.createSerialQueue("target");
  auto queue = dispatch.createSerialQueue("queue", target);
  std::vector<std::string> order;
  target->async([&] { order.push_back("target"); });
  for (int i = 0; i < 20; ++i) queue->async([&, i] { order.push_back(std::to_string(i)); });
  std::string labelInSync;
  queue->sync([&] {
    order.push_back("sync");
    labelInSync = currentQueueLabel();
  });
  // Everything ran inside `sync`, nothing is left for the executor.
  ASSERT_EQ(order.size(), 22u);
  EXPECT_EQ(order.front(), "target");
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i + 1], std::to_string(i));
  EXPECT_EQ(order.back(), "sync");
  EXPECT_EQ(labelInSync, "queue");
  executor->runUntilIdle();
  EXPECT_EQ(order.size(), 22u) << "no block runs twice";
}

TEST_F(DeterministicDispatchTest, CurrentQueueLabelAndMainThreadInsideBlocks) {
  auto target = dispatch.createSerialQueue("com.example.target");
  auto queue = dispatch.createSerialQueue("com.example.queue", target);
  struct Seen {
    std::string label;
    bool isMain = false;
    bool queueCurrent = false;
    bool targetCurrent = false;
  };
  auto observe = [&](Seen* seen) {
    return [&, seen] {
      seen->label = currentQueueLabel();
      seen->isMain = dispatch.isMainThread();
      seen->queueCurrent = queue->isCurrent();
      seen->targetCurrent = target->isCurrent();
    };
  };
  Seen inQueue, inTarget, inMain, inGlobal, inSync, inMainInQueue;
  queue->async(observe(&inQueue));
  target->async(observe(&inTarget));
  dispatch.mainQueue()->async(observe(&inMain));
  dispatch.globalQueue(QueuePriority::Background)->async(observe(&inGlobal));
  queue->async([&] { dispatch.mainQueue()->sync(observe(&inMainInQueue)); });
  queue->sync(observe(&inSync));
  executor->runUntilIdle();

  EXPECT_EQ(inQueue.label, "com.example.queue");
  EXPECT_FALSE(inQueue.isMain) << "all blocks run on the main thread here, yet only main counts";
  EXPECT_TRUE(inQueue.queueCurrent);
  EXPECT_TRUE(inQueue.targetCurrent);

  EXPECT_EQ(inTarget.label, "com.example.target");
  EXPECT_FALSE(inTarget.isMain);
  EXPECT_FALSE(inTarget.queueCurrent);
  EXPECT_TRUE(inTarget.targetCurrent);

  EXPECT_EQ(inMain.label, Dispatch::kMainQueueLabel);
  EXPECT_TRUE(inMain.isMain);
  EXPECT_EQ(inGlobal.label, Dispatch::kBackgroundQueueLabel);
  EXPECT_FALSE(inGlobal.isMain);
  EXPECT_EQ(inSync.label, "com.example.queue");
  EXPECT_FALSE(inSync.isMain);
  EXPECT_EQ(inMainInQueue.label, Dispatch::kMainQueueLabel);
  EXPECT_TRUE(inMainInQueue.isMain);

  EXPECT_EQ(currentQueueLabel(), "");
  EXPECT_TRUE(dispatch.isMainThread());
}

TEST_F(DeterministicDispatchTest, RunUntilIdleWaitsForExternalWorkToComplete) {
  auto queue = dispatch.createSerialQueue("network");
  std::atomic<bool> completed{false};
  executor->beginExternalWork();
  // Stands for a request whose completion arrives from an I/O thread.
  std::thread io([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    queue->async([&] { completed = true; });
    executor->endExternalWork();
  });
  executor->runUntilIdle(10);
  io.join();
  EXPECT_TRUE(completed.load());
}

TEST_F(DeterministicDispatchTest, ClockMovesOnlyWhenAdvanced) {
  clock->setNow(1767225600.0 - 86400);  // The wall clock is set back a day.
  EXPECT_DOUBLE_EQ(uptime(), 1000.0);
  int fired = 0;
  dispatch.createSerialQueue("q")->asyncAfter(5, [&] { ++fired; });
  executor->runUntilIdle();
  EXPECT_EQ(fired, 0);
  executor->advance(5);
  EXPECT_EQ(fired, 1);
  EXPECT_DOUBLE_EQ(uptime(), 1005.0);
  EXPECT_DOUBLE_EQ(clock->now(), 1767225600.0 - 86400 + 5);
}

using DeterministicDispatchDeathTest = DeterministicDispatchTest;

TEST_F(DeterministicDispatchDeathTest, SyncOntoTheCurrentQueueFromAnAsyncBlockIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = dispatch.createSerialQueue("worker");
  queue->async([&] { queue->sync([] {}); });
  EXPECT_DEATH(executor->runUntilIdle(), "\"worker\": sync from a block running on this queue");
}

TEST_F(DeterministicDispatchDeathTest, SyncOntoSuspendedQueueIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = dispatch.createSerialQueue("paused");
  queue->suspend();
  EXPECT_DEATH(queue->sync([] {}), "\"paused\": sync onto a suspended queue");
}

TEST_F(DeterministicDispatchDeathTest, SyncBackOntoAQueueWaitingInSyncIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto first = dispatch.createSerialQueue("first");
  auto second = dispatch.createSerialQueue("second");
  EXPECT_DEATH(first->sync([&] { second->sync([&] { first->sync([] {}); }); }),
               "\"first\": sync from a block running on this queue");
}

TEST_F(DeterministicDispatchDeathTest, ResumeWithoutSuspendIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = dispatch.createSerialQueue("balanced");
  queue->suspend();
  queue->resume();
  EXPECT_DEATH(queue->resume(), "\"balanced\": resume of a queue that is not suspended");
}

TEST_F(DeterministicDispatchDeathTest, ExternalWorkThatNeverEndsIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  executor->beginExternalWork();
  EXPECT_DEATH(executor->runUntilIdle(0.05), "external work still in flight");
  executor->endExternalWork();
}

}  // namespace
