// Opening, validating, replacing, closing and deleting the database file.
#include <sys/statvfs.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/FileAttributes.h"
#include "storage/faulty_vfs.h"
#include "storage/store_test_support.h"

namespace {

namespace fs = std::filesystem;

using StoreOpenTest = StoreTest;

// The store goes (in TearDown) before the VFS its connection uses.
class StoreOpenFaultsTest : public StoreTest {
 protected:
  FaultyVfs vfs_;
};

// A closed database at `path` holding `rows` rows in table "t", with an
// index so that damage is spread over several b-trees.
void makeDatabase(const std::string& path, int rows) {
  fs::create_directories(fs::path(path).parent_path());
  RawConnection raw(path);
  ASSERT_EQ(raw.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, value BLOB);"
                     "CREATE INDEX t_name ON t(name);"),
            SQLITE_OK);
  ASSERT_EQ(raw.exec("BEGIN"), SQLITE_OK);
  for (int i = 1; i <= rows; ++i) {
    ASSERT_EQ(raw.exec("INSERT INTO t (id, name, value) VALUES (" + std::to_string(i) + ", 'name" +
                       std::to_string(i) + "', randomblob(300))"),
              SQLITE_OK);
  }
  ASSERT_EQ(raw.exec("COMMIT"), SQLITE_OK);
}

TEST_F(StoreOpenTest, EmptyPathFailsWithoutTouchingAnything) {
  Error error;
  EXPECT_EQ(TLMSqliteStore::createWithDatabasePath("", &error), nullptr);
  EXPECT_STORE_ERROR(error, 1, "Received empty database path on init");
}

TEST_F(StoreOpenTest, CreatesFoldersAndFileExcludedFromBackup) {
  ASSERT_FALSE(fs::exists(fs::path(databasePath()).parent_path()));
  TLMSqliteStore& store = openStore();
  EXPECT_NE(store.sqliteHandle(), nullptr);
  EXPECT_EQ(store.databasePath(), databasePath());
  EXPECT_TRUE(fs::exists(databasePath()));
  EXPECT_TRUE(platform_.platform().fileAttributes().isExcludedFromBackup(databasePath()));
  EXPECT_TRUE(printedWithCode(34017).empty());
}

TEST_F(StoreOpenTest, RemembersTheQueueItWasCreatedOn) {
  std::shared_ptr<DispatchQueue> queue =
      platform_.platform().dispatch().createSerialQueue("com.tarvix.test.worker", nullptr);
  queue->async([this] { openStore(); });
  platform_.executor().runUntilIdle();
  ASSERT_NE(store_, nullptr);
  EXPECT_EQ(store_->queueLabel(), "com.tarvix.test.worker");
}

TEST_F(StoreOpenTest, FailedBackupExclusionIsOnlyLogged) {
  platform_.platform().fileAttributes().TEST_failNextSetCalls(1);
  TLMSqliteStore& store = openStore();
  EXPECT_NE(store.sqliteHandle(), nullptr);
  const std::vector<std::string> reports = printedWithCode(34017);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Failed to exclude database file from backup"), std::string::npos);
}

TEST_F(StoreOpenTest, UsesWriteAheadLogWithFullSync) {
  TLMSqliteStore& store = openStore();
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(
      sqlite3_prepare_v2(store.sqliteHandle(), "PRAGMA journal_mode", -1, &statement, nullptr),
      SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "wal");
  sqlite3_finalize(statement);
  ASSERT_EQ(sqlite3_prepare_v2(store.sqliteHandle(), "PRAGMA synchronous", -1, &statement, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(sqlite3_column_int(statement, 0), 2);  // FULL
  sqlite3_finalize(statement);
}

TEST_F(StoreOpenTest, ImmutableFileIsMadeWritableBeforeOpeningAndDeleting) {
  openStore();
  store_.reset();
  FileAttributes& attributes = platform_.platform().fileAttributes();
  ASSERT_TRUE(attributes.setImmutable(databasePath(), true, nullptr));
  ASSERT_TRUE(attributes.isImmutable(databasePath()));
  TLMSqliteStore& store = openStore();
  EXPECT_FALSE(attributes.isImmutable(databasePath()));

  ASSERT_TRUE(attributes.setImmutable(databasePath(), true, nullptr));
  EXPECT_TRUE(store.closeAndDeleteDatabase());
  EXPECT_FALSE(fs::exists(databasePath()));
}

TEST_F(StoreOpenTest, FileThatIsNotADatabaseIsReplacedWithAnEmptyOne) {
  writeTextFile(databasePath(), std::string(8192, 'x'));
  TLMSqliteStore& store = openStore();
  Error error;
  EXPECT_EQ(store.tableExists("t", &error), std::optional<bool>(false));
  EXPECT_TRUE(store.ensureTableWithName("t", {{"id", "INTEGER"}}, {}, &error)) << error.toString();
  std::ifstream file(databasePath(), std::ios::binary);
  std::string header(15, '\0');
  file.read(header.data(), 15);
  EXPECT_EQ(header, "SQLite format 3");
}

TEST_F(StoreOpenTest, DamagedDatabaseIsReplacedWithAnEmptyOne) {
  makeDatabase(databasePath(), 200);
  {
    // Overwrite pages 3 to 6 (of 4096 bytes) with garbage: the header still
    // reads as a database, the b-trees do not.
    std::fstream file(databasePath(), std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(2 * 4096);
    const std::string garbage(4 * 4096, '\xA5');
    file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
  }
  TLMSqliteStore& store = openStore();
  Error error;
  EXPECT_EQ(store.tableExists("t", &error), std::optional<bool>(false));
  RawConnection raw(databasePath());
  EXPECT_EQ(raw.scalar("PRAGMA integrity_check"), "ok");
}

TEST_F(StoreOpenTest, LockedDatabaseIsNotDeleted) {
  makeDatabase(databasePath(), 5);
  {
    RawConnection holder(databasePath());
    ASSERT_EQ(holder.exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"
                          "INSERT INTO t (id, name) VALUES (100, 'held');"),
              SQLITE_OK);
    Error error;
    EXPECT_EQ(TLMSqliteStore::createWithDatabasePath(databasePath(), &error), nullptr);
    EXPECT_EQ(error.code, 3);
    EXPECT_NE(error.description->find("sqlite code 5 "), std::string::npos) << *error.description;
    EXPECT_EQ(contextOf(error).rfind("validate database,5,", 0), 0u) << contextOf(error);
    ASSERT_EQ(holder.exec("ROLLBACK"), SQLITE_OK);
  }
  TLMSqliteStore& store = openStore();
  Error error;
  EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(5));
}

TEST_F(StoreOpenFaultsTest, FileThatCannotBeOpenedOrReadIsNotDeleted) {
  makeDatabase(databasePath(), 3);
  const struct {
    void (FaultyVfs::*fail)(bool);
    const char* description;
  } cases[] = {
      {&FaultyVfs::setFailOpens, "\"initialize sqlite handle\" failed with sqlite code 14"},
      {&FaultyVfs::setFailReads, "sqlite code 10 and error message \"disk I/O error\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    const int failuresBefore = vfs_.injectedFailures();
    (vfs_.*c.fail)(true);
    Error error;
    EXPECT_EQ(TLMSqliteStore::createWithDatabasePath(databasePath(), &error), nullptr);
    EXPECT_EQ(error.code, 3);
    EXPECT_NE(error.description->find(c.description), std::string::npos) << *error.description;
    EXPECT_GT(vfs_.injectedFailures(), failuresBefore);
    vfs_.clearFaults();
    TLMSqliteStore& store = openStore();
    EXPECT_EQ(store.rowCountForTableWithName("t", &error), std::optional<std::int64_t>(3));
    store_.reset();
  }
}

TEST_F(StoreOpenTest, DeleteRemovesTheDatabaseAndEverySideFile) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.upsertRecord({{"id", Object::integer(1)}}, "t", &error));
  // Present while the connection is open in WAL mode.
  EXPECT_TRUE(fs::exists(databasePath() + "-wal"));
  EXPECT_TRUE(fs::exists(databasePath() + "-shm"));
  // A journal left by another journal mode.
  writeTextFile(databasePath() + "-journal", "stale");

  EXPECT_TRUE(store.closeAndDeleteDatabase());
  EXPECT_EQ(store.sqliteHandle(), nullptr);
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    EXPECT_FALSE(fs::exists(databasePath() + suffix)) << suffix;
  }
  // Nothing left to delete counts as deleted.
  EXPECT_TRUE(store.closeAndDeleteDatabase());
  EXPECT_TRUE(printedWithCode(34019).empty());

  // Reopening starts empty.
  ASSERT_TRUE(store.openAndValidateDatabase(&error)) << error.toString();
  EXPECT_EQ(store.tableExists("t", &error), std::optional<bool>(false));
}

TEST_F(StoreOpenTest, ClosedStoreRefusesWorkWithStateErrorsAfterArgumentChecks) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(store.rowCountForTableWithName("t", &error).has_value());
  EXPECT_GT(store.TEST_cachedStatementCount(), 0u);
  store.closeDatabase();
  EXPECT_EQ(store.sqliteHandle(), nullptr);
  EXPECT_EQ(store.TEST_cachedStatementCount(), 0u);

  EXPECT_FALSE(store.rowCountForTableWithName("t", &error).has_value());
  EXPECT_STORE_ERROR(error, 2, "Row count failed. Database not open.");
  EXPECT_FALSE(store.recordsForQuery("SELECT * FROM t", {}, &error).has_value());
  EXPECT_STORE_ERROR(error, 2, "Query records failed. Database not open.");
  EXPECT_EQ(store.prepareSQL("SELECT 1", &error), nullptr);
  EXPECT_STORE_ERROR(error, 2, "Prepare SQL failed. Database not open.");
  EXPECT_FALSE(store.ensureTableWithName("t", {{"id", "INTEGER"}}, {}, &error));
  EXPECT_STORE_ERROR(error, 2, "Ensure table failed. Database not open.");
  EXPECT_FALSE(store.performTransactionWithError(&error, [](Error*) { return true; }));
  EXPECT_STORE_ERROR(error, 2, "Database not open");
  // Arguments are checked first.
  EXPECT_FALSE(store.ensureTableWithName("", {{"id", "INTEGER"}}, {}, &error));
  EXPECT_STORE_ERROR(error, 1, "Received empty table name for ensure table");

  EXPECT_EQ(store.lastErrorMessage(), "");
  const std::vector<std::string> reports = printedWithCode(34022);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Failed to get last error message. Database not open"),
            std::string::npos);
}

TEST_F(StoreOpenTest, DatabaseErrorsCarryDescriptionAndDiagnosticContext) {
  TLMSqliteStore& store = openStore();
  Error error;
  EXPECT_EQ(store.prepareSQL("SELEC 1", &error), nullptr);
  EXPECT_STORE_ERROR(error, 3,
                     "Database operation \"prepare statement\" failed with sqlite code 1 and "
                     "error message \"near \"SELEC\": syntax error\"");
  EXPECT_EQ(store.lastErrorMessage(), "near \"SELEC\": syntax error");

  struct statvfs info {};
  ASSERT_EQ(::statvfs(databasePath().c_str(), &info), 0);
  unsigned long long freeMiB =
      (static_cast<unsigned long long>(info.f_bavail) * info.f_frsize) >> 20;
  std::string magnitude = "-1";
  if (freeMiB > 0) {
    int digits = 0;
    for (; freeMiB >= 10; freeMiB /= 10) ++digits;
    magnitude = std::to_string(digits);
  }
  EXPECT_EQ(contextOf(error), "prepare statement,1,A," + magnitude);
  EXPECT_EQ(store.monitorContextForDatabaseOperation(""), "Unknown operation,1,A," + magnitude);
}

}  // namespace
