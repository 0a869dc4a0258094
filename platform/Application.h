// The application object: its state, the lifecycle notifications, the app
// delegate, background tasks and windows. The host (the launcher's main
// loop, or a test) drives it: it finishes launching, moves the app between
// active, inactive and background, terminates it, and delivers what the
// system hands the app (opened URLs, user activities, background-session
// events). Each change posts the platform's notification, with this object
// as the notification's object, on the NotificationCenter given at
// construction.
//
// Threading: the lifecycle calls and the delivery calls are made on the
// main thread (they are refused elsewhere); delegate messages and
// notifications therefore arrive on the main thread. State reads,
// background tasks and the window list are thread-safe. The notification
// centre and dispatch service must outlive the application; windows that
// outlive it lose their link to it. The app delegate is held weakly, as on
// the original platform.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"
#include "platform/ApplicationDelegate.h"

class Dispatch;
class NotificationCenter;
class UserActivity;
class Window;

// Lifecycle notifications, in the order a launch and a trip to the
// background post them.
inline constexpr char UIApplicationDidFinishLaunchingNotification[] =
    "UIApplicationDidFinishLaunchingNotification";
inline constexpr char UIApplicationDidBecomeActiveNotification[] =
    "UIApplicationDidBecomeActiveNotification";
inline constexpr char UIApplicationWillResignActiveNotification[] =
    "UIApplicationWillResignActiveNotification";
inline constexpr char UIApplicationDidEnterBackgroundNotification[] =
    "UIApplicationDidEnterBackgroundNotification";
inline constexpr char UIApplicationWillEnterForegroundNotification[] =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr char UIApplicationWillTerminateNotification[] =
    "UIApplicationWillTerminateNotification";

// Launch option keys.
inline constexpr char UIApplicationLaunchOptionsURLKey[] = "UIApplicationLaunchOptionsURLKey";
inline constexpr char UIApplicationLaunchOptionsUserActivityDictionaryKey[] =
    "UIApplicationLaunchOptionsUserActivityDictionaryKey";
inline constexpr char UIApplicationLaunchOptionsUserActivityKey[] =
    "UIApplicationLaunchOptionsUserActivityKey";
inline constexpr char UIApplicationLaunchOptionsUserActivityTypeKey[] =
    "UIApplicationLaunchOptionsUserActivityTypeKey";
// Open-URL option keys.
inline constexpr char UIApplicationOpenURLOptionsSourceApplicationKey[] =
    "UIApplicationOpenURLOptionsSourceApplicationKey";
inline constexpr char UIApplicationOpenURLOptionsAnnotationKey[] =
    "UIApplicationOpenURLOptionsAnnotationKey";

// The class and selector the shared application is looked up by.
inline constexpr char kApplicationClassName[] = "UIApplication";
inline constexpr char kSharedApplicationSelector[] = "sharedApplication";

// The application state values of the original platform.
enum class ApplicationState : int { Active = 0, Inactive = 1, Background = 2 };

using BackgroundTaskIdentifier = std::uint64_t;
// Never handed out for a task; what "no background task" is.
inline constexpr BackgroundTaskIdentifier kBackgroundTaskInvalid = 0;

struct BackgroundTaskInfo {
  BackgroundTaskIdentifier identifier = kBackgroundTaskInvalid;
  std::string name;
  bool expired = false;  // its expiry handler has been dispatched
};

class Application {
 public:
  enum class Phase { NotLaunched, Running, Terminated };

  Application(NotificationCenter& notificationCenter, Dispatch& dispatch);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  NotificationCenter& notificationCenter() const { return notificationCenter_; }
  Dispatch& dispatch() const { return dispatch_; }

  // --- State ---------------------------------------------------------------
  // Before launch and while launching the app is inactive.
  ApplicationState applicationState() const;
  Phase phase() const;
  // The options the app was launched with (a dictionary), if any.
  std::optional<Object> launchOptions() const;

  // --- Lifecycle, driven by the host on the main thread ----------------------
  // Each returns false and changes nothing when called out of order, off the
  // main thread, or from inside another lifecycle change (an observer that
  // reacts to a notification by changing the state).
  //
  // Not launched -> inactive: the delegate's didFinishLaunching, then
  // "UIApplicationDidFinishLaunchingNotification" with the launch options
  // (a dictionary) as user info.
  [[nodiscard]] bool finishLaunching(std::optional<Object> launchOptions = std::nullopt);
  // Inactive -> active: "UIApplicationDidBecomeActiveNotification".
  [[nodiscard]] bool becomeActive();
  // Active -> inactive: "UIApplicationWillResignActiveNotification", posted
  // while the state is still active.
  [[nodiscard]] bool resignActive();
  // Inactive -> background: "UIApplicationDidEnterBackgroundNotification",
  // posted once the state is background.
  [[nodiscard]] bool enterBackground();
  // Background -> inactive: "UIApplicationWillEnterForegroundNotification",
  // posted while the state is still background.
  [[nodiscard]] bool enterForeground();
  // Inactive or background -> terminated: "UIApplicationWillTerminateNotification".
  [[nodiscard]] bool terminate();

  // --- Delegate --------------------------------------------------------------
  void setDelegate(std::weak_ptr<ApplicationDelegate> delegate);
  // The app's own delegate (not the proxy); null when none or released.
  std::shared_ptr<ApplicationDelegate> delegate() const;
  // Installs the app-delegate proxy: from then on its interceptors receive
  // every delegate message before the app's delegate. Held weakly; null
  // removes it.
  void setDelegateProxy(std::weak_ptr<ApplicationDelegateProxy> proxy);
  bool hasDelegateProxy() const;

  // --- What the system delivers (host, main thread) ----------------------------
  // Each message goes to the proxy's interceptors first, then to the app's
  // delegate. The answer is the delegate's when it implements the message,
  // else true when any interceptor answered true, else false when an
  // interceptor answered; nothing when nobody implements it (or when called
  // off the main thread).
  //
  // An opened URL: application:openURL:options:. When the app's delegate does
  // not implement it, the older application:openURL:sourceApplication:annotation:
  // goes to the delegate with the source application and annotation taken
  // from the options.
  std::optional<bool> deliverOpenURL(const std::string& url, const ObjectDictionary& options = {});
  std::optional<bool> deliverContinueUserActivity(std::shared_ptr<const UserActivity> activity,
                                                  RestorationHandler restorationHandler = {});
  // Returns true when the delegate or an interceptor implements the message.
  bool deliverBackgroundURLSessionEvents(const std::string& identifier,
                                         std::function<void()> completionHandler);

  // Launch options as the system builds them.
  static Object launchOptionsWithURL(const std::string& url);
  static Object launchOptionsWithUserActivity(std::shared_ptr<const UserActivity> activity);

  // --- Background tasks (any thread) -------------------------------------------
  // Returns a new identifier, never kBackgroundTaskInvalid, unless the app
  // has terminated or background tasks are switched off (then the invalid
  // identifier). `expirationHandler` runs on the main queue when the host
  // expires the task.
  BackgroundTaskIdentifier beginBackgroundTask(const std::string& name,
                                               std::function<void()> expirationHandler);
  // Ends an outstanding task. Returns false for the invalid identifier and
  // for tasks that are unknown or already ended.
  bool endBackgroundTask(BackgroundTaskIdentifier identifier);
  // Outstanding tasks, oldest first.
  std::vector<BackgroundTaskInfo> backgroundTasks() const;
  // Host/test: the system's time for background work ran out. Dispatches the
  // expiry handler of every outstanding task not yet expired to the main
  // queue, oldest first. The tasks stay outstanding until ended. Returns the
  // number of handlers dispatched.
  int expireBackgroundTasks();
  // Host/test: when false, beginBackgroundTask answers the invalid identifier.
  void setBackgroundTasksAvailable(bool available);

  // --- Windows (main thread for changes; reads are thread-safe) --------------
  // A new hidden window without a root view controller.
  std::shared_ptr<Window> createWindow();
  // Removes a window (resigning key first when it is the key window).
  void removeWindow(const std::shared_ptr<Window>& window);
  // The application's windows, in the order they were created.
  std::vector<std::shared_ptr<Window>> windows() const;
  // Null when no window is key.
  std::shared_ptr<Window> keyWindow() const;

 private:
  friend class Window;

  // Runs `change` when `allowed` holds for the current phase and state, on
  // the main thread and outside any other change.
  template <typename Change>
  bool transition(bool (*allowed)(Phase, ApplicationState), Change change);
  void setState(ApplicationState state);
  void post(const char* name, std::optional<Object> userInfo = std::nullopt);
  std::vector<std::shared_ptr<ApplicationDelegate>> interceptors() const;
  // Calls `message` on every interceptor and then on the app's delegate.
  template <typename Message>
  std::optional<bool> deliver(Message message);
  template <typename Message>
  void deliverLifecycle(Message message);
  bool isMainThread() const;

  // Called by Window on the main thread.
  void windowRequestsKey(Window* window);
  void windowResignsKey(Window* window);
  bool isKeyWindow(const Window* window) const;

  NotificationCenter& notificationCenter_;
  Dispatch& dispatch_;

  mutable std::mutex mutex_;
  Phase phase_ = Phase::NotLaunched;
  ApplicationState state_ = ApplicationState::Inactive;
  bool transitioning_ = false;
  std::optional<Object> launchOptions_;
  std::weak_ptr<ApplicationDelegate> delegate_;
  std::weak_ptr<ApplicationDelegateProxy> proxy_;

  struct BackgroundTask {
    BackgroundTaskIdentifier identifier;
    std::string name;
    std::function<void()> expirationHandler;
    bool expired = false;
  };
  std::vector<BackgroundTask> backgroundTasks_;
  BackgroundTaskIdentifier nextBackgroundTask_ = 1;
  bool backgroundTasksAvailable_ = true;

  std::vector<std::shared_ptr<Window>> windows_;
  Window* keyWindow_ = nullptr;
  std::uint64_t nextWindowNumber_ = 1;
};
