// The upload queue of finished bundles, and the sweep that removes raw
// events and bundles too old to upload.
#include <cmath>
#include <limits>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseMessages.h"
#include "utilities/HRNGzip.h"

namespace {

constexpr char kColumnBundleEndTimestamp[] = "bundle_end_timestamp";
constexpr char kColumnRetryCount[] = "retry_count";

constexpr char kQueueEmptyQuery[] = "SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)";
// Oldest first; row order breaks ties so that the order is stable.
constexpr char kBundlesQuery[] =
    "SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC, rowid ASC";
constexpr char kBundlesWithRowIDsQuery[] = "SELECT rowid, data, retry_count FROM queue WHERE ";
constexpr char kLatestBundleTimeQuery[] = "SELECT MAX(bundle_end_timestamp) FROM queue";
constexpr char kRealtimeBundlesQuery[] =
    "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)";
constexpr char kRetryLimitReachedQuery[] =
    "SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? AND ";
constexpr char kBelowRetryLimitCondition[] = " AND retry_count < ?";
constexpr char kStaleBundlesCondition[] =
    "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)";

constexpr double kMillisecondsPerSecond = 1000.0;

const Object* column(const TLMSqliteRecord& row, const char* name) {
  auto it = row.find(name);
  return it != row.end() ? &it->second : nullptr;
}

// A queue row as (bundle, row id) and the size of its serialization; nothing,
// with `error`, when its data does not inflate or parse.
std::optional<std::pair<TLMQueuedBundle, std::size_t>> queuedBundleFromRow(
    const TLMSqliteRecord& row, Error* error) {
  const Object* rowID = column(row, kTLMColumnRowID);
  if (rowID == nullptr || !rowID->isNumber()) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Unable to find row ID in the database dictionary");
    return std::nullopt;
  }
  const Object* data = column(row, kTLMColumnData);
  const Bytes* compressed = data != nullptr ? data->asData() : nullptr;
  if (compressed == nullptr || compressed->empty()) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Cannot decompress an empty bundle data");
    return std::nullopt;
  }
  Error inflateError;
  std::optional<Bytes> bytes = hrn_dataByInflatingGzippedData(*compressed, &inflateError);
  if (!bytes) {
    tlm_databaseFail(error, kTLMDatabaseWrongStateCode, inflateError.description.value_or(""));
    return std::nullopt;
  }
  std::optional<TLMPBMeasurementBundle> bundle = TLMPBMeasurementBundle::initWithBuffer(*bytes);
  if (!bundle) {
    tlm_databaseFail(error, kTLMDatabaseWrongStateCode,
                     "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  // The counter lives in its column; the stored bytes keep the value the
  // bundle had when it was queued.
  const Object* retryCount = column(row, kColumnRetryCount);
  if (retryCount != nullptr && retryCount->isNumber() && retryCount->int64Value() >= 1) {
    bundle->set_retry_count(static_cast<std::int32_t>(std::min<std::int64_t>(
        retryCount->int64Value(), std::numeric_limits<std::int32_t>::max())));
  }
  return std::make_pair(TLMQueuedBundle(std::move(*bundle), rowID->int64Value()), bytes->size());
}

void reportUnreadableBundle(const TLMSqliteRecord& row, const Error& error) {
  const Object* rowID = column(row, kTLMColumnRowID);
  tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseUnreadableBundleCode,
                     kTLMDatabaseUnreadableBundleMessage,
                     rowID != nullptr ? *rowID : Object::null(), Object::error(error));
}

}  // namespace

std::optional<std::string> TLMDatabase::rowIDConditionForRowIDs(const ObjectArray& rowIDs,
                                                                Error* error) {
  if (rowIDs.empty()) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Received empty row IDs to process");
    return std::nullopt;
  }
  std::string placeholders;
  for (const Object& rowID : rowIDs) {
    if (!rowID.isNumber()) {
      tlm_databaseFail(error, kTLMDatabaseFailureCode,
                       "Received invalid type for row ID to process");
      return std::nullopt;
    }
    placeholders += placeholders.empty() ? "?" : ",?";
  }
  return "rowid IN (" + placeholders + ")";
}

bool TLMDatabase::insertBundle(const TLMPBMeasurementBundle& bundle, bool isRealtime,
                               Error* error) {
  std::optional<Bytes> bytes = bundle.protoBuffer();
  if (!bytes || bytes->empty()) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode, "Failed to insert nil bundle");
  }
  if (bundle.app_id().empty()) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Failed to insert bundle without App ID");
  }
  if (bundle.end_timestamp_millis() < 1) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Failed to insert bundle without valid timestamp");
  }
  if (!maybeDeleteStaleData(error)) return false;

  const double endTimestamp =
      static_cast<double>(bundle.end_timestamp_millis()) / kMillisecondsPerSecond;
  if (std::fabs(now() - endTimestamp) > remoteConfig().maxQueueTime()) {
    // Stored anyway: the next sweep decides.
    tlm_databaseReport(kTLMDatabaseWarningLevel, kTLMDatabaseBundleOutsideQueueTimeCode,
                       kTLMDatabaseBundleOutsideQueueTimeMessage);
  }

  std::optional<Bytes> compressed = hrn_dataByGzippingData(*bytes, nullptr);
  if (!compressed || compressed->empty()) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Failed to compress bundle");
  }
  tlm_databaseReport(kTLMDatabaseDebugLevel, kTLMDatabaseSavingBundleCode,
                     kTLMDatabaseSavingBundleMessage,
                     Object::integer(static_cast<std::int64_t>(compressed->size())));

  const TLMSqliteRecord record = {
      {kColumnBundleEndTimestamp, Object::floating(endTimestamp)},
      {kTLMColumnData, Object::data(std::move(*compressed))},
      {kTLMColumnIsRealtime, Object::integer(isRealtime ? 1 : 0)},
      {kColumnRetryCount, Object::integer(bundle.retry_count())},
  };
  return insertDataType(record, kTLMTableQueue, error);
}

std::optional<bool> TLMDatabase::isQueuedBundleTableEmpty(Error* error) {
  return tlm_databaseBooleanForQuery(*sqliteStore_, kQueueEmptyQuery, {}, error);
}

std::optional<std::vector<TLMQueuedBundle>> TLMDatabase::queryBundlesWithCountLimit(
    std::int64_t countLimit, std::int64_t sizeLimit, Error* error) {
  if (countLimit < 0) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Received negative count limit for querying bundles");
    return std::nullopt;
  }
  std::vector<TLMQueuedBundle> bundles;
  if (countLimit == 0) return bundles;
  // The count limit applies to readable bundles, so the scan is ended here
  // rather than by LIMIT: unreadable rows at the head of the queue must not
  // use up the places of the bundles behind them.
  std::int64_t totalSize = 0;
  const TLMSqliteRecordFilter filter = [&](std::size_t, const TLMSqliteRecord& row) {
    Error rowError;
    std::optional<std::pair<TLMQueuedBundle, std::size_t>> bundle =
        queuedBundleFromRow(row, &rowError);
    if (!bundle) {
      reportUnreadableBundle(row, rowError);
      return true;
    }
    const std::int64_t size = static_cast<std::int64_t>(bundle->second);
    // The oldest bundle goes out even when it is over the budget alone.
    if (!bundles.empty() && (totalSize > sizeLimit || size > sizeLimit - totalSize)) {
      return false;
    }
    totalSize += size;
    bundles.push_back(std::move(bundle->first));
    return static_cast<std::int64_t>(bundles.size()) < countLimit && totalSize <= sizeLimit;
  };
  if (!sqliteStore_->recordsForQuery(kBundlesQuery, {}, error, filter)) return std::nullopt;
  return bundles;
}

std::optional<std::vector<TLMQueuedBundle>> TLMDatabase::queryBundlesWithRowIDs(
    const ObjectArray& rowIDs, Error* error) {
  std::optional<std::string> condition = rowIDConditionForRowIDs(rowIDs, error);
  if (!condition) return std::nullopt;
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kBundlesWithRowIDsQuery + *condition, rowIDs, error);
  if (!rows) return std::nullopt;
  std::vector<TLMQueuedBundle> bundles;
  for (const TLMSqliteRecord& row : *rows) {
    Error rowError;
    std::optional<std::pair<TLMQueuedBundle, std::size_t>> bundle =
        queuedBundleFromRow(row, &rowError);
    if (!bundle) {
      reportUnreadableBundle(row, rowError);
      continue;
    }
    bundles.push_back(std::move(bundle->first));
  }
  return bundles;
}

std::optional<std::int64_t> TLMDatabase::deleteBundlesWithRowIDs(const ObjectArray& rowIDs,
                                                                 Error* error) {
  std::optional<std::string> condition = rowIDConditionForRowIDs(rowIDs, error);
  if (!condition) return std::nullopt;
  return sqliteStore_->deleteRecordsFromTableWithName(kTLMTableQueue, *condition, rowIDs, error);
}

bool TLMDatabase::incrementRetryCounterForBundlesWithIDs(const ObjectArray& rowIDs, Error* error) {
  if (rowIDs.empty()) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Failed to increment retry counter");
  }
  std::optional<std::string> condition = rowIDConditionForRowIDs(rowIDs, error);
  if (!condition) return false;
  // Asked of the given rows only: a capped bundle that is not being
  // retried is no news.
  ObjectArray parameters = {Object::integer(kMaxRetryCount)};
  parameters.insert(parameters.end(), rowIDs.begin(), rowIDs.end());
  std::optional<bool> capped = tlm_databaseBooleanForQuery(
      *sqliteStore_, kRetryLimitReachedQuery + *condition + " LIMIT 1)", parameters, error);
  if (!capped) return false;
  if (*capped) {
    tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseRetryLimitCode,
                       kTLMDatabaseRetryLimitMessage);
  }
  ObjectArray incrementParameters = rowIDs;
  incrementParameters.push_back(Object::integer(kMaxRetryCount));
  return sqliteStore_->increaseColumn(kColumnRetryCount, 1, kTLMTableQueue,
                                      *condition + kBelowRetryLimitCondition, incrementParameters,
                                      error);
}

std::optional<double> TLMDatabase::queryLatestBundleTime(Error* error) {
  bool failed = false;
  OptionalObject latest =
      tlm_databaseNumberForQuery(*sqliteStore_, kLatestBundleTimeQuery, {}, error, &failed);
  if (!latest) return std::nullopt;
  return latest->doubleValue();
}

std::optional<bool> TLMDatabase::containsRealtimeBundlesWithError(Error* error) {
  return tlm_databaseBooleanForQuery(*sqliteStore_, kRealtimeBundlesQuery, {}, error);
}

std::optional<bool> TLMDatabase::maybeDeleteStaleData(Error* error) {
  const double currentTime = now();
  // abs(): a clock set back must not postpone the sweep indefinitely.
  if (!(std::fabs(currentTime - persistedConfig_->lastDeleteStaleBundlesTimestamp()) >
        remoteConfig().databaseDeleteStaleBundlesInterval())) {
    return false;
  }
  const double maxAge = remoteConfig().maxQueueTime();
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error)) return std::nullopt;
  if (!deleteStaleBundlesOlderThanMaxAge(maxAge, error)) return std::nullopt;
  persistedConfig_->setLastDeleteStaleBundlesTimestamp(currentTime);
  return true;
}

std::optional<std::int64_t> TLMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge,
                                                                           Error* error) {
  // NaN included: it would bind as NULL and match nothing.
  if (!(maxAge >= 0)) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Cannot delete stale bundles after negative time period");
    return std::nullopt;
  }
  return sqliteStore_->deleteRecordsFromTableWithName(
      kTLMTableQueue, kStaleBundlesCondition, {Object::floating(now()), Object::floating(maxAge)},
      error);
}
