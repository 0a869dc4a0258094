#include "platform/ClassRuntime.h"

#include <utility>

RuntimeClass::RuntimeClass(std::string name, std::shared_ptr<RuntimeClass> superclass,
                           std::string bundlePath)
    : name_(std::move(name)),
      superclass_(std::move(superclass)),
      bundlePath_(std::move(bundlePath)) {}

std::string RuntimeClass::superclassName() const {
  return superclass_ ? superclass_->name() : std::string();
}

bool RuntimeClass::isSubclassOfClassNamed(std::string_view name) const {
  for (const RuntimeClass* c = this; c != nullptr; c = c->superclass_.get()) {
    if (c->name_ == name) return true;
  }
  return false;
}

Implementation RuntimeClass::ownImplementation(const std::string& selector,
                                               bool isClassSelector) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto& methods = isClassSelector ? classMethods_ : instanceMethods_;
  auto it = methods.find(selector);
  return it == methods.end() ? Implementation() : it->second;
}

Implementation RuntimeClass::implementationForSelector(const std::string& selector,
                                                       bool isClassSelector) const {
  for (const RuntimeClass* c = this; c != nullptr; c = c->superclass_.get()) {
    Implementation found = c->ownImplementation(selector, isClassSelector);
    if (found) return found;
  }
  return Implementation();
}

Implementation RuntimeClass::setImplementation(const std::string& selector, bool isClassSelector,
                                               Implementation implementation) {
  // The inherited lookup takes the superclasses' locks; never hold ours
  // while doing it.
  Implementation previous = implementationForSelector(selector, isClassSelector);
  std::lock_guard<std::mutex> lock(mutex_);
  auto& methods = isClassSelector ? classMethods_ : instanceMethods_;
  if (implementation) {
    methods[selector] = std::move(implementation);
  } else {
    methods.erase(selector);
  }
  return previous;
}

ClassRuntime::ClassRuntime() {
  registerClass(kRootObjectClassName, "", kPlatformFrameworkBundlePath);
  registerClass(kResponderClassName, kRootObjectClassName, kPlatformFrameworkBundlePath);
  auto viewController =
      registerClass(kViewControllerClassName, kResponderClassName, kPlatformFrameworkBundlePath);
  // The platform's own appearance methods keep no state of their own (the
  // transition driver does), so the originals do nothing; hooks that call
  // them behave as on the original platform.
  for (const char* selector : {kViewWillAppearSelector, kViewDidAppearSelector,
                               kViewWillDisappearSelector, kViewDidDisappearSelector}) {
    viewController->setImplementation(selector, false,
                                      Implementation(std::function<ViewControllerAppearanceMethod>(
                                          [](ViewController&, bool) {})));
  }
  registerClass(kNavigationControllerClassName, kViewControllerClassName,
                kPlatformFrameworkBundlePath);
  registerClass(kTabBarControllerClassName, kViewControllerClassName, kPlatformFrameworkBundlePath);
  registerClass(kPageViewControllerClassName, kViewControllerClassName,
                kPlatformFrameworkBundlePath);
}

std::shared_ptr<RuntimeClass> ClassRuntime::registerClass(const std::string& name,
                                                          const std::string& superclassName,
                                                          const std::string& bundlePath) {
  if (name.empty()) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<RuntimeClass> superclass;
  if (!superclassName.empty()) {
    auto it = classes_.find(superclassName);
    if (it == classes_.end()) return nullptr;
    superclass = it->second;
  }
  auto existing = classes_.find(name);
  if (existing != classes_.end()) {
    const auto& c = existing->second;
    if (c->superclass() == superclass && c->bundlePath() == bundlePath) return c;
    return nullptr;
  }
  auto created = std::make_shared<RuntimeClass>(name, std::move(superclass), bundlePath);
  classes_.emplace(name, created);
  return created;
}

std::shared_ptr<RuntimeClass> ClassRuntime::classNamed(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = classes_.find(name);
  return it == classes_.end() ? nullptr : it->second;
}

std::vector<std::string> ClassRuntime::classNames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> names;
  names.reserve(classes_.size());
  for (const auto& entry : classes_) names.push_back(entry.first);
  return names;
}

std::string classNameWithoutModulePrefix(std::string_view className) {
  std::size_t dot = className.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == className.size()) {
    return std::string(className);
  }
  return std::string(className.substr(dot + 1));
}
