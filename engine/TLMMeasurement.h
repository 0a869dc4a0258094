// The measurement engine's process-wide entry points.
//
// For now only the diagnostics monitor and the remote flags; the engine
// itself joins this class later. Both accessors are safe from any thread.
#pragma once

class TLMMonitor;
class TLMRemoteConfig;

class TLMMeasurement {
 public:
  // The process's diagnostics monitor, created on first use with level 6,
  // a console logger and the library version; never destroyed.
  static TLMMonitor& monitor();
  // The remote flags: until the engine exists, the default instance (every
  // flag at its default).
  static TLMRemoteConfig& remoteConfig();
};
