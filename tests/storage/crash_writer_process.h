// A crash-test writer: a child program started with (root, database path)
// that prints one number per acknowledged commit on its standard output;
// the test reads the numbers and kills the child at a moment it chooses.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

extern char** environ;

class CrashWriterProcess {
 public:
  CrashWriterProcess(std::string program, const std::string& root,
                     const std::string& databasePath) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> argv = {program.data(), const_cast<char*>(root.c_str()),
                               const_cast<char*>(databasePath.c_str()), nullptr};
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    readFd_ = fds[0];
  }
  ~CrashWriterProcess() {
    killNow();
    if (readFd_ >= 0) ::close(readFd_);
  }

  CrashWriterProcess(const CrashWriterProcess&) = delete;
  CrashWriterProcess& operator=(const CrashWriterProcess&) = delete;

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
