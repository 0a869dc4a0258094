// Classes looked up by name at run time. The original platform answers
// "is a class named X linked into the app" and "does it respond to this
// selector"; here the host (or a test) declares those classes, and may
// attach an invocable to a class method so that a caller can call it.
// Thread-safe.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "ferrolux/Object.h"

class CapabilityRegistry {
 public:
  // A class method: what it returns, or nothing (nil).
  using Invocable = std::function<OptionalObject()>;

  // Declares class `name` present (with the selectors it answers) or
  // absent. Declaring it again replaces its selectors and drops its
  // invocables.
  void setClass(const std::string& name, bool present, std::set<std::string> selectors = {});
  void removeClass(const std::string& name);

  bool classExists(const std::string& name) const;
  // False when the class is absent.
  bool respondsToSelector(const std::string& className, const std::string& selector) const;

  // Whether a class method's implementation can be obtained: an invocable
  // is attached to `selector` of the present class.
  bool hasInvocable(const std::string& className, const std::string& selector) const;
  // Attaches `invocable` to `selector` of a present class, which then
  // responds to it. Returns false when the class is absent.
  bool setInvocable(const std::string& className, const std::string& selector, Invocable invocable);
  // Calls the class method. Nothing when the class is absent, does not
  // respond to `selector`, or has no invocable for it. The invocable runs
  // on the calling thread without the registry's lock held.
  OptionalObject invoke(const std::string& className, const std::string& selector) const;

 private:
  struct ClassEntry {
    std::set<std::string> selectors;
    std::map<std::string, Invocable> invocables;
  };

  mutable std::mutex mutex_;
  std::map<std::string, ClassEntry> classes_;  // present classes only
};
