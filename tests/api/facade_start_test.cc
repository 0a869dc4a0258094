// Start: the checks every call makes, the start block once, the enabled
// flag, deactivated collection and the configuration notifications.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentifiers.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMSettingsKeys.h"
#include "config/TLMUserDefaults.h"
#include "facade_test_support.h"
#include "platform/CapabilityRegistry.h"
#include "platform/DeviceProfile.h"
#include "platform/NotificationCenter.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNAppDelegateSwizzler.h"
#include "utilities/HRNLogger.h"

namespace {

Object optionsOf(std::initializer_list<std::pair<const char*, Object>> entries) {
  ObjectDictionary dictionary;
  for (const auto& [key, value] : entries) dictionary[Object(key)] = value;
  return Object::dictionary(std::move(dictionary));
}

// The configuration object a platform core hands over at start.
class TestConfiguration final : public LibraryObject {
 public:
  std::string className() const override { return "QLFAnalyticsConfiguration"; }
  std::string description() const override { return "<QLFAnalyticsConfiguration>"; }
};

class FacadeStartTest : public FacadeTest {
 public:
  void declareClass(const std::string& name, std::set<std::string> selectors = {}) {
    Platform::current().capabilities().setClass(name, true, std::move(selectors));
  }

  void writeServiceInfoPlist() {
    std::ofstream(platform_.paths().bundlePath + "/TarvixService-Info.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>TARVIX_APP_ID</key><string>" << kFacadeTestAppID << "</string>"
        << "</dict></plist>\n";
  }

 protected:
  CapabilityRegistry& classes() { return Platform::current().capabilities(); }
  int willStartCount() const { return *willStart_; }

  void SetUp() override {
    FacadeTest::SetUp();
    Platform::current().notificationCenter().addObserver(
        nullptr, kQLFAnalyticsWillStartNotification, nullptr,
        [count = willStart_](const Notification&) { ++*count; });
  }

  std::shared_ptr<int> willStart_ = std::make_shared<int>(0);
};

TEST_F(FacadeStartTest, SecondStartRepeatsTheChecksButNotTheStartBlock) {
  start(kFacadeTestAppID, kTLMOriginQA, optionsOf({{kTLMStartOptionLogTag, Object("")}}));
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_EQ(willStartCount(), 1);
  EXPECT_EQ(monitor_.count(25030), 1u);

  start("1:999:ios:other", kTLMOriginQA, optionsOf({{kTLMStartOptionLogTag, Object("")}}));
  EXPECT_EQ(monitor_.count(25030), 2u) << "the per-call checks run again";
  EXPECT_EQ(willStartCount(), 1) << "the start block runs once";
  EXPECT_EQ(engineInstance()->appID(), kFacadeTestAppID);
}

TEST_F(FacadeStartTest, FacadeFlagFollowsTheEngineOnceItExists) {
  TLMPersistedConfig::sharedInstance()->setMeasurementEnabledState(2);
  TLMAnalytics::startWithAppID(
      kFacadeTestAppID, kTLMOriginQA,
      optionsOf({{kTLMStartOptionCollectionEnabled, Object::boolean(true)}}));
  runUntilIdle();
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_FALSE(engineInstance()->wasEnabledDuringInitialization());
  EXPECT_FALSE(TLMAnalytics::isEnabled());
}

TEST_F(FacadeStartTest, DisableBeforeStartIsNotLost) {
  TLMAnalytics::setAnalyticsEnabled(false);
  runUntilIdle();
  start();
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  EXPECT_FALSE(engineInstance()->isEnabled());
  // Not persisted: the next launch decides afresh.
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->measurementEnabledState(), 0);

  TLMAnalytics::logEventWithName("after_disable", std::nullopt);
  runUntilIdle();
  ASSERT_EQ(engine_.eventsNamed("after_disable").size(), 1u);
  EXPECT_FALSE(engine_.eventsNamed("after_disable")[0].enabled);
}

TEST_F(FacadeStartTest, EnableBeforeStartOverridesTheStartOption) {
  TLMAnalytics::setAnalyticsEnabled(true);
  start(kFacadeTestAppID, kTLMOriginQA,
        optionsOf({{kTLMStartOptionCollectionEnabled, Object::boolean(false)}}));
  EXPECT_TRUE(TLMAnalytics::isEnabled());
  EXPECT_TRUE(engineInstance()->isEnabled());
}

TEST_F(FacadeStartTest, DeactivatedCollectionRefusesEnablingButPersistsIt) {
  TLMAnalytics::setAnalyticsEnabled(true);
  start(kFacadeTestAppID, kTLMOriginQA,
        optionsOf({{kTLMStartOptionCollectionDeactivated, Object::boolean(true)}}));
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_FALSE(TLMAnalytics::isEnabled()) << "an enable made before start is refused too";
  EXPECT_FALSE(engineInstance()->isEnabled());

  TLMAnalytics::setAnalyticsEnabled(true);
  runUntilIdle();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->measurementEnabledState(), 0);

  TLMAnalytics::setAnalyticsEnabled(true, true);
  runUntilIdle();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  EXPECT_FALSE(engineInstance()->isEnabled());
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);

  EXPECT_FALSE(Platform::current().appDelegateSwizzler().isProxyInstalled());
}

TEST_F(FacadeStartTest, DisablingPersistsWhenAsked) {
  start();
  TLMAnalytics::setAnalyticsEnabled(false, true);
  runUntilIdle();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  EXPECT_FALSE(engineInstance()->isEnabled());
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
}

TEST_F(FacadeStartTest, EmptyAppIDNeverCreatesAnEngine) {
  start("");
  EXPECT_FALSE(TLMMeasurement::hasSharedInstance());
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  // Later calls run, find no engine and drop their work.
  TLMAnalytics::setAnalyticsEnabled(true);
  TLMAnalytics::logEventWithName("lost", std::nullopt);
  runUntilIdle();
  EXPECT_FALSE(TLMMeasurement::hasSharedInstance());
  EXPECT_TRUE(engine_.events().empty());
}

TEST_F(FacadeStartTest, StartRecordsOriginAndConsentFromOptions) {
  ObjectDictionary consent;
  consent[Object("analytics_storage")] = Object("denied");
  ObjectDictionary options = consent;
  options[Object(kTLMStartOptionCollectionEnabled)] = Object::boolean(true);
  TLMAnalytics::startWithAppID(kFacadeTestAppID, kTLMOriginQA,
                               Object::dictionary(std::move(options)));
  // Saved for the engine's start, which takes it over.
  const OptionalObject stored =
      TLMAnalytics::settings()->objectForKey(kTLMConsentSettingsOnStartKey);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(*stored, Object::dictionary(std::move(consent)));
  EXPECT_EQ(TLMIdentifiers::sharedInstance()->origin(), kTLMOriginQA);
  runUntilIdle();
  EXPECT_EQ(willStartCount(), 1);
  EXPECT_TRUE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());
}

TEST_F(FacadeStartTest, SafelistReachesTheEngineOnlyWhenEveryNameIsValid) {
  start(kFacadeTestAppID, kTLMOriginQA,
        optionsOf({{kTLMStartOptionSafelistedEvents,
                    Object::array({Object("level_up"), Object("_vs")})}}));
  ASSERT_NE(engineInstance(), nullptr);
  ASSERT_TRUE(engineInstance()->safelistedEvents().has_value());
  EXPECT_EQ(*engineInstance()->safelistedEvents(), (std::vector<std::string>{"level_up", "_vs"}));
  EXPECT_EQ(monitor_.count(25034) + monitor_.count(25035), 0u);
}

TEST_F(FacadeStartTest, SetEnabledNotificationFromTheConfigurationSwitchesCollection) {
  auto configuration = std::make_shared<TestConfiguration>();
  auto stranger = std::make_shared<TestConfiguration>();
  start(kFacadeTestAppID, kTLMOriginQA,
        optionsOf({{kTLMStartOptionConfiguration, Object::library(configuration)}}));
  ASSERT_TRUE(TLMAnalytics::isEnabled());

  auto post = [](const void* poster, Object value) {
    ObjectDictionary userInfo;
    userInfo[Object(kQLFAnalyticsConfigurationSetEnabledNotification)] = std::move(value);
    Platform::current().notificationCenter().post(kQLFAnalyticsConfigurationSetEnabledNotification,
                                                  poster, Object::dictionary(std::move(userInfo)));
  };
  post(stranger.get(), Object::boolean(false));
  runUntilIdle();
  EXPECT_TRUE(TLMAnalytics::isEnabled()) << "only the configuration's own notifications count";

  post(configuration.get(), Object::boolean(false));
  runUntilIdle();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->measurementEnabledState(), 0);

  post(configuration.get(), Object("yes"));
  runUntilIdle();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  ASSERT_EQ(monitor_.count(25000), 1u);
  EXPECT_EQ(monitor_.withCode(25000)[0].level, 4);
  EXPECT_EQ(monitor_.withCode(25000)[0].message,
            "Received setEnabled notification without NSNumber");

  TLMAnalytics::observeNotificationsForAnalyticsConfiguration(std::nullopt);
  post(configuration.get(), Object::boolean(true));
  runUntilIdle();
  EXPECT_FALSE(TLMAnalytics::isEnabled()) << "no longer observed";
}

TEST_F(FacadeStartTest, TagManagerIsInitializedWhenItCanBe) {
  int calls = 0;
  classes().setClass("WKLManager", true, {"initializeSharedInstance"});
  ASSERT_TRUE(classes().setInvocable("WKLManager", "initializeSharedInstance", [&calls] {
    ++calls;
    return OptionalObject();
  }));
  start();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(monitor_.count(25016), 0u);
}

TEST_F(FacadeStartTest, ProxiesTheAppDelegateWhenCollectionMayRun) {
  start();
  EXPECT_TRUE(Platform::current().appDelegateSwizzler().isProxyInstalled());
}

TEST_F(FacadeStartTest, FirstRunLoadTimestampSurvivesLaterRuns) {
  const double firstLoad = clock().now();
  start();
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_DOUBLE_EQ(engineInstance()->initTimestamp(), firstLoad);

  platform_.restart();
  engine_.install();
  Platform::current().fakeClock()->advance(86400);
  TLMAnalytics::load();
  TLMAnalytics::startWithAppID(kFacadeTestAppID, kTLMOriginQA, std::nullopt);
  platform_.executor().runUntilIdle();
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_DOUBLE_EQ(engineInstance()->initTimestamp(), firstLoad);
  EXPECT_GT(TLMAnalytics::loadTimestamp(), firstLoad);
}

// ---- Every start message, with its level and exact text ----

struct StartMessageCase {
  const char* name;
  // Prepares the situation the message is for.
  std::function<void(FacadeStartTest&)> arrange;
  std::string appID;
  std::string origin;
  OptionalObject options;
  long code;
  int level;
  std::string message;
  bool createsEngine;
};

void PrintTo(const StartMessageCase& c, std::ostream* out) { *out << c.name; }

void nothing(FacadeStartTest&) {}

// Runs one case on a fresh fixture.
class StartMessageTable : public FacadeStartTest,
                          public ::testing::WithParamInterface<StartMessageCase> {};

TEST_P(StartMessageTable, IsReportedWithItsLevelAndText) {
  const StartMessageCase& c = GetParam();
  c.arrange(*this);
  start(c.appID, c.origin, c.options);
  EXPECT_TRUE(ReportedOnce(monitor_, c.code, c.level, c.message));
  EXPECT_EQ(TLMMeasurement::hasSharedInstance(), c.createsEngine);
}

const StartMessageCase kStartMessages[] = {
    {"legacy_framework", [](FacadeStartTest& t) { t.declareClass("QLFADatabase"); },
     kFacadeTestAppID, kTLMOriginQA, std::nullopt, 25029, 1,
     "Detected an older version of Tarvix Analytics for Quillfen framework. Data collection will "
     "be disabled. Please upgrade to the latest version of Tarvix Analytics for Quillfen",
     false},
    {"defer_to_public_interface", [](FacadeStartTest& t) { t.declareClass("QLFAnalytics"); },
     kFacadeTestAppID, kTLMOriginApp, std::nullopt, 25026, 3,
     "Deferring to Quillfen for event data collection", false},
    {"defer_to_platform", [](FacadeStartTest& t) { t.writeServiceInfoPlist(); }, kFacadeTestAppID,
     kTLMOriginQA, std::nullopt, 25027, 0,
     "Deferring to Tarvix Analytics for Quillfen for event data collection. "
     "https://ferrolux.dev/analytics/deferral",
     false},
    {"velmora_not_linked",
     [](FacadeStartTest& t) {
       t.writeServiceInfoPlist();
       t.declareClass("QLFAnalytics");
       t.declareClass("VLMMobileAds");
     },
     kFacadeTestAppID, kTLMOriginQA, std::nullopt, 25028, 3,
     "Velmora and Quillfen are in use in this app, but are not linked. For analytics data "
     "consistency and integrity, it is highly recommended that you link your Velmora app to the "
     "corresponding Quillfen app and re-download the TarvixServices-Info.plist file. See "
     "https://ferrolux.dev/analytics/link-velmora for more information.",
     true},
    {"invalid_log_tag", nothing, kFacadeTestAppID, kTLMOriginQA,
     optionsOf({{kTLMStartOptionLogTag, Object::integer(7)}}), 25030, 2,
     "Invalid monitor tag. It must be a non-empty string.", true},
    {"empty_log_tag", nothing, kFacadeTestAppID, kTLMOriginQA,
     optionsOf({{kTLMStartOptionLogTag, Object("")}}), 25030, 2,
     "Invalid monitor tag. It must be a non-empty string.", true},
    {"qvr_app_id_changed", nothing, kFacadeTestAppID, kTLMOriginQA, std::nullopt, 25020, 1,
     "Analytics requires Tarvix App ID from TarvixService-Info.plist. Your data may be lost. "
     "Tarvix App ID has been changed. Original, new ID",
     true},
    {"velmora_app_id_changed", nothing, "ca-app-pub-123~456", kTLMOriginVM, std::nullopt, 25031, 3,
     "Velmora App ID changed. Original, new", true},
    {"safelist_not_array", nothing, kFacadeTestAppID, kTLMOriginQA,
     optionsOf({{kTLMStartOptionSafelistedEvents, Object("level_up")}}), 25034, 0,
     "Invalid safelisted event parameter. Type must be an array", true},
    {"safelist_invalid_name", nothing, kFacadeTestAppID, kTLMOriginQA,
     optionsOf({{kTLMStartOptionSafelistedEvents,
                 Object::array({Object("ok"), Object("not ok"), Object("9lives")})}}),
     25035, 0, "Invalid event name for safelisting. Name", true},
    {"app_delegate_proxy_disabled",
     [](FacadeStartTest&) {
       Platform::current().appDelegateSwizzler().setAppDelegateProxyEnabled(false);
     },
     kFacadeTestAppID, kTLMOriginQA, std::nullopt, 25036, 6, "App Delegate Proxy is disabled",
     true},
    {"tag_manager_without_initializer",
     [](FacadeStartTest& t) { t.declareClass("WKLManager", {"initializeSharedInstance"}); },
     kFacadeTestAppID, kTLMOriginQA, std::nullopt, 25016, 2,
     "WKLManager class doesn't define initializeSharedInstance", true},
};

INSTANTIATE_TEST_SUITE_P(Table, StartMessageTable, ::testing::ValuesIn(kStartMessages),
                         [](const ::testing::TestParamInfo<StartMessageCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(FacadeStartTest, ValidLogTagIsUsedAndAbsentTagIsNotInvalid) {
  start(kFacadeTestAppID, kTLMOriginQA,
        optionsOf({{kTLMStartOptionCollectionEnabled, Object::boolean(true)}}));
  EXPECT_EQ(monitor_.count(25030), 0u);
  start(kFacadeTestAppID, kTLMOriginQA, optionsOf({{kTLMStartOptionLogTag, Object("game")}}));
  EXPECT_EQ(TLMMeasurement::monitor().logTag(), "game");
  EXPECT_EQ(monitor_.count(25030), 0u);
}

TEST_F(FacadeStartTest, VelmoraAppIDIsStoredWithoutTouchingTheQVRID) {
  start("ca-app-pub-123~456", kTLMOriginVM);
  ASSERT_EQ(monitor_.count(25031), 1u);
  EXPECT_EQ(monitor_.withCode(25031)[0].contexts.back(), Object("ca-app-pub-123~456"));
  EXPECT_EQ(TLMIdentity::sharedInstance()->appIDFromVelmora(), "ca-app-pub-123~456");
  EXPECT_EQ(monitor_.count(25020), 0u);
}

TEST_F(FacadeStartTest, InvalidSafelistsAreDroppedWhole) {
  start(kFacadeTestAppID, kTLMOriginQA,
        optionsOf({{kTLMStartOptionSafelistedEvents,
                    Object::array({Object("ok"), Object("not ok"), Object("9lives")})}}));
  ASSERT_EQ(monitor_.count(25035), 1u) << "only the first bad name is reported";
  EXPECT_EQ(monitor_.withCode(25035)[0].contexts.at(0), Object("not ok"));
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_FALSE(engineInstance()->safelistedEvents().has_value());
}

TEST(FacadeUnsupportedOSTest, StartRefusesAndSaysSoOnTheConsole) {
  TestPlatform testPlatform;
  DeviceProfile device;
  device.setOSVersion("7.1");
  std::shared_ptr<Platform> oldOS = Platform::createDeterministic(testPlatform.paths(), device);
  Platform::install(oldOS);
  std::vector<std::string> lines;
  HRNLogger_TEST_setSink([&lines](const std::string& line) { lines.push_back(line); });

  TLMAnalytics::startWithAppID(kFacadeTestAppID, kTLMOriginQA, std::nullopt);
  TLMAnalytics::logEventWithName("ignored", std::nullopt);
  oldOS->deterministicExecutor()->runUntilIdle();
  HRNLogger_TEST_setSink(nullptr);

  EXPECT_FALSE(TLMMeasurement::hasSharedInstance());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" E <Ferrolux>[I-ACS025032] Ferrolux only supports iOS 7 and above. "
                          "Ferrolux is disabled."),
            std::string::npos)
      << lines[0];
  Platform::install(nullptr);
}

}  // namespace
