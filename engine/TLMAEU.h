// The app-environment facts the rest of the library relies on, answered
// from the installed Platform's device profile and bundle.
//
// Class methods only; safe from any thread once the Platform is installed.
#pragma once

#include <string>

class Application;

class TLMAEU {
 public:
  // The OS major version is greater than 7.
  static bool isOSSupported();
  // The device's system version string ("17.5").
  static std::string systemVersion();
  // The hardware model ("iPhone15,2"; "x86_64" on the simulator).
  static std::string deviceModel();
  // Running on the simulator: the model is "x86_64" or "i386".
  static bool isNOD();
  // A sandbox test installation.
  static bool isASRS();
  // An App Store installation; never on the simulator or in a sandbox test
  // installation.
  static bool isFAS();
  // Running as an app extension (the main bundle path ends in ".appex").
  static bool isAEX();
  // The shared application object; null in an app extension. The
  // application class is part of this platform layer and always present,
  // so the original's look-up by class name has nothing to find missing.
  static Application* sharedApplication();
};
