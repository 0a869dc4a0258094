#include "platform/Application.h"

#include <algorithm>
#include <utility>

#include "platform/Dispatch.h"
#include "platform/NotificationCenter.h"
#include "platform/UserActivity.h"
#include "platform/Window.h"

Application::Application(NotificationCenter& notificationCenter, Dispatch& dispatch)
    : notificationCenter_(notificationCenter), dispatch_(dispatch) {}

Application::~Application() {
  for (const auto& window : windows_) window->application_ = nullptr;
}

bool Application::isMainThread() const { return dispatch_.isMainThread(); }

ApplicationState Application::applicationState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

Application::Phase Application::phase() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return phase_;
}

std::optional<Object> Application::launchOptions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return launchOptions_;
}

void Application::setState(ApplicationState state) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = state;
}

void Application::post(const char* name, std::optional<Object> userInfo) {
  notificationCenter_.post(name, this, std::move(userInfo));
}

// --- Lifecycle -------------------------------------------------------------------

template <typename Change>
bool Application::transition(bool (*allowed)(Phase, ApplicationState), Change change) {
  if (!isMainThread()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (transitioning_ || !allowed(phase_, state_)) return false;
    transitioning_ = true;
  }
  change();
  std::lock_guard<std::mutex> lock(mutex_);
  transitioning_ = false;
  return true;
}

bool Application::finishLaunching(std::optional<Object> launchOptions) {
  if (launchOptions && !launchOptions->isDictionary()) launchOptions.reset();
  return transition([](Phase p, ApplicationState) { return p == Phase::NotLaunched; },
                    [&] {
                      {
                        std::lock_guard<std::mutex> lock(mutex_);
                        phase_ = Phase::Running;
                        state_ = ApplicationState::Inactive;
                        launchOptions_ = launchOptions;
                      }
                      deliver([&](ApplicationDelegate& d) {
                        return d.applicationDidFinishLaunchingWithOptions(*this, launchOptions);
                      });
                      post(UIApplicationDidFinishLaunchingNotification, launchOptions);
                    });
}

bool Application::becomeActive() {
  return transition(
      [](Phase p, ApplicationState s) {
        return p == Phase::Running && s == ApplicationState::Inactive;
      },
      [&] {
        setState(ApplicationState::Active);
        deliverLifecycle([&](ApplicationDelegate& d) { d.applicationDidBecomeActive(*this); });
        post(UIApplicationDidBecomeActiveNotification);
      });
}

bool Application::resignActive() {
  return transition(
      [](Phase p, ApplicationState s) {
        return p == Phase::Running && s == ApplicationState::Active;
      },
      [&] {
        deliverLifecycle([&](ApplicationDelegate& d) { d.applicationWillResignActive(*this); });
        post(UIApplicationWillResignActiveNotification);
        setState(ApplicationState::Inactive);
      });
}

bool Application::enterBackground() {
  return transition(
      [](Phase p, ApplicationState s) {
        return p == Phase::Running && s == ApplicationState::Inactive;
      },
      [&] {
        setState(ApplicationState::Background);
        deliverLifecycle([&](ApplicationDelegate& d) { d.applicationDidEnterBackground(*this); });
        post(UIApplicationDidEnterBackgroundNotification);
      });
}

bool Application::enterForeground() {
  return transition(
      [](Phase p, ApplicationState s) {
        return p == Phase::Running && s == ApplicationState::Background;
      },
      [&] {
        deliverLifecycle([&](ApplicationDelegate& d) { d.applicationWillEnterForeground(*this); });
        post(UIApplicationWillEnterForegroundNotification);
        setState(ApplicationState::Inactive);
      });
}

bool Application::terminate() {
  return transition(
      [](Phase p, ApplicationState s) {
        return p == Phase::Running && s != ApplicationState::Active;
      },
      [&] {
        deliverLifecycle([&](ApplicationDelegate& d) { d.applicationWillTerminate(*this); });
        post(UIApplicationWillTerminateNotification);
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = Phase::Terminated;
      });
}

// --- Delegate --------------------------------------------------------------------

void Application::setDelegate(std::weak_ptr<ApplicationDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delegate_.lock();
}

void Application::setDelegateProxy(std::weak_ptr<ApplicationDelegateProxy> proxy) {
  std::lock_guard<std::mutex> lock(mutex_);
  proxy_ = std::move(proxy);
}

bool Application::hasDelegateProxy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !proxy_.expired();
}

std::vector<std::shared_ptr<ApplicationDelegate>> Application::interceptors() const {
  std::shared_ptr<ApplicationDelegateProxy> proxy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    proxy = proxy_.lock();
  }
  if (!proxy) return {};
  return proxy->appDelegateInterceptors();
}

template <typename Message>
std::optional<bool> Application::deliver(Message message) {
  std::optional<bool> intercepted;
  for (const auto& interceptor : interceptors()) {
    if (std::optional<bool> answer = message(*interceptor)) {
      intercepted = intercepted.value_or(false) || *answer;
    }
  }
  if (auto appDelegate = delegate()) {
    if (std::optional<bool> answer = message(*appDelegate)) return answer;
  }
  return intercepted;
}

template <typename Message>
void Application::deliverLifecycle(Message message) {
  for (const auto& interceptor : interceptors()) message(*interceptor);
  if (auto appDelegate = delegate()) message(*appDelegate);
}

std::optional<bool> Application::deliverOpenURL(const std::string& url,
                                                const ObjectDictionary& options) {
  if (!isMainThread()) return std::nullopt;
  std::optional<bool> intercepted;
  for (const auto& interceptor : interceptors()) {
    if (auto answer = interceptor->applicationOpenURLOptions(*this, url, options)) {
      intercepted = intercepted.value_or(false) || *answer;
    }
  }
  auto appDelegate = delegate();
  if (!appDelegate) return intercepted;
  if (auto answer = appDelegate->applicationOpenURLOptions(*this, url, options)) return answer;
  // The older message goes to the app's delegate only: the interceptors
  // have seen this URL already.
  std::optional<std::string> sourceApplication;
  std::optional<Object> annotation;
  if (auto it = options.find(Object(UIApplicationOpenURLOptionsSourceApplicationKey));
      it != options.end() && it->second.isString()) {
    sourceApplication = *it->second.asString();
  }
  if (auto it = options.find(Object(UIApplicationOpenURLOptionsAnnotationKey));
      it != options.end()) {
    annotation = it->second;
  }
  if (auto answer = appDelegate->applicationOpenURLSourceApplicationAnnotation(
          *this, url, sourceApplication, annotation)) {
    return answer;
  }
  return intercepted;
}

std::optional<bool> Application::deliverContinueUserActivity(
    std::shared_ptr<const UserActivity> activity, RestorationHandler restorationHandler) {
  if (!isMainThread()) return std::nullopt;
  if (!restorationHandler) restorationHandler = [](const std::vector<Object>&) {};
  return deliver([&](ApplicationDelegate& d) {
    return d.applicationContinueUserActivityRestorationHandler(*this, activity, restorationHandler);
  });
}

bool Application::deliverBackgroundURLSessionEvents(const std::string& identifier,
                                                    std::function<void()> completionHandler) {
  if (!isMainThread()) return false;
  if (!completionHandler) completionHandler = [] {};
  bool implemented = false;
  for (const auto& interceptor : interceptors()) {
    implemented |= interceptor->applicationHandleEventsForBackgroundURLSessionCompletionHandler(
        *this, identifier, completionHandler);
  }
  if (auto appDelegate = delegate()) {
    implemented |= appDelegate->applicationHandleEventsForBackgroundURLSessionCompletionHandler(
        *this, identifier, completionHandler);
  }
  return implemented;
}

Object Application::launchOptionsWithURL(const std::string& url) {
  return Object::dictionary({{Object(UIApplicationLaunchOptionsURLKey), Object::url(url)}});
}

Object Application::launchOptionsWithUserActivity(std::shared_ptr<const UserActivity> activity) {
  ObjectDictionary inner;
  if (activity) {
    inner.emplace(Object(UIApplicationLaunchOptionsUserActivityTypeKey),
                  Object(activity->activityType()));
    inner.emplace(Object(UIApplicationLaunchOptionsUserActivityKey),
                  UserActivity::toObject(std::move(activity)));
  }
  return Object::dictionary({{Object(UIApplicationLaunchOptionsUserActivityDictionaryKey),
                              Object::dictionary(std::move(inner))}});
}

// --- Background tasks -----------------------------------------------------------------

BackgroundTaskIdentifier Application::beginBackgroundTask(const std::string& name,
                                                          std::function<void()> expirationHandler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (phase_ == Phase::Terminated || !backgroundTasksAvailable_) return kBackgroundTaskInvalid;
  BackgroundTaskIdentifier identifier = nextBackgroundTask_++;
  backgroundTasks_.push_back({identifier, name, std::move(expirationHandler), false});
  return identifier;
}

bool Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
  std::function<void()> released;  // destroyed outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  if (identifier == kBackgroundTaskInvalid) return false;
  auto it = std::find_if(backgroundTasks_.begin(), backgroundTasks_.end(),
                         [identifier](const auto& t) { return t.identifier == identifier; });
  if (it == backgroundTasks_.end()) return false;
  released = std::move(it->expirationHandler);
  backgroundTasks_.erase(it);
  return true;
}

std::vector<BackgroundTaskInfo> Application::backgroundTasks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<BackgroundTaskInfo> list;
  for (const auto& task : backgroundTasks_) {
    list.push_back({task.identifier, task.name, task.expired});
  }
  return list;
}

int Application::expireBackgroundTasks() {
  std::vector<std::function<void()>> handlers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& task : backgroundTasks_) {
      if (task.expired) continue;
      task.expired = true;
      if (task.expirationHandler) handlers.push_back(task.expirationHandler);
    }
  }
  for (auto& handler : handlers) dispatch_.mainQueue()->async(std::move(handler));
  return static_cast<int>(handlers.size());
}

void Application::setBackgroundTasksAvailable(bool available) {
  std::lock_guard<std::mutex> lock(mutex_);
  backgroundTasksAvailable_ = available;
}

// --- Windows --------------------------------------------------------------------------

std::shared_ptr<Window> Application::createWindow() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::shared_ptr<Window> window(new Window(this, nextWindowNumber_++));
  windows_.push_back(window);
  return window;
}

void Application::removeWindow(const std::shared_ptr<Window>& window) {
  if (!window) return;
  windowResignsKey(window.get());
  auto keep = window;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(windows_.begin(), windows_.end(), window);
    if (it == windows_.end()) return;
    windows_.erase(it);
  }
  keep->setHidden(true);
  keep->application_ = nullptr;
}

std::vector<std::shared_ptr<Window>> Application::windows() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return windows_;
}

std::shared_ptr<Window> Application::keyWindow() const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& window : windows_) {
    if (window.get() == keyWindow_) return window;
  }
  return nullptr;
}

bool Application::isKeyWindow(const Window* window) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return window != nullptr && window == keyWindow_;
}

void Application::windowRequestsKey(Window* window) {
  Window* previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    bool known = std::any_of(windows_.begin(), windows_.end(),
                             [window](const auto& w) { return w.get() == window; });
    if (!known || keyWindow_ == window) return;
    previous = keyWindow_;
    keyWindow_ = window;
  }
  if (previous) notificationCenter_.post(UIWindowDidResignKeyNotification, previous);
  notificationCenter_.post(UIWindowDidBecomeKeyNotification, window);
}

void Application::windowResignsKey(Window* window) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (window == nullptr || keyWindow_ != window) return;
    keyWindow_ = nullptr;
  }
  notificationCenter_.post(UIWindowDidResignKeyNotification, window);
}
