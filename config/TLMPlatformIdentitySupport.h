// The platform's advertising and tracking-authorisation classes, looked up
// by name ("ATTrackingManager", "ASIdentifierManager") so that an app need
// not link them. Every call is made only after checking that the receiver
// responds to its selector. Safe from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

class AdvertisingIdentifierManager;
class Platform;

class TLMPlatformIdentitySupport {
 public:
  // Looked up once per process, on the installed Platform.
  static std::shared_ptr<TLMPlatformIdentitySupport> sharedInstance();

  // Looks the classes up in `platform`'s capability registry now.
  explicit TLMPlatformIdentitySupport(const std::shared_ptr<Platform>& platform);

  // Whether the tracking-manager class is present.
  bool hasAppDataConsentStatus() const;
  // The raw tracking-authorisation status; -1 when the class is absent or
  // does not answer.
  long appDataConsentStatus() const;
  // Whether the advertising-identifier manager is present.
  bool hasLimitedAdTracking() const;
  // The negation of "isAdvertisingTrackingEnabled"; false when the manager
  // cannot answer.
  bool limitedAdTracking() const;
  // The advertising identifier's UUID string, or none.
  std::optional<std::string> resettableDeviceID() const;

 private:
  bool responds(const char* className, const char* selector) const;

  const std::weak_ptr<Platform> platform_;
  // The tracking-manager class; none when absent.
  bool hasTrackingManagerClass_ = false;
  // The identifier manager's shared object; null when absent.
  AdvertisingIdentifierManager* identifierManager_ = nullptr;
};
