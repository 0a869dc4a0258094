// The default app and its options: what the bundle says, and that only the
// first configuration counts.
#include <gtest/gtest.h>

#include "core/QLFApp.h"
#include "core/QLFOptions.h"
#include "core_test_support.h"
#include "support/TestPlatform.h"

namespace {

TEST(CoreOptionsTest, DefaultsReadTheAppIDAndLeaveCollectionOnWhenInfoPlistIsSilent) {
  TestPlatform platform;
  writeServiceInfo(platform, std::string("<key>TARVIX_APP_ID</key><string>") + kCoreTestAppID +
                                 "</string><key>ANALYTICS_SAFELISTED_EVENTS</key>"
                                 "<array><string>level_up</string></array>");
  const std::optional<QLFOptions> options = QLFOptions::defaultOptions();
  ASSERT_TRUE(options.has_value());
  EXPECT_EQ(options->tarvixAppID(), kCoreTestAppID);
  EXPECT_TRUE(options->isAnalyticsCollectionEnabled());
  EXPECT_FALSE(options->isAnalyticsCollectionDeactivated());

  const OptionalObject dictionary = QLFOptions::defaultOptionsDictionary();
  ASSERT_TRUE(dictionary.has_value());
  const Object* safelist = dictionary->objectForKey("ANALYTICS_SAFELISTED_EVENTS");
  ASSERT_NE(safelist, nullptr);
  ASSERT_TRUE(safelist->isArray());
  EXPECT_EQ(safelist->asArray()->at(0), Object("level_up"));
}

TEST(CoreOptionsTest, CollectionSwitchesComeFromInfoPlistNumbersOnly) {
  TestPlatform platform;
  writeServiceInfo(platform,
                   std::string("<key>TARVIX_APP_ID</key><string>") + kCoreTestAppID + "</string>");
  writeInfoPlist(platform,
                 "<key>TARVIX_ANALYTICS_COLLECTION_ENABLED</key><false/>"
                 "<key>TARVIX_ANALYTICS_COLLECTION_DEACTIVATED</key><integer>1</integer>");
  platform.restart();  // the bundle reads Info.plist when the platform is made
  std::optional<QLFOptions> options = QLFOptions::defaultOptions();
  ASSERT_TRUE(options.has_value());
  EXPECT_FALSE(options->isAnalyticsCollectionEnabled());
  EXPECT_TRUE(options->isAnalyticsCollectionDeactivated());

  // A string is not a number: the defaults stand.
  writeInfoPlist(platform,
                 "<key>TARVIX_ANALYTICS_COLLECTION_ENABLED</key><string>NO</string>"
                 "<key>TARVIX_ANALYTICS_COLLECTION_DEACTIVATED</key><string>YES</string>");
  platform.restart();
  options = QLFOptions::defaultOptions();
  ASSERT_TRUE(options.has_value());
  EXPECT_TRUE(options->isAnalyticsCollectionEnabled());
  EXPECT_FALSE(options->isAnalyticsCollectionDeactivated());
}

TEST(CoreOptionsTest, NoOptionsWithoutAUsableAppID) {
  TestPlatform platform;
  EXPECT_FALSE(QLFOptions::defaultOptions().has_value());  // no file
  EXPECT_FALSE(QLFOptions::defaultOptionsDictionary().has_value());

  writeServiceInfo(platform, "<key>TARVIX_APP_ID</key><string></string>");
  EXPECT_FALSE(QLFOptions::defaultOptions().has_value());
  writeServiceInfo(platform, "<key>TARVIX_APP_ID</key><integer>7</integer>");
  EXPECT_FALSE(QLFOptions::defaultOptions().has_value());
  EXPECT_TRUE(QLFOptions::defaultOptionsDictionary().has_value());
}

TEST(CoreAppTest, ConfigureFailsWithoutOptionsAndLeavesTheAppUnconfigured) {
  TestPlatform platform;
  EXPECT_FALSE(QLFApp::configure());
  EXPECT_FALSE(QLFApp::isDefaultAppConfigured());
  EXPECT_FALSE(QLFApp::defaultAppOptions().has_value());
}

TEST(CoreAppTest, OnlyTheFirstConfigurationCounts) {
  TestPlatform platform;
  writeServiceInfo(platform,
                   std::string("<key>TARVIX_APP_ID</key><string>") + kCoreTestAppID + "</string>");
  EXPECT_FALSE(QLFApp::isDefaultAppConfigured());
  EXPECT_TRUE(QLFApp::configure());
  EXPECT_TRUE(QLFApp::isDefaultAppConfigured());

  EXPECT_FALSE(QLFApp::configureWithOptions(QLFOptions("1:2:ios:other")));
  ASSERT_TRUE(QLFApp::defaultAppOptions().has_value());
  EXPECT_EQ(QLFApp::defaultAppOptions()->tarvixAppID(), kCoreTestAppID);
  platform.executor().runUntilIdle();
}

TEST(CoreAppTest, ANewProcessStartsUnconfigured) {
  TestPlatform platform;
  EXPECT_TRUE(QLFApp::configureWithOptions(QLFOptions(kCoreTestAppID)));
  platform.restart();
  EXPECT_FALSE(QLFApp::isDefaultAppConfigured());
}

}  // namespace
