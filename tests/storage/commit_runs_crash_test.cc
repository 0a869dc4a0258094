// Crash safety of commit runs: a child process stores events (a row plus a
// counter update each) through batched transactions and prints the last
// number of each run once its commit has returned; it is killed with
// SIGKILL at a random moment, again and again. Every time the database
// must pass its integrity check, hold every event up to the last
// acknowledged one (except those that failed on purpose), only whole
// events, and a counter equal to the number of stored events.

#include <chrono>
#include <random>
#include <thread>

#include "storage/crash_batch_rows.h"
#include "storage/crash_rows.h"
#include "storage/crash_writer_process.h"
#include "storage/store_test_support.h"

namespace {

constexpr int kRounds = 15;
constexpr int kMaxAcksPerRound = 20;
constexpr int kMaxExtraDelayMicroseconds = 4000;
constexpr auto kRoundTimeout = std::chrono::seconds(20);

using CommitRunsCrashTest = StoreTest;

TEST_F(CommitRunsCrashTest, KilledWriterKeepsEveryCommittedRunAndOnlyWholeEvents) {
  const std::string path = databasePath();
  std::mt19937 random(20261206);
  std::uniform_int_distribution<int> acksToWait(0, kMaxAcksPerRound);
  std::uniform_int_distribution<int> extraDelay(0, kMaxExtraDelayMicroseconds);
  std::int64_t acknowledged = 0;
  std::int64_t highestStored = 0;

  for (int round = 0; round < kRounds; ++round) {
    const int acks = acksToWait(random);
    const int delay = extraDelay(random);
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(acks) + " acks + " +
                 std::to_string(delay) + " us");
    {
      CrashWriterProcess writer(FERROLUX_CRASH_BATCH_WRITER_PATH, platform_.root(), path);
      ASSERT_TRUE(writer.started());
      ASSERT_TRUE(writer.waitForAcks(acks, std::chrono::steady_clock::now() + kRoundTimeout))
          << "the writer stopped or stalled";
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      writer.killNow();
      writer.drain();
      acknowledged = std::max(acknowledged, writer.lastAcknowledged());
    }

    RawConnection raw(path);
    ASSERT_EQ(raw.scalar("PRAGMA integrity_check"), "ok");
    if (raw.scalar(std::string("SELECT count(*) FROM sqlite_master WHERE name = '") +
                   kCrashCountTable + "'") != "1") {
      ASSERT_EQ(acknowledged, 0);
      continue;
    }
    const std::vector<std::string> numbers =
        raw.column(std::string("SELECT number FROM ") + kCrashEventsTable + " ORDER BY number");
    const std::string counter = raw.scalar(std::string("SELECT n FROM ") + kCrashCountTable);
    // No event is half stored: the counter moved exactly with the rows.
    ASSERT_EQ(counter, std::to_string(numbers.size()));

    // The stored numbers are 1, 2, ... without the failing ones, reaching
    // at least the last acknowledged number.
    std::int64_t expected = 0;
    for (const std::string& text : numbers) {
      do {
        ++expected;
      } while (crashEventFails(expected));
      ASSERT_EQ(std::stoll(text), expected);
    }
    std::int64_t lastWhole = acknowledged;
    while (lastWhole > 0 && crashEventFails(lastWhole)) --lastWhole;
    EXPECT_GE(expected, lastWhole);
    EXPECT_GE(expected, highestStored) << "a committed run went missing";
    highestStored = expected;

    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(
            raw.handle(),
            (std::string("SELECT number, payload, checksum FROM ") + kCrashEventsTable).c_str(), -1,
            &statement, nullptr),
        SQLITE_OK);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const std::int64_t number = sqlite3_column_int64(statement, 0);
      const Bytes expectedPayload = crashPayload(number);
      const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, 1));
      const Bytes payload(bytes, bytes + sqlite3_column_bytes(statement, 1));
      EXPECT_EQ(payload, expectedPayload) << "event " << number;
      EXPECT_EQ(sqlite3_column_int64(statement, 2), crashChecksum(expectedPayload));
    }
    sqlite3_finalize(statement);
  }
  EXPECT_GT(highestStored, 0);
}

}  // namespace
