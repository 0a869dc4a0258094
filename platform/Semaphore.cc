#include "platform/Semaphore.h"

#include <chrono>
#include <cmath>

#include "platform/Clock.h"

Semaphore::Semaphore(std::shared_ptr<Executor> executor, long initialValue)
    : executor_(std::move(executor)), value_(initialValue) {}

// Notifies under the lock: a waiter that wakes may destroy the semaphore
// as soon as the lock is free.
void Semaphore::signal() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++value_;
  signalled_.notify_one();
}

bool Semaphore::tryTake() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (value_ <= 0) return false;
  --value_;
  return true;
}

bool Semaphore::wait(double timeoutSeconds) {
  if (std::isnan(timeoutSeconds) || timeoutSeconds < 0) timeoutSeconds = 0;
  const bool infinite = std::isinf(timeoutSeconds);
  if (executor_->isDeterministic() && executor_->isMainThreadCurrent()) {
    // The signal can only come from work this thread runs (or from work in
    // flight on another thread): run it instead of blocking.
    const double deadline = executor_->clock().uptime() + timeoutSeconds;
    executor_->runUntil(
        [this] {
          std::lock_guard<std::mutex> lock(mutex_);
          return value_ > 0;
        },
        deadline);
    if (tryTake()) return true;
    if (infinite) platformFatal("Semaphore: wait without timeout can never be signalled");
    return false;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  auto available = [this] { return value_ > 0; };
  if (infinite) {
    signalled_.wait(lock, available);
  } else if (!signalled_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), available)) {
    return false;
  }
  --value_;
  return true;
}
