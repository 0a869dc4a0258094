// The engine's reaction to the app's lifecycle: a configuration check when
// the app becomes active, an upload inside a background task when it
// resigns active, the end of that task when it comes back, and the
// reachability of the measurement service.
//
// Notifications arrive on the main thread; work on engine state is
// scheduled onto the worker queue. The background-task identifier is
// exchanged atomically because the expiry handler also runs on the main
// thread.
#include <cmath>
#include <memory>
#include <utility>

#include "api/TLMAnalytics.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMAEU.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMScheduler.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/NotificationCenter.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "utilities/HRNNetwork.h"

namespace {

constexpr int kLevelDebug = 7;
constexpr int kLevelVerbose = 8;

}  // namespace

void TLMMeasurement::observeApplicationNotifications() {
  if (observesApplication_) return;
  const std::shared_ptr<Platform> platform = Platform::installed();
  if (platform == nullptr) return;
  observesApplication_ = true;
  observedPlatform_ = platform;
  NotificationCenter& center = platform->notificationCenter();
  std::weak_ptr<TLMMeasurement> weak = weak_from_this();
  auto observe = [&](const char* name, void (TLMMeasurement::*handler)()) {
    center.addObserver(this, name, nullptr, [weak, handler](const Notification&) {
      if (const std::shared_ptr<TLMMeasurement> engine = weak.lock()) ((*engine).*handler)();
    });
  };
  observe(UIApplicationDidBecomeActiveNotification, &TLMMeasurement::handleAppDidBecomeActiveEvent);
  observe(UIApplicationWillResignActiveNotification,
          &TLMMeasurement::handleAppWillResignActiveEvent);
  observe(UIApplicationWillEnterForegroundNotification,
          &TLMMeasurement::handleAppWillEnterForegroundNotification);
}

void TLMMeasurement::handleAppDidBecomeActiveEvent() {
  const std::shared_ptr<TLMRemoteConfig> flags = publishedRemoteConfig();
  const TLMRemoteConfig& config = flags != nullptr ? *flags : TLMRemoteConfig::defaultInstance();
  if (!config.blocklistInternal()) return;
  scheduleWeakly("TLMMeasurement:3558", [](TLMMeasurement& engine) {
    if (engine.database_ == nullptr) return;
    Error error;
    const std::optional<double> lastUpdate =
        engine.database_->lastRemoteConfigUpdateTimestamp(&error);
    const double now = Platform::current().clock().now();
    // A clock moved far back counts as old too.
    if (lastUpdate && std::fabs(now - *lastUpdate) < kTLMActiveFetchIntervalSeconds) return;
    if (engine.isNetworkReadyForRequest()) {
      engine.fetchRemoteConfig();
    } else {
      engine.report(kLevelVerbose, kTLMFetchCodeRequestPending,
                    "Network operation is pending. Ignoring request to fetch configuration");
    }
  });
}

void TLMMeasurement::handleAppWillResignActiveEvent() {
  persistedConfig_->synchronizeToDisk();
  scheduleWeakly("TLMMeasurement:commitStoredEvents",
                 [](TLMMeasurement& e) { e.commitStoredEvents(); });
  report(kLevelVerbose, kTLMMeasurementCodeWillResignActive,
         "App will resign active state. Scheduling data upload");
  Application* application = TLMAEU::sharedApplication();
  if (application != nullptr) {
    std::weak_ptr<TLMMeasurement> weak = weak_from_this();
    const BackgroundTaskIdentifier task =
        application->beginBackgroundTask(kTLMMeasurementBackgroundTaskName, [weak] {
          if (const std::shared_ptr<TLMMeasurement> engine = weak.lock()) {
            engine->terminateBackgroundTask();
          }
        });
    swapBackgroundTaskWithNewTaskID(task);
    report(kLevelVerbose, kTLMMeasurementCodeBackgroundTaskStarted,
           "Background task started. Task ID", {Object::integer(static_cast<std::int64_t>(task))});
  }
  std::weak_ptr<TLMMeasurement> weak = weak_from_this();
  TLMAnalytics::queueOperationWithBlock([weak] {
    const std::shared_ptr<TLMMeasurement> engine = weak.lock();
    if (engine == nullptr) return;
    engine->scheduleWeakly("TLMMeasurement:3595", [](TLMMeasurement& e) { e.uploadData(); });
  });
}

void TLMMeasurement::handleAppWillEnterForegroundNotification() { terminateBackgroundTask(); }

void TLMMeasurement::terminateBackgroundTask() {
  persistedConfig_->synchronizeToDisk();
  swapBackgroundTaskWithNewTaskID(kBackgroundTaskInvalid);
}

void TLMMeasurement::swapBackgroundTaskWithNewTaskID(std::uint64_t taskID) {
  const std::uint64_t previous = backgroundUpdateTask_.exchange(taskID);
  if (previous == kBackgroundTaskInvalid) return;
  report(kLevelDebug, kTLMMeasurementCodeCancelBackgroundTask,
         "Cancelling background upload task. Task ID ",
         {Object::integer(static_cast<std::int64_t>(previous))});
  if (Application* application = TLMAEU::sharedApplication()) {
    (void)application->endBackgroundTask(previous);
  }
}

void TLMMeasurement::reachabilityDidChange() {
  scheduleWeakly("TLMMeasurement:994", [](TLMMeasurement& e) { e.updateSchedule(); });
}
