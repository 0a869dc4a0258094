// One upload: queued bundles are gathered into a batch of compatible
// bundles, stamped and posted to the measurement service. Only one batch
// is in flight at a time. Runs on the worker queue unless said otherwise.
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/DataHelpers.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMMeasurementUpload.h"
#include "engine/TLMScheduler.h"
#include "engine/TLMTime.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "utilities/HRNNetwork.h"

namespace {

constexpr int kLevelFailure = 1;
constexpr int kLevelError = 2;
constexpr int kLevelDebug = 7;
constexpr int kLevelVerbose = 8;

bool nonEmpty(const std::string& value) { return !value.empty(); }

// Removes from `bundle` each identifier that `allowedNow` lacks; the
// consent fields take their current values.
void withholdIdentifiersNotIn(const TLMPBMeasurementBundle& allowedNow,
                              TLMPBMeasurementBundle& bundle) {
  if (!allowedNow.has_resettable_device_id()) bundle.clear_resettable_device_id();
  if (!allowedNow.has_vendor_device_id()) bundle.clear_vendor_device_id();
  if (!allowedNow.has_app_instance_id()) bundle.clear_app_instance_id();
  bundle.clear_att_status();
  if (allowedNow.has_att_status()) bundle.set_att_status(allowedNow.att_status());
  bundle.clear_limited_ad_tracking();
  if (allowedNow.has_limited_ad_tracking()) {
    bundle.set_limited_ad_tracking(allowedNow.limited_ad_tracking());
  }
  bundle.clear_consent_signals();
  if (allowedNow.has_consent_signals()) bundle.set_consent_signals(allowedNow.consent_signals());
}

}  // namespace

bool TLMMeasurement::isNetworkReadyForRequest() {
  const bool clientBusy = network_ != nullptr && network_->hasUploadInProgress();
  if (isNetworkRequestPending_.load()) {
    if (!clientBusy) {
      report(kLevelFailure, kTLMUploadCodeClientNotUploading,
             "Analytics is uploading but network is not uploading");
    }
    return false;
  }
  return !clientBusy;
}

TLMMeasurement::QueuedBundles TLMMeasurement::filteredBundlesWithCompatibleAppID(
    const QueuedBundles& bundlesToUpload) {
  QueuedBundles kept;
  if (bundlesToUpload.empty()) return kept;
  const std::string appID = bundlesToUpload.front().first.app_id();
  // The device identifier of the first bundle that has one decides which
  // kind is compared.
  std::optional<std::string> resettableDeviceID;
  std::optional<std::string> vendorDeviceID;
  for (const auto& [bundle, rowID] : bundlesToUpload) {
    if (nonEmpty(bundle.resettable_device_id())) {
      resettableDeviceID = bundle.resettable_device_id();
      break;
    }
    if (nonEmpty(bundle.vendor_device_id())) {
      vendorDeviceID = bundle.vendor_device_id();
      break;
    }
  }
  for (const auto& entry : bundlesToUpload) {
    const TLMPBMeasurementBundle& bundle = entry.first;
    if (bundle.app_id() != appID) break;
    if (resettableDeviceID && nonEmpty(bundle.resettable_device_id()) &&
        bundle.resettable_device_id() != *resettableDeviceID) {
      break;
    }
    if (vendorDeviceID && nonEmpty(bundle.vendor_device_id()) &&
        bundle.vendor_device_id() != *vendorDeviceID) {
      break;
    }
    kept.push_back(entry);
  }
  return kept;
}

bool TLMMeasurement::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& rowIDs) {
  if (rowIDs.empty()) {
    report(kLevelError, kTLMUploadCodeEmptyBundleList, "Bundle list is empty. Cancelling upload");
    return false;
  }
  if (!uploadingBundleIDs_.empty()) {
    report(kLevelError, kTLMUploadCodeAlreadyInProgress,
           "Set uploading progress before finishing the previous upload");
    return false;
  }
  uploadingBundleIDs_ = rowIDs;
  return true;
}

void TLMMeasurement::uploadData() {
  (void)TLMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  tlm_notifyUploadCallObserver("uploadData");
  if (database_ == nullptr || remoteConfig_ == nullptr) return;

  if (isUploadSuspended()) {
    updateSchedule();
    return;
  }
  report(kLevelVerbose, kTLMUploadCodeStarting, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    report(kLevelVerbose, kTLMUploadCodeRequestPending,
           "Network operation is pending. Ignoring upload request");
    return;
  }
  if (network_ == nullptr || !network_->isNetworkConnected()) {
    report(kLevelDebug, kTLMUploadCodeNotConnected,
           "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }

  const TLMRemoteConfig& flags = *remoteConfig_;
  const bool expired = flags.isExpired();
  if (!expired) {
    const std::int64_t maxBundles = flags.maxBundlesCreatedPerIteration();
    for (std::int64_t made = 0; made < maxBundles && bundleRawEvents(); ++made) {
    }
  }

  Error error;
  std::optional<std::vector<TLMQueuedBundle>> queued = database_->queryBundlesWithCountLimit(
      flags.uploadMaxBundlesLimit(), flags.uploadMaxSizeLimitBytes(), &error);
  if (!queued) {
    report(kLevelFailure, kTLMUploadCodeQueryFailed, "Failed to query bundles. Error",
           {Object::error(error)});
    endBackgroundTaskIfActive();
    return;
  }
  if (queued->empty()) {
    (void)remoteConfig_->activateNewSnapshot();
    report(kLevelVerbose, kTLMUploadCodeNothingQueued, "No data to upload");
    if (expired) {
      fetchRemoteConfig();
    } else {
      endBackgroundTaskIfActive();
    }
    return;
  }
  if (!serviceBaseURL_) {
    report(kLevelFailure, kTLMUploadCodeNoServiceAddress,
           "Cannot upload without a valid measurement service address. Problem",
           {Object(serviceAddressProblem_)});
    endBackgroundTaskIfActive();
    return;
  }

  // Identifiers that current consent withholds leave before sending, even
  // from bundles made under earlier consent. An identifier still allowed
  // keeps its stored value: stamping today's identifiers on older bundles
  // would tie events from before an identifier reset to the new one.
  TLMPBMeasurementBundle allowedNow;
  applyConsentAndIdentifierFields(allowedNow);
  for (TLMQueuedBundle& entry : *queued) withholdIdentifiersNotIn(allowedNow, entry.first);

  const double now = Platform::current().clock().now();
  const double lastSuccess = persistedConfig_->lastSuccessfulUploadTimestamp();
  if (lastSuccess > 0) {
    report(kLevelVerbose, kTLMUploadCodeSinceLastSuccess,
           "Uploading events. Elapsed time since last successful upload (s)",
           {Object::floating(now - lastSuccess)});
  }

  QueuedBundles batchBundles = filteredBundlesWithCompatibleAppID(*queued);
  const std::int64_t nowMillis = tlm_millisecondsFromSeconds(now);
  TLMPBMeasurementBatch batch;
  std::vector<std::int64_t> rowIDs;
  for (auto& [bundle, rowID] : batchBundles) {
    bundle.set_uploading_library_version(TLMIdentity::ferroluxLibraryVersion());
    bundle.set_upload_timestamp_millis(nowMillis);
    // The checksum covers the bundle as sent, without a checksum.
    bundle.clear_bundle_checksum();
    if (flags.checksumEnabled()) {
      const std::optional<Bytes> serialized = bundle.protoBuffer();
      if (serialized) bundle.set_bundle_checksum(tlm_64LSBMD5(*serialized));
    }
    rowIDs.push_back(rowID);
    batch.add_bundles(bundle);
  }
  Error encodeError;
  std::optional<Bytes> payload = batch.protoBuffer(&encodeError);
  if (!payload) {
    report(kLevelError, kTLMUploadCodeNoSession, "Unable to create network session.",
           {Object::error(encodeError)});
    endBackgroundTaskIfActive();
    return;
  }
  report(kLevelDebug, kTLMUploadCodeSent, "Measurement data sent to network. Timestamp (ms), data",
         {Object::integer(nowMillis), Object::data(*payload)});

  if (!setUploadInProgressWithBundleIDs(rowIDs)) return;
  persistedConfig_->setLastFailedUploadTimestamp(now);

  isNetworkRequestPending_.store(true);
  network_->setTimeoutInterval(hooks_.networkTimeout ? hooks_.networkTimeout()
                                                     : flags.networkTimeout());
  std::weak_ptr<TLMMeasurement> weakSelf = weak_from_this();
  // The client runs the completion exactly once, also when the request
  // cannot start, so the pending flag is always cleared there.
  const std::string sessionID = network_->postURL(
      *serviceBaseURL_ + kTLMUploadPath, std::move(*payload), workerQueue_,
      hooks_.shouldUseBackgroundSession(),
      [weakSelf](std::optional<HRNHTTPResponse> response, Bytes, std::optional<Error> error) {
        const std::shared_ptr<TLMMeasurement> self = weakSelf.lock();
        if (self == nullptr) return;
        self->isNetworkRequestPending_.store(false);
        self->networkUploadCompletionHandlerWithResponse(response, error);
      });
  if (sessionID.empty()) {
    report(kLevelError, kTLMUploadCodeNoSession, "Unable to create network session.");
    uploadingBundleIDs_.clear();
  }
}
