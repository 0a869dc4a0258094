// The executor of the deterministic test mode. Everything runs on the
// thread that calls `runUntilIdle` or `advance` (the main thread: the one
// that created the executor); time is a FakeClock that moves only through
// `advance` (or a semaphore wait that times out). Other threads (a network
// client's I/O) may post at any time; while they have work in flight,
// `runUntilIdle` waits for it instead of calling the system idle.
//
// Pool tasks and main tasks run in the order they were posted. Timers fire
// in order of due time, equal due times in the order they were set, each at
// its own time with the clock set to it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/Clock.h"
#include "platform/Executor.h"

class DeterministicExecutor final : public Executor {
 public:
  // How long (real time) `runUntilIdle` waits for work in flight by default.
  static constexpr double kDefaultMaxExternalWaitSeconds = 30.0;

  explicit DeterministicExecutor(std::shared_ptr<FakeClock> clock);
  ~DeterministicExecutor() override;

  void post(Block task) override;
  void postMain(Block task) override;
  TimerID postAfter(double delaySeconds, Block task) override;
  bool cancelTimer(TimerID id) override;
  void beginExternalWork() override;
  void endExternalWork() override;
  // Runs main tasks already posted (not pool tasks).
  int drainMain() override;
  void waitForMainWork(double) override {}
  bool isDeterministic() const override { return true; }
  const Clock& clock() const override { return *clock_; }
  // Runs ready tasks and timers already due until `done` holds, waiting for
  // work in flight; then fires timers up to `deadlineUptime` (moving the
  // clock to each) while `done` does not hold. When `done` still does not
  // hold at the end and the deadline is finite, the clock is moved to the
  // deadline: the wait took its full time. An infinite deadline never moves
  // the clock. Call on the main thread.
  bool runUntil(const std::function<bool()>& done, double deadlineUptime) override;
  void setMainThreadToCurrent() override;
  bool isMainThreadCurrent() const override;

  // Runs pool and main tasks, and timers already due, until none is left
  // and no external work is in flight. Does not move the clock. Returns the
  // number of tasks run. Waits at most `maxRealSecondsForExternalWork` for
  // work in flight to post or finish, then aborts: a test that hangs is
  // worse than one that fails. Call on the main thread.
  int runUntilIdle(double maxRealSecondsForExternalWork = kDefaultMaxExternalWaitSeconds);
  // Runs one ready task, first waiting (real time, at most `maxRealSeconds`)
  // for work in flight to post one when none is ready. False when none
  // came. Does not move the clock. For stopping a process life part-way
  // through. Call on the main thread.
  bool runOneTask(double maxRealSeconds = kDefaultMaxExternalWaitSeconds);
  // Moves the clock forward by `seconds`, firing due timers in order, each
  // at its own time and each followed by `runUntilIdle`.
  void advance(double seconds);
  // The uptime of the earliest pending timer, or a negative number.
  double nextTimerUptime() const;
  std::size_t pendingTimerCount() const;
  FakeClock& fakeClock() { return *clock_; }

 private:
  using TimerKey = std::pair<double, std::uint64_t>;

  bool runOneReady();
  // Fires the earliest timer due at or before max(`uptime`, now), moving the
  // clock to its due time; returns false when there is none.
  bool fireNextTimerUpTo(double uptime);
  // Waits (real time) until a task is posted or external work ends. Returns
  // false when `seconds` passed first.
  bool waitForExternal(double seconds);

  std::shared_ptr<FakeClock> clock_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Each task carries its post sequence so that pool and main tasks run in
  // the order they were posted.
  std::deque<std::pair<std::uint64_t, Block>> ready_;
  std::deque<std::pair<std::uint64_t, Block>> main_;
  std::uint64_t nextPostSequence_ = 0;
  // (fire uptime, sequence) -> (id, task).
  std::map<TimerKey, std::pair<TimerID, Block>> timers_;
  std::unordered_map<TimerID, TimerKey> timerKeys_;
  std::uint64_t nextTimerSequence_ = 0;
  TimerID nextTimerID_ = 1;
  int externalWork_ = 0;
  std::atomic<std::thread::id> mainThread_;
};
