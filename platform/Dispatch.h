// The dispatch service of a Platform: creates serial queues and hands out
// the main queue and the global concurrent queues, all on one Executor.
// Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "platform/DispatchQueue.h"
#include "platform/Executor.h"

class Dispatch {
 public:
  // The labels the original platform gives its own queues.
  static constexpr const char* kMainQueueLabel = "com.apple.main-thread";
  static constexpr const char* kDefaultQueueLabel = "com.apple.root.default-qos";
  static constexpr const char* kBackgroundQueueLabel = "com.apple.root.background-qos";

  explicit Dispatch(std::shared_ptr<Executor> executor);

  // A serial queue; `target` null means the pool directly.
  std::shared_ptr<DispatchQueue> createSerialQueue(const std::string& label,
                                                   std::shared_ptr<DispatchQueue> target = nullptr);
  std::shared_ptr<DispatchQueue> mainQueue() const { return main_; }
  std::shared_ptr<DispatchQueue> globalQueue(QueuePriority priority) const;

  // True on the main thread outside blocks of any queue but the main queue.
  // Blocks of other queues never count as main, even when they run on the
  // main thread (always, in deterministic mode; a `sync` from the main
  // thread).
  bool isMainThread() const;

  Executor& executor() const { return *executor_; }
  std::shared_ptr<Executor> sharedExecutor() const { return executor_; }

  // The host's main loop: runs main-queue blocks already queued and
  // returns how many tasks ran. Call on the main thread.
  int drainMainQueue();

 private:
  std::shared_ptr<Executor> executor_;
  std::shared_ptr<DispatchQueue> main_;
  std::shared_ptr<DispatchQueue> background_;
  std::shared_ptr<DispatchQueue> default_;
};
