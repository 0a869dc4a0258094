#include "platform/ViewController.h"

#include <algorithm>
#include <utility>

#include "platform/Window.h"

namespace {

bool containsController(const std::vector<std::shared_ptr<ViewController>>& list,
                        const ViewController* vc) {
  return std::any_of(list.begin(), list.end(), [vc](const auto& e) { return e.get() == vc; });
}

}  // namespace

ViewController::ViewController(std::shared_ptr<RuntimeClass> runtimeClass)
    : class_(std::move(runtimeClass)) {}

std::shared_ptr<ViewController> ViewController::create(std::shared_ptr<RuntimeClass> runtimeClass) {
  return std::make_shared<ViewController>(std::move(runtimeClass));
}

ViewController::~ViewController() = default;

std::string ViewController::classNameWithoutModulePrefix() const {
  return ::classNameWithoutModulePrefix(class_->name());
}

std::string ViewController::superclassNameWithoutModulePrefix() const {
  return ::classNameWithoutModulePrefix(class_->superclassName());
}

// --- View --------------------------------------------------------------------

void ViewController::loadViewIfNeeded() {
  if (viewLoaded_) return;
  viewLoaded_ = true;
  viewDidLoad();
}

std::shared_ptr<Window> ViewController::hostWindow() const {
  if (!viewLoaded_) return nullptr;
  if (auto window = windowOfRoot_.lock(); window && window->rootViewController().get() == this) {
    return window;
  }
  if (auto parent = parent_.lock()) {
    return parent->isChildViewShown(*this) ? parent->viewWindow() : nullptr;
  }
  if (auto presenting = presenting_.lock()) return presenting->hostWindow();
  return nullptr;
}

std::shared_ptr<Window> ViewController::viewWindow() const {
  if (coveredByPresentation_) return nullptr;
  return hostWindow();
}

bool ViewController::isViewDescendantOfWindow(const Window* window) const {
  if (window == nullptr) return false;
  return viewWindow().get() == window;
}

// --- Appearance ----------------------------------------------------------------

void ViewController::dispatchAppearanceMethod(const char* selector, bool animated) {
  // Keep the implementation alive while it runs: a hook may swizzle again.
  Implementation implementation = class_->implementationForSelector(selector, false);
  if (const auto* function = implementation.function<ViewControllerAppearanceMethod>()) {
    (*function)(*this, animated);
  }
}

void ViewController::viewWillAppear(bool animated) {
  dispatchAppearanceMethod(kViewWillAppearSelector, animated);
}

void ViewController::viewDidAppear(bool animated) {
  dispatchAppearanceMethod(kViewDidAppearSelector, animated);
}

void ViewController::viewWillDisappear(bool animated) {
  dispatchAppearanceMethod(kViewWillDisappearSelector, animated);
}

void ViewController::viewDidDisappear(bool animated) {
  dispatchAppearanceMethod(kViewDidDisappearSelector, animated);
}

void ViewController::beginAppearanceTransition(bool isAppearing, bool animated) {
  auto self = weak_from_this().lock();  // a callback may drop the last owner
  if (isAppearing) {
    if (appearance_ != AppearanceState::Disappeared &&
        appearance_ != AppearanceState::Disappearing) {
      return;
    }
    appearance_ = AppearanceState::Appearing;
    loadViewIfNeeded();
    viewWillAppear(animated);
    for (const auto& child : childViewControllers()) {
      if (child->parent_.lock().get() == this && isChildViewShown(*child)) {
        child->beginAppearanceTransition(true, animated);
      }
    }
  } else {
    if (!isAppearanceActive()) return;
    appearance_ = AppearanceState::Disappearing;
    viewWillDisappear(animated);
    for (const auto& child : childViewControllers()) {
      if (child->parent_.lock().get() == this) child->beginAppearanceTransition(false, animated);
    }
  }
  lastTransitionAnimated_ = animated;
}

void ViewController::endAppearanceTransition() {
  auto self = weak_from_this().lock();
  bool animated = lastTransitionAnimated_;
  if (appearance_ == AppearanceState::Appearing) {
    appearance_ = AppearanceState::Appeared;
    viewDidAppear(animated);
  } else if (appearance_ == AppearanceState::Disappearing) {
    appearance_ = AppearanceState::Disappeared;
    viewDidDisappear(animated);
  } else {
    return;
  }
  for (const auto& child : childViewControllers()) {
    if (child->parent_.lock().get() == this) child->endAppearanceTransition();
  }
}

void ViewController::runAppearanceTransition(
    const std::vector<std::shared_ptr<ViewController>>& disappearing,
    const std::vector<std::shared_ptr<ViewController>>& appearing, bool animated,
    const std::function<void()>& between) {
  for (const auto& vc : disappearing) {
    if (vc) vc->beginAppearanceTransition(false, animated);
  }
  for (const auto& vc : appearing) {
    if (vc) vc->beginAppearanceTransition(true, animated);
  }
  if (between) between();
  for (const auto& vc : disappearing) {
    if (vc) vc->endAppearanceTransition();
  }
  for (const auto& vc : appearing) {
    if (vc) vc->endAppearanceTransition();
  }
}

// --- Containment -----------------------------------------------------------------

bool ViewController::isChildViewShown(const ViewController& /*child*/) const { return true; }

bool ViewController::isAncestorOf(const ViewController& other) const {
  for (auto p = other.parent_.lock(); p; p = p->parent_.lock()) {
    if (p.get() == this) return true;
  }
  return false;
}

bool ViewController::canAdoptChild(const std::shared_ptr<ViewController>& child) const {
  if (!child || child.get() == this) return false;
  auto parent = child->parent_.lock();
  if (parent && parent.get() != this) return false;
  if (child->presenting_.lock()) return false;
  if (auto window = child->windowOfRoot_.lock();
      window && window->rootViewController().get() == child.get()) {
    return false;
  }
  return !child->isAncestorOf(*this);
}

bool ViewController::replaceChildren(std::vector<std::shared_ptr<ViewController>> children) {
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (!canAdoptChild(children[i])) return false;
    for (std::size_t j = 0; j < i; ++j) {
      if (children[j] == children[i]) return false;
    }
  }
  std::vector<std::shared_ptr<ViewController>> previous = std::move(children_);
  children_ = std::move(children);
  auto self = weak_from_this();
  for (const auto& child : children_) child->parent_ = self;
  for (const auto& old : previous) {
    if (!containsController(children_, old.get())) {
      old->parent_.reset();
      didRemoveChild(*old);
    }
  }
  return true;
}

void ViewController::detachChild(ViewController& child) {
  auto it = std::find_if(children_.begin(), children_.end(),
                         [&child](const auto& e) { return e.get() == &child; });
  if (it == children_.end()) return;
  auto keep = *it;  // alive until the bookkeeping is done
  children_.erase(it);
  keep->parent_.reset();
  didRemoveChild(*keep);
}

bool ViewController::addChildViewController(std::shared_ptr<ViewController> child) {
  if (!canAdoptChild(child) || child->parent_.lock()) return false;
  auto children = children_;
  children.push_back(child);
  if (!replaceChildren(std::move(children))) return false;
  if (isAppearanceActive() && isChildViewShown(*child)) {
    child->beginAppearanceTransition(true, false);
    if (appearance_ == AppearanceState::Appeared) child->endAppearanceTransition();
  }
  return true;
}

void ViewController::removeFromParentViewController() {
  auto parent = parent_.lock();
  if (!parent) return;
  auto self = weak_from_this().lock();
  if (isAppearanceActive()) {
    beginAppearanceTransition(false, false);
    endAppearanceTransition();
  }
  parent->detachChild(*this);
}

// --- Presentation ------------------------------------------------------------------

std::shared_ptr<ViewController> ViewController::outermostAncestor() {
  // Null for a view controller not managed by a shared_ptr, which can be
  // in no hierarchy.
  auto vc = weak_from_this().lock();
  if (!vc) return nullptr;
  while (auto parent = vc->parent_.lock()) vc = parent;
  return vc;
}

std::shared_ptr<ViewController> ViewController::presentedViewController() const {
  std::shared_ptr<const ViewController> holder;
  for (const ViewController* vc = this; vc != nullptr;) {
    if (vc->presented_) return vc->presented_;
    holder = vc->parent_.lock();
    vc = holder.get();
  }
  return nullptr;
}

std::shared_ptr<ViewController> ViewController::presentingViewController() const {
  std::shared_ptr<const ViewController> holder;
  for (const ViewController* vc = this; vc != nullptr;) {
    if (auto presenting = vc->presenting_.lock()) return presenting;
    holder = vc->parent_.lock();
    vc = holder.get();
  }
  return nullptr;
}

bool ViewController::presentViewController(std::shared_ptr<ViewController> viewController,
                                           bool animated, std::function<void()> completion) {
  if (!viewController || viewController->parent_.lock() || viewController->presenting_.lock() ||
      viewController->presented_) {
    return false;
  }
  if (auto window = viewController->windowOfRoot_.lock();
      window && window->rootViewController() == viewController) {
    return false;
  }
  auto context = outermostAncestor();
  if (!context || context == viewController || viewController->isAncestorOf(*context)) return false;
  if (context->presented_ || !context->isViewInWindow()) return false;

  const bool visible = context->isAppearanceActive();
  const bool fullScreen = viewController->presentationStyle_ == ModalPresentationStyle::FullScreen;
  context->presented_ = viewController;
  viewController->presenting_ = context;
  viewController->beingPresented_ = true;
  if (visible) {
    std::vector<std::shared_ptr<ViewController>> disappearing;
    if (fullScreen) disappearing.push_back(context);
    runAppearanceTransition(disappearing, {viewController}, animated, [&] {
      if (fullScreen) context->coveredByPresentation_ = true;
    });
  } else if (fullScreen) {
    context->coveredByPresentation_ = true;
  }
  viewController->beingPresented_ = false;
  if (completion) completion();
  return true;
}

void ViewController::dismissPresented(bool animated) {
  auto target = presented_;
  if (!target) return;
  // Everything above goes first, top down.
  target->dismissPresented(animated);
  const bool visible = target->isAppearanceActive();
  const bool reveal = coveredByPresentation_;
  auto self = shared_from_this();
  target->beingDismissed_ = true;
  auto detach = [&] {
    presented_.reset();
    target->presenting_.reset();
  };
  if (visible) {
    coveredByPresentation_ = false;
    std::vector<std::shared_ptr<ViewController>> appearing;
    if (reveal) appearing.push_back(self);
    runAppearanceTransition({target}, appearing, animated, detach);
  } else {
    coveredByPresentation_ = false;
    detach();
  }
  target->beingDismissed_ = false;
}

bool ViewController::dismissViewController(bool animated, std::function<void()> completion) {
  auto context = outermostAncestor();
  if (!context) return false;
  if (context->presented_) {
    context->dismissPresented(animated);
  } else if (auto presenting = context->presenting_.lock()) {
    presenting->dismissPresented(animated);
  } else {
    return false;
  }
  if (completion) completion();
  return true;
}
