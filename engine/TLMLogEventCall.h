// One log call as the facade hands it to the engine: everything the event
// entry needs, captured on the caller's thread and the serial queue.
#pragma once

#include <string>

#include "ferrolux/Object.h"
#include "ferrolux/QLFAnalytics.h"

using TLMLogEventInterceptor = QLFLogEventInterceptor;

struct TLMLogEventCall {
  std::string origin;
  bool isPublicEvent = false;
  std::string name;
  OptionalObject parameters;
  // Seconds since 1970, read when the event was logged.
  double timestamp = 0;
  // The facade's enabled flag when the call left its serial queue.
  bool enabled = false;
  bool ignoreEnabled = false;
  bool ignoreInterceptor = false;
  // Empty when none is set.
  TLMLogEventInterceptor interceptor;
  // The current screen's parameters taken on the caller's thread; none
  // when they were not taken.
  OptionalObject addedScreenParameters;
};
