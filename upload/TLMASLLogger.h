// The monitor's console output: one record per printed report through the
// utilities logger. Subclass to observe what the monitor prints.
//
// Called on the monitor queue.
#pragma once

#include <string_view>

#include "utilities/HRNLogger.h"

class TLMASLLogger {
 public:
  virtual ~TLMASLLogger() = default;

  // Writes `message` with the mapped level of `logLevel`, `logTag` as the
  // service and the code as "I-ACS%06ld"; forced exactly for level 7. The
  // text is written as it is ("%" is not a directive).
  virtual void logMessage(std::string_view message, std::string_view logTag, long messageCode,
                          int logLevel);

  // The console level of a monitor level: 0-2 error, 3-5 warning, 6
  // notice, 7-8 debug, anything else warning.
  static HRNLoggerLevel HRNLoggerLevelFromLogLevel(int logLevel);
  // "I-ACS" and the code in at least six digits with leading zeros.
  static std::string messageCodeString(long messageCode);
};
