// Process-wide convenience accessors for the identifiers other components
// report: app IDs, the app instance ID, ad event IDs, the library version
// and the data collection origin. Each identity read prefers the running
// engine's identity and falls back to TLMIdentity::sharedInstance() when
// no engine exists. Safe from any thread (never from the identity queue).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TLMIdentity;

// Monitor codes.
inline constexpr long kTLMIdentifiersCodeNoAppIDFromIdentity = 37000;
inline constexpr long kTLMIdentifiersCodeNoAppIDFromDefaults = 37001;
inline constexpr long kTLMIdentifiersCodeNoAppInstanceIDFromIdentity = 37002;
inline constexpr long kTLMIdentifiersCodeNoAppInstanceIDFromShared = 37003;
inline constexpr long kTLMIdentifiersCodeEmptyOrigin = 37004;
inline constexpr long kTLMIdentifiersCodeNoEffectiveAppID = 37005;

class TLMIdentifiers {
 public:
  // The running engine's identity, or null when no engine exists.
  using EngineIdentityProvider = std::function<std::shared_ptr<TLMIdentity>()>;

  static std::shared_ptr<TLMIdentifiers> sharedInstance();

  // Draws the ad event counter's start from `firstAdEventID`.
  explicit TLMIdentifiers(std::uint64_t firstAdEventID);

  // The engine installs this when it starts (and clears it when it goes).
  void setEngineIdentityProvider(EngineIdentityProvider provider);

  // The measurement app ID; none logs level 2, 37000 (engine) or 37001.
  std::optional<std::string> tarvixAppID();
  // The measurement app ID when non-empty, else the ad-network app ID;
  // none logs level 2, 37005.
  std::optional<std::string> analyticsAppID();
  // None logs level 2, 37002 (engine) or 37003.
  std::optional<std::string> appInstanceID();
  // The next value of the process's counter as a signed decimal; the
  // counter starts at a random value and wraps in two's complement.
  std::string adEventID();
  // The library version as a decimal string.
  static std::string libraryVersion();

  // An empty origin logs level 2, 37004 and is ignored.
  void setOrigin(const std::string& origin);
  std::optional<std::string> origin() const;

 private:
  // The identity to ask and whether it came from the engine.
  std::shared_ptr<TLMIdentity> identity(bool* fromEngine);

  mutable std::mutex mutex_;
  std::optional<std::string> origin_;
  EngineIdentityProvider engineIdentity_;
  std::atomic<std::uint64_t> nextAdEventID_;
};
