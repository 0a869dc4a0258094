// Crash safety: a child process stores rows, one transaction each, and
// prints each number once its commit has returned; it is killed with
// SIGKILL at a random moment, twenty times over. Every time the database
// must pass its integrity check, hold every acknowledged row, at most one
// more, and no partial row.

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "storage/crash_rows.h"
#include "storage/crash_writer_process.h"
#include "storage/store_test_support.h"

namespace {

constexpr int kRounds = 20;
// Acknowledged commits to wait for before the random extra delay; keeps
// the whole test to a few seconds.
constexpr int kMaxAcksPerRound = 60;
constexpr int kMaxExtraDelayMicroseconds = 3000;
constexpr auto kRoundTimeout = std::chrono::seconds(20);

using StoreCrashTest = StoreTest;

TEST_F(StoreCrashTest, KilledWriterLosesNoAcknowledgedRow) {
  const std::string path = databasePath();
  std::mt19937 random(20260101);
  std::uniform_int_distribution<int> acksToWait(0, kMaxAcksPerRound);
  std::uniform_int_distribution<int> extraDelay(0, kMaxExtraDelayMicroseconds);
  std::int64_t stored = 0;  // rows verified present after the last round

  for (int round = 0; round < kRounds; ++round) {
    const int acks = acksToWait(random);
    const int delay = extraDelay(random);
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(acks) + " acks + " +
                 std::to_string(delay) + " us");
    {
      CrashWriterProcess writer(FERROLUX_CRASH_WRITER_PATH, platform_.root(), path);
      ASSERT_TRUE(writer.started());
      ASSERT_TRUE(writer.waitForAcks(acks, std::chrono::steady_clock::now() + kRoundTimeout))
          << "the writer stopped or stalled";
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      writer.killNow();
      writer.drain();
      stored = std::max(stored, writer.lastAcknowledged());
    }
    const std::int64_t acknowledged = stored;

    // Checked through a plain connection first: the store would replace a
    // damaged file without saying so.
    {
      RawConnection raw(path);
      ASSERT_EQ(raw.scalar("PRAGMA integrity_check"), "ok");
    }
    Error error;
    std::unique_ptr<TLMSqliteStore> store = TLMSqliteStore::createWithDatabasePath(path, &error);
    ASSERT_NE(store, nullptr) << error.toString();
    std::optional<bool> exists = store->tableExists(kCrashTable, &error);
    ASSERT_TRUE(exists.has_value());
    if (!*exists) {
      ASSERT_EQ(acknowledged, 0);
      continue;
    }
    std::optional<std::vector<TLMSqliteRecord>> rows =
        store->recordsForQuery(std::string("SELECT number, name, payload, checksum FROM ") +
                                   kCrashTable + " ORDER BY number",
                               {}, &error);
    ASSERT_TRUE(rows.has_value()) << error.toString();
    const std::int64_t count = static_cast<std::int64_t>(rows->size());
    EXPECT_GE(count, acknowledged);
    EXPECT_LE(count, acknowledged + 1);
    for (std::int64_t i = 0; i < count; ++i) {
      const TLMSqliteRecord& row = rows->at(static_cast<std::size_t>(i));
      const std::int64_t number = i + 1;
      ASSERT_EQ(row.at("number"), Object::integer(number));
      ASSERT_EQ(row.at("name"), Object(crashName(number)));
      const Bytes payload = crashPayload(number);
      ASSERT_EQ(row.at("payload"), Object::data(payload)) << "row " << number;
      ASSERT_EQ(row.at("checksum"), Object::integer(crashChecksum(payload)));
    }
    stored = count;
  }
  EXPECT_GT(stored, 0);
}

}  // namespace
