// The library's app-delegate interceptor: sees the URLs, user activities
// and background-session wake-ups the app receives, before the app's own
// delegate, and hands them to the facade. Answers NO where the message has
// an answer, so the app's delegate still decides.
//
// One shared instance, never destroyed. Messages arrive on the main
// thread.
#pragma once

#include <memory>

#include "platform/ApplicationDelegate.h"

class TLMAppDelegateInterceptor final : public ApplicationDelegate {
 public:
  static std::shared_ptr<TLMAppDelegateInterceptor> sharedInstance();

  // TLMAnalytics::handleOpenURL; answers false.
  std::optional<bool> applicationOpenURLOptions(Application& application, const std::string& url,
                                                const ObjectDictionary& options) override;
  std::optional<bool> applicationOpenURLSourceApplicationAnnotation(
      Application& application, const std::string& url,
      const std::optional<std::string>& sourceApplication,
      const std::optional<Object>& annotation) override;
  // The activity's deep link, when it has one, to TLMAnalytics::handleOpenURL;
  // answers false.
  std::optional<bool> applicationContinueUserActivityRestorationHandler(
      Application& application, const std::shared_ptr<const UserActivity>& userActivity,
      const RestorationHandler& restorationHandler) override;
  // To the network layer, which calls the handler once.
  bool applicationHandleEventsForBackgroundURLSessionCompletionHandler(
      Application& application, const std::string& identifier,
      const std::function<void()>& completionHandler) override;
};
