#include "utilities/HRNLogger.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

struct LoggerState {
  std::atomic<int> level{static_cast<int>(kHRNLoggerDefaultLevel)};
  std::mutex mutex;  // guards the hooks and serialises writes
  std::function<void(const std::string&)> sink;
  std::function<double()> now;
};

// Leaked on purpose: records may still be written from pool threads while
// the process exits.
LoggerState& state() {
  static LoggerState* instance = new LoggerState;
  return *instance;
}

char levelLetter(HRNLoggerLevel level) {
  switch (level) {
    case HRNLoggerLevel::Error:
      return 'E';
    case HRNLoggerLevel::Warning:
      return 'W';
    case HRNLoggerLevel::Notice:
      return 'N';
    case HRNLoggerLevel::Info:
      return 'I';
    case HRNLoggerLevel::Debug:
      return 'D';
  }
  return '?';
}

double systemNow() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string formatTimestamp(double secondsSince1970) {
  const double whole = std::floor(secondsSince1970);
  auto milliseconds = static_cast<int>((secondsSince1970 - whole) * 1000);
  if (milliseconds > 999) milliseconds = 999;
  const auto seconds = static_cast<std::time_t>(whole);
  std::tm utc{};
  if (!gmtime_r(&seconds, &utc)) return "0000-00-00 00:00:00.000 +0000";
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d +0000", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
  return text;
}

}  // namespace

void HRNSetLoggerLevel(HRNLoggerLevel level) {
  const int value = static_cast<int>(level);
  if (value < static_cast<int>(kHRNLoggerLevelMin) ||
      value > static_cast<int>(kHRNLoggerLevelMax)) {
    return;
  }
  state().level.store(value, std::memory_order_relaxed);
}

HRNLoggerLevel HRNLoggerCurrentLevel() {
  return static_cast<HRNLoggerLevel>(state().level.load(std::memory_order_relaxed));
}

bool HRNIsLoggableLevel(HRNLoggerLevel level) {
  return static_cast<int>(level) <= state().level.load(std::memory_order_relaxed);
}

std::string HRNMessageCode(long code) {
  char text[32];
  std::snprintf(text, sizeof text, "I-ACS%06ld", code);
  return text;
}

void HRNLogBasic(HRNLoggerLevel level, std::string_view service, bool force,
                 std::string_view messageCode, std::string_view message) {
  if (!force && !HRNIsLoggableLevel(level)) return;
  LoggerState& logger = state();
  std::lock_guard<std::mutex> lock(logger.mutex);
  std::string record = formatTimestamp(logger.now ? logger.now() : systemNow());
  record += ' ';
  record += levelLetter(level);
  record += ' ';
  record += service;
  record += '[';
  record += messageCode;
  record += "] ";
  record += message;
  if (logger.sink) {
    logger.sink(record);
    return;
  }
  record += '\n';
  std::fwrite(record.data(), 1, record.size(), stderr);
}

void HRNLogError(std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message) {
  HRNLogBasic(HRNLoggerLevel::Error, service, force, messageCode, message);
}

void HRNLogWarning(std::string_view service, bool force, std::string_view messageCode,
                   std::string_view message) {
  HRNLogBasic(HRNLoggerLevel::Warning, service, force, messageCode, message);
}

void HRNLogNotice(std::string_view service, bool force, std::string_view messageCode,
                  std::string_view message) {
  HRNLogBasic(HRNLoggerLevel::Notice, service, force, messageCode, message);
}

void HRNLogInfo(std::string_view service, bool force, std::string_view messageCode,
                std::string_view message) {
  HRNLogBasic(HRNLoggerLevel::Info, service, force, messageCode, message);
}

void HRNLogDebug(std::string_view service, bool force, std::string_view messageCode,
                 std::string_view message) {
  HRNLogBasic(HRNLoggerLevel::Debug, service, force, messageCode, message);
}

void HRNLogger_TEST_setSink(std::function<void(const std::string&)> sink) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().sink = std::move(sink);
}

void HRNLogger_TEST_setTimeSource(std::function<double()> now) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().now = std::move(now);
}
