#include "platform/ThreadPoolExecutor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace {

// Due times are in uptime, which keeps counting while the machine sleeps;
// the steady clock that the wait itself uses does not. Waking at least this
// often bounds how late a timer can fire after a suspend.
constexpr double kMaxTimerWaitSeconds = 1.0;

}  // namespace

struct ThreadPoolExecutor::Core {
  explicit Core(std::shared_ptr<Clock> clock) : clock(std::move(clock)) {}

  void post(Block task) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;
      work.push_back(std::move(task));
    }
    workReady.notify_one();
  }

  void workerLoop() {
    while (true) {
      Block task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        workReady.wait(lock, [&] { return stopping || !work.empty(); });
        if (stopping) return;
        task = std::move(work.front());
        work.pop_front();
      }
      task();
      // The task's captures are released here, outside the lock.
    }
  }

  void timerLoop() {
    std::unique_lock<std::mutex> lock(timerMutex);
    while (!timerStopping) {
      if (timers.empty()) {
        timerChanged.wait(lock);
        continue;
      }
      auto first = timers.begin();
      const double due = first->first.first;
      const double now = clock->uptime();
      if (due <= now) {
        Block task = std::move(first->second.second);
        timerKeys.erase(first->second.first);
        timers.erase(first);
        lock.unlock();
        post(std::move(task));
        task = nullptr;
        lock.lock();
        continue;
      }
      const double wait = std::min(due - now, kMaxTimerWaitSeconds);
      timerChanged.wait_for(lock, std::chrono::duration<double>(wait));
    }
  }

  std::shared_ptr<Clock> clock;
  std::atomic<std::thread::id> mainThread{std::this_thread::get_id()};

  std::mutex mutex;
  std::condition_variable workReady;
  std::deque<Block> work;
  bool stopping = false;

  std::mutex mainMutex;
  std::condition_variable mainReady;
  std::deque<Block> mainTasks;
  bool mainStopping = false;

  using TimerKey = std::pair<double, std::uint64_t>;
  std::mutex timerMutex;
  std::condition_variable timerChanged;
  // (due uptime, sequence): the sequence keeps equal due times in the order
  // they were set.
  std::map<TimerKey, std::pair<TimerID, Block>> timers;
  std::unordered_map<TimerID, TimerKey> timerKeys;
  std::uint64_t nextSequence = 0;
  TimerID nextTimerID = 1;
  bool timerStopping = false;
};

ThreadPoolExecutor::ThreadPoolExecutor(std::shared_ptr<Clock> clock, int threadCount)
    : core_(std::make_shared<Core>(std::move(clock))), threadCount_(std::max(1, threadCount)) {
  threads_.reserve(static_cast<std::size_t>(threadCount_) + 1);
  for (int i = 0; i < threadCount_; ++i) {
    threads_.emplace_back([core = core_] { core->workerLoop(); });
  }
  threads_.emplace_back([core = core_] { core->timerLoop(); });
}

ThreadPoolExecutor::~ThreadPoolExecutor() {
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->stopping = true;
  }
  {
    std::lock_guard<std::mutex> lock(core_->mainMutex);
    core_->mainStopping = true;
  }
  {
    std::lock_guard<std::mutex> lock(core_->timerMutex);
    core_->timerStopping = true;
  }
  core_->workReady.notify_all();
  core_->mainReady.notify_all();
  core_->timerChanged.notify_all();
  for (auto& thread : threads_) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  // Drop what never ran, outside the locks: a task's captures may post.
  std::deque<Block> work;
  std::deque<Block> mainTasks;
  std::map<Core::TimerKey, std::pair<TimerID, Block>> timers;
  {
    std::lock_guard<std::mutex> lock(core_->mutex);
    work.swap(core_->work);
  }
  {
    std::lock_guard<std::mutex> lock(core_->mainMutex);
    mainTasks.swap(core_->mainTasks);
  }
  {
    std::lock_guard<std::mutex> lock(core_->timerMutex);
    timers.swap(core_->timers);
    core_->timerKeys.clear();
  }
}

void ThreadPoolExecutor::post(Block task) { core_->post(std::move(task)); }

void ThreadPoolExecutor::postMain(Block task) {
  {
    std::lock_guard<std::mutex> lock(core_->mainMutex);
    if (core_->mainStopping) return;
    core_->mainTasks.push_back(std::move(task));
  }
  core_->mainReady.notify_all();
}

Executor::TimerID ThreadPoolExecutor::postAfter(double delaySeconds, Block task) {
  if (!(delaySeconds > 0)) delaySeconds = 0;  // Also catches NaN.
  const double due = core_->clock->uptime() + delaySeconds;
  TimerID id;
  {
    std::lock_guard<std::mutex> lock(core_->timerMutex);
    if (core_->timerStopping) return 0;
    id = core_->nextTimerID++;
    const Core::TimerKey key{due, core_->nextSequence++};
    core_->timers.emplace(key, std::make_pair(id, std::move(task)));
    core_->timerKeys.emplace(id, key);
  }
  core_->timerChanged.notify_all();
  return id;
}

bool ThreadPoolExecutor::cancelTimer(TimerID id) {
  Block dropped;
  {
    std::lock_guard<std::mutex> lock(core_->timerMutex);
    auto found = core_->timerKeys.find(id);
    if (found == core_->timerKeys.end()) return false;
    auto timer = core_->timers.find(found->second);
    dropped = std::move(timer->second.second);
    core_->timers.erase(timer);
    core_->timerKeys.erase(found);
  }
  return true;
}

int ThreadPoolExecutor::drainMain() {
  std::deque<Block> tasks;
  {
    std::lock_guard<std::mutex> lock(core_->mainMutex);
    tasks.swap(core_->mainTasks);
  }
  int count = 0;
  for (auto& task : tasks) {
    task();
    task = nullptr;
    ++count;
  }
  return count;
}

void ThreadPoolExecutor::waitForMainWork(double maxSeconds) {
  std::unique_lock<std::mutex> lock(core_->mainMutex);
  auto ready = [&] { return core_->mainStopping || !core_->mainTasks.empty(); };
  if (std::isinf(maxSeconds) && maxSeconds > 0) {
    core_->mainReady.wait(lock, ready);
  } else if (maxSeconds > 0) {
    core_->mainReady.wait_for(lock, std::chrono::duration<double>(maxSeconds), ready);
  }
}

const Clock& ThreadPoolExecutor::clock() const { return *core_->clock; }

bool ThreadPoolExecutor::runUntil(const std::function<bool()>& done, double) { return done(); }

void ThreadPoolExecutor::setMainThreadToCurrent() {
  core_->mainThread.store(std::this_thread::get_id());
}

bool ThreadPoolExecutor::isMainThreadCurrent() const {
  return core_->mainThread.load() == std::this_thread::get_id();
}

std::shared_ptr<Executor> makeThreadPoolExecutor(std::shared_ptr<Clock> clock, int threadCount) {
  return std::make_shared<ThreadPoolExecutor>(std::move(clock), threadCount);
}
