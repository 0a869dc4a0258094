// The measurement library's single persistent store: raw events and their
// shared metadata, the upload queue, event aggregates and daily counters,
// user properties, conditional user properties, audience filters and their
// results, the stored measurement configuration, purchase and subscription
// de-duplication keys, and complex events under audience evaluation.
//
// Each typed operation builds its SQL from fixed literals and goes through
// one TLMSqliteStore. Operations that take `Error* error` return false /
// nothing on failure and fill `error` (when given) with a code of
// kTLMErrorDomain: 1 invalid argument, 2 wrong state, 3 database failure.
//
// Threading: not thread-safe. Only the measurement worker queue calls it.
// Multi-step changes run inside performTransaction.
//
// The operations are spread over files by table group:
//   TLMDatabase.cc                 lifecycle, schema, generic row operations,
//                                  app metadata and daily counts
//   TLMDatabaseRawEvents.cc        raw events and their metadata
//   TLMDatabaseQueue.cc            the upload queue and the stale-data sweep
//   TLMDatabaseConfig.cc           the stored measurement configuration
//   TLMDatabaseAggregates.cc       event aggregates
//   TLMDatabaseUserAttributes.cc   user properties
//   TLMDatabaseAudiences.cc        audience filters and results
//   TLMDatabasePurchases.cc        purchase and subscription keys
//   TLMDatabaseConditionalUserProperties.cc
//   TLMDatabaseComplexEvents.cc    complex events under audience evaluation
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/TLMAppMetadata.h"
#include "engine/TLMDailyCounts.h"
#include "engine/TLMEvent.h"
#include "engine/TLMEventAggregates.h"
#include "engine/TLMRawEventData.h"
#include "engine/TLMUserAttribute.h"
#include "ferrolux/Object.h"
#include "storage/TLMSqliteStore.h"
#include "upload/TLMErrors.h"
#include "upload/TLMPBConfigMessages.h"
#include "upload/TLMPBUploadMessages.h"

class TLMPersistedConfig;
class TLMRemoteConfig;
class TLMEventFilter;
class TLMPropertyFilter;
class TLMFilterResult;
class TLMConditionalUserProperty;
using TLMEventFilterPtr = std::shared_ptr<const TLMEventFilter>;
using TLMPropertyFilterPtr = std::shared_ptr<const TLMPropertyFilter>;
using TLMFilterResultPtr = std::shared_ptr<const TLMFilterResult>;
using TLMConditionalUserPropertyPtr = std::shared_ptr<TLMConditionalUserProperty>;

// Table names.
inline constexpr char kTLMTableAppMetadata[] = "app_metadata";
inline constexpr char kTLMTableRawEventsMetadata[] = "raw_events_metadata";
inline constexpr char kTLMTableRawEvents[] = "raw_events";
inline constexpr char kTLMTableEvents[] = "events";
inline constexpr char kTLMTableUserAttributes[] = "user_attributes";
inline constexpr char kTLMTableQueue[] = "queue";
inline constexpr char kTLMTableEventFilters[] = "event_filters";
inline constexpr char kTLMTablePropertyFilters[] = "property_filters";
inline constexpr char kTLMTableAudienceFilterValues[] = "audience_filter_values";
inline constexpr char kTLMTablePurchaseTransactions[] = "purchase_transactions";
inline constexpr char kTLMTableSubscriptions[] = "subscriptions";
inline constexpr char kTLMTableConditionalProperties[] = "conditional_properties";
inline constexpr char kTLMTableMainEventParams[] = "main_event_params";

// One table of the schema: columns created with the table (required),
// add-on columns added when missing (nullable), and column type changes
// that make the store rebuild the table.
struct TLMDatabaseTable {
  std::string name;
  TLMSqliteColumnInfo elementaryColumns;
  TLMSqliteColumnInfo addOnColumns;
  std::map<std::string, std::string> modifiedColumnTypes;
};

// A queued bundle and the row it came from.
using TLMQueuedBundle = std::pair<TLMPBMeasurementBundle, std::int64_t>;
// A complex event's main event and how many child events remain.
using TLMMainEventAndChildCount = std::pair<TLMEventPtr, std::int64_t>;
// Turns a row into a model object; nothing (filling `error`) when it
// cannot.
template <typename T>
using TLMDataTypeFromRecord = std::function<std::optional<T>(const TLMSqliteRecord&, Error*)>;

class TLMDatabase {
 public:
  static constexpr const char* kDatabaseFileName = "tarvix-ferrolux.sql";
  static constexpr std::int64_t kAppMetadataRowID = 1;
  static constexpr std::int64_t kMaxRawEventsMetadataRows = 100000;
  static constexpr std::int64_t kMaxEventAggregatesRows = 1000;
  static constexpr std::int64_t kMaxUserAttributesRows = 1000;
  static constexpr std::int64_t kMaxConditionalPropertiesRows = 1000;
  static constexpr std::int64_t kMaxPurchaseTransactionsRows = 1000;
  static constexpr std::int64_t kMaxSubscriptionsRows = 1000;
  static constexpr std::int64_t kRawEventsReadLimit = 1000;
  static constexpr std::int64_t kMaxRetryCount = 2147483647;

  // Every table of the schema, in creation order.
  static const std::vector<TLMDatabaseTable>& schema();

  // The database file in the app's Application Support directory
  // ("Tarvix/Measurement/<name>"); empty, with a monitor report (19001),
  // when that directory cannot be resolved.
  static std::string databasePathWithName(const std::string& databaseName);

  // Opens (creating when needed) the named database in the measurement
  // folder, ensures every table and the app_metadata row. Null, with
  // `error`, on failure. `persistedConfig` supplies the midnight offset and
  // the time of the last stale-data sweep; it must outlive the database.
  [[nodiscard]] static std::unique_ptr<TLMDatabase> initWithDatabaseName(
      const std::string& databaseName, std::shared_ptr<TLMPersistedConfig> persistedConfig,
      Error* error);
  // The same at an explicit path (tests, tools).
  [[nodiscard]] static std::unique_ptr<TLMDatabase> initWithDatabasePath(
      const std::string& databasePath, std::shared_ptr<TLMPersistedConfig> persistedConfig,
      Error* error);

  ~TLMDatabase();
  TLMDatabase(const TLMDatabase&) = delete;
  TLMDatabase& operator=(const TLMDatabase&) = delete;

  // The remote flags the database obeys (row limits, ages, sweep
  // interval). Until set, the default configuration instance answers.
  void setRemoteConfig(std::shared_ptr<const TLMRemoteConfig> remoteConfig);
  const TLMRemoteConfig& remoteConfig() const;

  TLMSqliteStore* sqliteStore() const { return sqliteStore_.get(); }
  TLMPersistedConfig& persistedConfig() const { return *persistedConfig_; }
  const std::string& databasePath() const { return databasePath_; }

  // ---- Lifecycle ----

  // Creates the store, ensures the tables and the app_metadata row.
  // `context` ("Init" or "Reset") goes into the monitor messages.
  [[nodiscard]] bool initializeDatabaseResourcesWithContext(const std::string& context,
                                                            const std::string& databasePath,
                                                            Error* error);
  // Deletes the file (and its side files) and recreates an empty schema.
  [[nodiscard]] bool reset(Error* error);
  // Ensures every table; stops at the first failure (monitor 12047).
  [[nodiscard]] bool ensureAllTables(Error* error = nullptr);
  // Runs `block` in one exclusive transaction (monitor 12056 on failure).
  bool performTransaction(const std::function<bool()>& block);
  bool performTransaction(const std::function<bool(Error*)>& block, Error* error);
  // Runs `block` as one all-or-nothing step of the open batch (opened when
  // none is): its changes are kept when it returns true and undone when it
  // returns false or throws (the exception is passed on), but become
  // durable only at commitBatchedTransactions (or the next ordinary
  // transaction, or closing). Monitor 12056 on failure, as performTransaction.
  // A database failure can make SQLite roll the whole batch back: then
  // hasOpenBatchedTransaction() turns false.
  bool performBatchedTransaction(const std::function<bool()>& block);
  bool performBatchedTransaction(const std::function<bool(Error*)>& block, Error* error);
  // Commits the open batch; true when none is open.
  [[nodiscard]] bool commitBatchedTransactions(Error* error);
  bool hasOpenBatchedTransaction() const;
  // The steps that succeeded in the open batch.
  std::size_t batchedTransactionCount() const;
  // Called after every successful commit (worker queue); kept across reset.
  void setCommitObserver(std::function<void()> observer);
  // Inserts the app_metadata row when it is missing.
  [[nodiscard]] bool initializeAppMetadata();

  // ---- App metadata and daily counts ----

  [[nodiscard]] TLMAppMetadataPtr queryAppMetadata(Error* error);
  [[nodiscard]] bool updateAppMetadata(const TLMAppMetadata& appMetadata, Error* error);
  [[nodiscard]] std::optional<TLMDailyCounts> dailyCounts(Error* error);
  [[nodiscard]] bool updateDailyCounts(const TLMDailyCounts& dailyCounts, Error* error);

  // ---- Generic row operations ----

  // "SELECT rowid, * FROM <table> ORDER BY rowid LIMIT <tableLimit>"
  // (-1: no cap). A row that fails to convert fails the call.
  template <typename T>
  [[nodiscard]] std::optional<std::vector<T>> allDataTypesFromTableWithName(
      const std::string& tableName, std::int64_t tableLimit, Error* error,
      const TLMDataTypeFromRecord<T>& createDataTypeBlock);
  // "SELECT rowid, * FROM <table> WHERE <column> = ?". If any row fails to
  // convert, the call fails (code 2).
  template <typename T>
  [[nodiscard]] std::optional<std::vector<T>> dataTypesFromTableWithName(
      const std::string& tableName, const std::string& columnName, const Object& columnValue,
      Error* error, const TLMDataTypeFromRecord<T>& createDataTypeBlock);
  [[nodiscard]] bool insertDataType(const TLMSqliteRecord& record, const std::string& tableName,
                                    Error* error);
  // INSERT OR REPLACE, refused (code 2 "Failed to insert data type. Table
  // is full") for a new key when the table holds `tableLimit` rows.
  [[nodiscard]] bool upsertDataType(const TLMSqliteRecord& record, const std::string& tableName,
                                    const std::string& columnName, const Object& columnValue,
                                    std::int64_t tableLimit, Error* error);
  [[nodiscard]] bool updateDataType(const TLMSqliteRecord& record, const std::string& tableName,
                                    const std::string& columnName, const Object& columnValue,
                                    Error* error);

  // ---- Raw events ----

  // The fingerprint of a metadata bundle's serialization (tlm_64LSBMD5).
  [[nodiscard]] static std::optional<std::int64_t> metadataFingerprintForBundle(
      const TLMPBMeasurementBundle& metadata, Error* error);
  // Stores the metadata unless a row with its fingerprint exists; the
  // fingerprint, or nothing on failure.
  [[nodiscard]] std::optional<std::int64_t> insertIfNotExistsRawEventMetadata(
      const TLMPBMeasurementBundle& metadata, Error* error);
  [[nodiscard]] std::optional<TLMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(
      std::int64_t fingerprint, Error* error);
  [[nodiscard]] bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint,
                                                                   Error* error);
  // The number of rows deleted.
  [[nodiscard]] std::optional<std::int64_t> deleteUnusedRawEventsMetadata(Error* error);
  [[nodiscard]] bool insertRawEvent(const TLMEventPtr& event, std::int64_t metadataFingerprint,
                                    bool isRealtime, Error* error);
  [[nodiscard]] std::optional<bool> isRawEventsTableEmpty(Error* error);
  // Nothing without an error when the table is empty.
  [[nodiscard]] std::optional<double> queryLatestRawEventTime(Error* error);
  [[nodiscard]] std::optional<bool> containsRealtimeRawEventsWithError(Error* error);
  [[nodiscard]] std::optional<bool> containsRawEventWithMetadataFingerprint(
      std::int64_t fingerprint, Error* error);
  // The fingerprint of the oldest raw event; nothing without an error when
  // there are no raw events.
  [[nodiscard]] std::optional<std::int64_t> nextMetadataFingerprintToProcess(Error* error);
  // Up to 1000 of the oldest raw events stored with `fingerprint`, each row
  // passed through `eventFilter` first (null: every row).
  [[nodiscard]] std::optional<std::vector<TLMRawEventDataPtr>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint, Error* error, const TLMSqliteRecordFilter& eventFilter);
  [[nodiscard]] TLMRawEventDataPtr rawEventDataFromDictionary(const TLMSqliteRecord& row,
                                                              Error* error);
  [[nodiscard]] std::optional<std::int64_t> deleteRawEventsWithMaxRowID(std::int64_t maxRowID,
                                                                        Error* error);
  // Keeps the newest maxEventsStored - 1 rows; the number deleted.
  [[nodiscard]] std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(Error* error);
  [[nodiscard]] std::optional<std::int64_t> deleteStaleRawEventsDataOlderThanMaxAge(double maxAge,
                                                                                    Error* error);

  // ---- Upload queue ----

  [[nodiscard]] bool insertBundle(const TLMPBMeasurementBundle& bundle, bool isRealtime,
                                  Error* error);
  [[nodiscard]] std::optional<bool> isQueuedBundleTableEmpty(Error* error);
  // Oldest first, within the count limit and the uncompressed size budget;
  // rows that do not inflate or parse are skipped.
  [[nodiscard]] std::optional<std::vector<TLMQueuedBundle>> queryBundlesWithCountLimit(
      std::int64_t countLimit, std::int64_t sizeLimit, Error* error);
  [[nodiscard]] std::optional<std::vector<TLMQueuedBundle>> queryBundlesWithRowIDs(
      const ObjectArray& rowIDs, Error* error);
  [[nodiscard]] std::optional<std::int64_t> deleteBundlesWithRowIDs(const ObjectArray& rowIDs,
                                                                    Error* error);
  [[nodiscard]] bool incrementRetryCounterForBundlesWithIDs(const ObjectArray& rowIDs,
                                                            Error* error);
  // Nothing without an error when the queue is empty.
  [[nodiscard]] std::optional<double> queryLatestBundleTime(Error* error);
  [[nodiscard]] std::optional<bool> containsRealtimeBundlesWithError(Error* error);
  // Whether a sweep ran; nothing on failure.
  [[nodiscard]] std::optional<bool> maybeDeleteStaleData(Error* error);
  [[nodiscard]] std::optional<std::int64_t> deleteStaleBundlesOlderThanMaxAge(double maxAge,
                                                                              Error* error);

  // ---- Event aggregates ----

  [[nodiscard]] std::optional<std::vector<TLMEventAggregatesPtr>> allEventAggregates(Error* error);
  // Nothing without an error when there is no row for `name`.
  [[nodiscard]] TLMEventAggregatesPtr eventAggregatesWithName(const std::string& name,
                                                              Error* error);
  [[nodiscard]] bool updateEventAggregates(const TLMEventAggregates& aggregates, Error* error);
  [[nodiscard]] bool clearCurrentSessionCounts(Error* error);
  [[nodiscard]] std::optional<std::int64_t> publicEventCount(Error* error);

  // ---- User properties ----

  [[nodiscard]] std::optional<std::int64_t> publicUserAttributeCount(Error* error);
  [[nodiscard]] std::optional<std::int64_t> userAttributeCountForOrigin(const std::string& origin,
                                                                        Error* error);
  [[nodiscard]] std::optional<bool> containsUserAttributeWithName(const std::string& name,
                                                                  Error* error);
  // Null without an error when there is none.
  [[nodiscard]] TLMUserAttributePtr userAttributeWithName(const std::string& name, Error* error);
  [[nodiscard]] std::optional<std::vector<TLMUserAttributePtr>> userAttributesIncludingInternal(
      bool includeInternal, Error* error);
  // Newest first.
  [[nodiscard]] std::optional<std::vector<TLMUserAttributePtr>> allLifetimeValueUserAttributes(
      Error* error);
  [[nodiscard]] bool updateUserAttribute(const TLMUserAttribute& attribute, Error* error);
  [[nodiscard]] bool deleteUserAttributeWithName(const std::string& name, Error* error);

  // ---- Audiences ----

  [[nodiscard]] std::optional<std::vector<std::int32_t>> allAudienceIDs(Error* error);
  [[nodiscard]] std::optional<std::vector<TLMEventFilterPtr>> eventFiltersForEventName(
      const std::string& eventName, Error* error);
  [[nodiscard]] std::optional<std::vector<TLMPropertyFilterPtr>> propertyFiltersForPropertyName(
      const std::string& propertyName, Error* error);
  [[nodiscard]] bool updateEventFilters(const std::vector<TLMEventFilterPtr>& filters,
                                        Error* error);
  [[nodiscard]] bool updatePropertyFilters(const std::vector<TLMPropertyFilterPtr>& filters,
                                           Error* error);
  [[nodiscard]] bool deleteEventFilters(const std::vector<TLMEventFilterPtr>& filters,
                                        Error* error);
  [[nodiscard]] bool deletePropertyFilters(const std::vector<TLMPropertyFilterPtr>& filters,
                                           Error* error);
  [[nodiscard]] bool deleteAllEventFilters(Error* error);
  [[nodiscard]] bool deleteAllPropertyFilters(Error* error);
  // Audience ID -> IDs of its session-scoped filters.
  [[nodiscard]] std::optional<std::map<std::int32_t, std::vector<std::int32_t>>>
  allSessionScopedFilters(Error* error);
  [[nodiscard]] std::optional<std::map<std::int32_t, TLMFilterResultPtr>> allFilterResults(
      Error* error);
  // Null without an error when there is none.
  [[nodiscard]] TLMFilterResultPtr filterResultForAudienceID(std::int32_t audienceID, Error* error);
  [[nodiscard]] bool updateFilterResults(const std::vector<TLMFilterResultPtr>& results,
                                         Error* error);
  [[nodiscard]] bool deleteFilterResults(const std::vector<std::int32_t>& audienceIDs,
                                         Error* error);

  // ---- Stored configuration ----

  [[nodiscard]] bool updateRemoteConfig(const TLMPBMeasurementConfig& config, Error* error);
  [[nodiscard]] bool updateRemoteConfigSuccessfulTimestamp(double timestamp, Error* error);
  // Nothing without an error when no configuration is stored.
  [[nodiscard]] std::optional<TLMPBMeasurementConfig> queryMeasurementConfigWithError(Error* error);
  // Nothing without an error when unknown.
  [[nodiscard]] std::optional<double> lastRemoteConfigUpdateTimestamp(Error* error);

  // ---- Purchases and subscriptions ----

  // true when the key was new (and is now stored), false for a duplicate.
  [[nodiscard]] std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(
      const std::string& fingerprint, Error* error);
  [[nodiscard]] std::optional<bool> insertIfNotDuplicateSubscriptionID(
      const std::string& subscriptionID, Error* error);
  [[nodiscard]] std::optional<std::int64_t> deleteSubscriptionsOverLimit(Error* error);

  // ---- Conditional user properties ----

  // Null without an error when there is none.
  [[nodiscard]] TLMConditionalUserPropertyPtr conditionalUserPropertyWithName(
      const std::string& name, Error* error);
  [[nodiscard]] bool deleteConditionalUserPropertyWithName(const std::string& name, Error* error);
  [[nodiscard]] bool updateConditionalUserProperty(const TLMConditionalUserProperty& property,
                                                   Error* error);
  [[nodiscard]] std::optional<std::vector<TLMConditionalUserPropertyPtr>>
  conditionalUserPropertiesWithCondition(const std::string& condition,
                                         const ObjectArray& parameterValues, Error* error);
  [[nodiscard]] std::optional<std::vector<TLMConditionalUserPropertyPtr>>
  timedOutConditionalUserPropertiesWithError(Error* error);
  [[nodiscard]] std::optional<std::vector<TLMConditionalUserPropertyPtr>>
  expiredConditionalUserPropertiesWithError(Error* error);
  [[nodiscard]] std::optional<std::vector<TLMConditionalUserPropertyPtr>>
  triggeredConditionalUserPropertiesWithEventName(const std::string& eventName, Error* error);
  // Empty `prefix` / `origin`: no condition on that column.
  [[nodiscard]] std::optional<std::vector<TLMConditionalUserPropertyPtr>>
  conditionalUserPropertiesWithPrefix(const std::string& prefix, const std::string& origin,
                                      Error* error);

  // ---- Complex events under audience evaluation ----

  // Nothing without an error when there is no row for `eventID`.
  [[nodiscard]] std::optional<TLMMainEventAndChildCount> mainEventAndChildCountPairWithEventID(
      std::int64_t eventID, Error* error);
  [[nodiscard]] bool updateComplexEventForAudienceEvaluationWithEventID(
      std::int64_t eventID, std::int64_t childEventCount, const TLMEvent& mainEvent, Error* error);
  [[nodiscard]] bool deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                        Error* error);

 private:
  TLMDatabase(std::shared_ptr<TLMPersistedConfig> persistedConfig);

  // "rowid IN (?,?,...)" for the row IDs, which must be a non-empty list of
  // numbers.
  [[nodiscard]] static std::optional<std::string> rowIDConditionForRowIDs(const ObjectArray& rowIDs,
                                                                          Error* error);
  double now() const;
  double today() const;

  // performTransaction and performBatchedTransaction: the store call and
  // the failure report they share.
  bool runTransaction(const std::function<bool(Error*)>& block, Error* error, bool batched);

  std::unique_ptr<TLMSqliteStore> sqliteStore_;
  std::function<void()> commitObserver_;
  std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  std::shared_ptr<const TLMRemoteConfig> remoteConfig_;
  std::string databasePath_;
};

// ---- Template definitions ----

template <typename T>
std::optional<std::vector<T>> TLMDatabase::allDataTypesFromTableWithName(
    const std::string& tableName, std::int64_t tableLimit, Error* error,
    const TLMDataTypeFromRecord<T>& createDataTypeBlock) {
  const std::string query =
      "SELECT rowid, * FROM " + tableName + " ORDER BY rowid LIMIT " + std::to_string(tableLimit);
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(query, {}, error);
  if (!rows) return std::nullopt;
  std::vector<T> result;
  result.reserve(rows->size());
  for (const TLMSqliteRecord& row : *rows) {
    std::optional<T> item = createDataTypeBlock(row, error);
    if (!item) return std::nullopt;
    result.push_back(std::move(*item));
  }
  return result;
}

template <typename T>
std::optional<std::vector<T>> TLMDatabase::dataTypesFromTableWithName(
    const std::string& tableName, const std::string& columnName, const Object& columnValue,
    Error* error, const TLMDataTypeFromRecord<T>& createDataTypeBlock) {
  const std::string query = "SELECT rowid, * FROM " + tableName + " WHERE " + columnName + " = ?";
  std::optional<std::vector<TLMSqliteRecord>> rows =
      sqliteStore_->recordsForQuery(query, {columnValue}, error);
  if (!rows) return std::nullopt;
  std::vector<T> result;
  result.reserve(rows->size());
  for (const TLMSqliteRecord& row : *rows) {
    std::optional<T> item = createDataTypeBlock(row, nullptr);
    if (!item) {
      if (error != nullptr) {
        *error = tlm_errorWithCode(2, "Failed to initialize data types from dictionaries");
      }
      return std::nullopt;
    }
    result.push_back(std::move(*item));
  }
  return result;
}
