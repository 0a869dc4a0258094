// The application object: lifecycle order and notifications, the app
// delegate behind the proxy's interceptors, background tasks.
#include <gtest/gtest.h>

#include <thread>

#include "platform/UserActivity.h"
#include "platform_test_support.h"
#include "utilities/HRNAppDelegateSwizzler.h"

namespace {

using Names = std::vector<std::string>;

TEST(ApplicationLifecycleTest, PostsTheLifecycleNotificationsInOrder) {
  ApplicationTestEnvironment env;
  env.recordNotifications("UIApplication");
  std::vector<ApplicationState> statesSeen;
  env.center.addObserver(&statesSeen, "", nullptr, [&](const Notification& n) {
    if (n.name.rfind("UIApplication", 0) == 0)
      statesSeen.push_back(env.application.applicationState());
  });

  ASSERT_TRUE(env.application.finishLaunching());
  ASSERT_TRUE(env.application.becomeActive());
  ASSERT_TRUE(env.application.resignActive());
  ASSERT_TRUE(env.application.enterBackground());
  ASSERT_TRUE(env.application.enterForeground());
  ASSERT_TRUE(env.application.becomeActive());
  ASSERT_TRUE(env.application.resignActive());
  ASSERT_TRUE(env.application.enterBackground());
  ASSERT_TRUE(env.application.terminate());

  EXPECT_EQ(env.postedNames(), (Names{"UIApplicationDidFinishLaunchingNotification",
                                      "UIApplicationDidBecomeActiveNotification",
                                      "UIApplicationWillResignActiveNotification",
                                      "UIApplicationDidEnterBackgroundNotification",
                                      "UIApplicationWillEnterForegroundNotification",
                                      "UIApplicationDidBecomeActiveNotification",
                                      "UIApplicationWillResignActiveNotification",
                                      "UIApplicationDidEnterBackgroundNotification",
                                      "UIApplicationWillTerminateNotification"}));
  for (const auto& p : env.posted) EXPECT_EQ(p.object, &env.application);
  // "Will" notifications see the state being left; "did" ones the new one.
  using S = ApplicationState;
  EXPECT_EQ(statesSeen,
            (std::vector<S>{S::Inactive, S::Active, S::Active, S::Background, S::Background,
                            S::Active, S::Active, S::Background, S::Background}));
  EXPECT_EQ(env.application.phase(), Application::Phase::Terminated);
  env.center.removeObserver(&statesSeen);
}

TEST(ApplicationLifecycleTest, RefusesOutOfOrderChangesAndPostsNothingForThem) {
  ApplicationTestEnvironment env;
  env.recordNotifications("UIApplication");

  EXPECT_FALSE(env.application.becomeActive());  // not launched
  EXPECT_FALSE(env.application.terminate());
  ASSERT_TRUE(env.application.finishLaunching());
  EXPECT_FALSE(env.application.finishLaunching());  // twice
  EXPECT_FALSE(env.application.resignActive());     // not active
  EXPECT_FALSE(env.application.enterForeground());  // not in the background
  ASSERT_TRUE(env.application.becomeActive());
  EXPECT_FALSE(env.application.becomeActive());
  EXPECT_FALSE(env.application.enterBackground());  // must resign first
  EXPECT_FALSE(env.application.terminate());        // still active
  EXPECT_EQ(env.application.applicationState(), ApplicationState::Active);

  EXPECT_EQ(env.postedNames(), (Names{"UIApplicationDidFinishLaunchingNotification",
                                      "UIApplicationDidBecomeActiveNotification"}));
}

TEST(ApplicationLifecycleTest, RefusesChangesOffTheMainThreadAndFromInsideAChange) {
  ApplicationTestEnvironment env;
  bool fromOtherThread = true;
  std::thread([&] { fromOtherThread = env.application.finishLaunching(); }).join();
  EXPECT_FALSE(fromOtherThread);
  EXPECT_EQ(env.application.phase(), Application::Phase::NotLaunched);

  // An observer that reacts to becoming active by resigning at once would
  // post "will resign" inside "did become active".
  bool nested = true;
  env.center.addObserver(&nested, UIApplicationDidBecomeActiveNotification, nullptr,
                         [&](const Notification&) { nested = env.application.resignActive(); });
  ASSERT_TRUE(env.application.finishLaunching());
  ASSERT_TRUE(env.application.becomeActive());
  EXPECT_FALSE(nested);
  EXPECT_EQ(env.application.applicationState(), ApplicationState::Active);
  env.center.removeObserver(&nested);
}

TEST(ApplicationLifecycleTest, LaunchOptionsTravelAsUserInfoOfDidFinishLaunching) {
  ApplicationTestEnvironment env;
  std::optional<Object> userInfo;
  env.center.addObserver(&userInfo, UIApplicationDidFinishLaunchingNotification, nullptr,
                         [&](const Notification& n) { userInfo = n.userInfo; });
  auto activity =
      std::make_shared<UserActivity>(NSUserActivityTypeBrowsingWeb, "https://example.com/a?x=1");
  ASSERT_TRUE(
      env.application.finishLaunching(Application::launchOptionsWithUserActivity(activity)));

  ASSERT_TRUE(userInfo.has_value());
  const Object* inner = userInfo->objectForKey(UIApplicationLaunchOptionsUserActivityDictionaryKey);
  ASSERT_NE(inner, nullptr);
  const Object* stored = inner->objectForKey(UIApplicationLaunchOptionsUserActivityKey);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->className(), "NSUserActivity");
  EXPECT_EQ(UserActivity::fromObject(*stored), activity);
  EXPECT_EQ(env.application.launchOptions(), userInfo);
  env.center.removeObserver(&userInfo);
}

// --- Delegate and interceptors ---------------------------------------------------------

// Records every message it gets; answers only openURL:options: and
// continueUserActivity, like the library's interceptor.
class RecordingInterceptor : public ApplicationDelegate {
 public:
  explicit RecordingInterceptor(std::vector<std::string>* log, std::string name)
      : log_(log), name_(std::move(name)) {}
  std::optional<bool> applicationOpenURLOptions(Application&, const std::string& url,
                                                const ObjectDictionary&) override {
    log_->push_back(name_ + " openURL:options: " + url);
    return false;
  }
  std::optional<bool> applicationOpenURLSourceApplicationAnnotation(
      Application&, const std::string& url, const std::optional<std::string>&,
      const std::optional<Object>&) override {
    log_->push_back(name_ + " openURL:sourceApplication: " + url);
    return false;
  }
  std::optional<bool> applicationContinueUserActivityRestorationHandler(
      Application&, const std::shared_ptr<const UserActivity>& activity,
      const RestorationHandler&) override {
    log_->push_back(name_ + " continueUserActivity " + activity->webpageURL().value_or(""));
    return false;
  }
  bool applicationHandleEventsForBackgroundURLSessionCompletionHandler(
      Application&, const std::string& identifier, const std::function<void()>&) override {
    log_->push_back(name_ + " backgroundSession " + identifier);
    return true;
  }
  void applicationDidBecomeActive(Application&) override {
    log_->push_back(name_ + " didBecomeActive");
  }

 private:
  std::vector<std::string>* log_;
  std::string name_;
};

// An app delegate that implements only the older open-URL message.
class LegacyAppDelegate : public ApplicationDelegate {
 public:
  explicit LegacyAppDelegate(std::vector<std::string>* log) : log_(log) {}
  std::optional<bool> applicationOpenURLSourceApplicationAnnotation(
      Application&, const std::string& url, const std::optional<std::string>& source,
      const std::optional<Object>&) override {
    log_->push_back("app openURL:sourceApplication: " + url + " from " + source.value_or("?"));
    return true;
  }

 private:
  std::vector<std::string>* log_;
};

TEST(ApplicationDelegateTest, InterceptorsAreAskedBeforeTheAppDelegate) {
  ApplicationTestEnvironment env;
  std::vector<std::string> log;
  auto swizzler = std::make_shared<HRNAppDelegateSwizzler>(env.application);
  auto appDelegate = std::make_shared<LegacyAppDelegate>(&log);
  env.application.setDelegate(appDelegate);
  EXPECT_NE(swizzler->registerAppDelegateInterceptor(
                std::make_shared<RecordingInterceptor>(&log, "first")),
            kHRNAppDelegateInterceptorInvalidID);
  auto secondID = swizzler->registerAppDelegateInterceptor(
      std::make_shared<RecordingInterceptor>(&log, "second"));

  // Registered but not proxied yet: the app's delegate alone is asked.
  ObjectDictionary options{
      {Object(UIApplicationOpenURLOptionsSourceApplicationKey), Object("com.example.browser")}};
  EXPECT_EQ(env.application.deliverOpenURL("game://a", options), std::optional<bool>(true));
  EXPECT_EQ(log, (Names{"app openURL:sourceApplication: game://a from com.example.browser"}));

  log.clear();
  swizzler->proxyOriginalDelegate();
  ASSERT_TRUE(env.application.hasDelegateProxy());
  // The interceptors see the modern message first; the app's delegate,
  // which lacks it, then gets the older one, and its answer counts.
  EXPECT_EQ(env.application.deliverOpenURL("game://b", options), std::optional<bool>(true));
  EXPECT_EQ(log, (Names{"first openURL:options: game://b", "second openURL:options: game://b",
                        "app openURL:sourceApplication: game://b from com.example.browser"}));

  // A message the app's delegate does not implement: the interceptors'
  // answer stands.
  log.clear();
  auto activity = std::make_shared<UserActivity>(NSUserActivityTypeBrowsingWeb, "https://e.com/x");
  EXPECT_EQ(env.application.deliverContinueUserActivity(activity), std::optional<bool>(false));
  EXPECT_EQ(log, (Names{"first continueUserActivity https://e.com/x",
                        "second continueUserActivity https://e.com/x"}));

  log.clear();
  swizzler->unregisterAppDelegateInterceptorWithID(secondID);
  EXPECT_TRUE(env.application.deliverBackgroundURLSessionEvents("session-1", [] {}));
  ASSERT_TRUE(env.application.finishLaunching());
  ASSERT_TRUE(env.application.becomeActive());
  EXPECT_EQ(log, (Names{"first backgroundSession session-1", "first didBecomeActive"}));
}

TEST(ApplicationDelegateTest, NobodyImplementingAMessageAnswersNothing) {
  ApplicationTestEnvironment env;
  auto plain = std::make_shared<ApplicationDelegate>();
  env.application.setDelegate(plain);
  EXPECT_EQ(env.application.deliverOpenURL("game://a"), std::nullopt);
  EXPECT_EQ(env.application.deliverContinueUserActivity(
                std::make_shared<UserActivity>(NSUserActivityTypeBrowsingWeb)),
            std::nullopt);
  EXPECT_FALSE(env.application.deliverBackgroundURLSessionEvents("s", [] {}));
  // The delegate is held weakly.
  plain.reset();
  EXPECT_EQ(env.application.delegate(), nullptr);
}

TEST(ApplicationDelegateTest, ASwitchedOffProxyIsNeverInstalled) {
  ApplicationTestEnvironment env;
  std::vector<std::string> log;
  auto swizzler = std::make_shared<HRNAppDelegateSwizzler>(env.application);
  EXPECT_TRUE(swizzler->isAppDelegateProxyEnabled());
  swizzler->setAppDelegateProxyEnabled(false);
  (void)swizzler->registerAppDelegateInterceptor(
      std::make_shared<RecordingInterceptor>(&log, "first"));
  swizzler->proxyOriginalDelegate();
  EXPECT_FALSE(swizzler->isProxyInstalled());
  EXPECT_EQ(env.application.deliverOpenURL("game://a"), std::nullopt);
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(swizzler->registerAppDelegateInterceptor(nullptr), kHRNAppDelegateInterceptorInvalidID);
}

// --- Background tasks ---------------------------------------------------------------------

TEST(ApplicationBackgroundTaskTest, IdentifiersAreValidDistinctAndNeverReused) {
  ApplicationTestEnvironment env;
  auto a = env.application.beginBackgroundTask("a", nullptr);
  auto b = env.application.beginBackgroundTask("b", nullptr);
  EXPECT_NE(a, kBackgroundTaskInvalid);
  EXPECT_NE(b, kBackgroundTaskInvalid);
  EXPECT_NE(a, b);
  EXPECT_TRUE(env.application.endBackgroundTask(a));
  EXPECT_FALSE(env.application.endBackgroundTask(a));  // already ended
  EXPECT_FALSE(env.application.endBackgroundTask(kBackgroundTaskInvalid));
  ASSERT_EQ(env.application.backgroundTasks().size(), 1u);
  EXPECT_EQ(env.application.backgroundTasks()[0].identifier, b);
  EXPECT_EQ(env.application.backgroundTasks()[0].name, "b");
  auto c = env.application.beginBackgroundTask("c", nullptr);
  EXPECT_NE(c, a);
  EXPECT_NE(c, b);
}

TEST(ApplicationBackgroundTaskTest, ExpiryHandlersRunOnTheMainQueueAndMayEndTheirTask) {
  ApplicationTestEnvironment env;
  std::vector<std::string> ran;
  BackgroundTaskIdentifier upload = kBackgroundTaskInvalid;
  upload = env.application.beginBackgroundTask("upload", [&] {
    ran.push_back(env.dispatch.isMainThread() ? "upload on main" : "upload elsewhere");
    EXPECT_TRUE(env.application.endBackgroundTask(upload));
  });
  auto other = env.application.beginBackgroundTask("other", [&] { ran.push_back("other"); });

  EXPECT_EQ(env.application.expireBackgroundTasks(), 2);
  EXPECT_TRUE(ran.empty());  // dispatched, not run inline
  env.executor->runUntilIdle();
  EXPECT_EQ(ran, (Names{"upload on main", "other"}));
  // The task whose handler ended it is gone; the other stays, marked expired,
  // and is not expired twice.
  auto tasks = env.application.backgroundTasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].identifier, other);
  EXPECT_TRUE(tasks[0].expired);
  EXPECT_EQ(env.application.expireBackgroundTasks(), 0);
}

TEST(ApplicationBackgroundTaskTest, AnswersTheInvalidIdentifierWhenTasksAreUnavailable) {
  ApplicationTestEnvironment env;
  env.application.setBackgroundTasksAvailable(false);
  EXPECT_EQ(env.application.beginBackgroundTask("x", [] {}), kBackgroundTaskInvalid);
  env.application.setBackgroundTasksAvailable(true);
  ASSERT_TRUE(env.application.finishLaunching());
  ASSERT_TRUE(env.application.terminate());
  EXPECT_EQ(env.application.beginBackgroundTask("x", [] {}), kBackgroundTaskInvalid);
  EXPECT_TRUE(env.application.backgroundTasks().empty());
}

}  // namespace
