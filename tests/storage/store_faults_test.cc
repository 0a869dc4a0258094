// Real faults inside SQLite: a full database, a busy file and I/O errors
// (a test VFS failing writes, syncs or reads). Each is reported with its
// code and message, leaves no half-written data, and the store keeps
// working afterwards.
#include "storage/faulty_vfs.h"
#include "storage/store_test_support.h"

namespace {

using StoreFaultsTest = StoreTest;

TLMSqliteRecord bigRow(std::int64_t id, std::size_t size = 3000) {
  return {{"id", Object::integer(id)},
          {"name", Object("row" + std::to_string(id))},
          {"value", Object::data(Bytes(size, static_cast<std::uint8_t>(id)))}};
}

void expectIntact(const std::string& path, const std::string& expectedCount) {
  RawConnection raw(path);
  EXPECT_EQ(raw.scalar("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM t"), expectedCount);
}

TEST_F(StoreFaultsTest, FullDatabase) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.upsertRecord(bigRow(1), "t", &error));
  const OptionalObject pages = store.numberForQuery("PRAGMA page_count", {}, &error);
  ASSERT_TRUE(pages.has_value());
  ASSERT_EQ(
      sqlite3_exec(store.sqliteHandle(),
                   ("PRAGMA max_page_count=" + std::to_string(pages->int64Value() + 2)).c_str(),
                   nullptr, nullptr, nullptr),
      SQLITE_OK);

  // One statement on its own.
  EXPECT_FALSE(store.upsertRecord(bigRow(2, 20000), "t", &error));
  EXPECT_STORE_ERROR(error, 3,
                     "Database operation \"execute statement\" failed with sqlite code 13 and "
                     "error message \"database or disk is full\"");
  EXPECT_EQ(contextOf(error).rfind("execute statement,13,A,", 0), 0u);

  // Several rows in one transaction: all or nothing.
  EXPECT_FALSE(store.performTransactionWithError(&error, [&](Error* blockError) {
    for (std::int64_t id = 10; id < 20; ++id) {
      if (!store.upsertRecord(bigRow(id), "t", blockError)) return false;
    }
    return true;
  }));
  EXPECT_STORE_ERROR(error, 3, "Transaction failed");
  EXPECT_EQ(contextOf(error).rfind("execute statement,13,", 0), 0u);
  EXPECT_TRUE(printedWithCode(34011).empty());
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(1));
  expectIntact(databasePath(), "1");

  ASSERT_EQ(sqlite3_exec(store.sqliteHandle(), "PRAGMA max_page_count=1000000", nullptr, nullptr,
                         nullptr),
            SQLITE_OK);
  EXPECT_TRUE(store.performTransactionWithError(&error, [&](Error* blockError) {
    return store.upsertRecord(bigRow(2, 20000), "t", blockError);
  })) << error.toString();
  expectIntact(databasePath(), "2");
}

TEST_F(StoreFaultsTest, BusyDatabase) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.upsertRecord(bigRow(1), "t", &error));
  RawConnection other(databasePath());
  ASSERT_EQ(other.exec("BEGIN IMMEDIATE; INSERT INTO t (id, name) VALUES (50, 'other');"),
            SQLITE_OK);

  EXPECT_FALSE(store.upsertRecord(bigRow(2), "t", &error));
  EXPECT_STORE_ERROR(error, 3,
                     "Database operation \"execute statement\" failed with sqlite code 5 and "
                     "error message \"database is locked\"");
  // Readers are not blocked by the writer.
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(1));

  ASSERT_EQ(other.exec("COMMIT"), SQLITE_OK);
  EXPECT_TRUE(store.upsertRecord(bigRow(2), "t", &error)) << error.toString();
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(3));
}

class StoreIOFaultsTest : public StoreTest {
 protected:
  // Stores row 1, fails the commit of row 2 with the fault `arm` switches
  // on, then checks the report, the data and that the store goes on.
  void failCommit(void (FaultyVfs::*arm)(bool), const char* sqliteCode) {
    TLMSqliteStore& store = openStoreWithTable();
    Error error;
    ASSERT_TRUE(store.upsertRecord(bigRow(1), "t", &error));

    (vfs_.*arm)(true);
    EXPECT_FALSE(store.performTransactionWithError(
        &error, [&](Error* blockError) { return store.upsertRecord(bigRow(2), "t", blockError); }));
    vfs_.clearFaults();
    EXPECT_GT(vfs_.injectedFailures(), 0);
    EXPECT_STORE_ERROR(error, 3, "Failed to end transaction");
    EXPECT_EQ(contextOf(error).rfind(std::string("execute statement,") + sqliteCode + ",", 0), 0u)
        << contextOf(error);
    EXPECT_EQ(sqlite3_get_autocommit(store.sqliteHandle()), 1);
    EXPECT_TRUE(printedWithCode(34011).empty());

    // Also a single statement outside a transaction.
    (vfs_.*arm)(true);
    EXPECT_FALSE(store.upsertRecord(bigRow(3), "t", &error));
    vfs_.clearFaults();
    EXPECT_EQ(error.code, 3);
    EXPECT_NE(error.description->find(std::string("sqlite code ") + sqliteCode +
                                      " and error message \"disk I/O error\""),
              std::string::npos)
        << *error.description;

    EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(1));
    expectIntact(databasePath(), "1");
    ASSERT_TRUE(store.performTransactionWithError(&error, [&](Error* blockError) {
      return store.upsertRecord(bigRow(4), "t", blockError);
    })) << error.toString();
    expectIntact(databasePath(), "2");

    // And across a restart.
    store_.reset();
    TLMSqliteStore& reopened = openStore();
    EXPECT_EQ(reopened.recordsForQuery("SELECT id FROM t ORDER BY id", {}, &error),
              (std::optional<std::vector<TLMSqliteRecord>>(
                  {{{"id", Object::integer(1)}}, {{"id", Object::integer(4)}}})));
  }

  FaultyVfs vfs_;
};

TEST_F(StoreIOFaultsTest, FailedWriteAtCommit) { failCommit(&FaultyVfs::setFailWrites, "10"); }

TEST_F(StoreIOFaultsTest, FailedSyncAtCommit) { failCommit(&FaultyVfs::setFailSyncs, "10"); }

TEST_F(StoreIOFaultsTest, FailedRead) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  for (int id = 1; id <= 20; ++id) ASSERT_TRUE(store.upsertRecord(bigRow(id), "t", &error));
  // Drop cached pages so that the query has to read the file.
  sqlite3_db_release_memory(store.sqliteHandle());
  vfs_.setFailReads(true);
  EXPECT_FALSE(store.recordsForQuery("SELECT * FROM t", {}, &error).has_value());
  vfs_.clearFaults();
  EXPECT_GT(vfs_.injectedFailures(), 0);
  EXPECT_EQ(error.code, 3);
  EXPECT_NE(error.description->find("sqlite code 10 and error message \"disk I/O error\""),
            std::string::npos)
      << *error.description;
  std::optional<std::vector<TLMSqliteRecord>> rows =
      store.recordsForQuery("SELECT * FROM t", {}, &error);
  ASSERT_TRUE(rows.has_value());
  EXPECT_EQ(rows->size(), 20u);
}

}  // namespace
