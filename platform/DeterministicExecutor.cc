#include "platform/DeterministicExecutor.h"

#include <chrono>
#include <cmath>
#include <string>

namespace {

// While work is in flight, `runUntil` wakes this often to ask `done` again:
// a semaphore signalled from another thread does not post anything.
constexpr double kExternalPollSeconds = 0.01;

}  // namespace

DeterministicExecutor::DeterministicExecutor(std::shared_ptr<FakeClock> clock)
    : clock_(std::move(clock)), mainThread_(std::this_thread::get_id()) {}

DeterministicExecutor::~DeterministicExecutor() {
  // Drop what never ran outside the lock: a task's captures may call back
  // into the executor (cancel a timer) while being destroyed.
  std::deque<std::pair<std::uint64_t, Block>> ready;
  std::deque<std::pair<std::uint64_t, Block>> mainTasks;
  std::map<TimerKey, std::pair<TimerID, Block>> timers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready.swap(ready_);
    mainTasks.swap(main_);
    timers.swap(timers_);
    timerKeys_.clear();
  }
}

void DeterministicExecutor::post(Block task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ready_.emplace_back(nextPostSequence_++, std::move(task));
  }
  changed_.notify_all();
}

void DeterministicExecutor::postMain(Block task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    main_.emplace_back(nextPostSequence_++, std::move(task));
  }
  changed_.notify_all();
}

Executor::TimerID DeterministicExecutor::postAfter(double delaySeconds, Block task) {
  if (!(delaySeconds > 0)) delaySeconds = 0;  // Also catches NaN.
  const double due = clock_->uptime() + delaySeconds;
  std::lock_guard<std::mutex> lock(mutex_);
  const TimerID id = nextTimerID_++;
  const TimerKey key{due, nextTimerSequence_++};
  timers_.emplace(key, std::make_pair(id, std::move(task)));
  timerKeys_.emplace(id, key);
  return id;
}

bool DeterministicExecutor::cancelTimer(TimerID id) {
  Block dropped;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = timerKeys_.find(id);
  if (found == timerKeys_.end()) return false;
  auto timer = timers_.find(found->second);
  dropped = std::move(timer->second.second);
  timers_.erase(timer);
  timerKeys_.erase(found);
  return true;
}

void DeterministicExecutor::beginExternalWork() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++externalWork_;
}

void DeterministicExecutor::endExternalWork() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (externalWork_ == 0) platformFatal("endExternalWork without beginExternalWork");
    --externalWork_;
  }
  changed_.notify_all();
}

int DeterministicExecutor::drainMain() {
  std::size_t count;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    count = main_.size();
  }
  int ran = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Block task;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (main_.empty()) break;
      task = std::move(main_.front().second);
      main_.pop_front();
    }
    task();
    ++ran;
  }
  return ran;
}

bool DeterministicExecutor::runOneReady() {
  Block task;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<std::pair<std::uint64_t, Block>>* from = nullptr;
    if (!ready_.empty()) from = &ready_;
    if (!main_.empty() && (from == nullptr || main_.front().first < ready_.front().first)) {
      from = &main_;
    }
    if (from == nullptr) return false;
    task = std::move(from->front().second);
    from->pop_front();
  }
  task();
  return true;
}

bool DeterministicExecutor::fireNextTimerUpTo(double uptime) {
  Block task;
  double due;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (timers_.empty()) return false;
    auto first = timers_.begin();
    due = first->first.first;
    if (due > uptime && due > clock_->uptime()) return false;
    task = std::move(first->second.second);
    timerKeys_.erase(first->second.first);
    timers_.erase(first);
  }
  clock_->advanceUptimeTo(due);
  post(std::move(task));
  return true;
}

bool DeterministicExecutor::waitForExternal(double seconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds),
                           [&] { return !ready_.empty() || !main_.empty() || externalWork_ == 0; });
}

bool DeterministicExecutor::runOneTask(double maxRealSeconds) {
  if (runOneReady()) return true;
  return waitForExternal(maxRealSeconds) && runOneReady();
}

int DeterministicExecutor::runUntilIdle(double maxRealSecondsForExternalWork) {
  int ran = 0;
  while (true) {
    if (runOneReady()) {
      ++ran;
      continue;
    }
    if (fireNextTimerUpTo(-INFINITY)) continue;
    int inFlight;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ready_.empty() || !main_.empty()) continue;
      inFlight = externalWork_;
    }
    if (inFlight == 0) break;
    if (!waitForExternal(maxRealSecondsForExternalWork)) {
      const std::string message = "DeterministicExecutor: external work still in flight after " +
                                  std::to_string(maxRealSecondsForExternalWork) + " s";
      platformFatal(message.c_str());
    }
  }
  return ran;
}

void DeterministicExecutor::advance(double seconds) {
  runUntilIdle();
  const double target = clock_->uptime() + (seconds > 0 ? seconds : 0);
  while (fireNextTimerUpTo(target)) runUntilIdle();
  clock_->advanceUptimeTo(target);
}

bool DeterministicExecutor::runUntil(const std::function<bool()>& done, double deadlineUptime) {
  auto lastProgress = std::chrono::steady_clock::now();
  const auto maxWait = std::chrono::duration<double>(kDefaultMaxExternalWaitSeconds);
  while (true) {
    if (done()) return true;
    if (runOneReady()) {
      lastProgress = std::chrono::steady_clock::now();
      continue;
    }
    int inFlight;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!ready_.empty() || !main_.empty()) continue;
      inFlight = externalWork_;
    }
    if (inFlight > 0) {
      if (std::chrono::steady_clock::now() - lastProgress > maxWait) {
        platformFatal("DeterministicExecutor: external work still in flight after a wait");
      }
      waitForExternal(kExternalPollSeconds);
      continue;
    }
    // An infinite deadline fires only timers already due: waiting forever
    // in virtual time would spin through periodic timers without end.
    const double limit = std::isinf(deadlineUptime) ? -INFINITY : deadlineUptime;
    if (fireNextTimerUpTo(limit)) continue;
    break;
  }
  const bool result = done();
  if (!result && std::isfinite(deadlineUptime)) clock_->advanceUptimeTo(deadlineUptime);
  return result;
}

void DeterministicExecutor::setMainThreadToCurrent() {
  mainThread_.store(std::this_thread::get_id());
}

bool DeterministicExecutor::isMainThreadCurrent() const {
  return mainThread_.load() == std::this_thread::get_id();
}

double DeterministicExecutor::nextTimerUptime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_.empty() ? -1.0 : timers_.begin()->first.first;
}

std::size_t DeterministicExecutor::pendingTimerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return timers_.size();
}
