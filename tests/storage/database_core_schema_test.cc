// The database file, its schema and migrations, start-up and reset, and
// transactions.
#include <filesystem>
#include <fstream>

#include "storage/database_core_support.h"

namespace {

// "<name> <type> <notnull> <pk>" per column, in table order.
std::vector<std::string> columnsOf(RawConnection& raw, const std::string& table) {
  return raw.column(
      "SELECT name || ' ' || type || ' ' || \"notnull\" || ' ' || pk FROM "
      "pragma_table_info('" +
      table + "') ORDER BY cid");
}

using DatabaseSchema = DatabaseTest;

TEST_F(DatabaseSchema, FreshFileHasExactlyTheTablesAndColumns) {
  open();
  EXPECT_TRUE(path().ends_with("/Tarvix/Measurement/tarvix-ferrolux.sql")) << path();
  RawConnection raw(path());
  EXPECT_EQ(raw.column("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
            (std::vector<std::string>{
                "app_metadata", "audience_filter_values", "conditional_properties", "event_filters",
                "events", "main_event_params", "property_filters", "purchase_transactions", "queue",
                "raw_events", "raw_events_metadata", "subscriptions", "user_attributes"}));
  const std::map<std::string, std::vector<std::string>> expected = {
      {"app_metadata",
       {"last_bundle_index INTEGER 1 0", "last_bundle_end_timestamp REAL 1 0",
        "last_bundle_start_timestamp REAL 0 0", "day INTEGER 0 0",
        "daily_conversions_count INTEGER 0 0", "daily_events_count INTEGER 0 0",
        "daily_public_events_count INTEGER 0 0", "daily_error_events_count INTEGER 0 0",
        "remote_config_data BLOB 0 0", "remote_config_timestamp REAL 0 0",
        "daily_real_time_conversion_events_count INTEGER 0 0"}},
      {"raw_events_metadata", {"metadata_fingerprint INTEGER 1 1", "metadata BLOB 1 0"}},
      {"raw_events",
       {"name TEXT 1 0", "timestamp REAL 1 0", "metadata_fingerprint INTEGER 1 0", "data BLOB 1 0",
        "is_realtime INTEGER 0 0"}},
      {"events",
       {"name TEXT 1 1", "lifetime_count INTEGER 1 0", "current_bundle_count INTEGER 1 0",
        "last_fire_timestamp REAL 1 0", "last_bundled_timestamp REAL 0 0",
        "last_sampled_complex_event_id INTEGER 0 0", "last_sampling_rate INTEGER 0 0",
        "last_exempt_from_sampling INTEGER 0 0", "last_bundled_day INTEGER 0 0",
        "current_session_count INTEGER 0 0"}},
      {"user_attributes",
       {"name TEXT 1 1", "set_timestamp REAL 1 0", "value BLOB 1 0", "origin TEXT 0 0"}},
      {"queue",
       {"data BLOB 1 0", "bundle_end_timestamp REAL 1 0", "is_realtime INTEGER 0 0",
        "retry_count INTEGER 0 0"}},
      {"event_filters",
       {"audience_id INTEGER 1 1", "filter_id INTEGER 1 2", "event_name TEXT 1 0", "data BLOB 1 0",
        "session_scoped INTEGER 0 0"}},
      {"property_filters",
       {"audience_id INTEGER 1 1", "filter_id INTEGER 1 2", "property_name TEXT 1 0",
        "data BLOB 1 0", "session_scoped INTEGER 0 0"}},
      {"audience_filter_values",
       {"audience_id INTEGER 1 1", "current_results BLOB 0 0", "previous_results BLOB 0 0"}},
      {"purchase_transactions", {"fingerprint TEXT 1 1"}},
      {"subscriptions", {"subscription_id TEXT 1 1"}},
      {"conditional_properties",
       {"name TEXT 1 1", "origin TEXT 1 0", "value BLOB 1 0", "creation_timestamp REAL 1 0",
        "active INTEGER 1 0", "trigger_timeout REAL 1 0", "triggered_timestamp REAL 1 0",
        "time_to_live REAL 1 0", "trigger_event_name TEXT 0 0", "timed_out_event BLOB 0 0",
        "triggered_event BLOB 0 0", "expired_event BLOB 0 0"}},
      {"main_event_params",
       {"event_id INTEGER 1 1", "children_to_process INTEGER 1 0", "main_event BLOB 1 0"}},
  };
  for (const auto& [table, columns] : expected) {
    EXPECT_EQ(columnsOf(raw, table), columns) << table;
  }
  // The single app_metadata row, at row 1.
  EXPECT_EQ(raw.column("SELECT rowid || ' ' || last_bundle_index || ' ' || "
                       "last_bundle_end_timestamp || ' ' || last_bundle_start_timestamp FROM "
                       "app_metadata"),
            (std::vector<std::string>{"1 0 0.0 0.0"}));
}

TEST_F(DatabaseSchema, ReopeningKeepsDataAndTheAppMetadataRow) {
  open();
  TLMAppMetadataPtr metadata = TLMAppMetadata::initWithLastBundleIndex(41, 10.5, 20.25);
  Error error;
  ASSERT_TRUE(db().updateAppMetadata(*metadata, &error)) << error.toString();
  database_.reset();
  platform_.restart();
  open();
  TLMAppMetadataPtr read = db().queryAppMetadata(&error);
  ASSERT_NE(read, nullptr) << error.toString();
  EXPECT_EQ(read->lastBundleIndex(), 41);
  EXPECT_EQ(read->lastBundleStartTimestamp(), 10.5);
  EXPECT_EQ(read->lastBundleEndTimestamp(), 20.25);
  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM app_metadata"), "1");
}

TEST_F(DatabaseSchema, MissingAddOnColumnsOfAppMetadataAreAddedAndTheRowKept) {
  {
    std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, "
                       "last_bundle_end_timestamp REAL NOT NULL);"
                       "INSERT INTO app_metadata (rowid, last_bundle_index, "
                       "last_bundle_end_timestamp) VALUES (1, 7, 123.5);"),
              SQLITE_OK);
  }
  open();
  RawConnection raw(path());
  EXPECT_EQ(columnsOf(raw, "app_metadata").size(), 11u);
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM app_metadata"), "1");
  Error error;
  TLMAppMetadataPtr metadata = db().queryAppMetadata(&error);
  ASSERT_NE(metadata, nullptr) << error.toString();
  EXPECT_EQ(metadata->lastBundleIndex(), 7);
  EXPECT_EQ(metadata->lastBundleEndTimestamp(), 123.5);
  EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0);  // NULL reads as 0
  // No day stored yet: today.
  std::optional<TLMDailyCounts> counts = db().dailyCounts(&error);
  ASSERT_TRUE(counts.has_value()) << error.toString();
  EXPECT_EQ(counts->day(), TLMDailyCounts::dayForTime(now(), persistedConfig_->midnightOffset()));
  EXPECT_EQ(counts->allEventsCount(), 0);
}

TEST_F(DatabaseSchema, IntegerTimestampsAreRebuiltAsRealKeepingRowsAndToleratingUnknownColumns) {
  TLMEventPtr first = event(1767225600.25, {{"value", Object::integer(3)}});
  TLMPBEvent proto = first->protoEvent();
  proto.clear_name();
  const Bytes blob = proto.protoBuffer().value();
  {
    std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
                       "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, legacy TEXT);"
                       "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT "
                       "NULL, extra TEXT);"
                       "INSERT INTO queue (data, bundle_end_timestamp, extra) VALUES "
                       "(x'00', 5, 'kept');"),
              SQLITE_OK);
    sqlite3_stmt* insert = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw.handle(),
                                 "INSERT INTO raw_events (rowid, name, timestamp, "
                                 "metadata_fingerprint, data, legacy) VALUES (?, ?, ?, 42, ?, 'x')",
                                 -1, &insert, nullptr),
              SQLITE_OK);
    for (int i = 0; i < 3; ++i) {
      sqlite3_bind_int(insert, 1, 10 + i);
      sqlite3_bind_text(insert, 2, i == 1 ? "view_item" : "add_to_cart", -1, SQLITE_STATIC);
      sqlite3_bind_int64(insert, 3, 1767225600 + i);
      sqlite3_bind_blob(insert, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
      ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
  }
  open();
  RawConnection raw(path());
  EXPECT_EQ(columnsOf(raw, "raw_events"),
            (std::vector<std::string>{"name TEXT 1 0", "timestamp REAL 1 0",
                                      "metadata_fingerprint INTEGER 1 0", "data BLOB 1 0",
                                      "is_realtime INTEGER 0 0"}));
  EXPECT_EQ(
      raw.column("SELECT name || ' ' || typeof(timestamp) || ' ' || timestamp FROM "
                 "raw_events ORDER BY rowid"),
      (std::vector<std::string>{"add_to_cart real 1767225600.0", "view_item real 1767225601.0",
                                "add_to_cart real 1767225602.0"}));
  // A nullable column the schema does not know is tolerated where no
  // rebuild is needed.
  EXPECT_EQ(raw.scalar("SELECT extra FROM queue"), "kept");

  Error error;
  std::optional<std::vector<TLMRawEventDataPtr>> events =
      db().rawEventsWithMetadataFingerprint(42, &error, nullptr);
  ASSERT_TRUE(events.has_value()) << error.toString();
  ASSERT_EQ(events->size(), 3u);
  EXPECT_EQ((*events)[1]->rawEvent()->name(), "view_item");
  EXPECT_EQ((*events)[1]->rawEvent()->timestamp(), 1767225601.0);
  EXPECT_TRUE(printedWithCode(12002).empty());

  // Settled: a second start does not rebuild again (a rebuild would
  // renumber the rows).
  database_.reset();
  ASSERT_EQ(raw.exec("UPDATE raw_events SET rowid = 100 WHERE rowid = 3"), SQLITE_OK);
  open();
  EXPECT_EQ(raw.scalar("SELECT group_concat(rowid) FROM raw_events"), "1,2,100");
}

TEST_F(DatabaseSchema, UnknownRequiredColumnFailsStartAndDeletesTheFile) {
  {
    std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT "
                       "NULL, extra TEXT NOT NULL)"),
              SQLITE_OK);
  }
  Error error;
  EXPECT_EQ(
      TLMDatabase::initWithDatabaseName(TLMDatabase::kDatabaseFileName, persistedConfig_, &error),
      nullptr);
  EXPECT_STORE_ERROR(error, 2, "Table contains unknown non-optional columns");
  ASSERT_EQ(printedWithCode(12002).size(), 1u);
  EXPECT_TRUE(printedWithCode(12002)[0].starts_with(
      "Failed to create or validate required database tables (Init)"))
      << printedWithCode(12002)[0];
  ASSERT_EQ(printedWithCode(12047).size(), 1u);
  EXPECT_TRUE(
      printedWithCode(12047)[0].starts_with("Failed to ensure table. Table, error: queue, "))
      << printedWithCode(12047)[0];
  EXPECT_FALSE(std::filesystem::exists(path()));

  // The next start begins afresh.
  open();
  RawConnection raw(path());
  EXPECT_EQ(columnsOf(raw, "queue").size(), 4u);
}

TEST_F(DatabaseSchema, CorruptFileIsReplaced) {
  writeTextFile(path(), std::string(8192, 'x'));
  open();
  Error error;
  EXPECT_NE(db().queryAppMetadata(&error), nullptr) << error.toString();
  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), "13");
}

TEST_F(DatabaseSchema, LockedFileIsLeftAlone) {
  std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
  RawConnection holder(path());
  ASSERT_EQ(holder.exec("CREATE TABLE keep (x); INSERT INTO keep VALUES (1);"), SQLITE_OK);
  ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE; INSERT INTO keep VALUES (2);"), SQLITE_OK);

  Error error;
  EXPECT_EQ(
      TLMDatabase::initWithDatabaseName(TLMDatabase::kDatabaseFileName, persistedConfig_, &error),
      nullptr);
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(printedWithCode(12002).size(), 1u);
  EXPECT_TRUE(std::filesystem::exists(path()));

  ASSERT_EQ(holder.exec("COMMIT"), SQLITE_OK);
  open();
  EXPECT_EQ(holder.scalar("SELECT group_concat(x) FROM keep"), "1,2");
}

TEST_F(DatabaseSchema, TablesThatCannotBeCreatedWhileAnotherWriterHoldsTheFileKeepIt) {
  // In WAL mode the file can be opened and read while another connection
  // writes; creating the tables then fails with SQLITE_BUSY. That says
  // nothing about the file, which must survive.
  std::filesystem::create_directories(std::filesystem::path(path()).parent_path());
  RawConnection holder(path());
  ASSERT_EQ(holder.exec("PRAGMA journal_mode=WAL; CREATE TABLE keep (x); "
                        "INSERT INTO keep VALUES (1);"),
            SQLITE_OK);
  ASSERT_EQ(holder.exec("BEGIN EXCLUSIVE; INSERT INTO keep VALUES (2);"), SQLITE_OK);

  Error error;
  EXPECT_EQ(
      TLMDatabase::initWithDatabaseName(TLMDatabase::kDatabaseFileName, persistedConfig_, &error),
      nullptr);
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(printedWithCode(12002).size(), 1u);
  EXPECT_EQ(printedWithCode(12047).size(), 1u);
  EXPECT_TRUE(printedWithCode(12003).empty());
  EXPECT_TRUE(std::filesystem::exists(path()));

  ASSERT_EQ(holder.exec("COMMIT"), SQLITE_OK);
  EXPECT_EQ(holder.scalar("SELECT group_concat(x) FROM keep"), "1,2");
  open();
  EXPECT_EQ(holder.scalar("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), "14");
}

TEST_F(DatabaseSchema, EmptyNameIsRefused) {
  Error error;
  EXPECT_EQ(TLMDatabase::initWithDatabaseName("", persistedConfig_, &error), nullptr);
  EXPECT_STORE_ERROR(error, 1, "Received empty database name in init");
}

TEST_F(DatabaseSchema, UnresolvableApplicationSupportGivesNoPath) {
  // A file where the folder belongs.
  writeTextFile(platform_.paths().containerPath + "/Library/Application Support", "");
  EXPECT_EQ(TLMDatabase::databasePathWithName(TLMDatabase::kDatabaseFileName), "");
  EXPECT_TRUE(sampledKey().ends_with(":NSSearchPath for ApplicationSupport directory is empty"))
      << sampledKey();
  Error error;
  EXPECT_EQ(
      TLMDatabase::initWithDatabaseName(TLMDatabase::kDatabaseFileName, persistedConfig_, &error),
      nullptr);
  EXPECT_STORE_ERROR(error, 1, "Received empty database path on init");
}

TEST_F(DatabaseSchema, ResetLeavesAnEmptySchemaWithAFreshAppMetadataRow) {
  open();
  Error error;
  TLMAppMetadataPtr appMetadata = TLMAppMetadata::initWithLastBundleIndex(9, 1, 2);
  ASSERT_TRUE(db().updateAppMetadata(*appMetadata, &error));
  ASSERT_TRUE(db().insertBundle(bundle(now()), false, &error)) << error.toString();
  std::optional<std::int64_t> fingerprint =
      db().insertIfNotExistsRawEventMetadata(metadata(), &error);
  ASSERT_TRUE(fingerprint.has_value());
  ASSERT_TRUE(db().insertRawEvent(event(now()), *fingerprint, false, &error));
  {
    RawConnection raw(path());
    ASSERT_EQ(raw.exec("CREATE TABLE stray (x)"), SQLITE_OK);
  }

  ASSERT_TRUE(db().reset(&error)) << error.toString();
  RawConnection raw(path());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM sqlite_master WHERE type = 'table'"), "13");
  for (const TLMDatabaseTable& table : TLMDatabase::schema()) {
    EXPECT_EQ(raw.scalar("SELECT count(*) FROM " + table.name),
              table.name == "app_metadata" ? "1" : "0")
        << table.name;
  }
  TLMAppMetadataPtr fresh = db().queryAppMetadata(&error);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->lastBundleIndex(), 0);
  EXPECT_EQ(fresh->lastBundleEndTimestamp(), 0);
  // Still usable.
  EXPECT_TRUE(db().insertBundle(bundle(now()), false, &error)) << error.toString();
}

using DatabaseTransaction = DatabaseTest;

TEST_F(DatabaseTransaction, FailedBlockRollsBackAndReportsItsOwnError) {
  open();
  Error error;
  const bool committed = db().performTransaction(
      [&](Error* blockError) {
        EXPECT_TRUE(db().insertBundle(bundle(now()), false, blockError));
        // A second app_metadata row is refused by its limit.
        return db().upsertDataType({{"rowid", Object::integer(2)},
                                    {"last_bundle_index", Object::integer(1)},
                                    {"last_bundle_end_timestamp", Object::floating(1)}},
                                   kTLMTableAppMetadata, "rowid", Object::integer(2), 1,
                                   blockError);
      },
      &error);
  EXPECT_FALSE(committed);
  EXPECT_STORE_ERROR(error, 2, "Failed to insert data type. Table is full");
  EXPECT_EQ(printedWithCode(12056),
            (std::vector<std::string>{"Transaction failed. Failed to insert data type. Table is "
                                      "full"}));
  EXPECT_EQ(db().isQueuedBundleTableEmpty(&error), std::optional<bool>(true));

  // The next transaction runs and commits.
  EXPECT_TRUE(
      db().performTransaction([&] { return db().insertBundle(bundle(now()), false, nullptr); }));
  EXPECT_EQ(db().isQueuedBundleTableEmpty(&error), std::optional<bool>(false));
}

}  // namespace
