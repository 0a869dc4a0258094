// A window of the application: visible or hidden, key or not, showing the
// view of its root view controller (and whatever that one presents).
// Showing a window makes its content appear and hiding it makes it
// disappear; replacing the root of a visible window makes the old content
// disappear and the new appear.
//
// Key window changes post "UIWindowDidResignKeyNotification" (object: the
// window that resigned) and then "UIWindowDidBecomeKeyNotification"
// (object: the new key window) on the application's notification centre.
// When one window takes the key role from another, the new key window is
// already in place when the resign notification is posted, so observers
// of the resign see their new key window.
//
// Main thread only, like every view object. Created by
// Application::createWindow; holds its root view controller strongly. A
// window removed from the application (or outliving it) keeps its content
// but can no longer become key.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/AssociatedObjects.h"

class Application;
class ViewController;

inline constexpr char UIWindowDidBecomeKeyNotification[] = "UIWindowDidBecomeKeyNotification";
inline constexpr char UIWindowDidResignKeyNotification[] = "UIWindowDidResignKeyNotification";

class Window : public std::enable_shared_from_this<Window> {
 public:
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // A number unique in the process, for diagnostics.
  std::uint64_t windowNumber() const { return windowNumber_; }
  // Null once removed from the application.
  Application* application() const { return application_; }

  bool isKeyWindow() const;
  // Makes this the key window, then shows it.
  void makeKeyAndVisible();
  void makeKeyWindow();
  // Gives up the key role; afterwards no window is key.
  void resignKeyWindow();

  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden);

  std::shared_ptr<ViewController> rootViewController() const { return root_; }
  // Refused (no change) for a view controller that has a parent, is
  // presented, or is the root of another window.
  void setRootViewController(std::shared_ptr<ViewController> viewController);

  AssociatedObjects& associatedObjects() { return associated_; }
  const AssociatedObjects& associatedObjects() const { return associated_; }

 private:
  friend class Application;
  Window(Application* application, std::uint64_t windowNumber);

  // The root and everything presented above it, without the view
  // controllers a full-screen presentation covers.
  static std::vector<std::shared_ptr<ViewController>> contentChain(
      std::shared_ptr<ViewController> root);
  // Appearance of the root and of everything presented above it.
  void transitionContent(bool appearing);

  Application* application_;
  const std::uint64_t windowNumber_;
  bool hidden_ = true;
  std::shared_ptr<ViewController> root_;
  AssociatedObjects associated_;
};
