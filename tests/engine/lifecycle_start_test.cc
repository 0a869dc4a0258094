// Creation, the shared instance, enable and disable, and the component
// build with its wipe at start.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMIdentifiers.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "engine/TLMAlarm.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "engine/lifecycle_test_support.h"
#include "platform/CapabilityRegistry.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "utilities/HRNLogger.h"

namespace {

using EngineStartTest = EngineLifecycleTest;

// ---- Creation and the shared instance ----

TEST_F(EngineStartTest, EmptyAppIDNeverCreatesAnEngine) {
  EXPECT_EQ(TLMMeasurement::initWithAppID("", true, false, std::nullopt, nullptr), nullptr);
  const std::vector<MonitorReport> reports = monitor_.withCode(23170);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Cannot start Measurement. App ID is empty.");

  TLMMeasurement::initializeSharedInstanceWithAppID("", true, false, std::nullopt);
  EXPECT_FALSE(TLMMeasurement::hasSharedInstance());
  // Initialisation happened once; a later call with an ID changes nothing.
  TLMMeasurement::initializeSharedInstanceWithAppID(kTestAppID, true, false, std::nullopt);
  EXPECT_FALSE(TLMMeasurement::hasSharedInstance());
  EXPECT_EQ(TLMMeasurement::sharedInstance(), nullptr);
}

TEST_F(EngineStartTest, SharedInstanceIsMadeOnceAndItsFlagsAnswerForTheProcess) {
  TLMMeasurement::initializeSharedInstanceWithAppID(kTestAppID, true, false, std::nullopt);
  const std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
  ASSERT_NE(engine, nullptr);
  TLMMeasurement::initializeSharedInstanceWithAppID("other", true, false, std::nullopt);
  EXPECT_EQ(TLMMeasurement::sharedInstance(), engine);
  EXPECT_EQ(engine->appID(), kTestAppID);
  EXPECT_EQ(engine->databaseName(), "tarvix-ferrolux.sql");
  EXPECT_EQ(engine->workerQueue()->label(), "com.tarvix.qlfa.worker");
  ASSERT_NE(engine->alarm(), nullptr);
  EXPECT_EQ(engine->alarm()->name(), "Measurement timer");

  // Before the build the default flags answer; afterwards the engine's.
  EXPECT_EQ(&TLMMeasurement::remoteConfig(), &TLMRemoteConfig::defaultInstance());
  run();
  ASSERT_TRUE(engine->didInitializeComponents());
  ASSERT_NE(engine->remoteConfigInstance(), nullptr);
  EXPECT_EQ(&TLMMeasurement::remoteConfig(), engine->remoteConfigInstance().get());
  // Identifier reads go to the engine's identity.
  EXPECT_EQ(TLMIdentifiers::sharedInstance()->appInstanceID(), engine->identity()->appInstanceID());
}

TEST_F(EngineStartTest, SharedInstanceWarnsBeforeInitialisationOnlyWithThePublicInterface) {
  std::vector<std::string> lines;
  HRNLogger_TEST_setSink([&](const std::string& line) { lines.push_back(line); });
  EXPECT_EQ(TLMMeasurement::sharedInstance(), nullptr);
  EXPECT_TRUE(lines.empty());

  platform_.platform().capabilities().setClass("QLFAnalytics", true);
  EXPECT_EQ(TLMMeasurement::sharedInstance(), nullptr);
  HRNLogger_TEST_setSink(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("I-ACS023147"), std::string::npos);
  EXPECT_NE(lines[0].find("Tarvix Analytics for Quillfen has not been created. Please, configure "
                          "Quillfen by calling [QLFApp configure]"),
            std::string::npos);
}

TEST_F(EngineStartTest, StartMessagesWithoutThePublicInterface) {
  makeEngine();
  ASSERT_EQ(monitor_.withCode(23007).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23007)[0].level, 6);
  EXPECT_EQ(monitor_.withCode(23007)[0].message, "Analytics v.80300000 started");
  EXPECT_EQ(monitor_.count(23222), 0u);
  ASSERT_EQ(monitor_.withCode(23008).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23008)[0].message.rfind(
                "To enable debug logging set the following application argument: "
                "-TLMAnalyticsDebugEnabled (see ",
                0),
            0u);
  ASSERT_EQ(monitor_.withCode(23207).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23207)[0].level, 7);
  EXPECT_EQ(monitor_.withCode(23207)[0].message.rfind(
                "To enable verbose logging set the following application argument: "
                "-TLMAnalyticsVerboseLoggingEnabled (see ",
                0),
            0u);
  EXPECT_EQ(monitor_.count(23009), 1u);
}

TEST_F(EngineStartTest, StartMessagesNameThePublicInterfaceVersion) {
  CapabilityRegistry& registry = platform_.platform().capabilities();
  registry.setClass("QLFAnalytics", true);
  ASSERT_TRUE(registry.setInvocable("QLFAnalytics", "topLevelVersion",
                                    []() -> OptionalObject { return Object("11.2.0"); }));
  makeEngine();
  ASSERT_EQ(monitor_.withCode(23007).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23007)[0].message, "Analytics v.11.2.0 started");
  ASSERT_EQ(monitor_.withCode(23222).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23222)[0].level, 8);
  EXPECT_EQ(monitor_.withCode(23222)[0].message, "Build 80300000");
  ASSERT_EQ(monitor_.withCode(23008).size(), 1u);
  EXPECT_NE(monitor_.withCode(23008)[0].message.find("-QLFAnalyticsDebugEnabled (see "),
            std::string::npos);
}

TEST_F(EngineStartTest, FirstRunLoadTimestampSurvivesLaterRuns) {
  TLMAnalytics::setLoadTimestamp(1000.5);
  EXPECT_EQ(makeEngine()->initTimestamp(), 1000.5);
  restart();
  TLMAnalytics::setLoadTimestamp(2000.25);
  EXPECT_EQ(makeEngine()->initTimestamp(), 1000.5);
}

// ---- Enable and disable ----

TEST_F(EngineStartTest, EnabledStartBuildsComponentsAndStoresTheFirstChoice) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  EXPECT_TRUE(engine->wasEnabledDuringInitialization());
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_NE(engine->database(), nullptr);
  EXPECT_NE(engine->identity(), nullptr);
  EXPECT_EQ(deferredCollection(), 0);
  ASSERT_EQ(monitor_.withCode(23016).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23016)[0].level, 7);
  EXPECT_EQ(monitor_.withCode(23016)[0].message, "Analytics is ready to receive events");
  ASSERT_EQ(monitor_.withCode(23012).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23012)[0].level, 6);
  EXPECT_EQ(monitor_.withCode(23012)[0].message, "Analytics collection enabled");

  engine->setEnabled(false);
  run();
  EXPECT_FALSE(engine->isEnabled());
  ASSERT_EQ(monitor_.withCode(23013).size(), 1u);
  EXPECT_EQ(monitor_.withCode(23013)[0].level, 6);
  EXPECT_EQ(monitor_.withCode(23013)[0].message, "Analytics collection disabled");
  EXPECT_EQ(deferredCollection(), 0);  // the first explicit choice stays
  EXPECT_EQ(callsAmong({"dropStaleStoredDeepLink", "sessionReporting:off", "searchAds:off"}),
            (std::vector<std::string>{"dropStaleStoredDeepLink", "sessionReporting:off",
                                      "searchAds:off"}));
}

TEST_F(EngineStartTest, AutomaticScreenReportingIsAnnouncedWithThePublicInterface) {
  TLMStandIns::current().isAutomaticScreenReportingEnabled = [] { return true; };
  makeEngine();
  EXPECT_EQ(monitor_.count(23220), 0u);  // the library alone says nothing

  restart();
  TLMStandIns::current().isAutomaticScreenReportingEnabled = [] { return true; };
  platform_.platform().capabilities().setClass("QLFAnalytics", true);
  makeEngine();
  const std::vector<MonitorReport> reports = monitor_.withCode(23220);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 6);
  EXPECT_EQ(reports[0].message,
            "Analytics screen reporting is enabled. Call +[QLFAnalytics "
            "logEventWithName:QLFEventScreenView parameters:] to log a screen view event. To "
            "disable automatic screen reporting, set the flag "
            "QuillfenAutomaticScreenReportingEnabled to NO (boolean) in the Info.plist");
}

TEST_F(EngineStartTest, DisabledOptionStoresDisabledAndLaterEnableStarts) {
  const std::shared_ptr<TLMMeasurement> engine = makeEngine(/*enabled=*/false);
  EXPECT_FALSE(engine->wasEnabledDuringInitialization());
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_FALSE(engine->didInitializeComponents());
  EXPECT_EQ(deferredCollection(), 1);
  engine->setEnabled(true);
  run();
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_EQ(deferredCollection(), 1);
}

TEST_F(EngineStartTest, PersistedEnabledStateOverridesTheStartOption) {
  TLMPersistedConfig::sharedInstance()->setMeasurementEnabledState(2);
  EXPECT_FALSE(makeEngine(/*enabled=*/true)->wasEnabledDuringInitialization());
  restart();
  TLMPersistedConfig::sharedInstance()->setMeasurementEnabledState(1);
  EXPECT_TRUE(makeEngine(/*enabled=*/false)->wasEnabledDuringInitialization());
}

TEST_F(EngineStartTest, DeactivatedCollectionRefusesEnablingAndStoresNothing) {
  TLMPersistedConfig::sharedInstance()->setMeasurementEnabledState(1);
  const std::shared_ptr<TLMMeasurement> engine = makeEngine(true, /*deactivated=*/true);
  EXPECT_FALSE(engine->wasEnabledDuringInitialization());
  monitor_.clear();
  engine->setEnabled(true);
  run();
  const std::vector<MonitorReport> reports = monitor_.withCode(23206);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 6);
  EXPECT_EQ(reports[0].message, "Analytics collection deactivated");
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_FALSE(engine->didInitializeComponents());
  EXPECT_EQ(TLMAnalytics::deferredAnalyticsCollection(), std::nullopt);
  EXPECT_EQ(count("createAudience"), 0);
}

// ---- The component build ----

TEST_F(EngineStartTest, ComponentBuildRunsItsStepsInOrder) {
  makeEngine();
  EXPECT_EQ(calls_,
            (std::vector<std::string>{
                "createAudience", "backfillSessionNumber", "createSessionReporter",
                "reportFirstOpen", "shouldAllowRequestDeferredDeepLink", "requestDeferredDeepLink",
                "reportAppUpdate", "reportOSUpdate", "createAndStartSearchAds", "updateSchedule",
                "sessionReporting:on", "searchAds:on"}));
}

TEST_F(EngineStartTest, StoredDeepLinkIsReportedInsteadOfAskingForADeferredOne) {
  TLMUserDefaults::standardUserDefaults().setObject(Object("ferrolux://promo"), kTLMDeepLinkKey);
  makeEngine();
  EXPECT_EQ(callsAmong({"reportStoredCampaignEvent", "shouldAllowRequestDeferredDeepLink",
                        "requestDeferredDeepLink"}),
            (std::vector<std::string>{"reportStoredCampaignEvent"}));
}

TEST_F(EngineStartTest, FailedBuildDisablesAndIsRetriedOnTheNextEnable) {
  audienceSucceeds_ = false;
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  EXPECT_FALSE(engine->isEnabled());
  EXPECT_FALSE(engine->didInitializeComponents());
  EXPECT_EQ(engine->database(), nullptr);
  const std::vector<MonitorReport> failed = monitor_.withCode(23011);
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed[0].level, 0);
  EXPECT_EQ(failed[0].message, "Failed to start Analytics. Analytics is disabled");
  EXPECT_EQ(monitor_.count(23013), 1u);
  EXPECT_EQ(monitor_.count(23012), 0u);

  audienceSucceeds_ = true;
  engine->setEnabled(true);
  run();
  EXPECT_TRUE(engine->isEnabled());
  EXPECT_TRUE(engine->didInitializeComponents());
  EXPECT_EQ(count("createAudience"), 2);
  // Enabling again does not build again.
  engine->setEnabled(true);
  run();
  EXPECT_EQ(count("createAudience"), 2);
}

TEST_F(EngineStartTest, PendingResetWipesAtStartAndClearsTheCount) {
  TLMAnalytics::setResetRetryCount(9);
  makeEngine();
  EXPECT_EQ(count("wipe"), 1);
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 0);
  EXPECT_EQ(monitor_.count(23208), 0u);
}

TEST_F(EngineStartTest, FailedWipeKeepsTheCountRaised) {
  wipeSucceeds_ = false;
  TLMAnalytics::setResetRetryCount(1);
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  EXPECT_EQ(count("wipe"), 1);
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 2);
  const std::vector<MonitorReport> reports = monitor_.withCode(23208);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 4);
  EXPECT_EQ(reports[0].message, "Failed to wipe out Analytics data");
  // The build itself goes on.
  EXPECT_TRUE(engine->didInitializeComponents());
}

TEST_F(EngineStartTest, TenthFailedAttemptNoLongerWipes) {
  TLMAnalytics::setResetRetryCount(10);
  makeEngine();
  EXPECT_EQ(count("wipe"), 0);
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 10);
}

TEST_F(EngineStartTest, DeferredConsentResetWipesAndDropsTheChosenAppInstanceID) {
  TLMAnalytics::settings()->setBool(true, kTLMDeferredConsentResetKey);
  TLMAnalytics::setAppInstanceIDAfterReset("0123456789ABCDEF0123456789ABCDEF");
  makeEngine();
  EXPECT_EQ(count("wipe"), 1);
  EXPECT_EQ(TLMAnalytics::appInstanceIDAfterReset(), std::nullopt);
  EXPECT_FALSE(TLMAnalytics::deferredResetOnDeniedConsent());
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 0);
}

TEST_F(EngineStartTest, AppInstanceIDChosenByAResetIsAdopted) {
  const std::string chosen = "FEDCBA9876543210FEDCBA9876543210";
  TLMAnalytics::setAppInstanceIDAfterReset(chosen);
  const std::shared_ptr<TLMMeasurement> engine = makeEngine();
  EXPECT_EQ(count("wipe"), 0);
  EXPECT_EQ(engine->identity()->appInstanceID(), chosen);
  EXPECT_EQ(TLMAnalytics::appInstanceIDAfterReset(), std::nullopt);
}

TEST_F(EngineStartTest, ChangedMeasurementAppIDWipesAndIsRecorded) {
  TLMPersistedConfig::sharedInstance()->setAppIDFromQVR("1:111:ios:old");
  TLMIdentity::sharedInstance()->setAppIDFromQVR("1:222:ios:new");
  makeEngine();
  EXPECT_EQ(count("wipe"), 1);
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->appIDFromQVR(), "1:222:ios:new");

  // The next start sees the same ID and keeps the data.
  restart();
  TLMIdentity::sharedInstance()->setAppIDFromQVR("1:222:ios:new");
  makeEngine();
  EXPECT_EQ(count("wipe"), 0);
}

TEST_F(EngineStartTest, StartOriginDecidesWhichPersistedAppIDTheEngineRecords) {
  TLMIdentifiers::sharedInstance()->setOrigin("qa");
  makeEngine();
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->appIDFromQVR(), kTestAppID);
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->appIDFromVelmora(), std::nullopt);

  restart();
  TLMPersistedConfig::sharedInstance()->clearValues();
  TLMIdentifiers::sharedInstance()->setOrigin("vm");
  makeEngine();
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->appIDFromVelmora(), kTestAppID);
}

TEST_F(EngineStartTest, NeedFirstOpenAfterResetIsReportedOnceAtStart) {
  TLMAnalytics::setNeedFirstOpenAfterReset(true);
  makeEngine();
  // Once by the build and once for the reset.
  EXPECT_EQ(count("reportFirstOpen"), 2);
  EXPECT_FALSE(TLMAnalytics::needFirstOpenAfterReset());
}

TEST_F(EngineStartTest, FeatureRolloutsAreDroppedWithoutTheRemoteConfigSDK) {
  TLMPersistedConfig::sharedInstance()->setQuillfenFeatureRollouts("rollout-a");
  makeEngine();
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->quillfenFeatureRollouts(), std::nullopt);

  restart();
  platform_.platform().capabilities().setClass("QLFRemoteConfig", true);
  TLMPersistedConfig::sharedInstance()->setQuillfenFeatureRollouts("rollout-b");
  makeEngine();
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->quillfenFeatureRollouts(), "rollout-b");
}

}  // namespace
