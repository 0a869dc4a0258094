// Counting, upserting, updating, increasing and deleting records.
#include <limits>

#include "storage/store_test_support.h"

namespace {

using StoreRecordsTest = StoreTest;

TLMSqliteRecord row(std::int64_t id, const std::string& name) {
  return {{"id", Object::integer(id)}, {"name", Object(name)}};
}

TEST_F(StoreRecordsTest, UpsertInsertsAndReplacesByKey) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.upsertRecord(row(1, "a"), "t", &error));
  ASSERT_TRUE(store.upsertRecord(row(2, "b"), "t", &error));
  ASSERT_TRUE(store.upsertRecord(row(1, "c"), "t", &error));
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(2));
  EXPECT_EQ(store.rowCountForTableWithName("t", "name", Object("c"), &error),
            std::optional<std::int64_t>(1));
  EXPECT_EQ(store.rowCountForTableWithName("t", "name", Object("a"), &error),
            std::optional<std::int64_t>(0));
}

TEST_F(StoreRecordsTest, UpsertWithValueOfUnexpectedKindWritesNothing) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  TLMSqliteRecord record = row(1, "a");
  record["value"] = Object::array({Object::integer(1)});
  EXPECT_FALSE(store.upsertRecord(record, "t", &error));
  EXPECT_STORE_ERROR(error, 1, "Failed to bind parameter of unexpected type to upsert statement");
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(0));
  const std::vector<std::string> reports = printedWithCode(34020);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Record has value of unexpected type"), std::string::npos);

  EXPECT_FALSE(store.upsertRecord({}, "t", &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_FALSE(store.upsertRecord(row(1, "a"), "", &error));
  EXPECT_STORE_ERROR(error, 1, "Received empty table name for upsert record");
}

TEST_F(StoreRecordsTest, UpdateSetsOnlyTheGivenColumnsOfMatchingRows) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.upsertRecord(
      {{"id", Object::integer(1)}, {"name", Object("a")}, {"value", Object::data({1, 2})}}, "t",
      &error));
  ASSERT_TRUE(store.upsertRecord(row(2, "b"), "t", &error));
  ASSERT_TRUE(store.updateRecord({{"name", Object("z")}}, "t", "id", Object::integer(1), &error));
  std::optional<std::vector<TLMSqliteRecord>> rows =
      store.recordsForQuery("SELECT * FROM t ORDER BY id", {}, &error);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(rows->at(0).at("name"), Object("z"));
  EXPECT_EQ(rows->at(0).at("value"), Object::data({1, 2}));
  EXPECT_EQ(rows->at(1).at("name"), Object("b"));

  EXPECT_FALSE(
      store.updateRecord({{"name", Object::date(1)}}, "t", "id", Object::integer(2), &error));
  EXPECT_STORE_ERROR(error, 1, "Failed to bind parameter of unexpected type to update statement");
  EXPECT_EQ(printedWithCode(34021).size(), 1u);
  EXPECT_EQ(store.rowCountForTableWithName("t", "name", Object("b"), &error),
            std::optional<std::int64_t>(1));

  ASSERT_TRUE(store.updateAllRecordsInTableWithName("t", "name", Object("all"), &error));
  EXPECT_EQ(store.rowCountForTableWithName("t", "name", Object("all"), &error),
            std::optional<std::int64_t>(2));
}

TEST_F(StoreRecordsTest, IncreaseAddsSignedValuesToIntegerColumnsOnly) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(store.ensureTableWithName("c",
                                        {{"id", "INTEGER NOT NULL"},
                                         {"count", "INTEGER NOT NULL"},
                                         {"loose", "INTEGER"},
                                         {"small", "INT"},
                                         {"ratio", "REAL"}},
                                        {}, &error));
  ASSERT_TRUE(store.upsertRecord(
      {{"id", Object::integer(1)}, {"count", Object::integer(10)}, {"loose", Object::integer(0)}},
      "c", &error));
  ASSERT_TRUE(store.upsertRecord({{"id", Object::integer(2)}, {"count", Object::integer(10)}}, "c",
                                 &error));
  // SQLite keeps the declared type without its constraints, so a column
  // declared "INTEGER NOT NULL" reads back as "INTEGER" and qualifies.
  ASSERT_TRUE(store.increaseColumn("count", -3, "c", "id=?", {Object::integer(1)}, &error))
      << error.toString();
  ASSERT_TRUE(store.increaseColumn("loose", std::numeric_limits<std::int64_t>::max(), "c", "id = 1",
                                   {}, &error))
      << error.toString();
  EXPECT_EQ(store.numberForQuery("SELECT count FROM c WHERE id=?", {Object::integer(1)}, &error),
            Object::integer(7));
  EXPECT_EQ(store.numberForQuery("SELECT count FROM c WHERE id=?", {Object::integer(2)}, &error),
            Object::integer(10));
  EXPECT_EQ(store.numberForQuery("SELECT loose FROM c WHERE id=?", {Object::integer(1)}, &error),
            Object::integer(std::numeric_limits<std::int64_t>::max()));

  EXPECT_FALSE(store.increaseColumn("small", 1, "c", "id=?", {Object::integer(1)}, &error));
  EXPECT_STORE_ERROR(error, 1, "Column type is not integer.");
  EXPECT_FALSE(store.increaseColumn("ratio", 1, "c", "id=?", {Object::integer(1)}, &error));
  EXPECT_STORE_ERROR(error, 1, "Column type is not integer.");
  EXPECT_FALSE(store.increaseColumn("missing", 1, "c", "id=?", {Object::integer(1)}, &error));
  EXPECT_STORE_ERROR(error, 1, "Invalid column or table name");
  EXPECT_FALSE(store.increaseColumn("count", 1, "nothere", "id=?", {Object::integer(1)}, &error));
  EXPECT_STORE_ERROR(error, 1, "Invalid column or table name");
}

TEST_F(StoreRecordsTest, DeletesByValueByConditionAndAll) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  for (int id = 1; id <= 6; ++id) ASSERT_TRUE(store.upsertRecord(row(id, "n"), "t", &error));
  ASSERT_TRUE(store.deleteRecordFromTableWithName("t", "id", Object::integer(6), &error));
  EXPECT_EQ(store.deleteRecordsFromTableWithName("t", "id > ? AND id < ?",
                                                 {Object::integer(1), Object::integer(4)}, &error),
            std::optional<std::int64_t>(2));
  EXPECT_EQ(store.deleteRecordsFromTableWithName("t", "id > 100", {}, &error),
            std::optional<std::int64_t>(0));
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(3));
  ASSERT_TRUE(store.deleteAllRecordsFromTableWithName("t", &error));
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(0));

  EXPECT_FALSE(store.deleteRecordsFromTableWithName("t", "no_such_column = 1", {}, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_FALSE(store.deleteAllRecordsFromTableWithName("", &error));
  EXPECT_EQ(error.code, 1);
}

}  // namespace
