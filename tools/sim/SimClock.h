// The virtual clock carried from one process life to the next: wall time
// and uptime, and where the scenario's time 0 lies on the uptime axis.
// Between lives nothing runs, so the parent moves both by the same amount;
// within a life the child's fake clock moves them and hands them back
// through a pipe when the life ends.
#pragma once

#include <optional>
#include <string>

struct SimClock {
  double wall = 0;
  double uptime = 0;
  // The uptime at scenario time 0.
  double originUptime = 0;

  // The scenario time the clock shows.
  double scenarioTime() const { return uptime - originUptime; }
  // Moves to scenario time `t` when that is ahead.
  void moveTo(double t);

  // One line, exact to the last bit of both doubles.
  std::string encode() const;
  // None when `text` is not what encode() wrote.
  static std::optional<SimClock> decode(const std::string& text);
};

// Writes all of `text` to `fd`, retrying after signals. False on failure.
[[nodiscard]] bool simWriteAll(int fd, const std::string& text);
// Reads `fd` to its end. None on a read error.
std::optional<std::string> simReadAll(int fd);
