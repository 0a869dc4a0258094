#include "platform/DispatchQueue.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// A drain task runs at most this many blocks, then posts itself again, so
// that one busy queue cannot hold a pool thread while other queues wait.
constexpr int kDrainBatch = 16;

// The queues whose blocks the calling thread is running, outermost first.
// A queue that targets another runs its blocks inside a block of the
// target, so both are on the stack.
thread_local std::vector<const DispatchQueue*> tCurrentQueues;

class CurrentQueueScope {
 public:
  explicit CurrentQueueScope(const DispatchQueue* queue) { tCurrentQueues.push_back(queue); }
  ~CurrentQueueScope() { tCurrentQueues.pop_back(); }
  CurrentQueueScope(const CurrentQueueScope&) = delete;
  CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;
};

[[noreturn]] void fatalForQueue(const std::string& label, const char* what) {
  const std::string message = "DispatchQueue \"" + label + "\": " + what;
  platformFatal(message.c_str());
}

// Phases of a delayed block; the one compare-and-swap from Pending decides
// between running and cancelling.
enum : int { kDelayedPending = 0, kDelayedStarted = 1, kDelayedCancelled = 2 };

}  // namespace

struct DelayedBlock::State {
  std::atomic<int> phase{kDelayedPending};
  std::atomic<Executor::TimerID> timer{0};
  std::weak_ptr<Executor> executor;
};

bool DelayedBlock::cancel() {
  if (!state_) return false;
  int expected = kDelayedPending;
  if (!state_->phase.compare_exchange_strong(expected, kDelayedCancelled)) return false;
  // Drops the pending timer and what it holds. When the timer has already
  // fired, the block finds itself cancelled in the queue.
  const Executor::TimerID timer = state_->timer.load();
  if (timer != 0) {
    if (auto executor = state_->executor.lock()) executor->cancelTimer(timer);
  }
  return true;
}

bool DelayedBlock::isCancelled() const {
  return state_ && state_->phase.load() == kDelayedCancelled;
}

DispatchQueue::DispatchQueue(std::shared_ptr<Executor> executor, std::string label, Kind kind,
                             std::shared_ptr<DispatchQueue> target)
    : executor_(executor),
      executorPtr_(executor.get()),
      label_(std::move(label)),
      kind_(kind),
      target_(kind == Kind::Serial ? std::move(target) : nullptr) {}

DispatchQueue::~DispatchQueue() = default;

const DispatchQueue* DispatchQueue::current() {
  return tCurrentQueues.empty() ? nullptr : tCurrentQueues.back();
}

bool DispatchQueue::isCurrent() const {
  return std::find(tCurrentQueues.begin(), tCurrentQueues.end(), this) != tCurrentQueues.end();
}

std::string currentQueueLabel() {
  const DispatchQueue* queue = DispatchQueue::current();
  return queue ? queue->label() : std::string();
}

void DispatchQueue::runBlock(const Block& block) {
  CurrentQueueScope scope(this);
  block();
}

void DispatchQueue::async(Block block) {
  if (kind_ == Kind::Concurrent) {
    auto executor = executor_.lock();
    if (!executor) return;
    executor->post(
        [self = shared_from_this(), block = std::move(block)] { self->runBlock(block); });
    return;
  }
  bool post;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(Item{std::move(block), nullptr});
    post = !owned_ && suspendCount_ == 0 && markDrainLocked();
  }
  if (post) postDrain();
}

void DispatchQueue::postDrain() {
  Block task = [self = shared_from_this()] { self->drain(); };
  if (target_) {
    target_->async(std::move(task));
    return;
  }
  auto executor = executor_.lock();
  if (!executor) return;
  if (kind_ == Kind::Main) {
    executor->postMain(std::move(task));
  } else {
    executor->post(std::move(task));
  }
}

bool DispatchQueue::markDrainLocked() {
  if (drainScheduled_) return false;
  drainScheduled_ = true;
  return true;
}

void DispatchQueue::grantLocked(SyncWaiter* waiter) {
  owned_ = true;
  ownerThread_ = waiter->thread;
  waiter->granted = true;
  handedOver_.notify_all();
}

// Called when nobody owns the queue. A sync waiter at the front gets the
// queue at once; otherwise blocks wait for a drain task.
bool DispatchQueue::startNextLocked() {
  if (suspendCount_ > 0 || items_.empty()) return false;
  if (SyncWaiter* waiter = items_.front().waiter) {
    items_.pop_front();
    grantLocked(waiter);
    return false;
  }
  return markDrainLocked();
}

bool DispatchQueue::releaseOwnershipLocked() {
  owned_ = false;
  ownerThread_ = std::thread::id();
  return startNextLocked();
}

DispatchQueue::RunResult DispatchQueue::runItems(std::unique_lock<std::mutex>& lock,
                                                 SyncWaiter* stopAt, int maxBlocks) {
  int ran = 0;
  while (true) {
    if (suspendCount_ > 0 || items_.empty()) {
      owned_ = false;
      ownerThread_ = std::thread::id();
      return RunResult::Stopped;
    }
    if (SyncWaiter* waiter = items_.front().waiter) {
      items_.pop_front();
      if (waiter == stopAt) {
        waiter->granted = true;
        return RunResult::ReachedStop;
      }
      grantLocked(waiter);
      return RunResult::HandedOver;
    }
    if (ran == maxBlocks) return RunResult::BatchDone;
    Block block = std::move(items_.front().block);
    items_.pop_front();
    lock.unlock();
    runBlock(block);
    block = nullptr;  // Captures are released outside the lock.
    lock.lock();
    ++ran;
  }
}

void DispatchQueue::drain() {
  bool post;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    drainScheduled_ = false;
    if (owned_ || suspendCount_ > 0 || items_.empty()) return;
    owned_ = true;
    ownerThread_ = std::this_thread::get_id();
    if (runItems(lock, nullptr, kDrainBatch) != RunResult::BatchDone) return;
    post = releaseOwnershipLocked();
  }
  if (post) postDrain();
}

void DispatchQueue::sync(const Block& block) {
  if (kind_ == Kind::Concurrent) {
    runBlock(block);
    return;
  }
  if (isCurrent()) fatalForQueue(label_, "sync from a block running on this queue would deadlock");
  if (kind_ == Kind::Main && !executorPtr_->isMainThreadCurrent()) {
    syncOnMainThread(block);
    return;
  }
  if (target_) {
    // Blocks of this queue run inside blocks of the target: hold both.
    target_->sync([this, &block] { syncLocal(block); });
    return;
  }
  syncLocal(block);
}

void DispatchQueue::syncLocal(const Block& block) {
  const std::thread::id me = std::this_thread::get_id();
  // In deterministic mode the main thread runs every block: waiting there
  // for anything but another thread would never end.
  const bool drivingThread = executorPtr_->isDeterministic() && executorPtr_->isMainThreadCurrent();
  SyncWaiter waiter{me};
  std::unique_lock<std::mutex> lock(mutex_);
  if (owned_ && ownerThread_ == me) {
    fatalForQueue(label_, "sync from the thread that runs this queue would deadlock");
  }
  if (drivingThread && suspendCount_ > 0) {
    fatalForQueue(label_, "sync onto a suspended queue would wait forever in deterministic mode");
  }
  items_.push_back(Item{Block(), &waiter});
  if (!owned_ && suspendCount_ == 0) {
    // Nobody runs the queue: run what is ahead of us here rather than wait
    // for a pool thread that may never come free.
    owned_ = true;
    ownerThread_ = me;
    runItems(lock, &waiter, -1);
  }
  if (!waiter.granted) {
    if (drivingThread && (suspendCount_ > 0 || !owned_)) {
      fatalForQueue(label_,
                    "sync onto a queue suspended by an earlier block would wait forever in "
                    "deterministic mode");
    }
    handedOver_.wait(lock, [&] { return waiter.granted; });
  }
  lock.unlock();
  runBlock(block);
  lock.lock();
  const bool post = releaseOwnershipLocked();
  lock.unlock();
  if (post) postDrain();
}

void DispatchQueue::syncOnMainThread(const Block& block) {
  struct Done {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
  };
  auto done = std::make_shared<Done>();
  async([&block, done] {
    block();
    std::lock_guard<std::mutex> lock(done->mutex);
    done->done = true;
    done->changed.notify_all();
  });
  std::unique_lock<std::mutex> lock(done->mutex);
  done->changed.wait(lock, [&] { return done->done; });
}

DelayedBlock DispatchQueue::asyncAfter(double delaySeconds, Block block) {
  DelayedBlock handle;
  auto executor = executor_.lock();
  if (!executor) return handle;
  auto state = std::make_shared<DelayedBlock::State>();
  state->executor = executor;
  handle.state_ = state;
  const Executor::TimerID timer = executor->postAfter(
      delaySeconds, [self = shared_from_this(), state, block = std::move(block)]() mutable {
        if (state->phase.load() != kDelayedPending) return;
        self->async([state, block = std::move(block)] {
          int expected = kDelayedPending;
          if (state->phase.compare_exchange_strong(expected, kDelayedStarted)) block();
        });
      });
  state->timer.store(timer);
  return handle;
}

void DispatchQueue::suspend() {
  if (kind_ == Kind::Concurrent) return;
  std::lock_guard<std::mutex> lock(mutex_);
  ++suspendCount_;
}

void DispatchQueue::resume() {
  if (kind_ == Kind::Concurrent) return;
  bool post = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (suspendCount_ == 0) fatalForQueue(label_, "resume of a queue that is not suspended");
    --suspendCount_;
    if (suspendCount_ == 0 && !owned_) post = startNextLocked();
  }
  if (post) postDrain();
}

bool DispatchQueue::isSuspended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return suspendCount_ > 0;
}
