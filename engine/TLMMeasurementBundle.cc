// Bundle assembly: the oldest run of raw events that share one metadata
// record becomes one queued bundle. Every step runs inside one database
// transaction, so a failure anywhere leaves raw events, aggregates, daily
// counts, user properties and app metadata as they were. Runs on the
// worker queue; the upload calls bundleRawEvents in a loop until it
// answers false.
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMTime.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"
#include "upload/TLMMonitor.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

constexpr long kCodeNextMetadataFailed = 23095;
constexpr long kCodeSelectionFailed = 23096;
constexpr long kCodeEmptyRun = 23097;
constexpr long kCodeMetadataFailed = 23098;
constexpr long kCodeAudienceResultsFailed = 23113;
constexpr long kCodeInsertBundleFailed = 23115;
constexpr long kCodeBundleQueued = 23116;
constexpr long kCodeDeleteRawEventsFailed = 23119;
constexpr long kCodeRawEventExistenceFailed = 23120;
constexpr long kCodeDeleteMetadataFailed = 23121;
constexpr long kCodeNoEventsAfterSampling = 23159;
constexpr long kCodeUserPropertyEvaluationFailed = 23111;
constexpr long kCodeConsentSettings = 23221;

constexpr double kSecondsPerHour = 3600;

constexpr char kColumnName[] = "name";
constexpr char kColumnTimestamp[] = "timestamp";
constexpr char kColumnData[] = "data";
constexpr char kColumnRowID[] = "rowid";

// The clock hour of a time: floor(seconds) / 3600, remainder dropped.
std::int64_t hourOf(double seconds) {
  const double floored = std::floor(seconds);
  if (!(floored > -9.0e18 && floored < 9.0e18)) return floored > 0 ? 1 : -1;
  return static_cast<std::int64_t>(floored) / static_cast<std::int64_t>(kSecondsPerHour);
}

std::size_t varintSize(std::uint64_t value) {
  std::size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

// The size of the row's event as a serialized Event message: the stored
// message (whose name is cleared) plus the name field (tag 2).
std::int64_t serializedEventSize(const TLMSqliteRecord& row) {
  std::int64_t size = 0;
  if (auto data = row.find(kColumnData); data != row.end() && data->second.asData() != nullptr) {
    size += static_cast<std::int64_t>(data->second.asData()->size());
  }
  if (auto name = row.find(kColumnName); name != row.end() && name->second.asString() != nullptr) {
    const std::size_t length = name->second.asString()->size();
    size += static_cast<std::int64_t>(1 + varintSize(length) + length);
  }
  return size;
}

bool errorIsSet(const Error& error) { return !error.domain.empty() || error.code != 0; }

}  // namespace

bool TLMMeasurement::bundleRawEvents() {
  if (database_ == nullptr) return false;
  bool stored = false;
  bool consumed = false;
  bundleMonitorSampleTimestamp_.reset();
  const bool committed = database_->performTransaction([&]() -> bool {
    // 1. The next run's metadata.
    Error error;
    const std::optional<std::int64_t> fingerprint =
        database_->nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
      if (!errorIsSet(error)) return true;  // no raw events: nothing to do
      report(1, kCodeNextMetadataFailed, "Unable to fetch next event metadata. Error",
             {Object::error(error)});
      return false;
    }

    // 2. The run.
    std::optional<std::vector<TLMRawEventDataPtr>> run =
        rawEventsWithMetadataFingerprint(*fingerprint, &error);
    if (!run) return false;
    if (run->empty()) {
      report(1, kCodeEmptyRun, "Inconsistent state, raw event is expected. Error",
             {Object::error(error)});
      return false;
    }
    const std::int64_t lastRowID = run->back()->rowID();

    // 3. The metadata bundle becomes the bundle being built.
    std::optional<TLMPBMeasurementBundle> bundle =
        database_->queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
    if (!bundle) {
      report(1, kCodeMetadataFailed, "Unable to fetch event metadata. Metadata fingerprint, error",
             {Object::integer(*fingerprint), Object::error(error)});
      return false;
    }

    // 4. Rejection, conversion and real-time counting.
    std::optional<std::vector<TLMRawEventDataPtr>> events = processRawEvents(*run, *fingerprint);
    if (!events) return false;
    if (events->empty()) {
      consumed = true;
      return true;
    }

    // 5. Session start and engagement.
    const std::optional<double> evaluationTime = evaluationTimeFromRawEvents(*events, *bundle);
    if (!evaluationTime) return false;

    // 6. Aggregates and audience event filters, with one cache for the
    // whole bundle.
    TLMAudienceTimestampsCacheStandIn cache;
    std::optional<std::vector<TLMEventPtr>> counted =
        eventsAfterUpdatingEventAggregates(*events, &cache);
    if (!counted) return false;

    // 7. Upload messages, then sampling.
    std::vector<TLMPBEvent> protoEvents;
    protoEvents.reserve(counted->size());
    for (const TLMEventPtr& event : *counted) protoEvents.push_back(event->protoEvent());
    const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
    if (config.isEventSamplingEnabled() && !monitor().isDebugModeEnabled()) {
      std::optional<std::vector<TLMPBEvent>> sampled = sampleEvents(protoEvents, &error);
      if (!sampled) return false;
      protoEvents = std::move(*sampled);
      if (protoEvents.empty()) {
        report(5, kCodeNoEventsAfterSampling, "No events left after sampling. Dropping bundle");
        if (!deleteRawEventsOfRun(lastRowID, *fingerprint)) return false;
        consumed = true;
        return true;
      }
    }

    // 8. Events, start and end.
    if (!bundle->set_events(std::move(protoEvents))) return false;
    double start = run->front()->rawEvent()->timestamp();
    double end = start;
    bool isRealtime = false;
    for (const TLMRawEventDataPtr& raw : *run) {
      start = std::min(start, raw->rawEvent()->timestamp());
      end = std::max(end, raw->rawEvent()->timestamp());
    }
    for (const TLMRawEventDataPtr& raw : *events)
      isRealtime = isRealtime || raw->rawEvent()->realtime();

    // 9. Sequence index and previous-bundle times.
    if (!updateAppMetadataForBundle(*bundle, start, end)) return false;

    // 10. Audience property filters, with the bundle's cache.
    TLMStandIns& standIns = TLMStandIns::current();
    for (const TLMPBUserAttribute& property : bundle->user_attributes()) {
      if (!standIns.evaluateFiltersForNanoUserProperty(property, &cache, *evaluationTime)) {
        report(1, kCodeUserPropertyEvaluationFailed,
               "Failed to evaluate audience filters for user property. Name",
               {Object(property.name())});
        return false;
      }
    }

    // 11. Audience results.
    std::optional<std::vector<TLMPBAudienceLeafFilterResult>> results =
        standIns.resultsForBundling(&error);
    if (!results) {
      report(1, kCodeAudienceResultsFailed, "Unable to read audience evaluation results",
             {Object::error(error)});
      return false;
    }
    if (!results->empty() && !bundle->set_audience_evaluation_results(std::move(*results))) {
      return false;
    }

    // 12. Diagnostics, experiments, configuration version, times.
    addBundleMetadataIntoBundle(*bundle, start, end);

    // 13. Into the upload queue; the run's raw events go.
    if (!database_->insertBundle(*bundle, isRealtime, &error)) {
      report(1, kCodeInsertBundleFailed, "Unable to insert bundle. Error", {Object::error(error)});
      return false;
    }
    if (config.isConsentSettingsEnabled()) {
      const OptionalObject settings = TLMConsentSettingsUtil::consentSettings();
      report(8, kCodeConsentSettings, settings ? settings->description() : "(null)");
    }
    report(
        7, kCodeBundleQueued, "Bundle added to the upload queue. BundleID, timestamp",
        {Object::integer(bundle->bundle_index()), Object::integer(bundle->end_timestamp_millis())});
    if (!deleteRawEventsOfRun(lastRowID, *fingerprint)) return false;
    stored = true;
    return true;
  });
  if (!committed) {
    bundleMonitorSampleTimestamp_.reset();
    return false;
  }
  if (bundleMonitorSampleTimestamp_ && persistedConfig_ != nullptr) {
    persistedConfig_->setLastMonitorDataSampledTimestamp(*bundleMonitorSampleTimestamp_);
  }
  bundleMonitorSampleTimestamp_.reset();
  if (stored) setSuspendedUploadTimestamp(0);
  return stored || consumed;
}

std::optional<std::vector<TLMRawEventDataPtr>> TLMMeasurement::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, Error* error) {
  const TLMRemoteConfig& config = remoteConfig_ != nullptr ? *remoteConfig_ : remoteConfig();
  const std::int64_t maxEvents = config.uploadMaxEventsPerBundle();
  const std::int64_t maxSize = config.uploadMaxSizeLimitBytes();

  std::int64_t firstHour = 0;
  std::int64_t previousRowID = 0;
  std::int64_t totalSize = 0;
  bool stopped = false;
  // Rows that do not decode never reach the filter (the database reports
  // and skips them); the row-id test ends the run at such a row.
  const TLMSqliteRecordFilter filter = [&](std::size_t position, const TLMSqliteRecord& row) {
    if (stopped) return false;
    auto rowID = row.find(kColumnRowID);
    auto timestamp = row.find(kColumnTimestamp);
    if (rowID == row.end() || !rowID->second.isNumber() || timestamp == row.end() ||
        !timestamp->second.isNumber()) {
      report(4, kCodeSelectionFailed, "Failed to filter raw event. Error",
             {Object::error(tlm_errorWithCode(2, "Raw event row without row ID or timestamp"))});
      stopped = true;
      return false;
    }
    const std::int64_t id = rowID->second.int64Value();
    const std::int64_t hour = hourOf(timestamp->second.doubleValue());
    const std::int64_t size = serializedEventSize(row);
    if (position == 0) {
      // The first event always starts the run, even when its size alone
      // reaches the limit: refusing it would hold back every later event.
      firstHour = hour;
      previousRowID = id;
      totalSize = size;
      return true;
    }
    const bool accepted = static_cast<std::int64_t>(position) < maxEvents && hour == firstHour &&
                          id == previousRowID + 1 && totalSize + size < maxSize;
    if (!accepted) {
      stopped = true;
      return false;
    }
    previousRowID = id;
    totalSize += size;
    return true;
  };
  Error readError;
  std::optional<std::vector<TLMRawEventDataPtr>> events =
      database_->rawEventsWithMetadataFingerprint(fingerprint, &readError, filter);
  if (!events) {
    report(4, kCodeSelectionFailed, "Failed to filter raw event. Error",
           {Object::error(readError)});
    if (error != nullptr) *error = readError;
    return std::nullopt;
  }
  return events;
}

bool TLMMeasurement::deleteRawEventsOfRun(std::int64_t lastRowID, std::int64_t fingerprint) {
  Error error;
  if (!database_->deleteRawEventsWithMaxRowID(lastRowID, &error)) {
    report(1, kCodeDeleteRawEventsFailed, "Unable to delete raw events. RowID, error",
           {Object::integer(lastRowID), Object::error(error)});
    return false;
  }
  const std::optional<bool> used =
      database_->containsRawEventWithMetadataFingerprint(fingerprint, &error);
  if (!used) {
    report(1, kCodeRawEventExistenceFailed,
           "Unable to query existence of raw event. Metadata, error",
           {Object::integer(fingerprint), Object::error(error)});
    return false;
  }
  if (!*used && !database_->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
    report(1, kCodeDeleteMetadataFailed, "Unable to delete raw event metadata. Metadata, error",
           {Object::integer(fingerprint), Object::error(error)});
    return false;
  }
  return true;
}
