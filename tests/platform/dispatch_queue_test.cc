// Queues on the production executor: real pool threads, bounded waits.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Semaphore.h"
#include "platform/ThreadPoolExecutor.h"

namespace {

constexpr double kWaitSeconds = 10.0;
constexpr int kPoolThreads = 4;

// A count that threads raise and a test waits on, with a bounded wait.
class Counter {
 public:
  // Notifies under the lock: the waiter may destroy the counter once free.
  void add(int n = 1) {
    std::lock_guard<std::mutex> lock(mutex_);
    value_ += n;
    changed_.notify_all();
  }
  [[nodiscard]] bool waitFor(int target, double seconds = kWaitSeconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                             [&] { return value_ >= target; });
  }
  int value() {
    std::lock_guard<std::mutex> lock(mutex_);
    return value_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int value_ = 0;
};

class DispatchQueueTest : public testing::Test {
 protected:
  void TearDown() override {
    // A deadlocked pool cannot be joined; keep it alive rather than hang.
    if (HasFailure()) new std::shared_ptr<Executor>(executor);
  }

  // Runs the main loop on this (the main) thread until `done` holds.
  [[nodiscard]] bool runMainLoopUntil(const std::function<bool()>& done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kWaitSeconds);
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      executor->waitForMainWork(0.01);
      dispatch.drainMainQueue();
    }
    return true;
  }

  std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  std::shared_ptr<Executor> executor = makeThreadPoolExecutor(clock, kPoolThreads);
  Dispatch dispatch{executor};
};

TEST_F(DispatchQueueTest, SerialQueueRunsBlocksOneAtATimeInEachProducersOrder) {
  constexpr int kProducers = 4;
  constexpr int kBlocksEach = 400;
  auto queue = dispatch.createSerialQueue("serial");
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  // Written only by the queue's blocks: the queue must order them.
  std::vector<std::pair<int, int>> order;

  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < kBlocksEach; ++i) {
        queue->async([&, p, i] {
          if (running.fetch_add(1) != 0) overlapped = true;
          if (i % 16 == 0) std::this_thread::yield();
          order.emplace_back(p, i);
          running.fetch_sub(1);
        });
      }
    });
  }
  for (auto& producer : producers) producer.join();
  queue->sync([] {});

  EXPECT_FALSE(overlapped.load());
  ASSERT_EQ(order.size(), static_cast<std::size_t>(kProducers * kBlocksEach));
  std::vector<int> next(kProducers, 0);
  for (const auto& [producer, index] : order) {
    EXPECT_EQ(index, next[producer]) << "producer " << producer;
    next[producer] = index + 1;
  }
}

TEST_F(DispatchQueueTest, QueuesTargetingOneQueueNeverOverlapWithIt) {
  auto target = dispatch.createSerialQueue("target");
  auto first = dispatch.createSerialQueue("first", target);
  auto second = dispatch.createSerialQueue("second", target);
  std::atomic<int> running{0};
  std::atomic<bool> overlapped{false};
  Counter done;
  auto block = [&] {
    if (running.fetch_add(1) != 0) overlapped = true;
    std::this_thread::yield();
    running.fetch_sub(1);
    done.add();
  };
  for (int i = 0; i < 200; ++i) {
    first->async(block);
    second->async(block);
    target->async(block);
  }
  ASSERT_TRUE(done.waitFor(600));
  EXPECT_FALSE(overlapped.load());
}

TEST_F(DispatchQueueTest, SyncOntoBusyQueueFromAnotherQueueRunsAfterTheBusyBlock) {
  auto busy = dispatch.createSerialQueue("busy");
  auto caller = dispatch.createSerialQueue("caller");
  Counter started;
  Counter gate;
  Counter finished;
  std::atomic<bool> busyDone{false};
  bool sawBusyDone = false;
  std::thread::id callerThread;
  std::thread::id syncThread;
  std::string syncLabel;

  busy->async([&] {
    started.add();
    EXPECT_TRUE(gate.waitFor(1));
    busyDone = true;
  });
  ASSERT_TRUE(started.waitFor(1));
  caller->async([&] {
    callerThread = std::this_thread::get_id();
    gate.add();
    busy->sync([&] {
      sawBusyDone = busyDone.load();
      syncThread = std::this_thread::get_id();
      syncLabel = currentQueueLabel();
    });
    finished.add();
  });
  ASSERT_TRUE(finished.waitFor(1));
  caller->sync([] {});
  EXPECT_TRUE(sawBusyDone);
  EXPECT_EQ(syncThread, callerThread) << "sync runs the block on the calling thread";
  EXPECT_EQ(syncLabel, "busy");
}

TEST_F(DispatchQueueTest, SyncFromEveryBusyPoolThreadCompletes) {
  auto queue = dispatch.createSerialQueue("contended");
  auto global = dispatch.globalQueue(QueuePriority::Default);
  Counter arrived;
  Counter gate;
  Counter done;
  // Written only by blocks of `queue`.
  std::vector<std::string> order;

  for (int i = 0; i < kPoolThreads; ++i) {
    global->async([&, i] {
      arrived.add();
      EXPECT_TRUE(gate.waitFor(1));
      queue->sync([&, i] { order.push_back("sync" + std::to_string(i)); });
      done.add();
    });
  }
  // Every pool thread is now held, so the queue's drain cannot run.
  ASSERT_TRUE(arrived.waitFor(kPoolThreads));
  for (int i = 0; i < 10; ++i) {
    queue->async([&, i] { order.push_back("async" + std::to_string(i)); });
  }
  gate.add();
  ASSERT_TRUE(done.waitFor(kPoolThreads)) << "sync deadlocked on a full pool";
  queue->sync([] {});

  ASSERT_EQ(order.size(), 10u + kPoolThreads);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(order[i], "async" + std::to_string(i));
}

TEST_F(DispatchQueueTest, SuspendedQueueHoldsBlocksUntilResumedAsOftenAsSuspended) {
  auto queue = dispatch.createSerialQueue("suspended");
  std::atomic<int> ran{0};
  queue->suspend();
  queue->suspend();
  for (int i = 0; i < 5; ++i) queue->async([&] { ran.fetch_add(1); });
  // A block on another queue proves the pool is running meanwhile.
  auto other = dispatch.createSerialQueue("other");
  other->sync([] {});
  Counter probe;
  other->async([&] { probe.add(); });
  ASSERT_TRUE(probe.waitFor(1));
  queue->resume();
  EXPECT_TRUE(queue->isSuspended());
  EXPECT_EQ(ran.load(), 0);
  queue->resume();
  EXPECT_FALSE(queue->isSuspended());
  queue->sync([] {});
  EXPECT_EQ(ran.load(), 5);
}

TEST_F(DispatchQueueTest, LabelsFollowTheRunningBlockThroughTargets) {
  auto target =
      dispatch.createSerialQueue("outer", dispatch.globalQueue(QueuePriority::Background));
  auto inner = dispatch.createSerialQueue("inner", target);
  std::string innerLabel;
  bool targetCurrentInInner = false;
  bool innerCurrentInTarget = true;
  std::string globalLabel;
  inner->async([&] {
    innerLabel = currentQueueLabel();
    targetCurrentInInner = target->isCurrent() && inner->isCurrent();
  });
  target->async([&] { innerCurrentInTarget = inner->isCurrent(); });
  inner->sync([] {});
  target->sync([] {});
  Counter done;
  dispatch.globalQueue(QueuePriority::Default)->async([&] {
    globalLabel = currentQueueLabel();
    done.add();
  });
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_EQ(innerLabel, "inner");
  EXPECT_TRUE(targetCurrentInInner);
  EXPECT_FALSE(innerCurrentInTarget);
  EXPECT_EQ(globalLabel, Dispatch::kDefaultQueueLabel);
  EXPECT_EQ(currentQueueLabel(), "");
}

TEST_F(DispatchQueueTest, MainQueueRunsOnTheMainLoopAndCountsAsMain) {
  Counter done;
  bool poolIsMain = true;
  bool mainBlockIsMain = false;
  std::thread::id mainBlockThread;
  std::thread::id syncThread;
  std::string syncLabel;
  dispatch.globalQueue(QueuePriority::Default)->async([&] {
    poolIsMain = dispatch.isMainThread();
    dispatch.mainQueue()->async([&] {
      mainBlockIsMain = dispatch.isMainThread();
      mainBlockThread = std::this_thread::get_id();
    });
    // Waits for the main loop to run it.
    dispatch.mainQueue()->sync([&] {
      syncThread = std::this_thread::get_id();
      syncLabel = currentQueueLabel();
    });
    done.add();
  });
  ASSERT_TRUE(runMainLoopUntil([&] { return done.value() == 1; }));
  EXPECT_FALSE(poolIsMain);
  EXPECT_TRUE(mainBlockIsMain);
  EXPECT_EQ(mainBlockThread, std::this_thread::get_id());
  EXPECT_EQ(syncThread, std::this_thread::get_id());
  EXPECT_EQ(syncLabel, Dispatch::kMainQueueLabel);
  EXPECT_TRUE(dispatch.isMainThread());
}

TEST_F(DispatchQueueTest, DelayedBlockWaitsItsDelayAndCancelledOneNeverRuns) {
  auto queue = dispatch.createSerialQueue("delayed");
  Counter done;
  std::atomic<bool> cancelledRan{false};
  double ranAt = 0;
  const double start = clock->uptime();
  DelayedBlock cancelled = queue->asyncAfter(0.02, [&] { cancelledRan = true; });
  queue->asyncAfter(0.05, [&] {
    ranAt = clock->uptime();
    done.add();
  });
  EXPECT_TRUE(cancelled.cancel());
  ASSERT_TRUE(done.waitFor(1));
  queue->sync([] {});
  EXPECT_GE(ranAt - start, 0.05);
  EXPECT_FALSE(cancelledRan.load());
  EXPECT_TRUE(cancelled.isCancelled());
}

TEST_F(DispatchQueueTest, SemaphoreTimesOutInRealTimeAndWakesOnSignal) {
  Semaphore semaphore(executor);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(semaphore.wait(0.05));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

  auto queue = dispatch.createSerialQueue("signaller");
  queue->async([&] { semaphore.signal(); });
  EXPECT_TRUE(semaphore.wait(kWaitSeconds));
  // One signal, one successful wait.
  EXPECT_FALSE(semaphore.wait(0));

  // A waiter may destroy the semaphore as soon as it wakes, while the
  // signalling thread is still inside `signal`.
  for (int i = 0; i < 200; ++i) {
    auto shortLived = std::make_unique<Semaphore>(executor);
    Semaphore* raw = shortLived.get();
    queue->async([raw] { raw->signal(); });
    ASSERT_TRUE(shortLived->wait(kWaitSeconds));
  }
}

using DispatchQueueDeathTest = DispatchQueueTest;

TEST_F(DispatchQueueDeathTest, SyncOntoTheCurrentQueueOrItsTargetIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto target = dispatch.createSerialQueue("target");
  auto queue = dispatch.createSerialQueue("self", target);
  EXPECT_DEATH(queue->sync([&] { queue->sync([] {}); }),
               "ferrolux: fatal: DispatchQueue \"self\": sync from a block running on this "
               "queue would deadlock");
  EXPECT_DEATH(queue->sync([&] { target->sync([] {}); }), "\"target\": sync .* would deadlock");
}

}  // namespace
