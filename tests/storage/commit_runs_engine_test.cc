// The engine's commit runs on the deterministic platform: events queued
// together share one commit once the worker queue has drained them, a lone
// event is committed at once, an old or large run commits inline, a failed
// event leaves the rest of its run, and a failed commit is reported as data
// loss.
#include <gtest/gtest.h>

#include "engine/lifecycle_test_support.h"
#include "platform/Clock.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"
#include "storage/faulty_vfs.h"
#include "storage/store_test_support.h"

namespace {

class CommitRunsEngineTest : public EngineLifecycleTest {
 protected:
  void SetUp() override {
    engine_ = makeEngine();
    database_ = engine_->database();
    ASSERT_NE(database_, nullptr);
    Error error;
    ASSERT_TRUE(database_->sqliteStore()->ensureTableWithName(
        "t", {{"id", "INTEGER NOT NULL PRIMARY KEY"}}, {}, &error))
        << error.toString();
    database_->setCommitObserver([this] { ++commits_; });
  }
  void TearDown() override {
    if (database_ != nullptr) database_->setCommitObserver(nullptr);
  }

  // Stores row `id` through the engine's commit run. Worker queue.
  bool write(std::int64_t id, bool succeed = true) {
    return engine_->writeInCommitRun([&] {
      Error error;
      return database_->sqliteStore()->upsertRecord({{"id", Object::integer(id)}}, "t", &error) &&
             succeed;
    });
  }
  void onWorker(std::function<void()> block) { engine_->workerQueue()->async(std::move(block)); }

  // The committed rows, as another connection sees them.
  std::string committed() {
    RawConnection raw(database_->databasePath());
    std::string ids;
    for (const std::string& id : raw.column("SELECT id FROM t ORDER BY id")) ids += id + ",";
    return ids;
  }
  std::vector<MonitorReport> dataLossReports() const {
    std::vector<MonitorReport> found;
    for (const MonitorReport& report : monitor_.reports()) {
      if (report.code == 23224) found.push_back(report);
    }
    return found;
  }
  void advanceUptime(double seconds) {
    FakeClock* clock = platform_.platform().fakeClock();
    clock->setUptime(clock->uptime() + seconds);
  }

  std::shared_ptr<TLMMeasurement> engine_;
  std::shared_ptr<TLMDatabase> database_;
  int commits_ = 0;
};

TEST_F(CommitRunsEngineTest, QueuedEventsShareOneCommitOnceTheQueueDrains) {
  onWorker([&] { EXPECT_TRUE(write(1)); });
  onWorker([&] { EXPECT_TRUE(write(2)); });
  onWorker([&] {
    EXPECT_FALSE(write(3, /*succeed=*/false));
    EXPECT_TRUE(write(4));
    // Still one run, not yet durable.
    EXPECT_TRUE(database_->hasOpenBatchedTransaction());
    EXPECT_EQ(commits_, 0);
  });
  run();
  EXPECT_EQ(commits_, 1);
  EXPECT_FALSE(database_->hasOpenBatchedTransaction());
  EXPECT_EQ(committed(), "1,2,4,");

  // A lone event is committed right after it.
  onWorker([&] { EXPECT_TRUE(write(5)); });
  run();
  EXPECT_EQ(commits_, 2);
  EXPECT_EQ(committed(), "1,2,4,5,");
  EXPECT_TRUE(dataLossReports().empty());
}

TEST_F(CommitRunsEngineTest, OldRunCommitsInline) {
  onWorker([&] {
    EXPECT_TRUE(write(1));
    advanceUptime(0.004);
    EXPECT_TRUE(write(2));
    EXPECT_EQ(commits_, 0);
    advanceUptime(0.002);
    EXPECT_TRUE(write(3));
    EXPECT_EQ(commits_, 1);
    EXPECT_EQ(committed(), "1,2,3,");
    EXPECT_TRUE(write(4));  // a new run, flushed by the block already queued
    EXPECT_TRUE(database_->hasOpenBatchedTransaction());
  });
  run();
  EXPECT_EQ(commits_, 2);
  EXPECT_EQ(committed(), "1,2,3,4,");
}

TEST_F(CommitRunsEngineTest, LargeRunCommitsInline) {
  onWorker([&] {
    for (int id = 1; id <= 999; ++id) ASSERT_TRUE(write(id));
    EXPECT_EQ(commits_, 0);
    EXPECT_TRUE(write(1000));
    EXPECT_EQ(commits_, 1);
    EXPECT_FALSE(database_->hasOpenBatchedTransaction());
  });
  run();
  EXPECT_EQ(commits_, 1);
  RawConnection raw(database_->databasePath());
  EXPECT_EQ(raw.scalar("SELECT count(*) FROM t"), "1000");
}

TEST_F(CommitRunsEngineTest, OrdinaryTransactionCommitsTheRunFirst) {
  onWorker([&] {
    EXPECT_TRUE(write(1));
    EXPECT_TRUE(database_->performTransaction([] { return true; }));
    EXPECT_EQ(commits_, 2);
    EXPECT_EQ(committed(), "1,");
  });
  run();
  EXPECT_EQ(commits_, 2);  // the flush finds nothing open
}

class CommitRunsEngineFaultsTest : public CommitRunsEngineTest {
 protected:
  // The connection must not outlive the VFS it goes through.
  void TearDown() override {
    CommitRunsEngineTest::TearDown();
    if (database_ != nullptr && database_->sqliteStore() != nullptr) {
      database_->sqliteStore()->closeDatabase();
    }
  }
  // Before the engine opens its database, so that the connection uses it.
  FaultyVfs vfs_;
};

TEST_F(CommitRunsEngineFaultsTest, FailedCommitIsReportedAsDataLoss) {
  onWorker([&] {
    EXPECT_TRUE(write(1));
    EXPECT_TRUE(write(2));
    vfs_.setFailSyncs(true);
  });
  run();
  vfs_.clearFaults();
  EXPECT_EQ(commits_, 0);
  const std::vector<MonitorReport> reports = dataLossReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Data loss. Unable to commit stored events. Count, error");
  ASSERT_FALSE(reports[0].contexts.empty());
  EXPECT_EQ(reports[0].contexts[0], Object::integer(2));
  EXPECT_EQ(committed(), "");

  onWorker([&] { EXPECT_TRUE(write(3)); });
  run();
  EXPECT_EQ(committed(), "3,");
}

}  // namespace
