// Queues, delayed blocks and timers on the deterministic executor: one
// thread, virtual time, no sleeping.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
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

constexpr double kWall = 1767225600.0;

class DeterministicDispatchTest : public testing::Test {
 protected:
  double uptime() const { return clock->uptime(); }

  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>(kWall, 1000.0);
  std::shared_ptr<DeterministicExecutor> executor = std::make_shared<DeterministicExecutor>(clock);
  Dispatch dispatch{executor};
};

TEST_F(DeterministicDispatchTest, DelayedBlocksFireInDueOrderOnUptimeWhateverTheWallClock) {
  clock->setNow(kWall - 86400);  // The wall clock is set back a day.
  auto queue = dispatch.createSerialQueue("timers");
  std::vector<std::pair<std::string, double>> fired;
  auto record = [&](std::string name) { return [&, name] { fired.emplace_back(name, uptime()); }; };
  queue->asyncAfter(3, record("c"));
  queue->asyncAfter(1, record("a1"));
  queue->asyncAfter(2, record("b"));
  queue->asyncAfter(1, record("a2"));
  EXPECT_EQ(executor->pendingTimerCount(), 4u);
  EXPECT_DOUBLE_EQ(executor->nextTimerUptime(), 1001.0);

  executor->runUntilIdle();
  executor->advance(0.999);
  EXPECT_TRUE(fired.empty());
  executor->advance(0.001);
  ASSERT_EQ(fired.size(), 2u);
  executor->advance(10);
  const std::vector<std::pair<std::string, double>> expected = {
      {"a1", 1001.0}, {"a2", 1001.0}, {"b", 1002.0}, {"c", 1003.0}};
  EXPECT_EQ(fired, expected);
  EXPECT_DOUBLE_EQ(uptime(), 1011.0);
  EXPECT_DOUBLE_EQ(clock->now(), kWall - 86400 + 11);
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
  EXPECT_EQ(fired, (std::vector<std::pair<int, double>>{{0, 1000.0}, {3, 1000.0}}));
  executor->advance(2);
  EXPECT_EQ(fired, (std::vector<std::pair<int, double>>{
                       {0, 1000.0}, {3, 1000.0}, {1, 1000.5}, {2, 1001.0}, {5, 1001.0}}));
  EXPECT_FALSE(executor->cancelTimer(ids[1])) << "a fired timer cannot be cancelled";
}

TEST_F(DeterministicDispatchTest, CancelledDelayedBlockNeverRunsEvenOnceQueued) {
  auto queue = dispatch.createSerialQueue("delayed");
  int early = 0, queued = 0, kept = 0;
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

  EXPECT_EQ(early + queued, 0);
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
  EXPECT_EQ(order, (std::vector<std::string>{"pool1", "main1", "pool2", "main2", "main3"}));
  EXPECT_DOUBLE_EQ(uptime(), 1000.0);
}

TEST_F(DeterministicDispatchTest, DrainMainRunsOnlyMainTasksAlreadyPosted) {
  int pool = 0, main = 0;
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
  queue->sync([&] { order.push_back("sync in " + currentQueueLabel()); });
  // Everything ran inside `sync`, nothing is left for the executor.
  ASSERT_EQ(order.size(), 22u);
  EXPECT_EQ(order.front(), "target");
  for (int i = 0; i < 20; ++i) EXPECT_EQ(order[i + 1], std::to_string(i));
  EXPECT_EQ(order.back(), "sync in queue");
  executor->runUntilIdle();
  EXPECT_EQ(order.size(), 22u) << "no block runs twice";
}

TEST_F(DeterministicDispatchTest, CurrentQueueLabelAndMainThreadInsideBlocks) {
  auto target = dispatch.createSerialQueue("com.example.target");
  auto queue = dispatch.createSerialQueue("com.example.queue", target);
  std::map<std::string, std::string> seen;
  // "<label> main=<0|1> queue=<0|1> target=<0|1>" by where the block was
  // sent; main blocks may run nested in a queue's sync, so only their label
  // and main flag count.
  auto observe = [&](const std::string& where) {
    return [&, where] {
      std::string& entry = seen[where];
      entry = currentQueueLabel() + " main=" + std::to_string(dispatch.isMainThread());
      if (where.rfind("main", 0) != 0) {
        entry += " queue=" + std::to_string(queue->isCurrent()) +
                 " target=" + std::to_string(target->isCurrent());
      }
    };
  };
  queue->async(observe("async"));
  target->async(observe("target"));
  dispatch.mainQueue()->async(observe("main"));
  dispatch.globalQueue(QueuePriority::Background)->async(observe("global"));
  queue->async([&] { dispatch.mainQueue()->sync(observe("main from queue")); });
  queue->sync(observe("sync"));
  executor->runUntilIdle();

  // Every block runs on the test thread here, yet only main blocks count
  // as main.
  const std::string global = Dispatch::kBackgroundQueueLabel;
  const std::string mainLabel = Dispatch::kMainQueueLabel;
  EXPECT_EQ(seen, (std::map<std::string, std::string>{
                      {"async", "com.example.queue main=0 queue=1 target=1"},
                      {"global", global + " main=0 queue=0 target=0"},
                      {"main", mainLabel + " main=1"},
                      {"main from queue", mainLabel + " main=1"},
                      {"sync", "com.example.queue main=0 queue=1 target=1"},
                      {"target", "com.example.target main=0 queue=0 target=1"},
                  }));
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

using DeterministicDispatchDeathTest = DeterministicDispatchTest;

TEST_F(DeterministicDispatchDeathTest, SyncThatWouldDeadlockIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = dispatch.createSerialQueue("worker");
  queue->async([&] { queue->sync([] {}); });
  EXPECT_DEATH(executor->runUntilIdle(), "\"worker\": sync from a block running on this queue");
  auto first = dispatch.createSerialQueue("first");
  auto second = dispatch.createSerialQueue("second");
  EXPECT_DEATH(first->sync([&] { second->sync([&] { first->sync([] {}); }); }),
               "\"first\": sync from a block running on this queue");
  auto paused = dispatch.createSerialQueue("paused");
  paused->suspend();
  EXPECT_DEATH(paused->sync([] {}), "\"paused\": sync onto a suspended queue");
}

TEST_F(DeterministicDispatchDeathTest, UnbalancedResumeAndEndlessExternalWorkAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto queue = dispatch.createSerialQueue("balanced");
  queue->suspend();
  queue->resume();
  EXPECT_DEATH(queue->resume(), "\"balanced\": resume of a queue that is not suspended");
  executor->beginExternalWork();
  EXPECT_DEATH(executor->runUntilIdle(0.05), "external work still in flight");
  executor->endExternalWork();
}

}  // namespace
