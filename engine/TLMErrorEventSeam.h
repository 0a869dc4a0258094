// The seam through which the error event reaches the internal-event path.
//
// The error event is logged through `TLMAnalytics
// logInternalEventWithOrigin:name:parameters:`, which belongs to the public
// interface. Validation sits below that interface, so it calls this seam
// instead; the public interface connects the seam to that method when it
// starts. Until something is connected, events are dropped.
//
// Safe from any thread. The connected function is called on the caller's
// thread, outside any lock of the seam, so it may log further events.
#pragma once

#include <functional>
#include <string>

#include "ferrolux/Object.h"

class TLMErrorEventSeam {
 public:
  // Receives (origin, name, parameters); parameters are plain objects.
  using InternalEventLogger = std::function<void(const std::string& origin, const std::string& name,
                                                 const ObjectDictionary& parameters)>;

  // Connects `logger`; an empty function disconnects.
  static void connect(InternalEventLogger logger);
  static bool isConnected();

  // Hands the event to the connected function, or drops it.
  static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                         const ObjectDictionary& parameters);
};
