// The platform core's default app. Configuring it reads the bundle's
// options and starts the analytics component (QLFAnalytics), once per
// process.
//
// Thread-safe: configure may be called from any thread (apps call it on
// the main thread early in launch); only the first successful call takes
// effect.
#pragma once

#include <optional>

#include "core/QLFOptions.h"

inline constexpr char kQLFLoggerCore[] = "[Quillfen/Core]";
// Console message codes of the core.
inline constexpr long kQLFCoreCodeAlreadyConfigured = 1001;
inline constexpr long kQLFCoreCodeNoOptions = 1002;

class QLFApp {
 public:
  QLFApp() = delete;

  // Configures the default app with QLFOptions::defaultOptions(). Returns
  // false (and logs) when the bundle has no usable options or the default
  // app is already configured.
  static bool configure();
  // The same with the given options.
  static bool configureWithOptions(const QLFOptions& options);
  static bool isDefaultAppConfigured();
  // The default app's options; none before configure.
  static std::optional<QLFOptions> defaultAppOptions();
};
