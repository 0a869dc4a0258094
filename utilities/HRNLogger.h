// The utilities framework's console logger: one record per call on
// standard error, filtered by a process-wide threshold.
//
// Safe from any thread. The threshold and the sink are process-wide, as
// the console is; records from concurrent calls never interleave.
#pragma once

#include <functional>
#include <string>
#include <string_view>

// Severity levels in the system-log numbering; a larger value is chattier.
enum class HRNLoggerLevel : int {
  Error = 3,
  Warning = 4,
  Notice = 5,
  Info = 6,
  Debug = 7,
};

inline constexpr HRNLoggerLevel kHRNLoggerLevelMin = HRNLoggerLevel::Error;
inline constexpr HRNLoggerLevel kHRNLoggerLevelMax = HRNLoggerLevel::Debug;
// The threshold until someone sets another one.
inline constexpr HRNLoggerLevel kHRNLoggerDefaultLevel = HRNLoggerLevel::Notice;

// Sets the threshold: records above it are dropped unless forced. A level
// outside Error...Debug is ignored.
void HRNSetLoggerLevel(HRNLoggerLevel level);
HRNLoggerLevel HRNLoggerCurrentLevel();
// Whether a record of `level` passes the threshold.
[[nodiscard]] bool HRNIsLoggableLevel(HRNLoggerLevel level);

// The message code string of a numeric code: "I-ACS" and six digits
// ("I-ACS025032" for 25032).
std::string HRNMessageCode(long code);

// Writes one record when `force` is set or `level` passes the threshold:
//   "2026-01-01 12:00:00.123 +0000 E <Ferrolux>[I-ACS025032] text"
// (UTC time with milliseconds, level letter E/W/N/I/D, service, message
// code, text). The text is written as it is: no format directives are
// interpreted, so "%" needs no escaping.
void HRNLogBasic(HRNLoggerLevel level, std::string_view service, bool force,
                 std::string_view messageCode, std::string_view message);

void HRNLogError(std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message);
void HRNLogWarning(std::string_view service, bool force, std::string_view messageCode,
                   std::string_view message);
void HRNLogNotice(std::string_view service, bool force, std::string_view messageCode,
                  std::string_view message);
void HRNLogInfo(std::string_view service, bool force, std::string_view messageCode,
                std::string_view message);
void HRNLogDebug(std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message);

// Test hooks. The sink receives each record without its trailing newline
// instead of standard error; an empty function restores standard error.
// The time source answers seconds since 1970; an empty function restores
// the system clock.
void HRNLogger_TEST_setSink(std::function<void(const std::string&)> sink);
void HRNLogger_TEST_setTimeSource(std::function<double()> now);
