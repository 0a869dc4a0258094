// The app delegate: the app's answers to the application's messages. Every
// message has a default that stands for "not implemented" (an empty
// optional, or false for messages without an answer), so a delegate answers
// only the messages it overrides. The same interface serves the
// interceptors of the app-delegate proxy, which see each message before the
// app's delegate. All messages arrive on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

class Application;
class UserActivity;

// Hands the app the objects that should restore their state from an activity.
using RestorationHandler = std::function<void(const std::vector<Object>& restorableObjects)>;

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;

  // application:didFinishLaunchingWithOptions:; `launchOptions` is a
  // dictionary or nothing.
  virtual std::optional<bool> applicationDidFinishLaunchingWithOptions(
      Application& /*application*/, const std::optional<Object>& /*launchOptions*/) {
    return std::nullopt;
  }
  // application:openURL:options:; `url` is the absolute string.
  virtual std::optional<bool> applicationOpenURLOptions(Application& /*application*/,
                                                        const std::string& /*url*/,
                                                        const ObjectDictionary& /*options*/) {
    return std::nullopt;
  }
  // application:openURL:sourceApplication:annotation: (the older form).
  virtual std::optional<bool> applicationOpenURLSourceApplicationAnnotation(
      Application& /*application*/, const std::string& /*url*/,
      const std::optional<std::string>& /*sourceApplication*/,
      const std::optional<Object>& /*annotation*/) {
    return std::nullopt;
  }
  // application:continueUserActivity:restorationHandler:
  virtual std::optional<bool> applicationContinueUserActivityRestorationHandler(
      Application& /*application*/, const std::shared_ptr<const UserActivity>& /*userActivity*/,
      const RestorationHandler& /*restorationHandler*/) {
    return std::nullopt;
  }
  // application:handleEventsForBackgroundURLSession:completionHandler:.
  // Returns true when implemented. Only the owner of the session calls the
  // completion handler, once.
  virtual bool applicationHandleEventsForBackgroundURLSessionCompletionHandler(
      Application& /*application*/, const std::string& /*identifier*/,
      const std::function<void()>& /*completionHandler*/) {
    return false;
  }

  // Lifecycle messages, each sent just before the matching notification.
  virtual void applicationDidBecomeActive(Application& /*application*/) {}
  virtual void applicationWillResignActive(Application& /*application*/) {}
  virtual void applicationDidEnterBackground(Application& /*application*/) {}
  virtual void applicationWillEnterForeground(Application& /*application*/) {}
  virtual void applicationWillTerminate(Application& /*application*/) {}
};

// What the app-delegate proxy gives the application: the interceptors to
// ask, in order, before the app's own delegate. Implemented by
// HRNAppDelegateSwizzler. Thread-safe.
class ApplicationDelegateProxy {
 public:
  virtual ~ApplicationDelegateProxy() = default;
  virtual std::vector<std::shared_ptr<ApplicationDelegate>> appDelegateInterceptors() const = 0;
};
