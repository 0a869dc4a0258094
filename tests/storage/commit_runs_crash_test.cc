// Crash safety of commit runs: a child process stores events (a row plus a
// counter update each) through batched transactions and prints the last
// number of each run once its commit has returned; it is killed with
// SIGKILL at a random moment, again and again. Every time the database
// must pass its integrity check, hold every event up to the last
// acknowledged one (except those that failed on purpose), only whole
// events, and a counter equal to the number of stored events.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "storage/crash_batch_rows.h"
#include "storage/crash_rows.h"
#include "storage/store_test_support.h"

extern char** environ;

namespace {

constexpr int kRounds = 15;
constexpr int kMaxAcksPerRound = 20;
constexpr int kMaxExtraDelayMicroseconds = 4000;
constexpr auto kRoundTimeout = std::chrono::seconds(20);

// A running writer whose standard output is read line by line.
class BatchWriter {
 public:
  BatchWriter(const std::string& root, const std::string& databasePath) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string program = FERROLUX_CRASH_BATCH_WRITER_PATH;
    std::vector<char*> argv = {program.data(), const_cast<char*>(root.c_str()),
                               const_cast<char*>(databasePath.c_str()), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    readFd_ = fds[0];
  }
  ~BatchWriter() {
    killNow();
    if (readFd_ >= 0) ::close(readFd_);
  }
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  bool started() const { return pid_ > 0; }

  // Reads until `count` commits were acknowledged, the output ends or the
  // deadline passes. Returns whether `count` was reached.
  bool waitForAcks(int count, std::chrono::steady_clock::time_point deadline) {
    while (acks_ < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd entry{readFd_, POLLIN, 0};
      if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
      if (!readSome()) return false;
    }
    return true;
  }

  void killNow() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  void drain() {
    while (readSome()) {
    }
  }

  std::int64_t lastAcknowledged() const { return last_; }

 private:
  bool readSome() {
    char buffer[4096];
    const ssize_t got = ::read(readFd_, buffer, sizeof(buffer));
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(got));
    std::size_t newline;
    while ((newline = pending_.find('\n')) != std::string::npos) {
      last_ = std::stoll(pending_.substr(0, newline));
      ++acks_;
      pending_.erase(0, newline + 1);
    }
    return true;
  }

  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string pending_;
  int acks_ = 0;
  std::int64_t last_ = 0;
};

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
      BatchWriter writer(platform_.root(), path);
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
