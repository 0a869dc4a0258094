// Method swizzling over the class runtime (platform/ClassRuntime.h): read
// the implementation a class uses for a selector, and replace it with a
// block. A replacement set on a base class serves every subclass that has
// no implementation of its own; a block that wants the behaviour it
// replaced reads the current implementation first and calls it. Thread-safe.
#pragma once

#include <memory>
#include <string>

#include "platform/ClassRuntime.h"

class HRNSwizzler {
 public:
  explicit HRNSwizzler(std::shared_ptr<ClassRuntime> runtime);

  // The implementation that instances of `className` (or, with
  // `isClassSelector`, the class itself) use for `selector`, inherited ones
  // included; empty when the class is unknown or nothing implements it.
  Implementation currentImplementationForClass(const std::string& className,
                                               const std::string& selector,
                                               bool isClassSelector) const;

  // Makes `block` the class's own implementation of `selector`. Refused
  // (false, nothing changes) when the class is unknown, the block is
  // empty, nothing implements the selector for the class yet, or the
  // block's signature differs from the current implementation's.
  bool swizzleClass(const std::string& className, const std::string& selector, bool isClassSelector,
                    Implementation block);

 private:
  const std::shared_ptr<ClassRuntime> runtime_;
};
