// Time sources. Wall time is seconds since 1970 as a double; uptime is
// seconds since boot and never moves when the wall clock is changed.
// Thread-safe.
#pragma once

#include <mutex>

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds since 1970.
  virtual double now() const = 0;
  // Seconds since boot; monotonic, includes time spent suspended.
  virtual double uptime() const = 0;
};

// CLOCK_REALTIME and CLOCK_BOOTTIME.
class SystemClock final : public Clock {
 public:
  double now() const override;
  double uptime() const override;
};

// A clock that moves only when told to. Wall time and uptime move
// separately: `setNow` changes the wall clock only, `advance` moves both.
class FakeClock final : public Clock {
 public:
  explicit FakeClock(double wall = 1767225600.0, double uptime = 1000.0);
  double now() const override;
  double uptime() const override;
  void setNow(double wall);
  void setUptime(double uptime);
  // Moves wall time and uptime forward together.
  void advance(double seconds);
  // Moves uptime forward to `uptime` and the wall clock by the same amount;
  // never moves backwards. Used by the deterministic executor to fire
  // timers at their exact due time.
  void advanceUptimeTo(double uptime);
  // Test-only: from now on every read (of either time) moves both forward
  // by `seconds` after answering, so that no two reads are equal. 0 stops.
  void TEST_setAdvanceOnRead(double seconds);

 private:
  // Called with the mutex held.
  void stepAfterRead() const;

  mutable std::mutex mutex_;
  // Mutable only for the advance-on-read test mode.
  mutable double wall_;
  mutable double uptime_;
  double advanceOnRead_ = 0;
};
