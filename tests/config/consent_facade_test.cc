// The facade's consent entry: validation, source priority, persistence
// across process lives and the data wipe on withdrawal.

#include "consent_test_support.h"

namespace {

constexpr char kPublicKey[] = "consent_settings";
constexpr char kStrongKey[] = "consent_settings_3p";

TEST_F(ConsentTest, InvalidValueIsDroppedThenEmptyResultDiscarded) {
  TLMAnalytics::setConsent(consent({{"ad_storage", "maybe"}}));
  EXPECT_EQ(printedCodes(), (std::vector<long>{25042, 25041}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), std::nullopt);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceUnknown);
  EXPECT_EQ(settings().objectForKey(kTLMConsentSourceKey), std::nullopt);
}

// Exact values only: "DENIED" is refused while "granted" beside it is kept.
TEST_F(ConsentTest, UpperCaseValueIsRefusedButOthersKept) {
  TLMAnalytics::setConsent(consent({{"ad_storage", "DENIED"}, {"analytics_storage", "granted"}}));
  EXPECT_EQ(printedCodes(), (std::vector<long>{25042}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), consent({{"analytics_storage", "granted"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourcePublic);
  EXPECT_FALSE(TLMConsentSettingsUtil::isAdStorageDenied());
}

TEST_F(ConsentTest, PublicConsentAfterStrongIsRefused) {
  TLMAnalytics::setConsentForKey(consent({{"ad_storage", "granted"}}), kStrongKey);
  TLMAnalytics::setConsent(consent({{"ad_storage", "denied"}}));
  EXPECT_EQ(printedCodes(), (std::vector<long>{25043}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), consent({{"ad_storage", "granted"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSource3P);
  EXPECT_EQ(TLMAnalytics::consentSettings1P(), std::nullopt);
}

TEST_F(ConsentTest, StrongConsentOverridesPublicAndMerges) {
  TLMAnalytics::setConsent(consent({{"ad_storage", "granted"}, {"analytics_storage", "granted"}}));
  TLMAnalytics::setConsentForKey(consent({{"ad_storage", "denied"}, {"other", "x"}}), kStrongKey);
  EXPECT_TRUE(printedCodes().empty());
  const Object merged = consent({{"ad_storage", "denied"}, {"analytics_storage", "granted"}});
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), merged);
  EXPECT_EQ(TLMAnalytics::consentSettings3P(), merged);
  EXPECT_EQ(TLMAnalytics::persistedConsentSource(), kTLMConsentSource3P);
}

TEST_F(ConsentTest, SwitchesOffIgnoreCalls) {
  setSwitches(true, false);
  TLMAnalytics::setConsentForKey(consent({{"ad_storage", "denied"}}), kStrongKey);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceUnknown);
  TLMAnalytics::setConsent(consent({{"ad_storage", "denied"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourcePublic);
  setSwitches(false, true);
  TLMAnalytics::setConsent(consent({{"ad_storage", "granted"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), consent({{"ad_storage", "denied"}}));
}

// Reloading keeps the stored source when it is stronger than 40.
TEST_F(ConsentTest, PublicConsentSurvivesRestart) {
  TLMAnalytics::setConsent(consent({{"analytics_storage", "denied"}}));
  EXPECT_EQ(TLMAnalytics::persistedConsentSource(), kTLMConsentSourcePublic);
  restart();
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceUnknown);
  TLMAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), consent({{"analytics_storage", "denied"}}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourcePublic);
  EXPECT_TRUE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());
  // A weaker stored source is raised to 40.
  settings().setInteger(kTLMConsentSourceUnknown - 1, kTLMConsentSourceKey);
  TLMAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceOptions);
}

// The first call of a process life loads the stored consent first, so a
// stored strong setting still outranks a public call after a restart.
TEST_F(ConsentTest, StrongConsentSurvivesRestartAndStillWins) {
  TLMAnalytics::setConsentForKey(consent({{"ad_storage", "denied"}}), kStrongKey);
  restart();
  TLMAnalytics::setConsent(consent({{"ad_storage", "granted"}}));
  EXPECT_EQ(printedCodes(), (std::vector<long>{25043}));
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSource3P);
  EXPECT_TRUE(TLMConsentSettingsUtil::isAdStorageDenied());
}

TEST_F(ConsentTest, LoadingWithoutSettingsRestoresOnlyTheSource) {
  settings().setInteger(kTLMConsentSourceOptions, kTLMConsentSourceKey);
  TLMAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceOptions);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), std::nullopt);
  // A stored source of 100 loads nothing, even beside stored settings.
  restart();
  settings().setInteger(kTLMConsentSourceUnknown, kTLMConsentSourceKey);
  settings().setObject(consent({{"ad_storage", "denied"}}), kTLMConsentSettings3PKey);
  TLMAnalytics::loadPersistedConsentSettings();
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), std::nullopt);
}

TEST_F(ConsentTest, ClearConsentForgetsEverything) {
  TLMAnalytics::setConsent(consent({{"analytics_storage", "denied"}}));
  settings().setObject(consent({{"ad_storage", "denied"}}), kTLMConsentSettingsOnStartKey);
  TLMAnalytics::clearConsent();
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), kTLMConsentSourceUnknown);
  EXPECT_EQ(TLMConsentSettingsUtil::consentSettings(), std::nullopt);
  EXPECT_EQ(TLMAnalytics::persistedConsentSource(), kTLMDefaultConsentSource);
  for (const char* key : {kTLMConsentSettingsKey, kTLMConsentSettings3PKey,
                          kTLMConsentSettingsOnStartKey, kTLMDeferredConsentResetKey}) {
    EXPECT_EQ(settings().objectForKey(key), std::nullopt) << key;
  }
}

TEST_F(ConsentTest, WithdrawingGrantedAnalyticsWipesOnce) {
  settings().setObject(Object("old-id"), kTLMAppInstanceIDAfterResetKey);
  TLMAnalytics::setConsent(consent({{"analytics_storage", "granted"}}));
  EXPECT_EQ(resets_, 0);
  TLMAnalytics::setConsent(consent({{"analytics_storage", "denied"}}));
  EXPECT_EQ(resets_, 1);
  EXPECT_EQ(settings().objectForKey(kTLMAppInstanceIDAfterResetKey), std::nullopt);
  EXPECT_FALSE(TLMAnalytics::deferredResetOnDeniedConsent());
  // Denying again, and granting after denial, withdraw nothing.
  TLMAnalytics::setConsent(consent({{"analytics_storage", "denied"}}));
  TLMAnalytics::setConsent(consent({{"analytics_storage", "granted"}}));
  EXPECT_EQ(resets_, 1);
}

TEST_F(ConsentTest, WithdrawalBeforeEngineIsReadyDefersTheWipe) {
  engineInitialized_ = false;
  TLMAnalytics::setConsent(consent({{"ad_storage", "granted"}}));
  TLMAnalytics::setConsent(consent({{"ad_storage", "denied"}}));
  EXPECT_EQ(resets_, 0);
  EXPECT_TRUE(TLMAnalytics::deferredResetOnDeniedConsent());
  restart();
  EXPECT_TRUE(TLMAnalytics::deferredResetOnDeniedConsent());
  TLMAnalytics::removeDeferredResetOnDeniedConsent();
  EXPECT_FALSE(TLMAnalytics::deferredResetOnDeniedConsent());
  // Without any connection the engine counts as not ready.
  TLMConsentWipeSeam::connect({});
  TLMAnalytics::setConsent(consent({{"analytics_storage", "denied"}}));
  EXPECT_TRUE(TLMAnalytics::deferredResetOnDeniedConsent());
}

// Analytics was already denied publicly; granting ad storage through the
// strong entry withdraws nothing, though no strong settings were stored.
TEST_F(ConsentTest, StrongGrantAfterPublicDenialIsNoWithdrawal) {
  TLMAnalytics::setConsent(consent({{"analytics_storage", "denied"}}));
  ASSERT_EQ(resets_, 1);
  TLMAnalytics::setConsentForKey(consent({{"ad_storage", "granted"}}), kStrongKey);
  EXPECT_EQ(resets_, 1);
  EXPECT_FALSE(TLMAnalytics::deferredResetOnDeniedConsent());
}

}  // namespace
