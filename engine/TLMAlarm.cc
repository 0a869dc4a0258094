#include "engine/TLMAlarm.h"

#include <mutex>
#include <utility>

#include "engine/TLMMeasurement.h"
#include "platform/Clock.h"
#include "platform/OneShotTimer.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelWarning = 4;
constexpr int kLevelDebug = 7;

}  // namespace

struct TLMAlarm::State {
  explicit State(std::string name) : name(std::move(name)) {}

  const std::string name;
  mutable std::mutex mutex;
  std::unique_ptr<OneShotTimer> timer;       // under mutex
  bool timerActive = false;                  // under mutex
  std::optional<double> scheduledTimestamp;  // under mutex
  // Each schedule gets a new generation, so that a firing that raced with
  // a newer schedule or a cancel does nothing.
  std::uint64_t generation = 0;  // under mutex
  std::function<void()> block;   // under mutex

  void log(int level, long code, const char* suffix, OptionalObject context = std::nullopt) {
    TLMMeasurement::monitor().logWithLevel(level, code, name + suffix, std::move(context));
  }

  // Called with `mutex` held. True when something was scheduled.
  bool cancelLocked() {
    if (!scheduledTimestamp && !timerActive) return false;
    log(kLevelDebug, kTLMAlarmCodeCanceled, " canceled");
    if (timerActive) {
      if (timer != nullptr) timer->cancel();
      timerActive = false;
    } else {
      log(kLevelWarning, kTLMAlarmCodeNotActive, " is not active");
    }
    ++generation;
    scheduledTimestamp.reset();
    return true;
  }
};

std::shared_ptr<TLMAlarm> TLMAlarm::initWithDispatchQueue(std::shared_ptr<DispatchQueue> queue,
                                                          const std::optional<std::string>& name) {
  if (queue == nullptr) return nullptr;
  return std::make_shared<TLMAlarm>(std::move(queue),
                                    name && !name->empty() ? *name : kTLMAlarmDefaultName);
}

TLMAlarm::TLMAlarm(std::shared_ptr<DispatchQueue> queue, std::string name)
    : queue_(std::move(queue)),
      state_(std::make_shared<State>(name.empty() ? kTLMAlarmDefaultName : std::move(name))) {}

TLMAlarm::~TLMAlarm() { cancel(); }

const std::string& TLMAlarm::name() const { return state_->name; }

void TLMAlarm::runAfterDelay(double delaySeconds, std::function<void()> block) {
  if (!block) {
    state_->log(kLevelFailure, kTLMAlarmCodeEmptyBlock, " tried to schedule an empty block");
    return;
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  (void)state_->cancelLocked();
  const double now = Platform::current().clock().now();
  state_->scheduledTimestamp = now + delaySeconds;
  state_->block = std::move(block);
  const std::uint64_t generation = ++state_->generation;
  std::weak_ptr<State> weak = state_;
  // The timer's block holds the state weakly: a destroyed alarm never
  // fires.
  state_->timer = std::make_unique<OneShotTimer>(queue_, [weak, generation] {
    const std::shared_ptr<State> state = weak.lock();
    if (state == nullptr) return;
    std::function<void()> run;
    {
      std::lock_guard<std::mutex> runLock(state->mutex);
      if (state->generation != generation) return;
      state->log(kLevelDebug, kTLMAlarmCodeFired, " fired");
      (void)state->cancelLocked();
      run = std::move(state->block);
      state->block = nullptr;
    }
    if (run) run();
  });
  state_->timer->schedule(delaySeconds > 0 ? delaySeconds : 0);
  state_->timerActive = true;
  state_->log(kLevelDebug, kTLMAlarmCodeScheduled, " scheduled to fire in approx. (s)",
              Object::floating(delaySeconds));
}

void TLMAlarm::cancel() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->cancelLocked()) state_->block = nullptr;
}

bool TLMAlarm::hasActiveTimer() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->timerActive;
}

std::optional<double> TLMAlarm::scheduledTimestamp() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->scheduledTimestamp;
}
