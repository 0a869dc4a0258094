// The answer to a posted batch: delivered bundles are deleted, failed ones
// stay queued with one more retry counted, back-off statuses delay the
// next upload, and a failed delete suspends uploads for an hour of uptime.
// Runs on the worker queue.
#include <optional>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMAlarm.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMMeasurementUpload.h"
#include "engine/TLMScheduler.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "utilities/HRNNetwork.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelError = 2;
constexpr int kLevelDebug = 7;

bool isSuccessStatus(int status) {
  return status == kHRNNetworkHTTPStatusOK || status == kHRNNetworkHTTPStatusNoContent;
}

bool isBackoffStatus(int status) {
  return status == kHRNNetworkHTTPStatusCodeUnavailable ||
         status == kHRNNetworkHTTPStatusCodeCannotAcceptTraffic;
}

ObjectArray rowIDObjects(const std::vector<std::int64_t>& rowIDs) {
  ObjectArray objects;
  objects.reserve(rowIDs.size());
  for (std::int64_t rowID : rowIDs) objects.push_back(Object::integer(rowID));
  return objects;
}

}  // namespace

void TLMMeasurement::networkUploadCompletionHandlerWithResponse(
    const std::optional<HRNHTTPResponse>& response, const std::optional<Error>& error) {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName(
      "networkUploadCompletionHandlerWithResponse");
  const Clock& clock = Platform::current().clock();
  const double now = clock.now();
  const int status = response ? response->statusCode() : 0;
  const Object statusObject = response ? Object::integer(status) : Object::null();

  if (!isSuccessStatus(status)) {
    persistedConfig_->setLastFailedUploadTimestamp(now);
    if (isBackoffStatus(status)) persistedConfig_->setLastBackoffTimestamp(now);
    report(kLevelDebug, kTLMUploadCodeFailedWillRetry,
           "Network upload failed. Will retry later. Code, error",
           {statusObject, error ? Object::error(*error) : Object::null()});
    incrementRetryCounter();
    uploadingBundleIDs_.clear();
    // An alarm set before this attempt (when the data arrived) would fire
    // ahead of the retry time and ignore a back-off the service asked
    // for; the schedule starts again from this failure.
    if (alarm_ != nullptr) alarm_->cancel();
    updateSchedule();
    return;
  }

  report(kLevelDebug, kTLMUploadCodeSucceeded,
         "Successful upload. Got network response. Code, size",
         {statusObject, Object::integer(response->expectedContentLength())});
  persistedConfig_->setLastSuccessfulUploadTimestamp(now);
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  updateSchedule();
  if (!uploadingBundleIDs_.empty() && !removeBundlesFromDatabaseWithIDs(uploadingBundleIDs_)) {
    report(kLevelFailure, kTLMUploadCodeDeleteFailedSuspending,
           "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
           {Object::floating(kTLMUploadSuspensionSeconds)});
    // Delivered bundles that stay queued would be sent again by the next
    // upload; uptime, unlike the wall clock, cannot be set back to end
    // the wait early.
    suspendedUploadTimestamp_.store(clock.uptime());
  } else {
    suspendedUploadTimestamp_.store(0.0);
  }
  uploadingBundleIDs_.clear();

  if (network_ != nullptr && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else if (remoteConfig_ != nullptr && remoteConfig_->isExpired()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

void TLMMeasurement::incrementRetryCounter() {
  // A batch that never started has no rows to count.
  if (uploadingBundleIDs_.empty() || database_ == nullptr) return;
  Error error;
  if (!database_->incrementRetryCounterForBundlesWithIDs(rowIDObjects(uploadingBundleIDs_),
                                                         &error)) {
    report(kLevelError, kTLMUploadCodeRetryCountFailed,
           "Failed to update the bundles' retry counts. Error", {Object::error(error)});
  }
}

bool TLMMeasurement::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& rowIDs) {
  if (database_ == nullptr) return false;
  Error error;
  if (!database_->deleteBundlesWithRowIDs(rowIDObjects(rowIDs), &error)) {
    report(kLevelFailure, kTLMUploadCodeDeleteFailed,
           "Failed to delete bundles from database. Error", {Object::error(error)});
    return false;
  }
  return true;
}
