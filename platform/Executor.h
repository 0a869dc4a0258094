// Where queued work actually runs. Queues never own threads: they hand
// their drain tasks to an Executor. The production executor is a small
// process-wide pool of worker threads plus a timer thread; the
// deterministic executor runs everything on the thread that drives it,
// against a virtual clock. Every member is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class Clock;

using Block = std::function<void()>;

class Executor {
 public:
  using TimerID = std::uint64_t;

  virtual ~Executor() = default;

  // Runs `task` soon on a worker (pool) thread.
  virtual void post(Block task) = 0;
  // Runs `task` on the host's main loop (the main thread).
  virtual void postMain(Block task) = 0;
  // Posts `task` to the pool once `delaySeconds` of uptime have passed.
  // Timers due at the same uptime fire in the order they were set.
  virtual TimerID postAfter(double delaySeconds, Block task) = 0;
  // Returns true when the timer had not fired yet; it then never fires.
  virtual bool cancelTimer(TimerID id) = 0;

  // Work in flight outside the executor, such as a network request whose
  // completion will be posted later. The deterministic executor counts it
  // as work not yet done.
  virtual void beginExternalWork() = 0;
  virtual void endExternalWork() = 0;

  // Runs main-queue tasks already posted. Returns the number run.
  // Called by the host's main loop on the main thread.
  virtual int drainMain() = 0;
  // Blocks the main thread until a main task is posted or `maxSeconds` of
  // real time pass. The deterministic executor never blocks.
  virtual void waitForMainWork(double maxSeconds) = 0;

  virtual bool isDeterministic() const = 0;
  virtual const Clock& clock() const = 0;

  // Deterministic mode only: runs ready work until `done` holds or nothing
  // is left to run (timers may be fired up to `deadlineUptime`, moving the
  // virtual clock; a wait that ends unmet leaves the clock at a finite
  // deadline). Used by semaphores so that a wait on the driving thread
  // makes progress instead of blocking. Returns `done()` at the end. The
  // production executor returns `done()` at once.
  virtual bool runUntil(const std::function<bool()>& done, double deadlineUptime) = 0;

  // The main thread: the thread that created the executor unless set.
  virtual void setMainThreadToCurrent() = 0;
  virtual bool isMainThreadCurrent() const = 0;
};

// Prints `message` to stderr and aborts. Used for programming errors that
// would otherwise hang the process (a deadlocking `sync`).
[[noreturn]] void platformFatal(const char* message);

// The production executor: `threadCount` pool threads and one timer
// thread, all started on construction and joined on destruction.
std::shared_ptr<Executor> makeThreadPoolExecutor(std::shared_ptr<Clock> clock, int threadCount = 4);
