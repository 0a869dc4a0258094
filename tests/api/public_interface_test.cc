// The public class methods: the configuration gate, the unbridgeable-value
// check, the arguments they forward, and the installation-ID refresh.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "api/QLFAnalyticsSupport.h"
#include "api/TLMAnalytics.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "core/QLFApp.h"
#include "core/QLFCore.h"
#include "core/QLFInstallations.h"
#include "core/QLFOptions.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "ferrolux/FerroluxLibrary.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/CapabilityRegistry.h"
#include "platform/NotificationCenter.h"
#include "public_test_support.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kUnbridgeableMessage[] =
    "Unbridgeable Swift type logged in parameters. Break on "
    "__QLFANALYTICS_UNBRIDGEABLE_SWIFT_VALUE_ERROR__ to debug.";

class PublicInterfaceTest : public PublicTest {
 protected:
  void SetUp() override {
    // As the host does before the app's code runs.
    FerroluxLibrary::load();
    // A "screen_view" goes to the screen reporter on the caller's thread:
    // what arrives there has passed the public interface.
    TLMStandIns::current().trackScreenWithParameters =
        [this](const OptionalObject& parameters, double) { screenViews_.push_back(parameters); };
  }

  void configure() {
    ASSERT_TRUE(QLFApp::configureWithOptions(QLFOptions(kPublicTestAppID)));
    run();
  }

  std::optional<std::string> identityInstallationID() {
    std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance();
    return identity != nullptr ? identity->quillfenInstallationID() : std::nullopt;
  }

  // The ID the installations component answers now.
  std::optional<std::string> installationID() {
    std::optional<std::string> answer;
    QLFInstallations::installations()->installationIDWithCompletion(
        [&](const std::optional<std::string>& value, const std::optional<Error>&) {
          answer = value;
        });
    run();
    return answer;
  }

  std::vector<OptionalObject> screenViews_;
};

TEST_F(PublicInterfaceTest, EventsBeforeConfigureAreDroppedWith25018) {
  const Object parameters = dictionary({{"screen_name", Object("Menu")}});
  QLFAnalytics::logEventWithName("screen_view", parameters);
  QLFAnalytics::logEventWithOrigin("app", "screen_view", parameters);
  run();
  EXPECT_TRUE(screenViews_.empty());
  const std::vector<MonitorReport> dropped = monitor_.withCode(25018);
  ASSERT_EQ(dropped.size(), 2u);
  for (const MonitorReport& report : dropped) {
    EXPECT_EQ(report.level, 3);
    EXPECT_EQ(report.message, "Event not logged. Call +[QLFApp configure]");
    EXPECT_EQ(report.contexts, ObjectArray{Object("screen_view")});
  }

  configure();
  QLFAnalytics::logEventWithName("screen_view", parameters);
  ASSERT_EQ(screenViews_.size(), 1u);
  EXPECT_EQ(screenViews_[0], OptionalObject(parameters));
  EXPECT_EQ(monitor_.count(25018), 2u);
}

TEST_F(PublicInterfaceTest, UserPropertiesBeforeConfigureAreDroppedWith25019) {
  // "1abc" is refused by the facade's name check (13003): that message
  // shows whether the call got that far.
  QLFAnalytics::setUserPropertyString(Object("gold"), "1abc");
  run();
  const MonitorReport* dropped =
      expectOneReport({25019, 3, "User property not set. Call +[QLFApp configure]"});
  ASSERT_NE(dropped, nullptr);
  EXPECT_EQ(dropped->contexts, ObjectArray{Object("1abc")});
  EXPECT_EQ(monitor_.count(13003), 0u);

  configure();
  QLFAnalytics::setUserPropertyString(Object("gold"), "1abc");
  run();
  EXPECT_EQ(monitor_.count(13003), 1u);
  EXPECT_EQ(monitor_.count(25019), 1u);
}

TEST_F(PublicInterfaceTest, NestedUnbridgeableValueIsReportedOnceAndStillForwarded) {
  platform_.platform().capabilities().setClass("__SwiftValue", true);
  configure();
  const Object parameters = dictionary(
      {{"screen_name", Object("Menu")},
       {"items", Object::array({dictionary({{"item_id", Object::opaque("__SwiftValue")}}),
                                Object::opaque("__SwiftValue")})}});
  QLFAnalytics::logEventWithName("screen_view", parameters);
  expectOneReport({25040, 3, kUnbridgeableMessage});
  ASSERT_EQ(screenViews_.size(), 1u);
  EXPECT_EQ(screenViews_[0], OptionalObject(parameters));
}

TEST_F(PublicInterfaceTest, UnbridgeableCheckIsSkippedWhenTheHostHasNoSuchClass) {
  configure();
  QLFAnalytics::logEventWithName("screen_view",
                                 dictionary({{"value", Object::opaque("__SwiftValue")}}));
  EXPECT_EQ(monitor_.count(25040), 0u);
  EXPECT_EQ(screenViews_.size(), 1u);
}

TEST(PublicContainsClassTest, FindsTheClassAtAnyDepthOfKeysValuesAndElements) {
  const Object swift = Object::opaque("__SwiftValue");
  EXPECT_TRUE(QLFAnalyticsContainsClass(swift, "__SwiftValue"));
  EXPECT_TRUE(QLFAnalyticsContainsClass(Object::dictionary({{swift, Object("key is the value")}}),
                                        "__SwiftValue"));
  EXPECT_TRUE(QLFAnalyticsContainsClass(
      Object::array({Object("a"), Object::set({Object::integer(1), swift})}), "__SwiftValue"));
  EXPECT_FALSE(QLFAnalyticsContainsClass(
      Object::dictionary({{Object("a"), Object::array({Object::opaque("Other")})}}),
      "__SwiftValue"));
  EXPECT_FALSE(QLFAnalyticsContainsClass(Object("__SwiftValue"), "__SwiftValue"));
  EXPECT_TRUE(QLFAnalyticsContainsClass(Object("text"), "NSString"));
}

TEST_F(PublicInterfaceTest, SetConsentGoesInAsThirdPartySettings) {
  QLFAnalytics::setConsent(dictionary({{"analytics_storage", Object("denied")}}));
  run();
  const OptionalObject thirdParty = TLMAnalytics::consentSettings3P();
  ASSERT_TRUE(thirdParty.has_value());
  ASSERT_NE(thirdParty->objectForKey("analytics_storage"), nullptr);
  EXPECT_EQ(*thirdParty->objectForKey("analytics_storage"), Object("denied"));
  EXPECT_FALSE(TLMAnalytics::consentSettings1P().has_value());
  EXPECT_EQ(TLMConsentSettingsUtil::consentSource(), TLMAnalytics::persistedConsentSource());
  EXPECT_TRUE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());
}

TEST_F(PublicInterfaceTest, CollectionChoiceIsPersisted) {
  QLFAnalytics::setAnalyticsCollectionEnabled(false);
  run();
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->measurementEnabledState(), 2);
  QLFAnalytics::setAnalyticsCollectionEnabled(true);
  run();
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->measurementEnabledState(), 1);
}

TEST_F(PublicInterfaceTest, InstallationIDReachesIdentity) {
  QLFAnalytics::updateQuillfenInstallationID();
  run();
  const std::optional<std::string> expected = installationID();
  ASSERT_TRUE(expected.has_value());
  EXPECT_EQ(identityInstallationID(), expected);
  EXPECT_EQ(monitor_.count(25038), 0u);
}

TEST_F(PublicInterfaceTest, FailedInstallationIDIsReportedAndClearsIdentitysCopy) {
  QLFAnalytics::updateQuillfenInstallationID();
  run();
  ASSERT_TRUE(identityInstallationID().has_value());

  QLFInstallations::installations()->TEST_setFailing(true);
  QLFAnalytics::updateQuillfenInstallationID();
  run();
  const MonitorReport* failed = expectOneReport({25038, 4, "Failed to get Installation ID."});
  ASSERT_NE(failed, nullptr);
  ASSERT_EQ(failed->contexts.size(), 1u);
  ASSERT_NE(failed->contexts[0].asError(), nullptr);
  EXPECT_EQ(failed->contexts[0].asError()->domain, kQLFInstallationsErrorDomain);
  EXPECT_FALSE(identityInstallationID().has_value());
}

TEST_F(PublicInterfaceTest, ObservingTwiceLeavesOneSubscriptionThatFollowsChanges) {
  NotificationCenter& center = platform_.platform().notificationCenter();
  const std::size_t before = center.observerCount();
  QLFAnalytics::observeQuillfenInstallationIDChanges();
  QLFAnalytics::observeQuillfenInstallationIDChanges();
  EXPECT_EQ(center.observerCount(), before + 1);

  const std::optional<std::string> first = installationID();  // makes one, announces it
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(identityInstallationID(), first);
  QLFInstallations::installations()->deleteInstallationID();
  const std::optional<std::string> second = installationID();
  ASSERT_TRUE(second.has_value());
  EXPECT_NE(second, first);
  EXPECT_EQ(identityInstallationID(), second);
}

TEST_F(PublicInterfaceTest, StartHandsTheOptionsToTheFacade) {
  std::ofstream(platform_.paths().bundlePath + "/TarvixService-Info.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
      << "<key>TARVIX_APP_ID</key><string>" << kPublicTestAppID << "</string>"
      << "<key>ANALYTICS_SAFELISTED_EVENTS</key><array><string>level_up</string></array>"
      << "</dict></plist>\n";
  QLFOptions options(kPublicTestAppID);
  options.setAnalyticsCollectionDeactivated(true);
  ASSERT_TRUE(QLFApp::configureWithOptions(options));
  run();
  EXPECT_EQ(TLMMeasurement::monitor().logTag(), kQLFLoggerAnalytics);
  ASSERT_TRUE(TLMMeasurement::hasSharedInstance());
  std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->appID(), kPublicTestAppID);
  EXPECT_TRUE(engine->isAnalyticsCollectionDeactivated());
  EXPECT_EQ(engine->safelistedEvents(), std::optional<std::vector<std::string>>({"level_up"}));
  // The installation ID was fetched.
  EXPECT_TRUE(identityInstallationID().has_value());
}

}  // namespace
