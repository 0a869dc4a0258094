#include "platform/OneShotTimer.h"

#include <cstdint>

struct OneShotTimer::Shared {
  explicit Shared(Block block) : block(std::move(block)) {}

  mutable std::mutex mutex;
  const Block block;
  DelayedBlock pending;
  // Each schedule gets a new generation; a run that started just as it was
  // replaced or cancelled sees a newer generation and does nothing.
  std::uint64_t generation = 0;
  bool scheduled = false;
};

OneShotTimer::OneShotTimer(std::shared_ptr<DispatchQueue> queue, Block block)
    : queue_(std::move(queue)), shared_(std::make_shared<Shared>(std::move(block))) {}

OneShotTimer::~OneShotTimer() { cancel(); }

void OneShotTimer::schedule(double delaySeconds) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->pending.cancel();
  const std::uint64_t generation = ++shared_->generation;
  shared_->scheduled = true;
  std::weak_ptr<Shared> weak = shared_;
  shared_->pending = queue_->asyncAfter(delaySeconds, [weak, generation] {
    auto shared = weak.lock();
    if (!shared) return;
    {
      std::lock_guard<std::mutex> runLock(shared->mutex);
      if (shared->generation != generation || !shared->scheduled) return;
      shared->scheduled = false;
    }
    shared->block();
  });
}

void OneShotTimer::cancel() {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  shared_->pending.cancel();
  shared_->pending = DelayedBlock();
  ++shared_->generation;
  shared_->scheduled = false;
}

bool OneShotTimer::isScheduled() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->scheduled;
}
