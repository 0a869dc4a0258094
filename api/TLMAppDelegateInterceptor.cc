#include "api/TLMAppDelegateInterceptor.h"

#include <mutex>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "common/SharedInstance.h"
#include "engine/TLMMeasurement.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "utilities/HRNAppDelegateSwizzler.h"
#include "utilities/HRNNetwork.h"

std::shared_ptr<TLMAppDelegateInterceptor> TLMAppDelegateInterceptor::sharedInstance() {
  static SharedInstance<TLMAppDelegateInterceptor> instance;
  return instance.get([] { return std::make_shared<TLMAppDelegateInterceptor>(); });
}

std::optional<bool> TLMAppDelegateInterceptor::applicationOpenURLOptions(
    Application& /*application*/, const std::string& url, const ObjectDictionary& /*options*/) {
  TLMAnalytics::handleOpenURL(url);
  return false;
}

std::optional<bool> TLMAppDelegateInterceptor::applicationOpenURLSourceApplicationAnnotation(
    Application& /*application*/, const std::string& url,
    const std::optional<std::string>& /*sourceApplication*/,
    const std::optional<Object>& /*annotation*/) {
  TLMAnalytics::handleOpenURL(url);
  return false;
}

std::optional<bool> TLMAppDelegateInterceptor::applicationContinueUserActivityRestorationHandler(
    Application& /*application*/, const std::shared_ptr<const UserActivity>& userActivity,
    const RestorationHandler& /*restorationHandler*/) {
  const std::optional<std::string> link = TLMMeasurement::deepLinkFromUserActivity(userActivity);
  if (link && !link->empty()) TLMAnalytics::handleOpenURL(*link);
  return false;
}

bool TLMAppDelegateInterceptor::applicationHandleEventsForBackgroundURLSessionCompletionHandler(
    Application& /*application*/, const std::string& identifier,
    const std::function<void()>& completionHandler) {
  HRNNetwork::handleEventsForBackgroundURLSessionID(identifier, completionHandler,
                                                    Platform::current().dispatch().mainQueue());
  return true;
}

void TLMAnalytics::createAppDelegateProxy() {
  std::call_once(TLMAnalyticsState::current().appDelegateProxyOnce, [] {
    HRNAppDelegateSwizzler& swizzler = Platform::current().appDelegateSwizzler();
    swizzler.proxyOriginalDelegate();
    swizzler.registerAppDelegateInterceptor(TLMAppDelegateInterceptor::sharedInstance());
  });
}
