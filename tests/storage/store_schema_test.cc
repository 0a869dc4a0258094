// Creating, validating and migrating tables from column descriptions.
#include "storage/store_test_support.h"

namespace {

using StoreSchemaTest = StoreTest;

const TLMSqliteColumnInfo kEventColumns = {
    {"name", "TEXT NOT NULL"}, {"timestamp", "INTEGER NOT NULL"}, {"data", "BLOB NOT NULL"}};
const TLMSqliteColumnInfo kEventAddOns = {{"realtime", "INTEGER"}};

TEST_F(StoreSchemaTest, FreshTableHasExactlyTheDescribedColumnsAndKey) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(store.ensureTableWithName(
      "pairs", {{"a", "TEXT NOT NULL"}, {"b", "INTEGER NOT NULL"}, {"PRIMARY KEY", "(a, b)"}},
      {{"extra", "BLOB"}}, &error))
      << error.toString();
  EXPECT_EQ(store.columnsForTableWithName("pairs", &error),
            (std::optional<std::vector<std::string>>({"a", "b", "extra"})));
  EXPECT_EQ(store.columnInfoForTableWithName("pairs", &error),
            (std::optional<std::map<std::string, std::string>>(
                {{"a", "TEXT"}, {"b", "INTEGER"}, {"extra", "BLOB"}})));
  // The key constraint holds: same (a, b) replaces.
  ASSERT_TRUE(store.upsertRecord({{"a", Object("x")}, {"b", Object::integer(1)}}, "pairs", &error));
  ASSERT_TRUE(store.upsertRecord(
      {{"a", Object("x")}, {"b", Object::integer(1)}, {"extra", Object::data({9})}}, "pairs",
      &error));
  ASSERT_TRUE(store.upsertRecord({{"a", Object("x")}, {"b", Object::integer(2)}}, "pairs", &error));
  EXPECT_EQ(store.rowCountForTableWithName("pairs", &error), std::optional<std::int64_t>(2));
  // Ensuring again changes nothing.
  ASSERT_TRUE(store.ensureTableWithName(
      "pairs", {{"a", "TEXT NOT NULL"}, {"b", "INTEGER NOT NULL"}, {"PRIMARY KEY", "(a, b)"}},
      {{"extra", "BLOB"}}, &error));
  EXPECT_EQ(store.rowCountForTableWithName("pairs", &error), std::optional<std::int64_t>(2));
}

TEST_F(StoreSchemaTest, MissingAddOnColumnIsAddedAndRowsKept) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(store.executeSQL(
      "CREATE TABLE events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, data BLOB NOT NULL)",
      &error));
  ASSERT_TRUE(store.upsertRecord(
      {{"name", Object("open")}, {"timestamp", Object::integer(5)}, {"data", Object::data({1})}},
      "events", &error));
  ASSERT_TRUE(store.ensureTableWithName("events", kEventColumns, kEventAddOns, &error))
      << error.toString();
  std::optional<std::vector<TLMSqliteRecord>> rows =
      store.recordsForQuery("SELECT * FROM events", {}, &error);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->at(0).at("name"), Object("open"));
  EXPECT_TRUE(rows->at(0).at("realtime").isNull());
}

TEST_F(StoreSchemaTest, MissingElementaryColumnFailsValidation) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(
      store.executeSQL("CREATE TABLE events (name TEXT NOT NULL, data BLOB NOT NULL)", &error));
  EXPECT_FALSE(store.ensureTableWithName("events", kEventColumns, kEventAddOns, &error));
  EXPECT_STORE_ERROR(error, 2, "Table is missing required columns");
}

TEST_F(StoreSchemaTest, UnknownColumnsMustBeNullable) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(store.executeSQL(
      "CREATE TABLE events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, data BLOB NOT NULL, "
      "future TEXT)",
      &error));
  ASSERT_TRUE(store.ensureTableWithName("events", kEventColumns, kEventAddOns, &error))
      << error.toString();

  ASSERT_TRUE(store.executeSQL(
      "CREATE TABLE strict (name TEXT NOT NULL, timestamp INTEGER NOT NULL, data BLOB NOT NULL, "
      "future TEXT NOT NULL DEFAULT '')",
      &error));
  EXPECT_FALSE(store.ensureTableWithName("strict", kEventColumns, kEventAddOns, &error));
  EXPECT_STORE_ERROR(error, 2, "Table contains unknown non-optional columns");
  EXPECT_EQ(store.validateTableWithName("", {}, {}, &error), std::nullopt);
  EXPECT_STORE_ERROR(error, 1, "Received empty table name for validate table");
}

TEST_F(StoreSchemaTest, TypeChangeRebuildsTheTableKeepingRowsDespiteUnknownColumn) {
  TLMSqliteStore& store = openStore();
  Error error;
  // An older schema with integer timestamps and a column this version does
  // not know, in a different column order.
  ASSERT_TRUE(store.executeSQL(
      "CREATE TABLE raw_events (future TEXT, data BLOB NOT NULL, name TEXT NOT NULL, "
      "timestamp INTEGER NOT NULL, realtime INTEGER)",
      &error));
  for (int i = 1; i <= 50; ++i) {
    ASSERT_TRUE(store.upsertRecord({{"future", Object("f")},
                                    {"data", Object::data({static_cast<std::uint8_t>(i)})},
                                    {"name", Object("e" + std::to_string(i))},
                                    {"timestamp", Object::integer(1000 + i)}},
                                   "raw_events", &error));
  }
  ASSERT_TRUE(store.deleteRecordFromTableWithName("raw_events", "name", Object("e10"), &error));

  ASSERT_TRUE(store.ensureTableWithName("raw_events", kEventColumns, kEventAddOns,
                                        {{"timestamp", "REAL NOT NULL"}}, &error))
      << error.toString();
  EXPECT_EQ(
      store.columnInfoForTableWithName("raw_events", &error),
      (std::optional<std::map<std::string, std::string>>(
          {{"name", "TEXT"}, {"timestamp", "REAL"}, {"data", "BLOB"}, {"realtime", "INTEGER"}})));
  EXPECT_EQ(store.tableExists("raw_events_old", &error), std::optional<bool>(false));

  std::optional<std::vector<TLMSqliteRecord>> rows = store.recordsForQuery(
      "SELECT rowid, name, timestamp, data FROM raw_events ORDER BY rowid", {}, &error);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 49u);
  std::int64_t expectedRowid = 1;
  for (int i = 1; i <= 50; ++i) {
    if (i == 10) continue;
    const TLMSqliteRecord& r = rows->at(static_cast<std::size_t>(expectedRowid - 1));
    // Fresh row ids in copy order: the gap left by the deleted row closes.
    EXPECT_EQ(r.at("rowid"), Object::integer(expectedRowid));
    EXPECT_EQ(r.at("name"), Object("e" + std::to_string(i)));
    EXPECT_EQ(r.at("timestamp"), Object::floating(1000 + i));
    EXPECT_EQ(r.at("data"), Object::data({static_cast<std::uint8_t>(i)}));
    ++expectedRowid;
  }
  RawConnection raw(databasePath());
  EXPECT_EQ(raw.scalar("SELECT typeof(timestamp) FROM raw_events LIMIT 1"), "real");

  // Already in shape: no second rebuild (row ids stay as they are).
  ASSERT_TRUE(store.deleteRecordFromTableWithName("raw_events", "name", Object("e1"), &error));
  ASSERT_TRUE(store.ensureTableWithName("raw_events", kEventColumns, kEventAddOns,
                                        {{"timestamp", "REAL NOT NULL"}}, &error));
  EXPECT_EQ(store.numberForQuery("SELECT min(rowid) FROM raw_events", {}, &error),
            Object::integer(2));
}

TEST_F(StoreSchemaTest, FailedRebuildRollsBackAndKeepsTheOldTable) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(
      store.executeSQL("CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
                       "data BLOB NOT NULL)",
                       &error));
  ASSERT_TRUE(store.upsertRecord(
      {{"name", Object("a")}, {"timestamp", Object::integer(1)}, {"data", Object::data({1})}},
      "raw_events", &error));
  // The name the rebuild needs for the old rows is taken.
  ASSERT_TRUE(store.executeSQL("CREATE TABLE raw_events_old (x INTEGER)", &error));

  EXPECT_FALSE(store.ensureTableWithName("raw_events", kEventColumns, {},
                                         {{"timestamp", "REAL NOT NULL"}}, &error));
  EXPECT_STORE_ERROR(error, 3, "Transaction failed");
  EXPECT_EQ(contextOf(error).rfind("prepare statement,1,", 0), 0u) << contextOf(error);
  EXPECT_EQ(store.columnInfoForTableWithName("raw_events", &error)->at("timestamp"), "INTEGER");
  EXPECT_EQ(store.rowCountForTableWithName("raw_events", &error), std::optional<std::int64_t>(1));
  EXPECT_EQ(sqlite3_get_autocommit(store.sqliteHandle()), 1);
}

TEST_F(StoreSchemaTest, CopyMatchesColumnsByName) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(store.executeSQL("CREATE TABLE src (b TEXT, a INTEGER, only_src TEXT)", &error));
  ASSERT_TRUE(
      store.executeSQL("CREATE TABLE dst (a INTEGER, only_dst TEXT DEFAULT 'd', b TEXT)", &error));
  ASSERT_TRUE(store.upsertRecord(
      {{"a", Object::integer(1)}, {"b", Object("one")}, {"only_src", Object("s")}}, "src", &error));
  ASSERT_TRUE(store.copyContentsFromTable("src", "dst", &error)) << error.toString();
  std::optional<std::vector<TLMSqliteRecord>> rows =
      store.recordsForQuery("SELECT * FROM dst", {}, &error);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ(rows->at(0),
            (TLMSqliteRecord{
                {"a", Object::integer(1)}, {"only_dst", Object("d")}, {"b", Object("one")}}));

  ASSERT_TRUE(store.executeSQL("CREATE TABLE other (z INTEGER)", &error));
  EXPECT_FALSE(store.copyContentsFromTable("src", "other", &error));
  EXPECT_EQ(error.code, 2);
}

TEST_F(StoreSchemaTest, TableHelpersReportMissingTables) {
  TLMSqliteStore& store = openStore();
  Error error;
  EXPECT_EQ(store.tableExists("absent", &error), std::optional<bool>(false));
  EXPECT_EQ(store.columnsForTableWithName("absent", &error),
            (std::optional<std::vector<std::string>>(std::vector<std::string>())));
  EXPECT_FALSE(store.ensureSchemaOfTableWithName("absent", kEventColumns, {}, &error));
  EXPECT_STORE_ERROR(error, 2, "Table does not exist for ensure table schema");
  EXPECT_FALSE(store.dropTableWithName("absent", &error));
  EXPECT_EQ(error.code, 3);
  ASSERT_TRUE(
      store.ensureTableWithNameCreateSQL("made", "CREATE TABLE made (k TEXT NOT NULL)", {"k"},
                                         {{"v", "ALTER TABLE made ADD COLUMN v REAL"}}, &error));
  ASSERT_TRUE(store.renameTable("made", "renamed", &error));
  EXPECT_EQ(store.columnsForTableWithName("renamed", &error),
            (std::optional<std::vector<std::string>>({"k", "v"})));
  EXPECT_EQ(store.tableExists("", &error), std::nullopt);
  EXPECT_STORE_ERROR(error, 1, "Received empty table name for table exists");
}

}  // namespace
