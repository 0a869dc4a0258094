// Exclusive transactions: commit, rollback, exceptions and failed commits.
#include <stdexcept>

#include "storage/store_test_support.h"

namespace {

using StoreTransactionTest = StoreTest;

TLMSqliteRecord row(std::int64_t id) {
  return {{"id", Object::integer(id)}, {"name", Object("n" + std::to_string(id))}};
}

TEST_F(StoreTransactionTest, CommitsWhenTheBlockSucceeds) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.performTransactionWithError(&error, [&](Error* blockError) {
    return store.upsertRecord(row(1), "t", blockError) &&
           store.upsertRecord(row(2), "t", blockError);
  }));
  RawConnection raw(databasePath());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM t"), "2");
}

TEST_F(StoreTransactionTest, RollsBackWhenTheBlockFailsAndKeepsItsContext) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.upsertRecord(row(1), "t", &error));
  EXPECT_FALSE(store.performTransactionWithError(&error, [&](Error* blockError) {
    return store.upsertRecord(row(2), "t", blockError) &&
           store.upsertRecord({{"no_such_column", Object::integer(1)}}, "t", blockError);
  }));
  EXPECT_STORE_ERROR(error, 3, "Transaction failed");
  EXPECT_EQ(contextOf(error).rfind("prepare statement,1,", 0), 0u) << contextOf(error);
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(1));
  EXPECT_TRUE(printedWithCode(34011).empty());
  // The next transaction begins normally.
  EXPECT_TRUE(store.performTransactionWithError(
      &error, [&](Error* blockError) { return store.upsertRecord(row(3), "t", blockError); }));
}

TEST_F(StoreTransactionTest, RollsBackAndPassesOnAnException) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  EXPECT_THROW(
      (void)store.performTransactionWithError(&error,
                                              [&](Error* blockError) -> bool {
                                                if (!store.upsertRecord(row(1), "t", blockError)) {
                                                  return false;
                                                }
                                                throw std::runtime_error("boom");
                                              }),
      std::runtime_error);
  EXPECT_EQ(sqlite3_get_autocommit(store.sqliteHandle()), 1);
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(0));
  EXPECT_TRUE(printedWithCode(34009).empty());
}

TEST_F(StoreTransactionTest, ChecksBlockAndState) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  EXPECT_FALSE(store.performTransactionWithError(&error, nullptr));
  EXPECT_STORE_ERROR(error, 1, "Received nil transaction block");
  // Rolling back with nothing open is not a failure.
  EXPECT_TRUE(store.rollbackTransaction(&error));
}

TEST_F(StoreTransactionTest, FailedCommitThatLeavesTheTransactionOpenIsRolledBack) {
  TLMSqliteStore& store = openStore();
  Error error;
  ASSERT_TRUE(store.executeSQL("PRAGMA foreign_keys=ON", &error));
  ASSERT_TRUE(store.executeSQL("CREATE TABLE parent (id INTEGER PRIMARY KEY)", &error));
  ASSERT_TRUE(store.executeSQL(
      "CREATE TABLE child (id INTEGER PRIMARY KEY, parent_id INTEGER REFERENCES parent(id) "
      "DEFERRABLE INITIALLY DEFERRED)",
      &error));
  // A deferred foreign key fails only at commit, and SQLite then keeps the
  // transaction open.
  EXPECT_FALSE(store.performTransactionWithError(&error, [&](Error* blockError) {
    return store.upsertRecord({{"id", Object::integer(1)}, {"parent_id", Object::integer(42)}},
                              "child", blockError);
  }));
  EXPECT_STORE_ERROR(error, 3, "Failed to end transaction");
  EXPECT_EQ(contextOf(error).rfind("execute statement,19,", 0), 0u) << contextOf(error);
  EXPECT_EQ(sqlite3_get_autocommit(store.sqliteHandle()), 1);
  EXPECT_EQ(store.rowCountForTableWithName("child", &error), std::optional<std::int64_t>(0));

  // Later transactions are not stuck behind it.
  ASSERT_TRUE(store.performTransactionWithError(&error, [&](Error* blockError) {
    return store.upsertRecord({{"id", Object::integer(42)}}, "parent", blockError) &&
           store.upsertRecord({{"id", Object::integer(1)}, {"parent_id", Object::integer(42)}},
                              "child", blockError);
  })) << error.toString();
  EXPECT_EQ(store.rowCountForTableWithName("child", &error), std::optional<std::int64_t>(1));
}

TEST_F(StoreTransactionTest, BeginFailsWhileAnotherConnectionWrites) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  RawConnection other(databasePath());
  ASSERT_EQ(other.exec("BEGIN IMMEDIATE; INSERT INTO t (id) VALUES (7);"), SQLITE_OK);
  bool ran = false;
  EXPECT_FALSE(store.performTransactionWithError(&error, [&](Error*) { return ran = true; }));
  EXPECT_FALSE(ran);
  EXPECT_STORE_ERROR(error, 3, "Failed to begin transaction");
  EXPECT_EQ(contextOf(error).rfind("execute statement,5,", 0), 0u) << contextOf(error);
  ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
  EXPECT_TRUE(store.performTransactionWithError(
      &error, [&](Error* blockError) { return store.upsertRecord(row(8), "t", blockError); }));
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(2));
}

}  // namespace
