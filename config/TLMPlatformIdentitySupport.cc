#include "config/TLMPlatformIdentitySupport.h"

#include "common/SharedInstance.h"
#include "platform/AdvertisingIdentifier.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Platform.h"

std::shared_ptr<TLMPlatformIdentitySupport> TLMPlatformIdentitySupport::sharedInstance() {
  static SharedInstance<TLMPlatformIdentitySupport> instance;
  return instance.get(
      [] { return std::make_shared<TLMPlatformIdentitySupport>(Platform::installed()); });
}

TLMPlatformIdentitySupport::TLMPlatformIdentitySupport(const std::shared_ptr<Platform>& platform)
    : platform_(platform) {
  if (platform == nullptr) return;
  CapabilityRegistry& registry = platform->capabilities();
  hasTrackingManagerClass_ = registry.classExists(kTrackingManagerClassName);
  if (registry.respondsToSelector(kAdvertisingIdentifierManagerClassName,
                                  kAdvertisingIdentifierManagerSharedManagerSelector)) {
    identifierManager_ = &platform->advertisingIdentifier();
  }
}

bool TLMPlatformIdentitySupport::responds(const char* className, const char* selector) const {
  std::shared_ptr<Platform> platform = platform_.lock();
  return platform != nullptr && platform->capabilities().respondsToSelector(className, selector);
}

bool TLMPlatformIdentitySupport::hasAppDataConsentStatus() const {
  return hasTrackingManagerClass_;
}

long TLMPlatformIdentitySupport::appDataConsentStatus() const {
  if (!hasTrackingManagerClass_ ||
      !responds(kTrackingManagerClassName, kTrackingAuthorizationStatusSelector)) {
    return -1;
  }
  std::shared_ptr<Platform> platform = platform_.lock();
  if (platform == nullptr) return -1;
  return static_cast<long>(platform->trackingAuthorization().trackingAuthorizationStatus());
}

bool TLMPlatformIdentitySupport::hasLimitedAdTracking() const {
  return identifierManager_ != nullptr;
}

bool TLMPlatformIdentitySupport::limitedAdTracking() const {
  if (identifierManager_ == nullptr ||
      !responds(kAdvertisingIdentifierManagerClassName, kAdvertisingTrackingEnabledSelector)) {
    return false;
  }
  std::shared_ptr<Platform> platform = platform_.lock();
  if (platform == nullptr) return false;
  return !identifierManager_->isAdvertisingTrackingEnabled();
}

std::optional<std::string> TLMPlatformIdentitySupport::resettableDeviceID() const {
  if (identifierManager_ == nullptr ||
      !responds(kAdvertisingIdentifierManagerClassName, kAdvertisingIdentifierSelector)) {
    return std::nullopt;
  }
  std::shared_ptr<Platform> platform = platform_.lock();
  if (platform == nullptr) return std::nullopt;
  return identifierManager_->advertisingIdentifier();
}
