// A timer that runs a block once on a queue after a delay of uptime.
// Scheduling again replaces the pending run. The pending run holds the
// queue but not the timer: destroying the timer cancels it. A run that has
// already started on another thread is not waited for. Thread-safe.
#pragma once

#include <memory>
#include <mutex>

#include "platform/DispatchQueue.h"

class OneShotTimer {
 public:
  OneShotTimer(std::shared_ptr<DispatchQueue> queue, Block block);
  ~OneShotTimer();
  OneShotTimer(const OneShotTimer&) = delete;
  OneShotTimer& operator=(const OneShotTimer&) = delete;

  void schedule(double delaySeconds);
  void cancel();
  // True from `schedule` until the block starts or the timer is cancelled.
  bool isScheduled() const;

 private:
  struct Shared;
  std::shared_ptr<DispatchQueue> queue_;
  std::shared_ptr<Shared> shared_;
};
