// Raw events (logged events waiting to be packed into bundles) and the
// metadata bundles they share.
#include <algorithm>
#include <cmath>

#include "common/DataHelpers.h"
#include "config/TLMRemoteConfig.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMDatabaseMessages.h"

namespace {

constexpr char kColumnName[] = "name";
constexpr char kColumnTimestamp[] = "timestamp";
constexpr char kColumnMetadata[] = "metadata";

constexpr char kMetadataExistsQuery[] =
    "SELECT EXISTS (SELECT 1 FROM raw_events_metadata WHERE metadata_fingerprint = ? LIMIT 1)";
constexpr char kMetadataQuery[] =
    "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?";
constexpr char kMetadataFingerprintCondition[] = "metadata_fingerprint == ?";
constexpr char kUnusedMetadataCondition[] =
    "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)";
constexpr char kRawEventsEmptyQuery[] = "SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)";
constexpr char kLatestRawEventTimeQuery[] = "SELECT MAX(timestamp) FROM raw_events";
constexpr char kRealtimeRawEventsQuery[] =
    "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)";
constexpr char kRawEventWithFingerprintQuery[] =
    "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)";
constexpr char kNextFingerprintQuery[] = "SELECT metadata_fingerprint, MIN(rowid) FROM raw_events";
constexpr char kRawEventsWithFingerprintQuery[] =
    "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?";
constexpr char kMaxRowIDCondition[] = "rowid <= ?";
constexpr char kOverLimitCondition[] =
    "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 OFFSET ?)";
// An upper bound of the row count that SQLite answers from the two ends
// of the rowid b-tree, where counting the rows would walk the table.
constexpr char kRowIDSpanQuery[] =
    "SELECT (SELECT max(rowid) FROM raw_events) - (SELECT min(rowid) FROM raw_events) + 1";
constexpr char kStaleRawEventsCondition[] = "abs(timestamp - cast(? as REAL)) > cast(? as REAL)";

constexpr char kOriginParameter[] = "_o";

// The metadata bundle's bytes; nothing, with `error`, when it does not
// encode or encodes to nothing (a metadata bundle always has fields, and
// an empty blob could not be read back).
std::optional<Bytes> metadataBytes(const TLMPBMeasurementBundle& metadata, Error* error) {
  Error encodeError;
  std::optional<Bytes> bytes = metadata.protoBuffer(&encodeError);
  if (!bytes) {
    if (error != nullptr) *error = encodeError;
    return std::nullopt;
  }
  if (bytes->empty()) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Event metadata should not be empty for storing");
    return std::nullopt;
  }
  return bytes;
}

const Object* column(const TLMSqliteRecord& row, const char* name) {
  auto it = row.find(name);
  return it != row.end() ? &it->second : nullptr;
}

// The checks of a stored event message that the event model does not
// make: every parameter named, and a string origin present.
bool checkStoredEventParameters(const TLMPBEvent& proto, Error* error) {
  bool hasOrigin = false;
  for (const TLMPBEventParam& parameter : proto.params()) {
    const std::string name = parameter.name();
    if (name.empty()) {
      return tlm_databaseFail(error, kTLMDatabaseFailureCode, "Event parameter name is empty");
    }
    if (name != kOriginParameter) continue;
    if (!parameter.has_string_value()) {
      return tlm_databaseFail(error, kTLMDatabaseFailureCode,
                              "Cannot create an event from database. Origin parameter is not a "
                              "string");
    }
    hasOrigin = true;
  }
  if (!hasOrigin) {
    return tlm_databaseFail(error, kTLMDatabaseFailureCode,
                            "Cannot create an event from database. Missing origin parameter");
  }
  return true;
}

}  // namespace

std::optional<std::int64_t> TLMDatabase::metadataFingerprintForBundle(
    const TLMPBMeasurementBundle& metadata, Error* error) {
  std::optional<Bytes> bytes = metadataBytes(metadata, error);
  if (!bytes) return std::nullopt;
  return tlm_64LSBMD5(*bytes);
}

std::optional<std::int64_t> TLMDatabase::insertIfNotExistsRawEventMetadata(
    const TLMPBMeasurementBundle& metadata, Error* error) {
  std::optional<Bytes> bytes = metadataBytes(metadata, error);
  if (!bytes) return std::nullopt;
  const std::int64_t fingerprint = tlm_64LSBMD5(*bytes);
  std::optional<bool> exists = tlm_databaseBooleanForQuery(*sqliteStore_, kMetadataExistsQuery,
                                                           {Object::integer(fingerprint)}, error);
  if (!exists) return std::nullopt;
  if (*exists) return fingerprint;
  const TLMSqliteRecord record = {
      {kTLMColumnMetadataFingerprint, Object::integer(fingerprint)},
      {kColumnMetadata, Object::data(std::move(*bytes))},
  };
  if (!upsertDataType(record, kTLMTableRawEventsMetadata, kTLMColumnMetadataFingerprint,
                      Object::integer(fingerprint), kMaxRawEventsMetadataRows, error)) {
    return std::nullopt;
  }
  return fingerprint;
}

std::optional<TLMPBMeasurementBundle> TLMDatabase::queryRawEventsMetadataWithFingerprint(
    std::int64_t fingerprint, Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kMetadataQuery, {Object::integer(fingerprint)}, error);
  if (!rows) return std::nullopt;
  const Object* metadata = rows->empty() ? nullptr : column(rows->front(), kColumnMetadata);
  const Bytes* bytes = metadata != nullptr ? metadata->asData() : nullptr;
  if (bytes == nullptr || bytes->empty()) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode,
                     "Event metadata should not be empty for getting measurement bundle");
    return std::nullopt;
  }
  Error parseError;
  std::optional<TLMPBMeasurementBundle> bundle =
      TLMPBMeasurementBundle::initWithBuffer(*bytes, &parseError);
  if (!bundle) {
    tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseUnreadableMetadataCode,
                       kTLMDatabaseUnreadableMetadataMessage, Object::integer(fingerprint),
                       Object::error(parseError));
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Failed to parse event metadata from data");
    return std::nullopt;
  }
  return bundle;
}

bool TLMDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint,
                                                                Error* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kTLMTableRawEventsMetadata, kMetadataFingerprintCondition,
                                       {Object::integer(fingerprint)}, error)
      .has_value();
}

std::optional<std::int64_t> TLMDatabase::deleteUnusedRawEventsMetadata(Error* error) {
  return sqliteStore_->deleteRecordsFromTableWithName(kTLMTableRawEventsMetadata,
                                                      kUnusedMetadataCondition, {}, error);
}

bool TLMDatabase::insertRawEvent(const TLMEventPtr& event, std::int64_t metadataFingerprint,
                                 bool isRealtime, Error* error) {
  if (event == nullptr) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Received empty event for inserting in the database");
  }
  if (!std::isfinite(event->timestamp())) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Received event with invalid timestamp for inserting in the database");
  }
  // The name lives in its own column.
  TLMPBEvent proto = event->protoEvent();
  proto.clear_name();
  std::optional<Bytes> data = proto.protoBuffer(error);
  if (!data) return false;
  const TLMSqliteRecord record = {
      {kColumnName, Object(event->name())},
      {kColumnTimestamp, Object::floating(event->timestamp())},
      {kTLMColumnMetadataFingerprint, Object::integer(metadataFingerprint)},
      {kTLMColumnData, Object::data(std::move(*data))},
      {kTLMColumnIsRealtime, Object::integer(isRealtime ? 1 : 0)},
  };
  return insertDataType(record, kTLMTableRawEvents, error);
}

std::optional<bool> TLMDatabase::isRawEventsTableEmpty(Error* error) {
  return tlm_databaseBooleanForQuery(*sqliteStore_, kRawEventsEmptyQuery, {}, error);
}

std::optional<double> TLMDatabase::queryLatestRawEventTime(Error* error) {
  bool failed = false;
  OptionalObject latest =
      tlm_databaseNumberForQuery(*sqliteStore_, kLatestRawEventTimeQuery, {}, error, &failed);
  if (!latest) return std::nullopt;
  return latest->doubleValue();
}

std::optional<bool> TLMDatabase::containsRealtimeRawEventsWithError(Error* error) {
  return tlm_databaseBooleanForQuery(*sqliteStore_, kRealtimeRawEventsQuery, {}, error);
}

std::optional<bool> TLMDatabase::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint,
                                                                         Error* error) {
  return tlm_databaseBooleanForQuery(*sqliteStore_, kRawEventWithFingerprintQuery,
                                     {Object::integer(fingerprint)}, error);
}

std::optional<std::int64_t> TLMDatabase::nextMetadataFingerprintToProcess(Error* error) {
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kNextFingerprintQuery, {}, error);
  if (!rows) return std::nullopt;
  if (rows->size() != 1) {
    tlm_databaseFail(error, kTLMDatabaseWrongStateCode,
                     "Only one event metadata should be processed");
    return std::nullopt;
  }
  const Object* fingerprint = column(rows->front(), kTLMColumnMetadataFingerprint);
  if (fingerprint == nullptr || fingerprint->isNull()) return std::nullopt;  // no raw events
  if (!fingerprint->isNumber() || fingerprint->isFloatingNumber()) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Received invalid event metadata fingerprint");
    return std::nullopt;
  }
  return fingerprint->int64Value();
}

std::optional<std::vector<TLMRawEventDataPtr>> TLMDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, Error* error, const TLMSqliteRecordFilter& eventFilter) {
  // Rows are converted as they are read, so that the caller's filter can
  // end the scan early. A row that no longer decodes is reported and
  // skipped rather than failing the read: otherwise it would hold back
  // every event after it for good.
  std::vector<TLMRawEventDataPtr> events;
  std::size_t passedRows = 0;
  const TLMSqliteRecordFilter filter = [&](std::size_t, const TLMSqliteRecord& row) {
    Error rowError;
    TLMRawEventDataPtr event = rawEventDataFromDictionary(row, &rowError);
    if (event == nullptr) {
      const Object* rowID = column(row, kTLMColumnRowID);
      tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseUnreadableRawEventCode,
                         kTLMDatabaseUnreadableRawEventMessage,
                         rowID != nullptr ? *rowID : Object::null(), Object::error(rowError));
      return true;
    }
    if (eventFilter && !eventFilter(passedRows, row)) return false;
    ++passedRows;
    events.push_back(std::move(event));
    return true;
  };
  std::optional<std::vector<TLMSqliteRecord>> rows = sqliteStore_->recordsForQuery(
      kRawEventsWithFingerprintQuery,
      {Object::integer(fingerprint), Object::integer(kRawEventsReadLimit)}, error, filter);
  if (!rows) return std::nullopt;
  return events;
}

TLMRawEventDataPtr TLMDatabase::rawEventDataFromDictionary(const TLMSqliteRecord& row,
                                                           Error* error) {
  const Object* rowID = column(row, kTLMColumnRowID);
  if (rowID == nullptr || !rowID->isNumber()) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Unable to find row ID in the database dictionary");
    return nullptr;
  }
  const Object* data = column(row, kTLMColumnData);
  if (data == nullptr || data->asData() == nullptr) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Unable to find event data in the database dictionary");
    return nullptr;
  }
  const Object* fingerprint = column(row, kTLMColumnMetadataFingerprint);
  if (fingerprint == nullptr || !fingerprint->isNumber()) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Unable to find event metadata in the database dictionary");
    return nullptr;
  }
  const Object* name = column(row, kColumnName);
  if (name == nullptr || name->asString() == nullptr || name->asString()->empty()) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Unable to find event name in the database dictionary");
    return nullptr;
  }
  const std::optional<double> timestamp = tlm_databaseFiniteDouble(column(row, kColumnTimestamp));
  if (!timestamp) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Unable to find event timestamp in the database dictionary");
    return nullptr;
  }
  std::optional<TLMPBEvent> proto = TLMPBEvent::initWithBuffer(*data->asData());
  if (!proto) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Failed to parse event from data");
    return nullptr;
  }
  if (!checkStoredEventParameters(*proto, error)) return nullptr;
  TLMEventPtr event = TLMEvent::initWithEventProto(*proto, *name->asString(), *timestamp);
  if (event == nullptr) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Failed to parse event from data");
    return nullptr;
  }
  TLMRawEventDataPtr rawEvent = TLMRawEventData::initWithRawEvent(
      std::move(event), rowID->int64Value(), fingerprint->int64Value());
  if (rawEvent == nullptr) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Unable to find row ID in the database dictionary");
  }
  return rawEvent;
}

std::optional<std::int64_t> TLMDatabase::deleteRawEventsWithMaxRowID(std::int64_t maxRowID,
                                                                     Error* error) {
  return sqliteStore_->deleteRecordsFromTableWithName(kTLMTableRawEvents, kMaxRowIDCondition,
                                                      {Object::integer(maxRowID)}, error);
}

std::optional<std::int64_t> TLMDatabase::deleteRawEventsOverAbsoluteLimit(Error* error) {
  // Leaves room for the event about to be stored. A negative offset would
  // mean no offset to SQLite, which is also what a limit of 0 asks for.
  const std::int64_t keep =
      std::max<std::int64_t>(0, static_cast<std::int64_t>(remoteConfig().maxEventsStored()) - 1);
  // Runs before every stored event: skip the delete, whose OFFSET walks the
  // table, while the rows cannot be more than `keep`.
  Error spanError;
  const OptionalObject span = sqliteStore_->numberForQuery(kRowIDSpanQuery, {}, &spanError);
  if (!span) {
    // An empty table has no span (NULL): nothing to delete.
    if (spanError.domain.empty()) return 0;
    if (error != nullptr) *error = spanError;
    return std::nullopt;
  }
  if (span->int64Value() <= keep) return 0;
  return sqliteStore_->deleteRecordsFromTableWithName(kTLMTableRawEvents, kOverLimitCondition,
                                                      {Object::integer(keep)}, error);
}

std::optional<std::int64_t> TLMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                                                 Error* error) {
  // NaN included: it would bind as NULL and match nothing.
  if (!(maxAge >= 0)) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Cannot delete stale raw events given negative time period");
    return std::nullopt;
  }
  std::optional<std::int64_t> deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kTLMTableRawEvents, kStaleRawEventsCondition,
      {Object::floating(now()), Object::floating(maxAge)}, error);
  if (!deleted) return std::nullopt;
  if (*deleted > 0 && !deleteUnusedRawEventsMetadata(error)) return std::nullopt;
  return deleted;
}
