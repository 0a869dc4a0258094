// Crash safety: a child process stores rows, one transaction each, and
// prints each number once its commit has returned; it is killed with
// SIGKILL at a random moment, twenty times over. Every time the database
// must pass its integrity check, hold every acknowledged row, at most one
// more, and no partial row.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "storage/crash_rows.h"
#include "storage/store_test_support.h"

extern char** environ;

namespace {

constexpr int kRounds = 20;
// Acknowledged commits to wait for before the random extra delay; keeps
// the whole test to a few seconds.
constexpr int kMaxAcksPerRound = 60;
constexpr int kMaxExtraDelayMicroseconds = 3000;
constexpr auto kRoundTimeout = std::chrono::seconds(20);

// A running writer whose standard output is read line by line.
class Writer {
 public:
  Writer(const std::string& root, const std::string& databasePath) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::string program = FERROLUX_CRASH_WRITER_PATH;
    std::vector<char*> argv = {program.data(), const_cast<char*>(root.c_str()),
                               const_cast<char*>(databasePath.c_str()), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    readFd_ = fds[0];
  }
  ~Writer() {
    killNow();
    if (readFd_ >= 0) ::close(readFd_);
  }

  bool started() const { return pid_ > 0; }

  // Reads until `count` numbers have been printed, the output ends or the
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

  // After the kill: reads what the writer printed before it died.
  void drain() {
    while (readSome()) {
    }
  }

  // The highest number printed on a complete line; 0 when none.
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
      Writer writer(platform_.root(), path);
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
