#include "platform/Window.h"

#include <utility>
#include <vector>

#include "platform/Application.h"
#include "platform/ViewController.h"

Window::Window(Application* application, std::uint64_t windowNumber)
    : application_(application), windowNumber_(windowNumber) {}

Window::~Window() = default;

std::vector<std::shared_ptr<ViewController>> Window::contentChain(
    std::shared_ptr<ViewController> root) {
  std::vector<std::shared_ptr<ViewController>> chain;
  for (auto vc = std::move(root); vc; vc = vc->presented_) {
    if (!vc->coveredByPresentation_) chain.push_back(vc);
  }
  return chain;
}

bool Window::isKeyWindow() const {
  return application_ != nullptr && application_->isKeyWindow(this);
}

void Window::makeKeyAndVisible() {
  makeKeyWindow();
  setHidden(false);
}

void Window::makeKeyWindow() {
  if (application_ != nullptr) application_->windowRequestsKey(this);
}

void Window::resignKeyWindow() {
  if (application_ != nullptr) application_->windowResignsKey(this);
}

void Window::transitionContent(bool appearing) {
  auto chain = contentChain(root_);
  if (appearing) {
    ViewController::runAppearanceTransition({}, chain, false);
  } else {
    ViewController::runAppearanceTransition(chain, {}, false);
  }
}

void Window::setHidden(bool hidden) {
  if (hidden_ == hidden) return;
  auto self = shared_from_this();
  hidden_ = hidden;
  if (root_) root_->loadViewIfNeeded();
  transitionContent(!hidden);
}

void Window::setRootViewController(std::shared_ptr<ViewController> viewController) {
  if (viewController == root_) return;
  if (viewController) {
    if (viewController->parentViewController() || viewController->presenting_.lock()) return;
    if (auto other = viewController->windowOfRoot_.lock();
        other && other->rootViewController() == viewController) {
      return;
    }
  }
  auto self = shared_from_this();
  auto old = root_;
  auto leaving = hidden_ ? std::vector<std::shared_ptr<ViewController>>() : contentChain(old);
  root_ = viewController;
  if (old) old->windowOfRoot_.reset();
  if (root_) {
    root_->windowOfRoot_ = weak_from_this();
    root_->loadViewIfNeeded();
  }
  if (hidden_) return;
  ViewController::runAppearanceTransition(leaving, contentChain(root_), false);
}
