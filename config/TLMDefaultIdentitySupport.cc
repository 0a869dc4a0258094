#include "config/TLMDefaultIdentitySupport.h"

#include "common/SharedInstance.h"
#include "config/TLMPlatformIdentitySupport.h"
#include "platform/AdvertisingIdentifier.h"
#include "platform/Platform.h"

namespace {
constexpr int kTrackingAuthorizationMajorVersion = 14;
}  // namespace

std::shared_ptr<TLMDefaultIdentitySupport> TLMDefaultIdentitySupport::sharedInstance() {
  static SharedInstance<TLMDefaultIdentitySupport> instance;
  return instance.get([] {
    return std::make_shared<TLMDefaultIdentitySupport>(
        TLMPlatformIdentitySupport::sharedInstance());
  });
}

bool TLMDefaultIdentitySupport::iOS14OrAbove() {
  return Platform::current().device().osVersionComponents().major >=
         kTrackingAuthorizationMajorVersion;
}

TLMDefaultIdentitySupport::TLMDefaultIdentitySupport(
    std::shared_ptr<TLMPlatformIdentitySupport> platformSupport)
    : platformSupport_(std::move(platformSupport)) {}

bool TLMDefaultIdentitySupport::hasAppDataConsentStatus() const {
  return platformSupport_ != nullptr && platformSupport_->hasAppDataConsentStatus();
}

long TLMDefaultIdentitySupport::appDataConsentStatus() const {
  return platformSupport_ != nullptr ? platformSupport_->appDataConsentStatus() : -1;
}

bool TLMDefaultIdentitySupport::hasLimitedAdTracking() const {
  return platformSupport_ != nullptr && platformSupport_->hasLimitedAdTracking();
}

bool TLMDefaultIdentitySupport::limitedAdTracking() const {
  if (iOS14OrAbove()) {
    std::optional<std::string> identifier = resettableDeviceID();
    return !identifier || *identifier == kAllZeroAdvertisingIdentifier;
  }
  return platformSupport_ != nullptr && platformSupport_->limitedAdTracking();
}

std::optional<std::string> TLMDefaultIdentitySupport::resettableDeviceID() const {
  if (platformSupport_ == nullptr) return std::nullopt;
  return platformSupport_->resettableDeviceID();
}
