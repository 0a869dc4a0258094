// Serial dispatch queues, the global concurrent queues and the main queue.
//
// A serial queue runs its blocks one at a time in the order they were
// added, on pool threads (or as blocks of its target queue). `sync` runs
// the block on the calling thread once the queue is free, so that a small
// pool cannot deadlock: a caller that finds the queue idle with blocks
// still waiting for a pool thread runs those blocks itself first. A `sync`
// onto a queue that the calling thread is already running would never
// return; it calls platformFatal instead, as does, in deterministic mode, a
// `sync` that could only wait forever (the queue is suspended).
//
// The main queue is serial and runs its blocks on the host's main loop; a
// `sync` onto it from another thread waits for the main loop to run the
// block. A concurrent (global) queue runs each block on the pool at once;
// `sync` onto it runs the block inline, and suspend/resume are ignored.
//
// Queues hold their executor weakly: work handed to a queue whose executor
// (its Platform) is gone is dropped. Every member is thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/Executor.h"

enum class QueuePriority : int { Background = -32768, Default = 0 };

// A block scheduled to run later; `cancel` makes sure it never runs, even
// when its time has come and it waits in its queue.
class DelayedBlock {
 public:
  DelayedBlock() = default;
  // Returns true when the block had not started yet (it now never will).
  bool cancel();
  bool isCancelled() const;
  bool isValid() const { return state_ != nullptr; }

 private:
  friend class DispatchQueue;
  struct State;
  std::shared_ptr<State> state_;
};

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
 public:
  enum class Kind { Serial, Concurrent, Main };

  // Use Dispatch::createSerialQueue, mainQueue or globalQueue. Queues must
  // be owned by a shared_ptr.
  DispatchQueue(std::shared_ptr<Executor> executor, std::string label, Kind kind,
                std::shared_ptr<DispatchQueue> target);
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  const std::string& label() const { return label_; }
  Kind kind() const { return kind_; }
  const std::shared_ptr<DispatchQueue>& target() const { return target_; }

  void async(Block block);
  // Runs `block` on the calling thread once every block added before it
  // has run and the queue is free (on the main thread for the main queue).
  void sync(const Block& block);
  // Adds `block` after `delaySeconds` of uptime; cancellable until it runs.
  // The pending block holds the queue.
  DelayedBlock asyncAfter(double delaySeconds, Block block);

  // A suspended queue starts no new block until resumed as many times as
  // it was suspended; blocks keep their order. A block already running
  // finishes. Resuming a queue that is not suspended is fatal.
  void suspend();
  void resume();
  bool isSuspended() const;

  // True while the calling thread runs a block of this queue (directly or
  // through a queue that targets it).
  bool isCurrent() const;
  // The queue whose block the calling thread runs, innermost first; null
  // off any queue. Valid only while that block runs.
  static const DispatchQueue* current();

  // The executor must outlive the use of this reference.
  Executor& executor() const { return *executorPtr_; }

 private:
  struct SyncWaiter {
    std::thread::id thread;
    bool granted = false;
  };
  struct Item {
    Block block;
    SyncWaiter* waiter = nullptr;
  };
  enum class RunResult {
    ReachedStop,  // Reached `stopAt`; ownership stays with the caller.
    HandedOver,   // Ownership given to another thread's sync waiter.
    Stopped,      // Empty or suspended; ownership released.
    BatchDone,    // Ran `maxBlocks`; ownership stays with the caller.
  };

  void postDrain();
  void drain();
  RunResult runItems(std::unique_lock<std::mutex>& lock, SyncWaiter* stopAt, int maxBlocks);
  void runBlock(const Block& block);
  // The helpers below return true when the caller must post a drain once
  // it has released the lock.
  bool markDrainLocked();
  bool startNextLocked();
  bool releaseOwnershipLocked();
  void grantLocked(SyncWaiter* waiter);
  void syncLocal(const Block& block);
  void syncOnMainThread(const Block& block);

  const std::weak_ptr<Executor> executor_;
  Executor* const executorPtr_;
  const std::string label_;
  const Kind kind_;
  const std::shared_ptr<DispatchQueue> target_;

  mutable std::mutex mutex_;
  std::condition_variable handedOver_;
  std::deque<Item> items_;
  // Some thread runs the queue: a drain task or a sync caller.
  bool owned_ = false;
  std::thread::id ownerThread_;
  bool drainScheduled_ = false;
  int suspendCount_ = 0;
};

// The label of the calling thread's current queue (the innermost one);
// "" off any queue.
std::string currentQueueLabel();
