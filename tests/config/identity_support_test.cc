// The platform look-ups behind identity: absent classes, classes that do
// not answer a selector, and the OS-version rule for limited ad tracking.

#include "identity_test_support.h"

namespace {

TLMDefaultIdentitySupport makeSupport() {
  return TLMDefaultIdentitySupport(
      std::make_shared<TLMPlatformIdentitySupport>(Platform::installed()));
}

}  // namespace

TEST_F(IdentityTest, AbsentClassesAnswerNothing) {
  declarePlatformClasses(/*adSupport=*/false, /*trackingManager=*/false);
  TLMPlatformIdentitySupport platformSupport(Platform::installed());
  EXPECT_FALSE(platformSupport.hasAppDataConsentStatus());
  EXPECT_EQ(platformSupport.appDataConsentStatus(), -1);
  EXPECT_FALSE(platformSupport.hasLimitedAdTracking());
  EXPECT_FALSE(platformSupport.limitedAdTracking());
  EXPECT_EQ(platformSupport.resettableDeviceID(), std::nullopt);
}

TEST_F(IdentityTest, SelectorsAreCheckedBeforeEveryCall) {
  Platform& platform = Platform::current();
  // Present but answering only "sharedManager".
  platform.capabilities().setClass(kAdvertisingIdentifierManagerClassName, true,
                                   {kAdvertisingIdentifierManagerSharedManagerSelector});
  platform.capabilities().setClass(kTrackingManagerClassName, true);
  platform.advertisingIdentifier().setAdvertisingTrackingEnabled(false);
  TLMPlatformIdentitySupport support(Platform::installed());
  EXPECT_TRUE(support.hasLimitedAdTracking());
  EXPECT_TRUE(support.hasAppDataConsentStatus());
  EXPECT_EQ(support.resettableDeviceID(), std::nullopt);
  EXPECT_FALSE(support.limitedAdTracking());
  EXPECT_EQ(support.appDataConsentStatus(), -1);
}

TEST_F(IdentityTest, LimitedAdTrackingFromOS14IsAMissingOrZeroIdentifier) {
  AdvertisingIdentifierManager& manager = Platform::current().advertisingIdentifier();
  TLMDefaultIdentitySupport support = makeSupport();
  EXPECT_FALSE(support.limitedAdTracking());
  manager.setAdvertisingIdentifier(kAllZeroAdvertisingIdentifier);
  EXPECT_TRUE(support.limitedAdTracking());
  manager.setAdvertisingIdentifier(std::nullopt);
  EXPECT_TRUE(support.limitedAdTracking());
}

TEST_F(IdentityTest, LimitedAdTrackingBeforeOS14IsThePlatformSwitch) {
  DeviceProfile device;
  device.setOSVersion("13.7");
  installDevice(device);
  declarePlatformClasses(true, false, std::nullopt);
  EXPECT_FALSE(TLMDefaultIdentitySupport::iOS14OrAbove());
  TLMDefaultIdentitySupport support = makeSupport();
  // No identifier, yet tracking is enabled: not limited on these systems.
  EXPECT_FALSE(support.limitedAdTracking());
  Platform::current().advertisingIdentifier().setAdvertisingTrackingEnabled(false);
  EXPECT_TRUE(support.limitedAdTracking());

  declarePlatformClasses(false, false, std::nullopt);
  EXPECT_FALSE(makeSupport().limitedAdTracking());
}

TEST_F(IdentityTest, OS14BoundaryIsTheMajorVersion) {
  DeviceProfile device;
  device.setOSVersion("14.0");
  installDevice(device);
  EXPECT_TRUE(TLMDefaultIdentitySupport::iOS14OrAbove());
  EXPECT_TRUE(TLMIdentity::iOS14OrAbove());
}
