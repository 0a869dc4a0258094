// Conversions between the model's times (seconds since 1970, doubles) and
// the milliseconds of the storage and upload messages (signed 64-bit).
//
// Plain functions, safe from any thread.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

// Seconds × 1000, truncated toward zero. Converting a double outside the
// int64 range (or NaN) to an integer is undefined in C++, so NaN gives 0 and
// everything beyond the range (infinities included) gives the nearest
// limit.
inline std::int64_t tlm_millisecondsFromSeconds(double seconds) {
  const double milliseconds = seconds * 1000.0;
  if (std::isnan(milliseconds)) return 0;
  // 2^63: the first double past INT64_MAX. -2^63 itself is representable.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (milliseconds >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
  if (milliseconds < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(milliseconds);
}

inline double tlm_secondsFromMilliseconds(std::int64_t milliseconds) {
  return static_cast<double>(milliseconds) / 1000.0;
}

// Whether `seconds` may enter the model as a time: NaN and the infinities
// may not.
inline bool tlm_isFiniteTime(double seconds) { return std::isfinite(seconds); }
