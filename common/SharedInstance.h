// Lazily created one-per-process objects (the `sharedInstance`s).
//
// `get` creates the object on first use, thread-safely, and it is never
// destroyed in production: pool threads may still use it while the
// process exits. Tests run many short "processes" in one: between tests,
// TEST_resetSharedInstances() drops every shared instance so that the
// next test builds them again on its own Platform. Blocks that hold an
// instance weakly then find it gone, as the library's blocks expect.
//
// An object that reports through the monitor while it is being built
// must not ask for itself again; doing so is a programming error and is
// fatal rather than a deadlock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>

void registerSharedInstanceReset(std::function<void()> reset);
// Test-only: drops every shared instance created so far.
void TEST_resetSharedInstances();
[[noreturn]] void sharedInstanceRecursionFatal();

// Keep one as a function-local static in the class's accessor:
//   static SharedInstance<TLMThing> instance;
//   return instance.get([] { return std::make_shared<TLMThing>(...); });
// Its state is deliberately leaked (the destructor is trivial), so the
// instance outlives static destruction at exit.
template <typename T>
class SharedInstance {
 public:
  SharedInstance() : state_(new State()) {}

  // Returns the instance, making it with `make()` (returning
  // std::shared_ptr<T>, possibly null) the first time.
  template <typename Factory>
  std::shared_ptr<T> get(Factory&& make) {
    std::unique_lock<std::recursive_mutex> lock(state_->mutex);
    if (state_->created) return state_->instance;
    if (state_->building) sharedInstanceRecursionFatal();
    state_->building = true;
    std::shared_ptr<T> made = make();
    state_->building = false;
    state_->instance = std::move(made);
    state_->created = true;
    if (!state_->registered) {
      state_->registered = true;
      State* state = state_;
      registerSharedInstanceReset([state] { state->reset(); });
    }
    return state_->instance;
  }

  // The instance when it was made already; null otherwise. Never makes it.
  std::shared_ptr<T> getIfCreated() {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return state_->instance;
  }

 private:
  struct State {
    void reset() {
      std::shared_ptr<T> dropped;  // destroyed after the lock is released
      std::lock_guard<std::recursive_mutex> lock(mutex);
      dropped = std::move(instance);
      created = false;
    }
    std::recursive_mutex mutex;
    std::shared_ptr<T> instance;
    bool created = false;
    bool building = false;
    bool registered = false;
  };
  State* state_;
};
