#include "platform/Clock.h"

#include <time.h>

namespace {

double readClock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

double SystemClock::now() const { return readClock(CLOCK_REALTIME); }

// The boot-time clock keeps counting while the machine sleeps and ignores
// changes to the wall clock, like the original platform's uptime.
double SystemClock::uptime() const { return readClock(CLOCK_BOOTTIME); }

FakeClock::FakeClock(double wall, double uptime) : wall_(wall), uptime_(uptime) {}

double FakeClock::now() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const double wall = wall_;
  stepAfterRead();
  return wall;
}

double FakeClock::uptime() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const double uptime = uptime_;
  stepAfterRead();
  return uptime;
}

void FakeClock::TEST_setAdvanceOnRead(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  advanceOnRead_ = seconds;
}

void FakeClock::stepAfterRead() const {
  wall_ += advanceOnRead_;
  uptime_ += advanceOnRead_;
}

void FakeClock::setNow(double wall) {
  std::lock_guard<std::mutex> lock(mutex_);
  wall_ = wall;
}

void FakeClock::setUptime(double uptime) {
  std::lock_guard<std::mutex> lock(mutex_);
  uptime_ = uptime;
}

void FakeClock::advance(double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  wall_ += seconds;
  uptime_ += seconds;
}

void FakeClock::advanceUptimeTo(double uptime) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (uptime <= uptime_) return;
  wall_ += uptime - uptime_;
  uptime_ = uptime;
}
