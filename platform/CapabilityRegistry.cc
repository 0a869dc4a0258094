#include "platform/CapabilityRegistry.h"

#include <utility>

void CapabilityRegistry::setClass(const std::string& name, bool present,
                                  std::set<std::string> selectors) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present) {
    classes_.erase(name);
    return;
  }
  classes_[name] = ClassEntry{std::move(selectors), {}};
}

void CapabilityRegistry::removeClass(const std::string& name) { setClass(name, false); }

bool CapabilityRegistry::classExists(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return classes_.count(name) != 0;
}

bool CapabilityRegistry::respondsToSelector(const std::string& className,
                                            const std::string& selector) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = classes_.find(className);
  return it != classes_.end() && it->second.selectors.count(selector) != 0;
}

bool CapabilityRegistry::hasInvocable(const std::string& className,
                                      const std::string& selector) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = classes_.find(className);
  return it != classes_.end() && it->second.invocables.count(selector) != 0;
}

bool CapabilityRegistry::setInvocable(const std::string& className, const std::string& selector,
                                      Invocable invocable) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = classes_.find(className);
  if (it == classes_.end()) return false;
  it->second.selectors.insert(selector);
  it->second.invocables[selector] = std::move(invocable);
  return true;
}

OptionalObject CapabilityRegistry::invoke(const std::string& className,
                                          const std::string& selector) const {
  Invocable invocable;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = classes_.find(className);
    if (it == classes_.end() || it->second.selectors.count(selector) == 0) return std::nullopt;
    auto found = it->second.invocables.find(selector);
    if (found == it->second.invocables.end() || !found->second) return std::nullopt;
    invocable = found->second;
  }
  return invocable();
}
