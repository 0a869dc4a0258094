// Batched transactions of the SQLite store: each block is all-or-nothing
// inside one open transaction, nothing is visible to others or durable
// before the commit, an ordinary transaction or closing commits the batch
// first, the commit observer sees exactly the successful commits, and
// faults (at commit and inside a block) leave no half-stored block.
#include <stdexcept>

#include "storage/faulty_vfs.h"
#include "storage/store_test_support.h"

namespace {

class CommitRunsStoreTest : public StoreTest {
 protected:
  // Table "t" for the event rows and "counter" (one row) counting them,
  // like a raw event and the day's count.
  TLMSqliteStore& openStoreWithCounter() {
    TLMSqliteStore& store = openStoreWithTable();
    Error error;
    EXPECT_TRUE(store.ensureTableWithName(
        "counter", {{"id", "INTEGER NOT NULL PRIMARY KEY"}, {"n", "INTEGER NOT NULL"}}, {}, &error))
        << error.toString();
    EXPECT_TRUE(store.executeSQL("INSERT OR IGNORE INTO counter (id, n) VALUES (1, 0)", &error))
        << error.toString();
    store.setCommitObserver([this] { ++commits_; });
    return store;
  }

  // One event: its row and the counter, as one batched block. `fail`
  // makes the block fail after both writes.
  bool storeEvent(TLMSqliteStore& store, std::int64_t id, bool fail = false,
                  std::size_t size = 100) {
    Error error;
    return store.performBatchedTransactionWithError(&error, [&](Error* blockError) {
      if (!store.upsertRecord({{"id", Object::integer(id)},
                               {"name", Object("e" + std::to_string(id))},
                               {"value", Object::data(Bytes(size, 7))}},
                              "t", blockError)) {
        return false;
      }
      if (!store.increaseColumn("n", 1, "counter", "id = ?", {Object::integer(1)}, blockError)) {
        return false;
      }
      return !fail;
    });
  }

  // What another connection sees: "<ids>|<counter>".
  static std::string committed() {
    RawConnection raw(databasePath());
    std::string ids;
    for (const std::string& id : raw.column("SELECT id FROM t ORDER BY id")) ids += id + ",";
    return ids + "|" + raw.scalar("SELECT n FROM counter");
  }

  int commits_ = 0;
};

TEST_F(CommitRunsStoreTest, FailedBlockKeepsTheOtherBlocksOfItsBatch) {
  TLMSqliteStore& store = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(store, 1));
  EXPECT_TRUE(storeEvent(store, 2));
  EXPECT_FALSE(storeEvent(store, 3, /*fail=*/true));
  EXPECT_TRUE(storeEvent(store, 4));
  EXPECT_TRUE(store.hasOpenBatch());
  EXPECT_EQ(store.batchedTransactionCount(), 3u);
  // Not visible (nor durable) before the commit.
  EXPECT_EQ(committed(), "|0");
  EXPECT_EQ(commits_, 0);

  Error error;
  ASSERT_TRUE(store.commitBatch(&error)) << error.toString();
  EXPECT_FALSE(store.hasOpenBatch());
  EXPECT_EQ(store.batchedTransactionCount(), 0u);
  EXPECT_EQ(commits_, 1);
  EXPECT_EQ(committed(), "1,2,4,|3");
  EXPECT_EQ(sqlite3_get_autocommit(store.sqliteHandle()), 1);
}

TEST_F(CommitRunsStoreTest, FailedBlockReportsTransactionFailedWithItsContext) {
  TLMSqliteStore& store = openStoreWithCounter();
  Error error;
  EXPECT_FALSE(store.performBatchedTransactionWithError(&error, [](Error* blockError) {
    *blockError = tlm_errorWithCode(3, "inner", "inner context");
    return false;
  }));
  EXPECT_STORE_ERROR(error, 3, "Transaction failed");
  EXPECT_EQ(contextOf(error), "inner context");
  EXPECT_TRUE(printedWithCode(34011).empty());
}

TEST_F(CommitRunsStoreTest, ExceptionRollsBackItsBlockOnlyAndIsPassedOn) {
  TLMSqliteStore& store = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(store, 1));
  Error error;
  EXPECT_THROW((void)store.performBatchedTransactionWithError(
                   &error,
                   [&](Error* blockError) -> bool {
                     EXPECT_TRUE(store.upsertRecord({{"id", Object::integer(2)}}, "t", blockError));
                     throw std::runtime_error("block failed");
                   }),
               std::runtime_error);
  EXPECT_TRUE(store.hasOpenBatch());
  EXPECT_TRUE(storeEvent(store, 3));
  ASSERT_TRUE(store.commitBatch(&error)) << error.toString();
  EXPECT_EQ(committed(), "1,3,|2");
  EXPECT_TRUE(printedWithCode(34009).empty());
}

TEST_F(CommitRunsStoreTest, OrdinaryTransactionCommitsTheOpenBatchFirst) {
  TLMSqliteStore& store = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(store, 1));
  EXPECT_TRUE(storeEvent(store, 2));
  Error error;
  // Even when the ordinary transaction itself rolls back.
  EXPECT_FALSE(store.performTransactionWithError(&error, [&](Error* blockError) {
    EXPECT_FALSE(store.hasOpenBatch());
    EXPECT_TRUE(store.upsertRecord({{"id", Object::integer(9)}}, "t", blockError));
    return false;
  }));
  EXPECT_EQ(commits_, 1);
  EXPECT_EQ(committed(), "1,2,|2");

  EXPECT_TRUE(storeEvent(store, 3));
  ASSERT_TRUE(store.performTransactionWithError(&error, [&](Error* blockError) {
    return store.upsertRecord({{"id", Object::integer(10)}}, "t", blockError);
  }));
  EXPECT_EQ(commits_, 3);
  EXPECT_EQ(committed(), "1,2,3,10,|3");
}

TEST_F(CommitRunsStoreTest, ObserverSeesEverySuccessfulCommitAndNothingElse) {
  TLMSqliteStore& store = openStoreWithCounter();
  Error error;
  ASSERT_TRUE(store.commitBatch(&error));  // nothing open
  EXPECT_EQ(commits_, 0);
  ASSERT_TRUE(store.performTransactionWithError(&error, [](Error*) { return true; }));
  EXPECT_EQ(commits_, 1);
  EXPECT_FALSE(store.performTransactionWithError(&error, [](Error*) { return false; }));
  EXPECT_EQ(commits_, 1);
  EXPECT_TRUE(storeEvent(store, 1));
  EXPECT_TRUE(storeEvent(store, 2));
  EXPECT_EQ(commits_, 1);
  ASSERT_TRUE(store.commitBatch(&error));
  EXPECT_EQ(commits_, 2);
  store.setCommitObserver(nullptr);
  EXPECT_TRUE(storeEvent(store, 3));
  ASSERT_TRUE(store.commitBatch(&error));
  EXPECT_EQ(commits_, 2);
}

TEST_F(CommitRunsStoreTest, BlocksDoNotNestAndCannotCommitTheirBatch) {
  TLMSqliteStore& store = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(store, 1));
  Error inner;
  Error innerCommit;
  Error inner2;
  Error error;
  EXPECT_TRUE(store.performBatchedTransactionWithError(&error, [&](Error* blockError) {
    EXPECT_FALSE(store.performTransactionWithError(&inner, [](Error*) { return true; }));
    EXPECT_FALSE(store.performBatchedTransactionWithError(&inner2, [](Error*) { return true; }));
    EXPECT_FALSE(store.commitBatch(&innerCommit));
    return store.upsertRecord({{"id", Object::integer(2)}}, "t", blockError);
  })) << error.toString();
  EXPECT_STORE_ERROR(inner, 2, "Transactions do not nest");
  EXPECT_STORE_ERROR(inner2, 2, "Transactions do not nest");
  EXPECT_STORE_ERROR(innerCommit, 2, "Cannot commit inside a batched transaction");
  EXPECT_EQ(commits_, 0);
  ASSERT_TRUE(store.commitBatch(&error));
  EXPECT_EQ(committed(), "1,2,|1");
}

TEST_F(CommitRunsStoreTest, InsideAnOrdinaryTransactionABlockIsPartOfIt) {
  TLMSqliteStore& store = openStoreWithCounter();
  Error error;
  EXPECT_FALSE(store.performTransactionWithError(&error, [&](Error*) {
    EXPECT_TRUE(storeEvent(store, 1));
    EXPECT_FALSE(storeEvent(store, 2, /*fail=*/true));
    EXPECT_FALSE(store.hasOpenBatch());
    return false;  // takes block 1 with it
  }));
  EXPECT_EQ(committed(), "|0");
  ASSERT_TRUE(store.performTransactionWithError(&error, [&](Error*) {
    return storeEvent(store, 3) && !storeEvent(store, 4, /*fail=*/true);
  }));
  EXPECT_EQ(committed(), "3,|1");
  EXPECT_EQ(commits_, 1);
}

TEST_F(CommitRunsStoreTest, ClosingAndDestroyingCommitTheOpenBatch) {
  TLMSqliteStore& store = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(store, 1));
  store.closeDatabase();
  EXPECT_EQ(commits_, 1);
  EXPECT_EQ(committed(), "1,|1");

  TLMSqliteStore& reopened = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(reopened, 2));
  store_.reset();
  EXPECT_EQ(committed(), "1,2,|2");
}

TEST_F(CommitRunsStoreTest, RollbackTransactionDropsTheWholeBatch) {
  TLMSqliteStore& store = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(store, 1));
  Error error;
  ASSERT_TRUE(store.rollbackTransaction(&error));
  EXPECT_FALSE(store.hasOpenBatch());
  EXPECT_EQ(store.batchedTransactionCount(), 0u);
  EXPECT_TRUE(storeEvent(store, 2));
  ASSERT_TRUE(store.commitBatch(&error));
  EXPECT_EQ(committed(), "2,|1");
}

class CommitRunsFaultsTest : public CommitRunsStoreTest {
 protected:
  FaultyVfs vfs_;
};

TEST_F(CommitRunsFaultsTest, FailedCommitIsReportedAndStoresNothingOfTheBatch) {
  TLMSqliteStore& store = openStoreWithCounter();
  struct Case {
    void (FaultyVfs::*arm)(bool);
    const char* name;
    const char* before;
    const char* after;
  };
  std::int64_t id = 0;
  for (const Case& c : {Case{&FaultyVfs::setFailSyncs, "sync", "1,|1", "1,4,|2"},
                        Case{&FaultyVfs::setFailWrites, "write", "1,4,5,|3", "1,4,5,8,|4"}}) {
    SCOPED_TRACE(c.name);
    const int commitsBefore = commits_;
    EXPECT_TRUE(storeEvent(store, ++id));
    Error error;
    ASSERT_TRUE(store.commitBatch(&error));

    EXPECT_TRUE(storeEvent(store, ++id, false, 5000));
    EXPECT_TRUE(storeEvent(store, ++id, false, 5000));
    (vfs_.*c.arm)(true);
    EXPECT_FALSE(store.commitBatch(&error));
    vfs_.clearFaults();
    EXPECT_GT(vfs_.injectedFailures(), 0);
    EXPECT_STORE_ERROR(error, 3, "Failed to end transaction");
    EXPECT_FALSE(store.hasOpenBatch());
    EXPECT_EQ(sqlite3_get_autocommit(store.sqliteHandle()), 1);
    EXPECT_EQ(commits_, commitsBefore + 1);
    // Neither half of either event; the store goes on.
    EXPECT_EQ(committed(), c.before);
    EXPECT_TRUE(storeEvent(store, ++id));
    ASSERT_TRUE(store.commitBatch(&error)) << error.toString();
    EXPECT_EQ(committed(), c.after);
    RawConnection raw(databasePath());
    EXPECT_EQ(raw.scalar("PRAGMA integrity_check"), "ok");
  }
}

TEST_F(CommitRunsFaultsTest, FailedImplicitCommitIsLoggedAsDataLoss) {
  TLMSqliteStore& store = openStoreWithCounter();
  EXPECT_TRUE(storeEvent(store, 1));
  EXPECT_TRUE(storeEvent(store, 2));
  vfs_.setFailSyncs(true);
  Error error;
  // The ordinary transaction still runs (writing nothing, it needs no sync).
  EXPECT_TRUE(store.performTransactionWithError(&error, [](Error*) { return true; }));
  vfs_.clearFaults();
  const std::string report = onePrinted(34023);
  EXPECT_NE(report.find("Data loss. Failed to commit batched transactions. Count, error"),
            std::string::npos)
      << report;
  EXPECT_EQ(committed(), "|0");
  EXPECT_TRUE(storeEvent(store, 3));
  store.closeDatabase();
  EXPECT_EQ(committed(), "3,|1");
}

TEST_F(CommitRunsFaultsTest, FullDatabaseInsideABlockKeepsTheBatchConsistent) {
  TLMSqliteStore& store = openStoreWithCounter();
  Error error;
  const OptionalObject pages = store.numberForQuery("PRAGMA page_count", {}, &error);
  ASSERT_TRUE(pages.has_value());
  ASSERT_EQ(
      sqlite3_exec(store.sqliteHandle(),
                   ("PRAGMA max_page_count=" + std::to_string(pages->int64Value() + 3)).c_str(),
                   nullptr, nullptr, nullptr),
      SQLITE_OK);
  EXPECT_TRUE(storeEvent(store, 1));
  EXPECT_FALSE(storeEvent(store, 2, false, 40000));
  // Whether SQLite undid the statement or the whole transaction, the
  // store's idea of the batch matches what gets committed.
  const bool kept = store.hasOpenBatch();
  EXPECT_TRUE(storeEvent(store, 3));
  ASSERT_TRUE(store.commitBatch(&error)) << error.toString();
  EXPECT_EQ(committed(), kept ? "1,3,|2" : "3,|1");
}

}  // namespace
