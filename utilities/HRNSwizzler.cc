#include "utilities/HRNSwizzler.h"

#include <utility>

HRNSwizzler::HRNSwizzler(std::shared_ptr<ClassRuntime> runtime) : runtime_(std::move(runtime)) {}

Implementation HRNSwizzler::currentImplementationForClass(const std::string& className,
                                                          const std::string& selector,
                                                          bool isClassSelector) const {
  auto runtimeClass = runtime_ ? runtime_->classNamed(className) : nullptr;
  if (!runtimeClass) return Implementation();
  return runtimeClass->implementationForSelector(selector, isClassSelector);
}

bool HRNSwizzler::swizzleClass(const std::string& className, const std::string& selector,
                               bool isClassSelector, Implementation block) {
  auto runtimeClass = runtime_ ? runtime_->classNamed(className) : nullptr;
  if (!runtimeClass || !block) return false;
  Implementation current = runtimeClass->implementationForSelector(selector, isClassSelector);
  // A block of another signature would never be called (or be called
  // wrongly) by the dispatching code.
  if (!current || !current.hasSameSignatureAs(block)) return false;
  runtimeClass->setImplementation(selector, isClassSelector, std::move(block));
  return true;
}
