#include "common/SharedInstance.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::mutex& registryMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::vector<std::function<void()>>& registry() {
  static auto* resets = new std::vector<std::function<void()>>();
  return *resets;
}

}  // namespace

void registerSharedInstanceReset(std::function<void()> reset) {
  std::lock_guard<std::mutex> lock(registryMutex());
  registry().push_back(std::move(reset));
}

void TEST_resetSharedInstances() {
  std::vector<std::function<void()>> resets;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    resets = registry();
  }
  // Newest first: later instances may hold on to earlier ones.
  for (auto it = resets.rbegin(); it != resets.rend(); ++it) (*it)();
}

void sharedInstanceRecursionFatal() {
  std::fputs("ferrolux: fatal: a shared instance asked for itself while being built\n", stderr);
  std::abort();
}
