// The engine's worker queue and the one way work reaches it.
//
// Every block scheduled here runs protected: a C++ exception thrown by the
// block is caught at the queue boundary and reported to the monitor
// (30000 for asynchronous blocks, 30003 for synchronous ones), never
// propagated into the host, and the queue goes on with the next block. A
// block ID ("TLMMeasurement:564") names the scheduling site in those
// reports and nowhere else.
//
// Thread-safe. The worker queue targets the global queue of background
// priority.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class DispatchQueue;

// Monitor codes.
inline constexpr long kTLMSchedulerCodeAsyncException = 30000;
inline constexpr long kTLMSchedulerCodeNotOnBackgroundThread = 30001;
inline constexpr long kTLMSchedulerCodeSyncNilBlock = 30002;
inline constexpr long kTLMSchedulerCodeSyncException = 30003;
inline constexpr long kTLMSchedulerCodeSyncFailed = 30004;
inline constexpr long kTLMSchedulerCodeAsyncNilBlock = 30005;

// The engine's worker queue label.
inline constexpr char kTLMWorkerQueueLabel[] = "com.tarvix.qlfa.worker";

class TLMScheduler {
 public:
  // A scheduler whose worker queue is labelled `label`. Needs the installed
  // Platform.
  static std::shared_ptr<TLMScheduler> initWithWorkerQueueLabel(const std::string& label);
  explicit TLMScheduler(const std::string& label);

  const std::shared_ptr<DispatchQueue>& workerQueue() const { return workerQueue_; }

  // Runs `block` later on the worker queue. An empty block logs 30005.
  void scheduleOnWorkerQueueBlockID(std::string_view blockID, std::function<void()> block);
  // Runs `block` on the worker queue and waits for it. Returns false when
  // the block is empty (30002) or did not finish (30004, after the
  // exception's own 30003). Never call it from the worker queue.
  [[nodiscard]] bool dispatchSyncOnWorkerQueueBlockID(std::string_view blockID,
                                                      const std::function<void()>& block);

  // False, logging level 1, 30001, when called on the main thread; work
  // that touches the database must not run there. An empty name is shown
  // as "<empty method name>".
  static bool checkOnBackgroundThreadWithMethodName(std::string_view methodName);

 private:
  std::shared_ptr<DispatchQueue> workerQueue_;
};
