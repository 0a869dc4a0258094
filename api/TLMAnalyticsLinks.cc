// URLs, user activities, background sessions and screen names: what the
// app (or the app-delegate interceptor) hands the library about how it
// was opened and what it shows.
#include <memory>
#include <utility>

#include "api/TLMAnalytics.h"
#include "api/TLMAnalyticsState.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/Platform.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNNetwork.h"

namespace {

// The engine when it has been made; none before start.
std::shared_ptr<TLMMeasurement> engineIfCreated() {
  if (!TLMMeasurement::hasSharedInstance()) return nullptr;
  return TLMMeasurement::sharedInstance();
}

}  // namespace

void TLMAnalytics::setOpenURLListener(QLFOpenURLListener listener) {
  if (!isOSSupported()) return;
  dispatchAsyncOnSerialQueue([listener = std::move(listener)]() mutable {
    TLMAnalyticsState::current().openURLListener = std::move(listener);
  });
}

void TLMAnalytics::handleOpenURL(const std::string& url) {
  if (!isOSSupported()) return;
  const double now = Platform::current().clock().now();
  dispatchAsyncOnSerialQueue([url, now] {
    if (std::shared_ptr<TLMMeasurement> engine = engineIfCreated()) {
      engine->handleNonFirstOpenEventURL(url, now);
    }
    // A copy: the listener may replace itself while it runs.
    QLFOpenURLListener listener = TLMAnalyticsState::current().openURLListener;
    if (listener) listener(url);
  });
}

void TLMAnalytics::handleUserActivity(std::shared_ptr<const UserActivity> userActivity) {
  if (!isOSSupported()) return;
  const double now = Platform::current().clock().now();
  dispatchAsyncOnSerialQueue([userActivity = std::move(userActivity), now] {
    const std::optional<std::string> link = TLMMeasurement::deepLinkFromUserActivity(userActivity);
    if (!link || link->empty()) return;
    if (std::shared_ptr<TLMMeasurement> engine = engineIfCreated()) {
      engine->handleNonFirstOpenEventURL(*link, now);
    }
  });
}

void TLMAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completionHandler) {
  HRNNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler),
                                                    Platform::current().dispatch().mainQueue());
}

void TLMAnalytics::setScreenName(const OptionalObject& screenName,
                                 const OptionalObject& screenClass) {
  if (!isOSSupported()) return;
  if (!Platform::current().dispatch().isMainThread()) {
    TLMMeasurement::monitor().logWithLevel(
        3, 25025,
        "setScreenName:screenClass: must be called from the main thread to ensure that events "
        "are associated with the intended screen.");
    return;
  }
  TLMStandIns::current().setScreenName(screenName, screenClass);
}
