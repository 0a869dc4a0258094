// The production executor: a fixed pool of worker threads, one timer thread
// that hands due timers to the pool, and the list of main tasks that the
// host's main loop drains. Threads start on construction and are joined on
// destruction (the process-wide executor is never destroyed). Pending tasks
// are dropped on destruction. Every member is thread-safe.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Executor.h"

class ThreadPoolExecutor final : public Executor {
 public:
  static constexpr int kDefaultThreadCount = 4;

  ThreadPoolExecutor(std::shared_ptr<Clock> clock, int threadCount = kDefaultThreadCount);
  ~ThreadPoolExecutor() override;
  ThreadPoolExecutor(const ThreadPoolExecutor&) = delete;
  ThreadPoolExecutor& operator=(const ThreadPoolExecutor&) = delete;

  void post(Block task) override;
  void postMain(Block task) override;
  TimerID postAfter(double delaySeconds, Block task) override;
  bool cancelTimer(TimerID id) override;
  // Nothing to count: completions arrive on their own.
  void beginExternalWork() override {}
  void endExternalWork() override {}
  int drainMain() override;
  void waitForMainWork(double maxSeconds) override;
  bool isDeterministic() const override { return false; }
  const Clock& clock() const override;
  bool runUntil(const std::function<bool()>& done, double deadlineUptime) override;
  void setMainThreadToCurrent() override;
  bool isMainThreadCurrent() const override;

  int threadCount() const { return threadCount_; }

 private:
  // Shared with the threads, so that a thread that ends up destroying the
  // executor (by dropping the last reference inside a task) can finish its
  // loop safely after being detached.
  struct Core;
  std::shared_ptr<Core> core_;
  std::vector<std::thread> threads_;
  const int threadCount_;
};
