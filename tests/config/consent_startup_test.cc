// The engine-start consent decisions: which consent wins, when a wipe is
// owed, and the personalized-ads and ad-network answers.

#include "api/TLMConsentStartup.h"
#include "consent_test_support.h"
#include "platform/CapabilityRegistry.h"

namespace {

using Action = TLMConsentStartup::PersonalizedAdsAction;

constexpr char kPlistDeniesAnalytics[] =
    "<key>TARVIX_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE</key><false/>";

TEST_F(ConsentTest, PlistDefaultsWinOverStartOptions) {
  restartWithInfoPlist(kPlistDeniesAnalytics);
  settings().setObject(consent({{"ad_storage", "denied"}}), kTLMConsentSettingsOnStartKey);
  EXPECT_TRUE(TLMConsentStartup::applyStartUpConsent());  // granted by default before
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), consent({{"analytics_storage", "denied"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourcePlist);
  EXPECT_EQ(TLMAnalytics::consentSettings3P(), consent({{"analytics_storage", "denied"}}));
  EXPECT_EQ(TLMAnalytics::consentSettings1PStart(), std::nullopt);
}

TEST_F(ConsentTest, StrongConsentKeepsItsPlaceOverPlistDefaults) {
  TLMAnalytics::setConsentForKey(consent({{"analytics_storage", "granted"}}),
                                 "consent_settings_3p");
  restartWithInfoPlist(kPlistDeniesAnalytics);
  TLMAnalytics::loadPersistedConsentSettings();  // source 10
  EXPECT_FALSE(TLMConsentStartup::applyStartUpConsent());
  EXPECT_FALSE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSource3P);
}

TEST_F(ConsentTest, StartOptionsApplyWhenNothingStronger) {
  settings().setObject(consent({{"ad_storage", "granted"}}), kTLMConsentSettingsOnStartKey);
  EXPECT_FALSE(TLMConsentStartup::applyStartUpConsent());
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceOptions);
  EXPECT_EQ(TLMAnalytics::consentSettings1P(), consent({{"ad_storage", "granted"}}));
}

TEST_F(ConsentTest, PublicInterfaceClearsStalePublicConsent) {
  TLMAnalytics::setConsent(consent({{"ad_storage", "granted"}}));
  platform_.platform().capabilities().setClass("QLFAnalytics", true);
  EXPECT_FALSE(TLMConsentStartup::applyStartUpConsent());
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceUnknown);
  EXPECT_EQ(TLMAnalytics::consentSettings1P(), std::nullopt);
}

TEST_F(ConsentTest, DeferredResetIsOwedOnceAtStart) {
  settings().setBool(true, kTLMDeferredConsentResetKey);
  EXPECT_TRUE(TLMConsentStartup::applyStartUpConsent());
  EXPECT_FALSE(TLMAnalytics::deferredResetOnDeniedConsent());
  EXPECT_FALSE(TLMConsentStartup::applyStartUpConsent());
}

TEST_F(ConsentTest, WithThe3PSwitchOffStartOptionsStillApply) {
  restartWithInfoPlist(kPlistDeniesAnalytics);
  setSwitches(true, false);
  settings().setObject(consent({{"ad_storage", "denied"}}), kTLMConsentSettingsOnStartKey);
  EXPECT_TRUE(TLMConsentStartup::applyStartUpConsent());
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), consent({{"ad_storage", "denied"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceOptions);
}

TEST_F(ConsentTest, AdPersonalizationFromStoredValueThenPlist) {
  EXPECT_EQ(TLMConsentStartup::shouldDisableAdPersonalization(std::nullopt), std::nullopt);
  EXPECT_EQ(TLMConsentStartup::shouldDisableAdPersonalization(Object::boolean(false)), 1);
  EXPECT_EQ(TLMConsentStartup::shouldDisableAdPersonalization(Object::boolean(true)), 0);
  restartWithInfoPlist(
      "<key>TARVIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS</key><false/>"
      "<key>TARVIX_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED</key><false/>");
  EXPECT_EQ(TLMConsentStartup::shouldDisableAdPersonalization(std::nullopt), 1);
  EXPECT_EQ(TLMConsentStartup::shouldDisableAdPersonalization(Object::boolean(true)), 0);
  EXPECT_FALSE(TLMConsentStartup::shouldAllowAdNetworkRegistration());
  restartWithInfoPlist(
      "<key>TARVIX_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS</key><string>no</string>"
      "<key>TARVIX_ANALYTICS_REGISTRATION_WITH_AD_NETWORK_ENABLED</key><string>no</string>");
  EXPECT_EQ(TLMConsentStartup::shouldDisableAdPersonalization(std::nullopt), 0);
  EXPECT_TRUE(TLMConsentStartup::shouldAllowAdNetworkRegistration());
}

TEST(ConsentPersonalizedAdsTest, StoredPropertyFollowsTheDesiredValue) {
  EXPECT_EQ(TLMConsentStartup::personalizedAdsActionFor(std::nullopt, std::nullopt),
            Action::kNothing);
  EXPECT_EQ(TLMConsentStartup::personalizedAdsActionFor(std::nullopt, 1), Action::kRemove);
  EXPECT_EQ(TLMConsentStartup::personalizedAdsActionFor(1, 1), Action::kNothing);
  EXPECT_EQ(TLMConsentStartup::personalizedAdsActionFor(0, 1), Action::kSet);
  EXPECT_EQ(TLMConsentStartup::personalizedAdsActionFor(1, std::nullopt), Action::kSet);
}

}  // namespace
