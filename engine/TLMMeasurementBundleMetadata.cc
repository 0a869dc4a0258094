// Bundle assembly's bookkeeping: the bundle sequence index and the times
// of the previous bundle kept in the app metadata, and the fields added to
// every bundle (experiments, monitoring sample, configuration version, app
// ID, start and end). Runs on the worker queue inside bundleRawEvents'
// transaction.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMAppMetadata.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMTime.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMMonitor.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

constexpr long kCodeAppMetadataQueryFailed = 23109;
constexpr long kCodeAppMetadataUpdateFailed = 23110;

}  // namespace

bool TLMMeasurement::updateAppMetadataForBundle(TLMPBMeasurementBundle& bundle,
                                                double bundleStartTimestamp,
                                                double bundleEndTimestamp) {
  Error error;
  const TLMAppMetadataPtr appMetadata = database_->queryAppMetadata(&error);
  if (appMetadata == nullptr) {
    report(1, kCodeAppMetadataQueryFailed,
           "Unable to fetch app metadata for bundling events. Error", {Object::error(error)});
    return false;
  }
  const double lastStart = appMetadata->lastBundleStartTimestamp();
  const double lastEnd = appMetadata->lastBundleEndTimestamp();
  if (lastEnd > 0) {
    bundle.set_previous_bundle_end_timestamp_millis(tlm_millisecondsFromSeconds(lastEnd));
  }
  if (lastStart > 0) {
    bundle.set_previous_bundle_start_timestamp_millis(tlm_millisecondsFromSeconds(lastStart));
  } else if (lastEnd > 0) {
    bundle.set_previous_bundle_start_timestamp_millis(tlm_millisecondsFromSeconds(lastEnd));
  }
  appMetadata->incrementLastBundleIndex();
  appMetadata->setLastBundleStartTimestamp(bundleStartTimestamp);
  appMetadata->setLastBundleEndTimestamp(bundleEndTimestamp);
  bundle.set_bundle_index(appMetadata->lastBundleIndex());
  if (!database_->updateAppMetadata(*appMetadata, &error)) {
    report(1, kCodeAppMetadataUpdateFailed, "Unable to update the app metadata. Error",
           {Object::error(error)});
    return false;
  }
  return true;
}

void TLMMeasurement::addBundleMetadataIntoBundle(TLMPBMeasurementBundle& bundle,
                                                 double bundleStartTimestamp,
                                                 double bundleEndTimestamp) {
  const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  const std::vector<std::int64_t> experimentIDs = config.experimentIDs();
  if (!experimentIDs.empty()) (void)bundle.set_experiment_ids(experimentIDs);

  if (persistedConfig_ != nullptr) {
    const std::optional<std::string> sample = monitor().monitoringDataForDispatchWithSamplePeriod(
        config.monitoringSamplePeriod(), persistedConfig_->lastMonitorDataSampledTimestamp());
    if (sample) {
      bundle.set_monitoring_sample(*sample);
      // Recorded by bundleRawEvents once the bundle is committed.
      bundleMonitorSampleTimestamp_ = Platform::current().clock().now();
    }
  }

  const std::int64_t configVersion = config.version();
  if (configVersion >= 0) bundle.set_config_version(configVersion);

  if (bundle.app_id().empty()) {
    if (identity_ != nullptr && !identity_->appID().empty()) {
      bundle.set_app_id(identity_->appID());
    } else {
      bundle.set_app_id(Platform::current().bundle().bundleIdentifier());
    }
  }
  bundle.set_start_timestamp_millis(tlm_millisecondsFromSeconds(bundleStartTimestamp));
  bundle.set_end_timestamp_millis(tlm_millisecondsFromSeconds(bundleEndTimestamp));
}
