// URLs, user activities, background sessions, screen names and the
// app-delegate interceptor.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "api/TLMAppDelegateInterceptor.h"
#include "engine/TLMStandIns.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/UserActivity.h"
#include "public_test_support.h"
#include "utilities/HRNAppDelegateSwizzler.h"

namespace {

class PublicLinksTest : public PublicTest {
 protected:
  void listenForURLs() {
    TLMAnalytics::setOpenURLListener([this](const std::string& url) {
      urls_.push_back(url);
      onSerialQueue_.push_back(TLMAnalytics::isCurrentQueueSerialQueue());
    });
  }

  Application& application() { return platform_.platform().application(); }

  std::vector<std::string> urls_;
  std::vector<bool> onSerialQueue_;
};

TEST_F(PublicLinksTest, OpenedURLsReachTheListenerOnTheSerialQueueBeforeStart) {
  listenForURLs();
  TLMAnalytics::handleOpenURL("demo://level/3");
  TLMAnalytics::handleOpenURL("demo://level/4");
  EXPECT_TRUE(urls_.empty());  // never on the caller's thread
  run();
  EXPECT_EQ(urls_, (std::vector<std::string>{"demo://level/3", "demo://level/4"}));
  EXPECT_EQ(onSerialQueue_, (std::vector<bool>{true, true}));

  TLMAnalytics::setOpenURLListener(QLFOpenURLListener());
  TLMAnalytics::handleOpenURL("demo://level/5");
  run();
  EXPECT_EQ(urls_.size(), 2u);
}

TEST_F(PublicLinksTest, ScreenNameIsTakenOnlyOnTheMainThread) {
  std::vector<std::string> names;
  TLMStandIns::current().setScreenName = [&](const OptionalObject& name,
                                             const OptionalObject& screenClass) {
    names.push_back(name.value_or(Object("nil")).stringValue() + "/" +
                    screenClass.value_or(Object("nil")).stringValue());
  };
  TLMAnalytics::setScreenName(Object("Menu"), std::nullopt);
  EXPECT_EQ(names, std::vector<std::string>{"Menu/nil"});
  EXPECT_EQ(monitor_.count(25025), 0u);

  TLMAnalytics::dispatchAsyncOnSerialQueue(
      [] { TLMAnalytics::setScreenName(Object("Level"), Object("LevelView")); });
  run();
  EXPECT_EQ(names.size(), 1u);
  expectOneReport({25025, 3,
                   "setScreenName:screenClass: must be called from the main thread to ensure that "
                   "events are associated with the intended screen."});
}

TEST_F(PublicLinksTest, BackgroundSessionCompletionRunsOnceOnTheMainQueue) {
  int calls = 0;
  bool onMain = false;
  TLMAnalytics::handleEventsForBackgroundURLSession("com.ferrolux.upload", [&] {
    ++calls;
    onMain = platform_.platform().dispatch().mainQueue()->isCurrent();
  });
  EXPECT_EQ(calls, 0);
  run();
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onMain);
}

TEST_F(PublicLinksTest, TheAppDelegateProxyIsMadeOnceWithTheLibrarysInterceptor) {
  TLMAnalytics::createAppDelegateProxy();
  TLMAnalytics::createAppDelegateProxy();
  HRNAppDelegateSwizzler& swizzler = platform_.platform().appDelegateSwizzler();
  EXPECT_TRUE(swizzler.isProxyInstalled());
  const auto interceptors = swizzler.appDelegateInterceptors();
  ASSERT_EQ(interceptors.size(), 1u);
  EXPECT_EQ(interceptors[0], TLMAppDelegateInterceptor::sharedInstance());
}

TEST_F(PublicLinksTest, InterceptorHandsURLsToTheLibraryAndLeavesTheAnswerToTheApp) {
  listenForURLs();
  TLMAppDelegateInterceptor& interceptor = *TLMAppDelegateInterceptor::sharedInstance();
  EXPECT_EQ(interceptor.applicationOpenURLOptions(application(), "demo://a", {}),
            std::optional<bool>(false));
  EXPECT_EQ(interceptor.applicationOpenURLSourceApplicationAnnotation(application(), "demo://b",
                                                                      std::nullopt, std::nullopt),
            std::optional<bool>(false));
  run();
  EXPECT_EQ(urls_, (std::vector<std::string>{"demo://a", "demo://b"}));

  int completions = 0;
  EXPECT_TRUE(interceptor.applicationHandleEventsForBackgroundURLSessionCompletionHandler(
      application(), "com.ferrolux.upload", [&] { ++completions; }));
  run();
  EXPECT_EQ(completions, 1);
}

TEST_F(PublicLinksTest, InterceptorOpensTheDeepLinkOfAUserActivity) {
  TLMStandIns::current().deepLinkFromUserActivity =
      [](const std::shared_ptr<const UserActivity>& activity) -> std::optional<std::string> {
    if (activity == nullptr) return std::nullopt;
    return activity->webpageURL();
  };
  listenForURLs();
  TLMAppDelegateInterceptor& interceptor = *TLMAppDelegateInterceptor::sharedInstance();
  auto withLink = std::make_shared<UserActivity>(NSUserActivityTypeBrowsingWeb,
                                                 std::string("https://demo.example/level/7"));
  auto withoutLink = std::make_shared<UserActivity>(NSUserActivityTypeBrowsingWeb);
  auto emptyLink = std::make_shared<UserActivity>(NSUserActivityTypeBrowsingWeb, std::string());
  for (const auto& activity : {withLink, withoutLink, emptyLink}) {
    EXPECT_EQ(interceptor.applicationContinueUserActivityRestorationHandler(
                  application(), activity, [](const std::vector<Object>&) {}),
              std::optional<bool>(false));
  }
  run();
  EXPECT_EQ(urls_, std::vector<std::string>{"https://demo.example/level/7"});
}

}  // namespace
