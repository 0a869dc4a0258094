// The classes of the platform's view-controller family and their method
// implementations: what method swizzling works on. A class has a name (with
// its module prefix, "MyGame.MenuViewController"), a superclass and the
// bundle it comes from; each class keeps its own implementations per
// selector, and a lookup walks up the superclass chain, so that an
// implementation set on a base class serves its subclasses.
//
// Implementations are type-erased std::function objects; the signature of
// each selector is fixed by the class that dispatches it (see
// ViewControllerAppearanceMethod). Every member is thread-safe: classes may
// be swizzled on any thread while the main thread dispatches through them.
#pragma once

#include <any>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

class ViewController;

// One method implementation. Copies share the function.
class Implementation {
 public:
  Implementation() = default;
  template <typename Signature>
  explicit Implementation(std::function<Signature> function)
      : function_(function ? std::make_shared<const std::any>(std::move(function)) : nullptr) {}

  explicit operator bool() const { return function_ != nullptr; }
  // The function when it has `Signature`; null when empty or of another signature.
  template <typename Signature>
  const std::function<Signature>* function() const {
    return function_ ? std::any_cast<std::function<Signature>>(function_.get()) : nullptr;
  }
  bool hasSameSignatureAs(const Implementation& other) const {
    return function_ && other.function_ && function_->type() == other.function_->type();
  }
  // Identity: two copies of one implementation are equal.
  friend bool operator==(const Implementation& a, const Implementation& b) {
    return a.function_ == b.function_;
  }

 private:
  std::shared_ptr<const std::any> function_;
};

// The signature of the appearance methods of view controllers.
using ViewControllerAppearanceMethod = void(ViewController& self, bool animated);

// Selectors the platform's view controllers dispatch through their class.
inline constexpr char kViewWillAppearSelector[] = "viewWillAppear:";
inline constexpr char kViewDidAppearSelector[] = "viewDidAppear:";
inline constexpr char kViewWillDisappearSelector[] = "viewWillDisappear:";
inline constexpr char kViewDidDisappearSelector[] = "viewDidDisappear:";

// Names of the platform classes every runtime starts with.
inline constexpr char kRootObjectClassName[] = "NSObject";
inline constexpr char kResponderClassName[] = "UIResponder";
inline constexpr char kViewControllerClassName[] = "UIViewController";
inline constexpr char kNavigationControllerClassName[] = "UINavigationController";
inline constexpr char kTabBarControllerClassName[] = "UITabBarController";
inline constexpr char kPageViewControllerClassName[] = "UIPageViewController";
// The bundle of the platform classes (never the main bundle).
inline constexpr char kPlatformFrameworkBundlePath[] = "/System/Library/Frameworks/UIKit.framework";

class RuntimeClass {
 public:
  // Use ClassRuntime::registerClass.
  RuntimeClass(std::string name, std::shared_ptr<RuntimeClass> superclass, std::string bundlePath);
  RuntimeClass(const RuntimeClass&) = delete;
  RuntimeClass& operator=(const RuntimeClass&) = delete;

  // The full name, module prefix included.
  const std::string& name() const { return name_; }
  // Null for a root class.
  const std::shared_ptr<RuntimeClass>& superclass() const { return superclass_; }
  // "" for a root class.
  std::string superclassName() const;
  // "" stands for the app's main bundle.
  const std::string& bundlePath() const { return bundlePath_; }
  bool isFromMainBundle() const { return bundlePath_.empty(); }
  // True for this class and every class it derives from.
  bool isSubclassOfClassNamed(std::string_view name) const;

  // This class's own implementation, or the nearest inherited one; empty
  // when no class of the chain has one.
  Implementation implementationForSelector(const std::string& selector, bool isClassSelector) const;
  // Sets this class's own implementation; returns the one that served the
  // class before (own or inherited; empty when there was none).
  Implementation setImplementation(const std::string& selector, bool isClassSelector,
                                   Implementation implementation);

 private:
  Implementation ownImplementation(const std::string& selector, bool isClassSelector) const;

  const std::string name_;
  const std::shared_ptr<RuntimeClass> superclass_;
  const std::string bundlePath_;
  mutable std::mutex mutex_;
  std::map<std::string, Implementation> instanceMethods_;
  std::map<std::string, Implementation> classMethods_;
};

class ClassRuntime {
 public:
  // Starts with the platform classes: "NSObject", "UIResponder",
  // "UIViewController" (with its appearance methods), and the navigation,
  // tab bar and page view controller classes.
  ClassRuntime();
  ClassRuntime(const ClassRuntime&) = delete;
  ClassRuntime& operator=(const ClassRuntime&) = delete;

  // Registers a class. `bundlePath` "" means the main bundle. Registering
  // an existing name again with the same superclass and bundle returns the
  // existing class. Returns null when the name is empty, the superclass is
  // unknown, or the name is taken by a different class.
  std::shared_ptr<RuntimeClass> registerClass(const std::string& name,
                                              const std::string& superclassName,
                                              const std::string& bundlePath = "");
  // Null when no class has that name.
  std::shared_ptr<RuntimeClass> classNamed(const std::string& name) const;
  std::vector<std::string> classNames() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<RuntimeClass>> classes_;
};

// The class name without its module prefix: what follows the last ".",
// unless the name ends in "." (then the name is kept whole).
std::string classNameWithoutModulePrefix(std::string_view className);
