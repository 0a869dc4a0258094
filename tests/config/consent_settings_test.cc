// The effective consent settings: the denial rules, the consent signal,
// the withdrawal test, the remote switches and the queue under threads.

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "consent_test_support.h"
#include "support/TempFolder.h"

namespace {

TEST_F(ConsentTest, NothingKnownAtStart) {
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), std::nullopt);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceUnknown);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSignals(), "G1--");
  EXPECT_EQ(TLMConsentSettingsUtil::description(),
            "ad_storage is granted. analytics_storage is granted.");
  EXPECT_FALSE(TLMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_FALSE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());
}

TEST_F(ConsentTest, SignalAndDescriptionFollowTheSettings) {
  TLMConsentSettingsUtil::setConsentSettings(
      consent({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSignals(), "G111");
  TLMConsentSettingsUtil::updateSettings(consent({{"ad_storage", "denied"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSignals(), "G101");
  EXPECT_EQ(TLMConsentSettingsUtil::description(),
            "ad_storage is denied. analytics_storage is granted.");
  // Only the exact values count in the signal; anything else is unset.
  TLMConsentSettingsUtil::setConsentSettings(
      consent({{"ad_storage", "DENIED"}, {"analytics_storage", Object::integer(1)}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSignals(), "G1--");
}

// A stored upper-case value counts as denied, a non-string never does.
TEST_F(ConsentTest, DenialIgnoresCaseButNeedsAString) {
  TLMConsentSettingsUtil::setConsentSettings(
      consent({{"ad_storage", "DENIED"}, {"analytics_storage", Object::boolean(false)}}));
  EXPECT_TRUE(TLMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_FALSE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());
}

TEST_F(ConsentTest, SwitchesOffTurnDenialAndSignalOff) {
  TLMConsentSettingsUtil::setConsentSettings(
      consent({{"ad_storage", "denied"}, {"analytics_storage", "denied"}}));
  setSwitches(true, false);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSignals(), std::nullopt);
  EXPECT_TRUE(TLMConsentSettingsUtil::isAdStorageDenied());
  setSwitches(false, true);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSignals(), std::nullopt);
  EXPECT_FALSE(TLMConsentSettingsUtil::isAdStorageDenied());
  EXPECT_FALSE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());
  EXPECT_FALSE(TLMConsentSettingsUtil::didWithdrawPreviousConsent(std::nullopt));
  // The connection belongs to the process life.
  restart();
  EXPECT_EQ(TLMConsentSettingsUtil::consentSignals(), "G1--");
}

TEST_F(ConsentTest, WithdrawalNeedsAGrantedStorageNowDenied) {
  const Object granted = consent({{"analytics_storage", "granted"}});
  const Object denied = consent({{"analytics_storage", "denied"}});
  TLMConsentSettingsUtil::setConsentSettings(denied);
  EXPECT_TRUE(TLMConsentSettingsUtil::didWithdrawPreviousConsent(granted));
  EXPECT_TRUE(TLMConsentSettingsUtil::didWithdrawPreviousConsent(std::nullopt));
  EXPECT_FALSE(TLMConsentSettingsUtil::didWithdrawPreviousConsent(denied));
  EXPECT_FALSE(TLMConsentSettingsUtil::didWithdrawPreviousConsent(Object("granted")));
  TLMConsentSettingsUtil::setConsentSettings(granted);
  EXPECT_FALSE(TLMConsentSettingsUtil::didWithdrawPreviousConsent(denied));
  TLMConsentSettingsUtil::setConsentSettings(std::nullopt);
  EXPECT_FALSE(TLMConsentSettingsUtil::didWithdrawPreviousConsent(granted));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceUnknown);
}

TEST_F(ConsentTest, SettingsFromDictionaryAndPlist) {
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettingsFromDictionary(
                consent({{"ad_storage", Object::integer(3)}, {"other", "denied"}})),
            consent({{"ad_storage", Object::integer(3)}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettingsFromPlist(), consent({}));
  restartWithInfoPlist(
      "<key>TARVIX_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE</key><false/>"
      "<key>TARVIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE</key><string>NO</string>");
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettingsFromPlist(),
            consent({{"ad_storage", "denied"}}));
}

// Writers on several threads; each thread owns one key of a private
// dictionary entry and must read back its own last write at once, while
// the others keep writing.
TEST(ConsentQueueTest, ReadAfterWriteHoldsUnderConcurrentWriters) {
  TempFolder folder;
  PlatformPaths paths{folder.path() + "/App.app", folder.path() + "/container",
                      folder.path() + "/keychain"};
  std::filesystem::create_directories(paths.bundlePath);
  std::ofstream(paths.bundlePath + "/Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      << "<key>CFBundleIdentifier</key><string>com.ferrolux.tests</string></dict></plist>\n";
  Platform::install(Platform::createProduction(paths));
  std::atomic<int> mismatches{0};
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([t, &mismatches] {
        const std::string key = "writer" + std::to_string(t);
        for (int i = 0; i < 200; ++i) {
          const Object value = (i % 2 == 0) ? Object("granted") : Object("denied");
          TLMConsentSettingsUtil::updateSettings(consent({{key, value}, {"ad_storage", value}}));
          TLMConsentSettingsUtil::setConsentSource(t);
          const OptionalObject now = TLMConsentSettingsUtil::consentSettings();
          if (!now || now->objectForKey(key) == nullptr || *now->objectForKey(key) != value) {
            ++mismatches;
          }
          (void)TLMConsentSettingsUtil::consentSignals();
          (void)TLMConsentSettingsUtil::isAdStorageDenied();
          (void)TLMConsentSettingsUtil::consentSource();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  EXPECT_EQ(mismatches.load(), 0);
  const OptionalObject last = TLMConsentSettingsUtil::consentSettings();
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->asDictionary()->size(), 5u);
  TEST_resetSharedInstances();
  Platform::install(nullptr);
}

}  // namespace
