// Ad-network attribution registration. The host platform has no ad network,
// so the layer records the calls made, for the host's diagnostics and for
// tests. Thread-safe.
#pragma once

#include <mutex>
#include <string>
#include <vector>

// The class name and selector the registration is looked up by.
inline constexpr char kAdNetworkClassName[] = "SKAdNetwork";
inline constexpr char kRegisterAppForAdNetworkAttributionSelector[] =
    "registerAppForAdNetworkAttribution";

class AdNetwork {
 public:
  // Registers the app for ad-network attribution; later calls repeat it.
  void registerAppForAdNetworkAttribution();

  // --- Host/test -------------------------------------------------------------
  int registrationCount() const;
  // The selectors called, in order.
  std::vector<std::string> calls() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};
