// A counting semaphore with a timed wait. In deterministic mode a wait on
// the driving thread runs queued work (and fires timers up to the
// deadline, moving the virtual clock; a wait that times out leaves the
// clock at its deadline) instead of blocking. Thread-safe.
#pragma once

#include <condition_variable>
#include <limits>
#include <memory>
#include <mutex>

#include "platform/Executor.h"

class Semaphore {
 public:
  Semaphore(std::shared_ptr<Executor> executor, long initialValue = 0);

  void signal();
  // Returns false when `timeoutSeconds` passed without a signal.
  // An infinite timeout that cannot be met in deterministic mode is fatal.
  [[nodiscard]] bool wait(double timeoutSeconds = std::numeric_limits<double>::infinity());

 private:
  bool tryTake();

  std::shared_ptr<Executor> executor_;
  std::mutex mutex_;
  std::condition_variable signalled_;
  long value_;
};
