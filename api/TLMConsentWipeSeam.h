// The seam through which a withdrawn consent reaches the analytics-data
// reset.
//
// When consent that was granted is withdrawn, the data is wiped at once if
// the engine exists and has finished initialising its components, else
// the wipe is deferred to the engine's start. The engine and the facade's
// `resetAnalyticsData` come later; they connect the two questions here.
// Until then the engine counts as not ready, so every wipe is deferred.
//
// Safe from any thread. The connected functions are called on the
// caller's thread, outside the seam's lock.
#pragma once

#include <functional>

class TLMConsentWipeSeam {
 public:
  struct Hooks {
    // Whether an engine exists and has finished initialising.
    std::function<bool()> isEngineInitialized;
    // Resets the analytics data now (the facade's resetAnalyticsData).
    std::function<void()> resetAnalyticsData;
  };

  // Connects `hooks`; empty hooks disconnect.
  static void connect(Hooks hooks);

  static bool isEngineInitialized();
  // Returns false, doing nothing, when no reset is connected.
  static bool resetAnalyticsData();
};
