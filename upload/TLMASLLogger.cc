#include "upload/TLMASLLogger.h"

#include <cstdio>
#include <string>

void TLMASLLogger::logMessage(std::string_view message, std::string_view logTag, long messageCode,
                              int logLevel) {
  // The console logger writes the text as it is, so a "%" needs no
  // escaping: doubling it would print it twice.
  HRNLogBasic(HRNLoggerLevelFromLogLevel(logLevel), logTag, logLevel == 7,
              messageCodeString(messageCode), message);
}

HRNLoggerLevel TLMASLLogger::HRNLoggerLevelFromLogLevel(int logLevel) {
  switch (logLevel) {
    case 0:
    case 1:
    case 2:
      return HRNLoggerLevel::Error;
    case 3:
    case 4:
    case 5:
      return HRNLoggerLevel::Warning;
    case 6:
      return HRNLoggerLevel::Notice;
    case 7:
    case 8:
      return HRNLoggerLevel::Debug;
    default:
      return HRNLoggerLevel::Warning;
  }
}

std::string TLMASLLogger::messageCodeString(long messageCode) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "I-ACS%06ld", messageCode);
  return buffer;
}
