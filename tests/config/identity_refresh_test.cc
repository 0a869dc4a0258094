// The identity's refresh: creation and persistence of the app instance ID,
// rotation on a reset advertising identifier, consent, the cache time, the
// consent status table and the fixed app facts.

#include <fstream>
#include <limits>
#include <string>
#include <tuple>

#include "common/DataHelpers.h"
#include "config/TLMConsentSettingsUtil.h"
#include "identity_test_support.h"
#include "platform/Bundle.h"

namespace {

bool isAppInstanceID(const std::optional<std::string>& id) {
  if (!id || id->size() != 32) return false;
  for (char c : *id) {
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string infoPlist(const std::string& extraEntries) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>") +
         "<key>CFBundleIdentifier</key><string>" + TestPlatform::kBundleIdentifier + "</string>" +
         "<key>CFBundleShortVersionString</key><string>1.0</string>" + extraEntries +
         "</dict></plist>\n";
}

}  // namespace

// ---- App instance ID --------------------------------------------------------

TEST_F(IdentityTest, AppInstanceIDIsCreatedOnceAndSurvivesRestart) {
  EXPECT_EQ(TLMIdentity::initWithPersistedConfig(nullptr, nullptr, hooks()), nullptr);
  auto identity = makeIdentity();
  ASSERT_NE(identity, nullptr);
  // Stored by initialisation, before any refresh.
  std::optional<std::string> created = persisted()->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(created));
  EXPECT_EQ(identity->appInstanceID(), created);
  executor().advance(2);
  EXPECT_EQ(identity->appInstanceID(), created);

  identity.reset();
  restart();
  identity = makeIdentity();
  EXPECT_EQ(identity->appInstanceID(), created);
}

TEST_F(IdentityTest, FirstAdvertisingIDStoresItsHashAndKeepsTheAppInstanceID) {
  auto identity = makeIdentity();
  std::optional<std::string> created = persisted()->appInstanceID();
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::string(kFirstAdvertisingIDHash));
  EXPECT_EQ(identity->appInstanceID(), created);
  EXPECT_EQ(identity->resettableDeviceID(), std::string(kFirstAdvertisingID));
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, ResetAdvertisingIDRotatesTheAppInstanceIDAndMarksTheReset) {
  auto identity = makeIdentity();
  std::optional<std::string> first = identity->appInstanceID();
  executor().advance(2);
  setAdID(kSecondAdvertisingID);

  std::optional<std::string> second = identity->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(second));
  EXPECT_NE(second, first);
  EXPECT_EQ(identity->hashedResettableDeviceID(), tlm_MD5String(kSecondAdvertisingID));
  EXPECT_EQ(identity->resettableDeviceID(), std::string(kSecondAdvertisingID));
  EXPECT_TRUE(identity->shouldSetLastAdvertisingIDResetUserProperty());

  // The same identifier again changes nothing.
  executor().advance(2);
  EXPECT_EQ(identity->appInstanceID(), second);
}

TEST_F(IdentityTest, ResetMarkerNeedsTheFeatureFlag) {
  resetFeature_ = false;
  auto identity = makeIdentity();
  std::optional<std::string> first = identity->appInstanceID();
  executor().advance(2);
  setAdID(kSecondAdvertisingID);
  EXPECT_NE(identity->appInstanceID(), first);
  EXPECT_FALSE(identity->shouldSetLastAdvertisingIDResetUserProperty());
}

TEST_F(IdentityTest, ResetIsRecognisedAcrossRestartFromTheStoredHash) {
  auto identity = makeIdentity();
  std::optional<std::string> first = identity->appInstanceID();
  identity.reset();
  restart();
  setAdID(kSecondAdvertisingID);
  identity = makeIdentity();
  std::optional<std::string> second = identity->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(second));
  EXPECT_NE(second, first);
}

TEST_F(IdentityTest, AllZeroAdvertisingIDCountsAsNone) {
  setTracking(TrackingAuthorizationStatus::Denied);  // the platform answers zeros
  auto identity = makeIdentity();
  std::optional<std::string> created = persisted()->appInstanceID();
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_TRUE(identity->limitedAdTracking());
  EXPECT_EQ(identity->appInstanceID(), created);
}

TEST_F(IdentityTest, ZerosAfterARealIdentifierKeepHashAndAppInstanceID) {
  auto identity = makeIdentity();
  std::optional<std::string> first = identity->appInstanceID();
  executor().advance(2);
  setAdID(kAllZeroAdvertisingIdentifier);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->appInstanceID(), first);
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::string(kFirstAdvertisingIDHash));
}

TEST_F(IdentityTest, UnreadableIdentifierKeepsThePreviousOne) {
  auto identity = makeIdentity();
  EXPECT_EQ(identity->resettableDeviceID(), std::string(kFirstAdvertisingID));
  executor().advance(2);
  setAdID(std::nullopt);
  EXPECT_EQ(identity->resettableDeviceID(), std::string(kFirstAdvertisingID));
}

// ---- Cache time -------------------------------------------------------------

// The cache time comes from the remote flag; a refresh inside it changes
// nothing, one at exactly the cache time refreshes.
TEST_F(IdentityTest, RefreshesOnlyOnceTheCacheTimeHasPassed) {
  for (const double cacheTime : {1.0, 60.0}) {
    SCOPED_TRACE(cacheTime);
    cacheTime_ = cacheTime;
    setAdID(kFirstAdvertisingID);
    executor().advance(cacheTime);
    auto identity = makeIdentity();
    std::optional<std::string> first = identity->appInstanceID();
    EXPECT_EQ(identity->resettableDeviceID(), std::string(kFirstAdvertisingID));
    setAdID(kSecondAdvertisingID);
    executor().advance(cacheTime - 0.5);
    EXPECT_EQ(identity->appInstanceID(), first);
    EXPECT_EQ(identity->resettableDeviceID(), std::string(kFirstAdvertisingID));
    EXPECT_EQ(identity->hashedResettableDeviceID(), std::string(kFirstAdvertisingIDHash));
    executor().advance(0.5);
    EXPECT_NE(identity->appInstanceID(), first);
  }
}

TEST_F(IdentityTest, WallClockSetBackDoesNotFreezeTheIdentifiers) {
  cacheTime_ = 60;
  auto identity = makeIdentity();
  std::optional<std::string> first = identity->appInstanceID();
  setAdID(kSecondAdvertisingID);
  FakeClock& clock = *Platform::current().fakeClock();
  clock.setNow(clock.now() - 3600);
  EXPECT_NE(identity->appInstanceID(), first);
}

TEST_F(IdentityTest, RefreshQueuedForAGoneIdentityDoesNothing) {
  auto identity = makeIdentity();
  identity->updateIdentifiers();
  identity.reset();
  executor().runUntilIdle();
  EXPECT_EQ(persisted()->hashedResettableDeviceID(), std::nullopt);
}

// ---- Consent ----------------------------------------------------------------

TEST_F(IdentityTest, AnalyticsStorageDeniedWithholdsAndRemovesTheAppInstanceID) {
  auto identity = makeIdentity();
  std::optional<std::string> first = identity->appInstanceID();
  ASSERT_TRUE(first);
  analyticsDenied_ = true;
  executor().advance(2);
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);
  EXPECT_EQ(persisted()->appInstanceID(), std::nullopt);
  // Not even a reset identifier brings one back while denied.
  setAdID(kSecondAdvertisingID);
  executor().advance(2);
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);

  // Granted again: a new one, not the withdrawn one.
  analyticsDenied_ = false;
  std::optional<std::string> again = identity->appInstanceID();
  EXPECT_TRUE(isAppInstanceID(again));
  EXPECT_NE(again, first);
}

TEST_F(IdentityTest, AnalyticsStorageDeniedAtStartStoresNoAppInstanceID) {
  analyticsDenied_ = true;
  auto identity = makeIdentity();
  EXPECT_EQ(persisted()->appInstanceID(), std::nullopt);
  EXPECT_EQ(identity->appInstanceID(), std::nullopt);
  identity.reset();
  restart();
  EXPECT_EQ(persisted()->appInstanceID(), std::nullopt);
}

TEST_F(IdentityTest, AdStorageDeniedRemovesTheHashAndDoesNotReadTheIdentifier) {
  auto identity = makeIdentity();
  std::optional<std::string> first = identity->appInstanceID();
  EXPECT_TRUE(identity->hashedResettableDeviceID());
  adDenied_ = true;
  setAdID(kSecondAdvertisingID);
  executor().advance(2);
  EXPECT_EQ(identity->hashedResettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->appInstanceID(), first);
}

TEST_F(IdentityTest, DefaultHooksReadTheConsentSettings) {
  auto support = std::make_shared<TLMDefaultIdentitySupport>(
      std::make_shared<TLMPlatformIdentitySupport>(Platform::installed()));
  auto identity = TLMIdentity::initWithPersistedConfig(persisted(), support);
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(identity->appInstanceID().has_value(),
            !TLMConsentSettingsUtil::isAnalyticsStorageDenied());
}

// ---- Apple consent status ---------------------------------------------------

class AppleConsentStatusTest
    : public IdentityTest,
      public ::testing::WithParamInterface<std::tuple<int, std::uint64_t>> {};

TEST_P(AppleConsentStatusTest, RawStatusMapsToTheTable) {
  const auto [raw, expected] = GetParam();
  setTracking(static_cast<TrackingAuthorizationStatus>(raw));
  EXPECT_EQ(makeIdentity()->appleConsentStatus(), expected);
}

INSTANTIATE_TEST_SUITE_P(Table, AppleConsentStatusTest,
                         ::testing::Values(std::make_tuple(0, kTLMAppleConsentNotDetermined),
                                           std::make_tuple(1, kTLMAppleConsentRestricted),
                                           std::make_tuple(2, kTLMAppleConsentDenied),
                                           std::make_tuple(3, kTLMAppleConsentAuthorized),
                                           std::make_tuple(4, kTLMAppleConsentUnknown),
                                           std::make_tuple(-1, kTLMAppleConsentUnknown)));

TEST_F(IdentityTest, ConsentStatusWithoutAnAnsweringTrackingManagerIsUnknown) {
  // A tracking manager that cannot answer.
  Platform::current().capabilities().setClass(kTrackingManagerClassName, true);
  EXPECT_EQ(makeIdentity()->appleConsentStatus(), kTLMAppleConsentUnknown);
  declarePlatformClasses(/*adSupport=*/true, /*trackingManager=*/false);
  EXPECT_EQ(makeIdentity()->appleConsentStatus(), kTLMAppleConsentUnknown);
}

TEST_F(IdentityTest, ConsentStatusWithoutAdSupportIsUnavailable) {
  declarePlatformClasses(/*adSupport=*/false, /*trackingManager=*/true);
  auto identity = makeIdentity();
  EXPECT_EQ(identity->appleConsentStatus(), kTLMAppleConsentUnavailable);
  EXPECT_FALSE(identity->hasLimitedAdTracking());
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
}

TEST_F(IdentityTest, ConsentStatusBeforeOS14IsUnavailable) {
  DeviceProfile device;
  device.setOSVersion("13.7");
  installDevice(device);
  declarePlatformClasses();
  auto identity = makeIdentity();
  EXPECT_EQ(identity->appleConsentStatus(), kTLMAppleConsentUnavailable);
  EXPECT_EQ(identity->resettableDeviceID(), std::string(kFirstAdvertisingID));
}

// ---- App IDs and app facts --------------------------------------------------

TEST_F(IdentityTest, FirstAppIDOfTheProcessIsKept) {
  auto identity = makeIdentity();
  EXPECT_EQ(identity->appIDFromQVR(), std::nullopt);
  identity->setAppIDFromQVR("");
  identity->setAppIDFromQVR("1:111:ios:aaa");
  identity->setAppIDFromQVR("1:222:ios:bbb");
  identity->setAppIDFromVelmora("");
  identity->setAppIDFromVelmora("velmora-1");
  identity->setAppIDFromVelmora("velmora-2");
  EXPECT_EQ(identity->appIDFromQVR(), std::string("1:111:ios:aaa"));
  EXPECT_EQ(identity->appIDFromVelmora(), std::string("velmora-1"));
}

TEST_F(IdentityTest, AppFactsComeFromTheBundleAndTheServiceFile) {
  writeFile(test_.paths().bundlePath + "/Info.plist",
            infoPlist("<key>CFBundleVersion</key><string>4.12b.7.9</string>"));
  writeFile(test_.paths().bundlePath + "/TarvixService-Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>TARVIX_APP_ID</key><string>1:333:ios:ccc</string>"
            "<key>VELMORA_APP_ID</key><string>velmora-file</string></dict></plist>\n");
  restart();
  auto identity = makeIdentity();
  EXPECT_EQ(identity->appID(), TestPlatform::kBundleIdentifier);
  EXPECT_EQ(identity->appVersion(), std::string("1.0"));
  EXPECT_EQ(identity->appVersionMajor(), 4);
  EXPECT_EQ(identity->appVersionMinor(), 12);
  EXPECT_EQ(identity->appVersionRelease(), 7);
  EXPECT_EQ(identity->appIDFromQVR(), std::string("1:333:ios:ccc"));
  // The file's ID is the process's first.
  identity->setAppIDFromQVR("1:444:ios:ddd");
  EXPECT_EQ(identity->appIDFromQVR(), std::string("1:333:ios:ccc"));
  EXPECT_EQ(identity->appIDFromVelmora(), std::string("velmora-file"));
}

TEST_F(IdentityTest, VersionFieldsDropNonDigits) {
  EXPECT_EQ(TLMIdentity::numericFieldsFromAppVersionNumeric("1.2b.3"),
            (std::vector<std::int64_t>{1, 2, 3}));
  EXPECT_TRUE(TLMIdentity::numericFieldsFromAppVersionNumeric("").empty());
  EXPECT_EQ(TLMIdentity::numericFieldsFromAppVersionNumeric("..7."),
            (std::vector<std::int64_t>{7}));
  EXPECT_EQ(TLMIdentity::numericFieldsFromAppVersionNumeric("x.99999999999999999999"),
            (std::vector<std::int64_t>{0, std::numeric_limits<std::int64_t>::max()}));
}

TEST_F(IdentityTest, LibraryVersionDropsTheLastThreeCharacters) {
  EXPECT_EQ(TLMIdentity::ferroluxLibraryVersion(), 80300);
  EXPECT_EQ(TLMIdentity::libraryVersionFromString("123"), 0);
  EXPECT_EQ(TLMIdentity::libraryVersionFromString("1234"), 1);
}

// ---- Vendor identifier ------------------------------------------------------

TEST_F(IdentityTest, VendorIdentifierOnlyWithoutAnAdvertisingIdentifier) {
  auto identity = makeIdentity();
  EXPECT_TRUE(identity->resettableDeviceID());
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);

  executor().advance(2);
  setAdID(kAllZeroAdvertisingIdentifier);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  const std::string vendor = Platform::current().device().vendorIdentifier();
  EXPECT_EQ(identity->identifierForVendor(), vendor);
  EXPECT_EQ(identity->identifierForVendor(), vendor);  // from the cache

  analyticsDenied_ = true;
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
}

TEST_F(IdentityTest, VendorIdentifierCollectionCanBeSwitchedOffInInfoPlist) {
  writeFile(test_.paths().bundlePath + "/Info.plist",
            infoPlist("<key>TARVIX_ANALYTICS_IDFV_COLLECTION_ENABLED</key><false/>"));
  restart();
  setAdID(std::nullopt);
  auto identity = makeIdentity();
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
}
