// The platform's container view controllers: navigation (a stack whose top
// is shown), tab bar (one selected child shown) and page view controllers
// (the current pages shown). Their children are the view controllers they
// hold, in order. While a container has appeared, changing what it shows
// makes the child that leaves disappear and the one that comes appear, in
// the platform's order (see ViewController.h); while it has not, only the
// children change. Main thread only.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/ViewController.h"

class NavigationController : public ViewController {
 public:
  // `runtimeClass` should derive from "UINavigationController".
  explicit NavigationController(std::shared_ptr<RuntimeClass> runtimeClass);
  // A "UINavigationController" of `runtime`, with `root` at the bottom of
  // its stack when given.
  static std::shared_ptr<NavigationController> create(
      const ClassRuntime& runtime, std::shared_ptr<ViewController> root = nullptr);

  // Bottom first.
  std::vector<std::shared_ptr<ViewController>> viewControllers() const {
    return childViewControllers();
  }
  std::shared_ptr<ViewController> topViewController() const;
  // What is presented over the navigation controller, else the top.
  std::shared_ptr<ViewController> visibleViewController() const;

  // Returns false for a view controller that cannot become a child (see
  // ViewController::addChildViewController).
  bool pushViewController(std::shared_ptr<ViewController> viewController, bool animated);
  // The view controller popped; null when only the root is left.
  std::shared_ptr<ViewController> popViewController(bool animated);
  // The view controllers popped, bottom first.
  std::vector<std::shared_ptr<ViewController>> popToRootViewController(bool animated);
  bool setViewControllers(std::vector<std::shared_ptr<ViewController>> viewControllers,
                          bool animated);

 protected:
  bool isChildViewShown(const ViewController& child) const override;

 private:
  // Shows the new stack: the old top disappears and the new one appears.
  void transitionFromTop(const std::shared_ptr<ViewController>& oldTop, bool animated);
};

class TabBarController : public ViewController {
 public:
  static constexpr std::size_t kNoSelection = static_cast<std::size_t>(-1);

  // `runtimeClass` should derive from "UITabBarController".
  explicit TabBarController(std::shared_ptr<RuntimeClass> runtimeClass);
  static std::shared_ptr<TabBarController> create(const ClassRuntime& runtime);

  std::vector<std::shared_ptr<ViewController>> viewControllers() const {
    return childViewControllers();
  }
  // Keeps the selected view controller when it is among the new ones, else
  // selects the first.
  bool setViewControllers(std::vector<std::shared_ptr<ViewController>> viewControllers,
                          bool animated);
  std::shared_ptr<ViewController> selectedViewController() const;
  std::size_t selectedIndex() const;
  // Returns false for an index out of range.
  bool setSelectedIndex(std::size_t index);
  // Returns false for a view controller that is not one of the tabs.
  bool setSelectedViewController(const std::shared_ptr<ViewController>& viewController);

 protected:
  bool isChildViewShown(const ViewController& child) const override;
  void didRemoveChild(ViewController& child) override;

 private:
  void select(std::shared_ptr<ViewController> viewController, bool animated);

  std::weak_ptr<ViewController> selected_;
};

class PageViewController : public ViewController {
 public:
  // `runtimeClass` should derive from "UIPageViewController".
  explicit PageViewController(std::shared_ptr<RuntimeClass> runtimeClass);
  static std::shared_ptr<PageViewController> create(const ClassRuntime& runtime);

  // The pages shown, in order.
  std::vector<std::shared_ptr<ViewController>> viewControllers() const {
    return childViewControllers();
  }
  bool setViewControllers(std::vector<std::shared_ptr<ViewController>> viewControllers,
                          bool animated);
};
