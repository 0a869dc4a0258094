// What identity reads about advertising and tracking: the platform's
// answers (TLMPlatformIdentitySupport) with the OS-version rule for limited
// ad tracking. Safe from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

class TLMPlatformIdentitySupport;

class TLMDefaultIdentitySupport {
 public:
  // Over the shared TLMPlatformIdentitySupport.
  static std::shared_ptr<TLMDefaultIdentitySupport> sharedInstance();
  // Whether the installed Platform's OS version is at least 14.0.0.
  static bool iOS14OrAbove();

  explicit TLMDefaultIdentitySupport(std::shared_ptr<TLMPlatformIdentitySupport> platformSupport);

  bool hasAppDataConsentStatus() const;
  // The raw platform status, -1 when unavailable.
  long appDataConsentStatus() const;
  bool hasLimitedAdTracking() const;
  // On 14 and later: whether the identifier is missing or all zeros. Before
  // 14: the platform's answer (false when it cannot answer).
  bool limitedAdTracking() const;
  std::optional<std::string> resettableDeviceID() const;

 private:
  const std::shared_ptr<TLMPlatformIdentitySupport> platformSupport_;
};
