// When to upload: whether there is data, the next upload time with its
// retry and back-off rules, and the alarm that starts the upload.
//
// Settings read (measurement suite): the last successful, failed and
// back-off upload times. Everything here runs on the worker queue.
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMAlarm.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMMeasurementNetworkDelegate.h"
#include "engine/TLMMeasurementUpload.h"
#include "engine/TLMScheduler.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNNetwork.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelWarning = 3;
constexpr int kLevelNotice = 5;
constexpr int kLevelVerbose = 8;

std::mutex& observerMutex() {
  static std::mutex mutex;
  return mutex;
}

std::function<void(std::string_view)>& uploadCallObserver() {
  static std::function<void(std::string_view)> observer;
  return observer;
}

// A query that found no row answers nothing without filling the error.
bool failed(const Error& error) { return !error.domain.empty() || error.code != 0; }

}  // namespace

void tlm_notifyUploadCallObserver(std::string_view method) {
  std::lock_guard<std::mutex> lock(observerMutex());
  if (uploadCallObserver()) uploadCallObserver()(method);
}

void TLMMeasurement::TEST_setUploadCallObserver(
    std::function<void(std::string_view method)> observer) {
  std::lock_guard<std::mutex> lock(observerMutex());
  uploadCallObserver() = std::move(observer);
}

void TLMMeasurement::uploadDataOrRegisterAlarm() {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("uploadDataOrRegisterAlarm");
  if (network_ != nullptr && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

bool TLMMeasurement::hasDataToUpload() {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("hasDataToUpload");
  if (database_ == nullptr) return false;
  Error error;
  const std::optional<bool> queueEmpty = database_->isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    report(kLevelFailure, kTLMUploadCodeQueueCheckFailed,
           "Failed to check if queue table is empty. Error", {Object::error(error)});
    return false;
  }
  if (!*queueEmpty) return true;
  const std::optional<bool> rawEventsEmpty = database_->isRawEventsTableEmpty(&error);
  if (!rawEventsEmpty) {
    report(kLevelFailure, kTLMUploadCodeRawEventsCheckFailed,
           "Failed to check if raw events table is empty. Error", {Object::error(error)});
    return false;
  }
  return !*rawEventsEmpty;
}

double TLMMeasurement::nextUploadingTime() {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("nextUploadingTime");
  if (database_ == nullptr || remoteConfig_ == nullptr) return 0;
  Error bundleError;
  const std::optional<double> latestBundle = database_->queryLatestBundleTime(&bundleError);
  if (!latestBundle && failed(bundleError)) {
    report(kLevelNotice, kTLMUploadCodeLatestBundleTimeFailed,
           "Failed to query the latest bundle time. Error", {Object::error(bundleError)});
  }
  Error rawEventError;
  const std::optional<double> latestRawEvent = database_->queryLatestRawEventTime(&rawEventError);
  if (!latestRawEvent && failed(rawEventError)) {
    report(kLevelNotice, kTLMUploadCodeLatestRawEventTimeFailed,
           "Failed to query the latest raw event time. Error", {Object::error(rawEventError)});
  }
  const double latest = std::max(latestBundle.value_or(0), latestRawEvent.value_or(0));
  if (latest == 0) return 0;

  const TLMRemoteConfig& flags = *remoteConfig_;
  const bool debugMode = monitor().isDebugModeEnabled();
  bool realtime = debugMode;
  if (!realtime) {
    Error error;
    const std::optional<bool> realtimeBundles = database_->containsRealtimeBundlesWithError(&error);
    if (!realtimeBundles) {
      report(kLevelNotice, kTLMUploadCodeRealtimeBundlesFailed,
             "Failed to check for real-time bundles. Error", {Object::error(error)});
    }
    realtime = realtimeBundles.value_or(false);
  }
  if (!realtime) {
    Error error;
    const std::optional<bool> realtimeRawEvents =
        database_->containsRealtimeRawEventsWithError(&error);
    if (!realtimeRawEvents) {
      report(kLevelNotice, kTLMUploadCodeRealtimeRawEventsFailed,
             "Failed to check for real-time raw events. Error", {Object::error(error)});
    }
    realtime = realtimeRawEvents.value_or(false);
  }
  const double interval = realtime ? flags.uploadingRealTimeInterval() : flags.uploadingInterval();

  const double now = Platform::current().clock().now();
  // A data time in the future (a clock set back) counts as that far in
  // the past, so it never postpones the upload.
  const double dataTime = now - std::fabs(latest - now);
  const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  double next = std::fabs(now - lastSuccess) < interval
                    ? lastSuccess + interval
                    : dataTime + flags.uploadingInitialDelayInterval();

  const double lastFailed = persistedConfig_->lastFailedUploadTimestamp();
  if (lastFailed >= dataTime) {
    // An upload failed after the newest data arrived: retry with doubling
    // gaps, and give up once the budget is spent until new data arrives.
    const std::int32_t retryCount = flags.uploadingRetryCount();
    const double retryInterval = flags.uploadingRetryInterval();
    for (std::int32_t i = 0; i < retryCount; ++i) {
      next += retryInterval * std::ldexp(1.0, i);
      if (next > lastFailed) return next;
    }
    return 0;
  }
  if (debugMode) return std::min(next, dataTime + flags.uploadingDebugModeInterval());
  return next;
}

void TLMMeasurement::updateSchedule() {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  tlm_notifyUploadCallObserver("updateSchedule");
  const auto stopScheduling = [this](bool waitForNetwork) {
    if (network_ != nullptr) {
      if (waitForNetwork) {
        network_->setReachabilityDelegate(networkDelegate_);
      } else {
        network_->setReachabilityDelegate({});
      }
    }
    if (alarm_ != nullptr) alarm_->cancel();
    endBackgroundTaskIfActive();
  };

  if (isUploadSuspended()) {
    const double elapsed = Platform::current().clock().uptime() - suspendedUploadTimestamp_.load();
    report(kLevelWarning, kTLMUploadCodeSuspended,
           "Upload has been suspended. Will update scheduling later. Seconds",
           {Object::floating(kTLMUploadSuspensionSeconds - elapsed)});
    stopScheduling(false);
    return;
  }

  if (!hasDataToUpload()) {
    if (remoteConfig_ != nullptr) (void)remoteConfig_->activateNewSnapshot();
    report(kLevelVerbose, kTLMUploadCodeNoData,
           "No data to upload. Upload task will not be scheduled");
    stopScheduling(false);
    return;
  }

  double next = nextUploadingTime();
  if (next == 0) {
    report(kLevelVerbose, kTLMUploadCodeNoNextTime,
           "No next uploading time. Upload task will not be scheduled");
    stopScheduling(false);
    return;
  }

  if (network_ == nullptr || !network_->isNetworkConnected()) {
    report(kLevelVerbose, kTLMUploadCodeNoNetwork, "No network. Upload task will not be scheduled");
    stopScheduling(true);
    return;
  }

  network_->setReachabilityDelegate({});
  const double now = Platform::current().clock().now();
  const double lastBackoff = persistedConfig_->lastBackoffTimestamp();
  const double backoffInterval = remoteConfig_->uploadingBackoffInterval();
  if (lastBackoff > 0 && now - lastBackoff < backoffInterval) {
    next = std::max(next, lastBackoff + backoffInterval);
  }

  if (alarm_ == nullptr) return;
  const std::optional<double> scheduled = alarm_->scheduledTimestamp();
  if (alarm_->hasActiveTimer() && scheduled && *scheduled <= next) {
    report(kLevelVerbose, kTLMUploadCodeAlreadyScheduled,
           "Do not schedule an upload task. Task already exists. Will be executed in seconds",
           {Object::floating(*scheduled - now)});
    return;
  }

  double delay = next - now;
  if (std::fabs(delay) < std::numeric_limits<double>::epsilon()) delay = kTLMUploadMinimumDelay;
  std::weak_ptr<TLMMeasurement> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    if (const std::shared_ptr<TLMMeasurement> engine = weak.lock()) {
      engine->scheduleWeakly("TLMMeasurement:uploadData",
                             [](TLMMeasurement& e) { e.uploadData(); });
    }
  });
  report(kLevelVerbose, kTLMUploadCodeScheduled,
         "Upload task scheduled to be executed in approx. (s)", {Object::floating(delay)});
}

bool TLMMeasurement::shouldUseBackgroundSession() {
  const TLMRemoteConfig& config =
      remoteConfig_ != nullptr ? *remoteConfig_ : TLMRemoteConfig::defaultInstance();
  return config.isNetworkBackgroundSessionEnabled() &&
         backgroundUpdateTask_.load() != kBackgroundTaskInvalid;
}

bool TLMMeasurement::isUploadSuspended() {
  const double suspended = suspendedUploadTimestamp_.load();
  if (suspended <= 0) return false;
  const double elapsed = Platform::current().clock().uptime() - suspended;
  // Uptime never goes back within one boot; if it seems to, the
  // suspension could never end and is dropped.
  if (elapsed >= 0 && elapsed < kTLMUploadSuspensionSeconds) return true;
  suspendedUploadTimestamp_.store(0.0);
  return false;
}

void TLMMeasurement::endBackgroundTaskIfActive() {
  // Also flushes the settings; skipped when there is no task, since this
  // runs after every stored event.
  if (backgroundUpdateTask_.load() != kBackgroundTaskInvalid) terminateBackgroundTask();
}
