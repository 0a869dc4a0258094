#include "platform/ContainerViewControllers.h"

#include <algorithm>
#include <utility>

namespace {

bool contains(const std::vector<std::shared_ptr<ViewController>>& list,
              const std::shared_ptr<ViewController>& vc) {
  return std::find(list.begin(), list.end(), vc) != list.end();
}

}  // namespace

// --- Navigation ---------------------------------------------------------------------

NavigationController::NavigationController(std::shared_ptr<RuntimeClass> runtimeClass)
    : ViewController(std::move(runtimeClass)) {}

std::shared_ptr<NavigationController> NavigationController::create(
    const ClassRuntime& runtime, std::shared_ptr<ViewController> root) {
  auto navigation =
      std::make_shared<NavigationController>(runtime.classNamed(kNavigationControllerClassName));
  if (root) (void)navigation->setViewControllers({std::move(root)}, false);
  return navigation;
}

std::shared_ptr<ViewController> NavigationController::topViewController() const {
  auto stack = childViewControllers();
  return stack.empty() ? nullptr : stack.back();
}

std::shared_ptr<ViewController> NavigationController::visibleViewController() const {
  if (auto presented = presentedViewController()) return presented;
  return topViewController();
}

bool NavigationController::isChildViewShown(const ViewController& child) const {
  auto top = topViewController();
  return top.get() == &child;
}

void NavigationController::transitionFromTop(const std::shared_ptr<ViewController>& oldTop,
                                             bool animated) {
  auto newTop = topViewController();
  if (!isAppearanceActive() || oldTop == newTop) return;
  runAppearanceTransition({oldTop}, {newTop}, animated);
}

bool NavigationController::pushViewController(std::shared_ptr<ViewController> viewController,
                                              bool animated) {
  if (!viewController || viewController->parentViewController()) return false;
  auto stack = childViewControllers();
  auto oldTop = topViewController();
  stack.push_back(std::move(viewController));
  if (!replaceChildren(std::move(stack))) return false;
  transitionFromTop(oldTop, animated);
  return true;
}

std::shared_ptr<ViewController> NavigationController::popViewController(bool animated) {
  auto stack = childViewControllers();
  if (stack.size() < 2) return nullptr;
  auto popped = stack.back();
  detachChild(*popped);
  transitionFromTop(popped, animated);
  return popped;
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popToRootViewController(
    bool animated) {
  auto stack = childViewControllers();
  if (stack.size() < 2) return {};
  auto oldTop = stack.back();
  std::vector<std::shared_ptr<ViewController>> popped(stack.begin() + 1, stack.end());
  (void)replaceChildren({stack.front()});
  transitionFromTop(oldTop, animated);
  return popped;
}

bool NavigationController::setViewControllers(
    std::vector<std::shared_ptr<ViewController>> viewControllers, bool animated) {
  auto oldTop = topViewController();
  if (!replaceChildren(std::move(viewControllers))) return false;
  transitionFromTop(oldTop, animated);
  return true;
}

// --- Tab bar --------------------------------------------------------------------------

TabBarController::TabBarController(std::shared_ptr<RuntimeClass> runtimeClass)
    : ViewController(std::move(runtimeClass)) {}

std::shared_ptr<TabBarController> TabBarController::create(const ClassRuntime& runtime) {
  return std::make_shared<TabBarController>(runtime.classNamed(kTabBarControllerClassName));
}

std::shared_ptr<ViewController> TabBarController::selectedViewController() const {
  auto selected = selected_.lock();
  if (selected && selected->parentViewController().get() != this) return nullptr;
  return selected;
}

std::size_t TabBarController::selectedIndex() const {
  auto selected = selectedViewController();
  auto tabs = childViewControllers();
  auto it = std::find(tabs.begin(), tabs.end(), selected);
  if (!selected || it == tabs.end()) return kNoSelection;
  return static_cast<std::size_t>(it - tabs.begin());
}

bool TabBarController::isChildViewShown(const ViewController& child) const {
  return selectedViewController().get() == &child;
}

void TabBarController::select(std::shared_ptr<ViewController> viewController, bool animated) {
  auto old = selectedViewController();
  if (old == viewController) return;
  selected_ = viewController;
  if (isAppearanceActive()) runAppearanceTransition({old}, {viewController}, animated);
}

bool TabBarController::setViewControllers(
    std::vector<std::shared_ptr<ViewController>> viewControllers, bool animated) {
  auto old = selectedViewController();
  if (!replaceChildren(std::move(viewControllers))) return false;
  auto tabs = childViewControllers();
  std::shared_ptr<ViewController> next;
  if (old && contains(tabs, old)) {
    next = old;
  } else if (!tabs.empty()) {
    next = tabs.front();
  }
  selected_ = next;
  // `old` may have left the children: it still disappears.
  if (old != next && isAppearanceActive()) runAppearanceTransition({old}, {next}, animated);
  return true;
}

bool TabBarController::setSelectedIndex(std::size_t index) {
  auto tabs = childViewControllers();
  if (index >= tabs.size()) return false;
  select(tabs[index], false);
  return true;
}

bool TabBarController::setSelectedViewController(
    const std::shared_ptr<ViewController>& viewController) {
  if (!viewController || !contains(childViewControllers(), viewController)) return false;
  select(viewController, false);
  return true;
}

void TabBarController::didRemoveChild(ViewController& child) {
  if (selected_.lock().get() != &child) return;
  auto tabs = childViewControllers();
  selected_ = tabs.empty() ? nullptr : tabs.front();
}

// --- Pages ----------------------------------------------------------------------------

PageViewController::PageViewController(std::shared_ptr<RuntimeClass> runtimeClass)
    : ViewController(std::move(runtimeClass)) {}

std::shared_ptr<PageViewController> PageViewController::create(const ClassRuntime& runtime) {
  return std::make_shared<PageViewController>(runtime.classNamed(kPageViewControllerClassName));
}

bool PageViewController::setViewControllers(
    std::vector<std::shared_ptr<ViewController>> viewControllers, bool animated) {
  auto old = childViewControllers();
  if (!replaceChildren(viewControllers)) return false;
  if (!isAppearanceActive()) return true;
  std::vector<std::shared_ptr<ViewController>> leaving, coming;
  for (const auto& vc : old) {
    if (!contains(viewControllers, vc)) leaving.push_back(vc);
  }
  for (const auto& vc : viewControllers) {
    if (!contains(old, vc)) coming.push_back(vc);
  }
  runAppearanceTransition(leaving, coming, animated);
  return true;
}
