#include "tools/sim/SimClock.h"

#include <errno.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr char kFormat[] = "clock %a %a %a\n";

}  // namespace

void SimClock::moveTo(double t) {
  const double delta = t - scenarioTime();
  if (delta <= 0) return;
  wall += delta;
  uptime += delta;
}

std::string SimClock::encode() const {
  char text[160];
  std::snprintf(text, sizeof text, kFormat, wall, uptime, originUptime);
  return text;
}

std::optional<SimClock> SimClock::decode(const std::string& text) {
  SimClock clock;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "clock %la %la %la\n%n", &clock.wall, &clock.uptime,
                  &clock.originUptime, &consumed) != 3 ||
      static_cast<std::size_t>(consumed) != text.size()) {
    return std::nullopt;
  }
  return clock;
}

bool simWriteAll(int fd, const std::string& text) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> simReadAll(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}
