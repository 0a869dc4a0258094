// Lifecycle, schema, generic row operations, app metadata and daily counts
// of the measurement database.
#include "storage/TLMDatabase.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "config/TLMFilePaths.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabaseMessages.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kContextInit[] = "Init";
constexpr char kContextReset[] = "Reset";

constexpr char kColumnLastBundleIndex[] = "last_bundle_index";
constexpr char kColumnLastBundleStartTimestamp[] = "last_bundle_start_timestamp";
constexpr char kColumnLastBundleEndTimestamp[] = "last_bundle_end_timestamp";
constexpr char kColumnDay[] = "day";
constexpr char kColumnDailyConversionsCount[] = "daily_conversions_count";
constexpr char kColumnDailyEventsCount[] = "daily_events_count";
constexpr char kColumnDailyPublicEventsCount[] = "daily_public_events_count";
constexpr char kColumnDailyErrorEventsCount[] = "daily_error_events_count";
constexpr char kColumnDailyRealtimeCount[] = "daily_real_time_conversion_events_count";

constexpr char kAppMetadataRowQuery[] = "SELECT rowid FROM app_metadata WHERE rowid = ?";
constexpr char kAppMetadataQuery[] =
    "SELECT last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp FROM "
    "app_metadata WHERE rowid = ?";
constexpr char kDailyCountsQuery[] =
    "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, "
    "daily_error_events_count, daily_real_time_conversion_events_count FROM app_metadata WHERE "
    "rowid = ?";

// SQLite result codes that say nothing about the file's contents: a table
// that could not be created or checked for one of these reasons is fine
// on the next start, and deleting the file would lose events not yet sent.
bool isTransientSQLiteCode(int code) {
  switch (code & 0xff) {
    case SQLITE_PERM:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_NOMEM:
    case SQLITE_READONLY:
    case SQLITE_INTERRUPT:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_CANTOPEN:
    case SQLITE_PROTOCOL:
      return true;
    default:
      return false;
  }
}

// The SQLite code in a store error's monitor context
// ("<operation>,<code>,<A|NA>,<free space magnitude>").
std::optional<int> sqliteCodeOfError(const Error& error) {
  const std::string context = tlm_monitorContextOfError(error);
  std::size_t end = context.rfind(',');
  if (end == std::string::npos || end == 0) return std::nullopt;
  end = context.rfind(',', end - 1);
  if (end == std::string::npos || end == 0) return std::nullopt;
  const std::size_t begin = context.rfind(',', end - 1);
  if (begin == std::string::npos) return std::nullopt;
  const std::string digits = context.substr(begin + 1, end - begin - 1);
  if (digits.empty() || digits.size() > 9 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return std::stoi(digits);
}

std::int32_t saturatedInt32(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

// A counter column of the daily counts: anything but a number reads as 0.
std::int32_t countColumn(const TLMSqliteRecord& row, const char* column) {
  auto it = row.find(column);
  if (it == row.end() || !it->second.isNumber()) return 0;
  return saturatedInt32(it->second.int64Value());
}

TLMSqliteColumnInfo withModifiedTypes(const TLMSqliteColumnInfo& columns,
                                      const std::map<std::string, std::string>& modified) {
  TLMSqliteColumnInfo result = columns;
  for (auto& [name, type] : result) {
    auto it = modified.find(name);
    if (it != modified.end()) type = it->second;
  }
  return result;
}

// Creates the table when missing, adds its missing add-on columns in the
// schema's order (the store would add them in name order), validates it and
// applies its type changes. A new table is created with its final column
// types right away, so that it is not rebuilt the moment it exists.
bool ensureTable(TLMSqliteStore& store, const TLMDatabaseTable& table, Error* error) {
  const TLMSqliteColumnInfo elementary =
      withModifiedTypes(table.elementaryColumns, table.modifiedColumnTypes);
  std::optional<bool> exists = store.tableExists(table.name, error);
  if (!exists) return false;
  if (!*exists && !store.ensureTableWithName(table.name, elementary, {}, error)) return false;
  std::optional<std::vector<std::string>> columns =
      store.columnsForTableWithName(table.name, error);
  if (!columns) return false;
  for (const auto& [name, type] : table.addOnColumns) {
    if (std::find(columns->begin(), columns->end(), name) != columns->end()) continue;
    if (!store.executeSQL("ALTER TABLE " + table.name + " ADD COLUMN " + name + " " + type,
                          error)) {
      return false;
    }
  }
  return store.ensureTableWithName(table.name, elementary, table.addOnColumns,
                                   table.modifiedColumnTypes, error);
}

}  // namespace

// ---- Shared helpers ----

std::string tlm_databaseFormat(const char* pattern, const std::string& argument) {
  std::string text = pattern;
  const std::size_t at = text.find("%@");
  if (at != std::string::npos) text.replace(at, 2, argument);
  return text;
}

void tlm_databaseReport(int level, long code, const char* message, OptionalObject c1,
                        OptionalObject c2) {
  ObjectArray contexts;
  if (c1) contexts.push_back(std::move(*c1));
  if (c2) contexts.push_back(std::move(*c2));
  TLMMeasurement::monitor().logWithLevel(level, code, message, contexts);
}

std::optional<bool> tlm_databaseBooleanForQuery(TLMSqliteStore& store, const std::string& query,
                                                const ObjectArray& parameterValues, Error* error) {
  Error queryError;
  OptionalObject answer = store.numberForQuery(query, parameterValues, &queryError);
  if (!answer) {
    if (queryError.domain.empty()) {
      queryError = tlm_errorWithCode(kTLMDatabaseFailureCode, "Received no result for query");
    }
    if (error != nullptr) *error = queryError;
    return std::nullopt;
  }
  return answer->int64Value() != 0;
}

OptionalObject tlm_databaseNumberForQuery(TLMSqliteStore& store, const std::string& query,
                                          const ObjectArray& parameterValues, Error* error,
                                          bool* failed) {
  Error queryError;
  OptionalObject answer = store.numberForQuery(query, parameterValues, &queryError);
  *failed = !answer && !queryError.domain.empty();
  if (*failed && error != nullptr) *error = queryError;
  return answer;
}

std::optional<double> tlm_databaseFiniteDouble(const Object* value) {
  if (value == nullptr || !value->isNumber()) return std::nullopt;
  const double seconds = value->doubleValue();
  if (!std::isfinite(seconds)) return std::nullopt;
  return seconds;
}

// ---- Schema ----

const std::vector<TLMDatabaseTable>& TLMDatabase::schema() {
  // Leaked on purpose: worker threads may still read it while the process
  // exits.
  static const auto* const kSchema = new std::vector<TLMDatabaseTable>{
      {kTLMTableAppMetadata,
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"}},
       {}},
      {kTLMTableRawEventsMetadata,
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {kTLMTableRawEvents,
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {kTLMTableEvents,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {kTLMTableUserAttributes,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {kTLMTableQueue,
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"}, {"retry_count", "INTEGER"}},
       {}},
      {kTLMTableEventFilters,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {TLMSqliteStore::kPrimaryKeyColumnName, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kTLMTablePropertyFilters,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {TLMSqliteStore::kPrimaryKeyColumnName, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kTLMTableAudienceFilterValues,
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {},
       {}},
      {kTLMTablePurchaseTransactions, {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kTLMTableSubscriptions, {{"subscription_id", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kTLMTableConditionalProperties,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {kTLMTableMainEventParams,
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
  return *kSchema;
}

// ---- Creation ----

TLMDatabase::TLMDatabase(std::shared_ptr<TLMPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {}

TLMDatabase::~TLMDatabase() = default;

std::string TLMDatabase::databasePathWithName(const std::string& databaseName) {
  // Reports 19001 itself when Application Support cannot be resolved.
  return tlm_measurementDataPath(databaseName);
}

std::unique_ptr<TLMDatabase> TLMDatabase::initWithDatabaseName(
    const std::string& databaseName, std::shared_ptr<TLMPersistedConfig> persistedConfig,
    Error* error) {
  if (databaseName.empty()) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Received empty database name in init");
    return nullptr;
  }
  return initWithDatabasePath(databasePathWithName(databaseName), std::move(persistedConfig),
                              error);
}

std::unique_ptr<TLMDatabase> TLMDatabase::initWithDatabasePath(
    const std::string& databasePath, std::shared_ptr<TLMPersistedConfig> persistedConfig,
    Error* error) {
  if (persistedConfig == nullptr) {
    tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                     "Received nil persisted config in init");
    return nullptr;
  }
  std::unique_ptr<TLMDatabase> database(new TLMDatabase(std::move(persistedConfig)));
  if (!database->initializeDatabaseResourcesWithContext(kContextInit, databasePath, error)) {
    return nullptr;
  }
  return database;
}

void TLMDatabase::setRemoteConfig(std::shared_ptr<const TLMRemoteConfig> remoteConfig) {
  remoteConfig_ = std::move(remoteConfig);
}

const TLMRemoteConfig& TLMDatabase::remoteConfig() const {
  return remoteConfig_ != nullptr ? *remoteConfig_ : TLMRemoteConfig::defaultInstance();
}

double TLMDatabase::now() const { return Platform::current().clock().now(); }

double TLMDatabase::today() const {
  return TLMDailyCounts::dayForTime(now(), persistedConfig_->midnightOffset());
}

// ---- Lifecycle ----

bool TLMDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                         const std::string& databasePath,
                                                         Error* error) {
  databasePath_ = databasePath;
  Error storeError;
  std::unique_ptr<TLMSqliteStore> store =
      TLMSqliteStore::createWithDatabasePath(databasePath, &storeError);
  if (store == nullptr) {
    // The store has already replaced a damaged file; whatever else kept it
    // from opening (a lock, a full disk) leaves the file for the next try.
    tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseValidateTablesCode,
                       tlm_databaseFormat(kTLMDatabaseValidateTablesMessage, context).c_str(),
                       Object::error(storeError));
    if (error != nullptr) *error = storeError;
    return false;
  }
  sqliteStore_ = std::move(store);
  sqliteStore_->setCommitObserver(commitObserver_);

  Error tablesError;
  if (!ensureAllTables(&tablesError)) {
    tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseValidateTablesCode,
                       tlm_databaseFormat(kTLMDatabaseValidateTablesMessage, context).c_str(),
                       Object::error(tablesError));
    const std::optional<int> sqliteCode = sqliteCodeOfError(tablesError);
    if (sqliteCode && isTransientSQLiteCode(*sqliteCode)) {
      sqliteStore_->closeDatabase();
    } else if (!sqliteStore_->closeAndDeleteDatabase()) {
      // The next start recreates the file only once it is gone.
      tlm_databaseReport(
          kTLMDatabaseWarningLevel, kTLMDatabaseDeleteAfterValidationCode,
          tlm_databaseFormat(kTLMDatabaseDeleteAfterValidationMessage, context).c_str());
    }
    if (error != nullptr) *error = tablesError;
    return false;
  }

  if (!initializeAppMetadata()) {
    const std::string message = tlm_databaseFormat(kTLMDatabaseInitAppMetadataMessage, context);
    tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseInitAppMetadataCode, message.c_str());
    sqliteStore_->closeDatabase();
    return tlm_databaseFail(error, kTLMDatabaseFailureCode, message);
  }
  return true;
}

bool TLMDatabase::reset(Error* error) {
  if (sqliteStore_ != nullptr && !sqliteStore_->closeAndDeleteDatabase()) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Failed to delete database data");
  }
  return initializeDatabaseResourcesWithContext(kContextReset, databasePath_, error);
}

bool TLMDatabase::ensureAllTables(Error* error) {
  if (sqliteStore_ == nullptr) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Database not open");
  }
  for (const TLMDatabaseTable& table : schema()) {
    Error tableError;
    if (!ensureTable(*sqliteStore_, table, &tableError)) {
      tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseEnsureTableCode,
                         kTLMDatabaseEnsureTableMessage, Object(table.name),
                         Object::error(tableError));
      if (error != nullptr) *error = tableError;
      return false;
    }
  }
  return true;
}

bool TLMDatabase::performTransaction(const std::function<bool()>& block) {
  if (!block) return false;
  return performTransaction([&block](Error*) { return block(); }, nullptr);
}

bool TLMDatabase::performTransaction(const std::function<bool(Error*)>& block, Error* error) {
  return runTransaction(block, error, false);
}

bool TLMDatabase::performBatchedTransaction(const std::function<bool()>& block) {
  if (!block) return false;
  return performBatchedTransaction([&block](Error*) { return block(); }, nullptr);
}

bool TLMDatabase::performBatchedTransaction(const std::function<bool(Error*)>& block,
                                            Error* error) {
  return runTransaction(block, error, true);
}

bool TLMDatabase::commitBatchedTransactions(Error* error) {
  if (sqliteStore_ == nullptr) return true;
  return sqliteStore_->commitBatch(error);
}

bool TLMDatabase::hasOpenBatchedTransaction() const {
  return sqliteStore_ != nullptr && sqliteStore_->hasOpenBatch();
}

std::size_t TLMDatabase::batchedTransactionCount() const {
  return sqliteStore_ != nullptr ? sqliteStore_->batchedTransactionCount() : 0;
}

void TLMDatabase::setCommitObserver(std::function<void()> observer) {
  commitObserver_ = std::move(observer);
  if (sqliteStore_ != nullptr) sqliteStore_->setCommitObserver(commitObserver_);
}

bool TLMDatabase::runTransaction(const std::function<bool(Error*)>& block, Error* error,
                                 bool batched) {
  if (!block) {
    return tlm_databaseFail(error, kTLMDatabaseInvalidArgumentCode,
                            "Received nil transaction block");
  }
  if (sqliteStore_ == nullptr) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Database not open");
  }
  // The block's own error says more than the store's "Transaction failed"
  // and is what the caller gets; the store's error covers a failed begin or
  // commit.
  Error blockError;
  bool blockFailed = false;
  Error storeError;
  const TLMSqliteTransactionBlock storeBlock = [&](Error*) {
    const bool succeeded = block(&blockError);
    blockFailed = !succeeded;
    return succeeded;
  };
  const bool committed =
      batched ? sqliteStore_->performBatchedTransactionWithError(&storeError, storeBlock)
              : sqliteStore_->performTransactionWithError(&storeError, storeBlock);
  if (committed) return true;
  const Error& reported = blockFailed && !blockError.domain.empty() ? blockError : storeError;
  tlm_databaseReport(
      kTLMDatabaseErrorLevel, kTLMDatabaseTransactionCode,
      tlm_databaseFormat(kTLMDatabaseTransactionMessage, reported.description.value_or(""))
          .c_str());
  if (error != nullptr) *error = reported;
  return false;
}

bool TLMDatabase::initializeAppMetadata() {
  return performTransaction([this] {
    Error queryError;
    std::optional<std::vector<TLMSqliteRecord>> rows = sqliteStore_->recordsForQuery(
        kAppMetadataRowQuery, {Object::integer(kAppMetadataRowID)}, &queryError);
    if (!rows) {
      tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseQueryAppMetadataCode,
                         kTLMDatabaseQueryAppMetadataMessage, Object::error(queryError));
      return false;
    }
    if (!rows->empty()) return true;
    const TLMSqliteRecord record = {
        {kTLMColumnRowID, Object::integer(kAppMetadataRowID)},
        {kColumnLastBundleIndex, Object::integer(0)},
        {kColumnLastBundleStartTimestamp, Object::floating(0)},
        {kColumnLastBundleEndTimestamp, Object::floating(0)},
    };
    Error insertError;
    if (!upsertDataType(record, kTLMTableAppMetadata, kTLMColumnRowID,
                        Object::integer(kAppMetadataRowID), 1, &insertError)) {
      tlm_databaseReport(kTLMDatabaseErrorLevel, kTLMDatabaseUpdateAppMetadataCode,
                         kTLMDatabaseUpdateAppMetadataMessage, Object::error(insertError));
      return false;
    }
    return true;
  });
}

// ---- Generic row operations ----

bool TLMDatabase::insertDataType(const TLMSqliteRecord& record, const std::string& tableName,
                                 Error* error) {
  if (sqliteStore_ == nullptr) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Database not open");
  }
  return sqliteStore_->upsertRecord(record, tableName, error);
}

bool TLMDatabase::upsertDataType(const TLMSqliteRecord& record, const std::string& tableName,
                                 const std::string& columnName, const Object& columnValue,
                                 std::int64_t tableLimit, Error* error) {
  if (sqliteStore_ == nullptr) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Database not open");
  }
  std::optional<std::int64_t> keyCount =
      sqliteStore_->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!keyCount) return false;
  if (*keyCount == 0) {
    std::optional<std::int64_t> rowCount = sqliteStore_->rowCountForTableWithName(tableName, error);
    if (!rowCount) return false;
    if (*rowCount >= tableLimit) {
      return tlm_databaseFail(error, kTLMDatabaseWrongStateCode,
                              "Failed to insert data type. Table is full");
    }
  }
  return sqliteStore_->upsertRecord(record, tableName, error);
}

bool TLMDatabase::updateDataType(const TLMSqliteRecord& record, const std::string& tableName,
                                 const std::string& columnName, const Object& columnValue,
                                 Error* error) {
  if (sqliteStore_ == nullptr) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Database not open");
  }
  std::optional<std::int64_t> keyCount =
      sqliteStore_->rowCountForTableWithName(tableName, columnName, columnValue, error);
  if (!keyCount) return false;
  if (*keyCount == 0) {
    return tlm_databaseFail(error, kTLMDatabaseWrongStateCode,
                            "Failed to update record. Item doesn't exist");
  }
  return sqliteStore_->updateRecord(record, tableName, columnName, columnValue, error);
}

// ---- App metadata and daily counts ----

TLMAppMetadataPtr TLMDatabase::queryAppMetadata(Error* error) {
  if (sqliteStore_ == nullptr) {
    tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Database not open");
    return nullptr;
  }
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kAppMetadataQuery, {Object::integer(kAppMetadataRowID)}, error);
  if (!rows) return nullptr;
  if (rows->empty() || rows->front().empty()) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode,
                     "Received empty dictionary for getting app metadata");
    return nullptr;
  }
  const TLMSqliteRecord& row = rows->front();
  auto index = row.find(kColumnLastBundleIndex);
  const std::optional<double> end = tlm_databaseFiniteDouble(
      row.count(kColumnLastBundleEndTimestamp) ? &row.at(kColumnLastBundleEndTimestamp) : nullptr);
  if (index == row.end() || !index->second.isNumber() || index->second.isFloatingNumber() ||
      index->second.int64Value() > TLMAppMetadata::kMaxLastBundleIndex || !end) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Received invalid app metadata");
    return nullptr;
  }
  // NULL until the first bundle records its start.
  const std::optional<double> start = tlm_databaseFiniteDouble(
      row.count(kColumnLastBundleStartTimestamp) ? &row.at(kColumnLastBundleStartTimestamp)
                                                 : nullptr);
  TLMAppMetadataPtr metadata = TLMAppMetadata::initWithLastBundleIndex(
      saturatedInt32(index->second.int64Value()), start.value_or(0), *end);
  if (metadata == nullptr) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode, "Received invalid app metadata");
  }
  return metadata;
}

bool TLMDatabase::updateAppMetadata(const TLMAppMetadata& appMetadata, Error* error) {
  const TLMSqliteRecord record = {
      {kColumnLastBundleIndex, Object::integer(appMetadata.lastBundleIndex())},
      {kColumnLastBundleStartTimestamp, Object::floating(appMetadata.lastBundleStartTimestamp())},
      {kColumnLastBundleEndTimestamp, Object::floating(appMetadata.lastBundleEndTimestamp())},
  };
  return updateDataType(record, kTLMTableAppMetadata, kTLMColumnRowID,
                        Object::integer(kAppMetadataRowID), error);
}

std::optional<TLMDailyCounts> TLMDatabase::dailyCounts(Error* error) {
  if (sqliteStore_ == nullptr) {
    tlm_databaseFail(error, kTLMDatabaseWrongStateCode, "Database not open");
    return std::nullopt;
  }
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(kDailyCountsQuery, {Object::integer(kAppMetadataRowID)}, error);
  if (!rows) return std::nullopt;
  if (rows->empty() || rows->front().empty()) {
    tlm_databaseFail(error, kTLMDatabaseFailureCode,
                     "Received empty dictionary for getting daily counts");
    return std::nullopt;
  }
  const TLMSqliteRecord& row = rows->front();
  auto day = row.find(kColumnDay);
  const std::int32_t dayNumber = day != row.end() && day->second.isNumber()
                                     ? saturatedInt32(day->second.int64Value())
                                     : static_cast<std::int32_t>(today());
  return TLMDailyCounts(
      dayNumber, countColumn(row, kColumnDailyConversionsCount),
      countColumn(row, kColumnDailyEventsCount), countColumn(row, kColumnDailyPublicEventsCount),
      countColumn(row, kColumnDailyErrorEventsCount), countColumn(row, kColumnDailyRealtimeCount));
}

bool TLMDatabase::updateDailyCounts(const TLMDailyCounts& dailyCounts, Error* error) {
  const TLMSqliteRecord record = {
      {kColumnDay, Object::integer(dailyCounts.day())},
      {kColumnDailyConversionsCount, Object::integer(dailyCounts.conversionsCount())},
      {kColumnDailyEventsCount, Object::integer(dailyCounts.allEventsCount())},
      {kColumnDailyPublicEventsCount, Object::integer(dailyCounts.publicEventsCount())},
      {kColumnDailyErrorEventsCount, Object::integer(dailyCounts.errorEventsCount())},
      {kColumnDailyRealtimeCount, Object::integer(dailyCounts.realtimeCount())},
  };
  return updateDataType(record, kTLMTableAppMetadata, kTLMColumnRowID,
                        Object::integer(kAppMetadataRowID), error);
}
