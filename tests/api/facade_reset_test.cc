// The analytics-data reset and its bookkeeping, the app instance ID, the
// session timeout, default event parameters and the consent wipe seam.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "api/TLMConsentWipeSeam.h"
#include "config/TLMConsentSettingsUtil.h"
#include "config/TLMIdentity.h"
#include "config/TLMPersistedConfig.h"
#include "facade_test_support.h"

namespace {

class FacadeResetTest : public FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    TLMStandIns::current().wipeoutAnalyticsDataAndResetComponents = [this] {
      ++wipes_;
      // What the facade still holds while the engine resets.
      idsSeenByWipe_.push_back(TLMAnalytics::appInstanceIDAfterReset());
      return wipeSucceeds_;
    };
  }

  int wipes_ = 0;
  bool wipeSucceeds_ = true;
  std::vector<std::optional<std::string>> idsSeenByWipe_;
};

TEST_F(FacadeResetTest, SuccessfulResetClearsTheBookkeeping) {
  start();
  const int wipesAtStart = wipes_;
  clock().advance(500);
  TLMAnalytics::resetAnalyticsData();
  EXPECT_DOUBLE_EQ(TLMAnalytics::loadTimestamp(), clock().now());
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 1);
  EXPECT_TRUE(TLMAnalytics::needFirstOpenAfterReset());
  const std::optional<std::string> chosen = TLMAnalytics::appInstanceIDAfterReset();
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->size(), 32u);
  EXPECT_EQ(TLMAnalytics::appInstanceID(), chosen) << "the new ID answers before the engine has it";

  runUntilIdle();
  EXPECT_EQ(wipes_, wipesAtStart + 1);
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 0);
  EXPECT_FALSE(TLMAnalytics::appInstanceIDAfterReset().has_value());
  EXPECT_EQ(monitor_.count(25037), 0u);
}

TEST_F(FacadeResetTest, NewIDIsKeptWhileALaterResetChoseAnother) {
  start();
  idsSeenByWipe_.clear();
  // Both resets choose their ID before either reaches the engine.
  TLMAnalytics::resetAnalyticsData();
  const std::optional<std::string> first = TLMAnalytics::appInstanceIDAfterReset();
  TLMAnalytics::resetAnalyticsData();
  const std::optional<std::string> second = TLMAnalytics::appInstanceIDAfterReset();
  ASSERT_TRUE(first && second);
  ASSERT_NE(first, second);
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 2);

  runUntilIdle();
  // The first reset's success must not drop the second reset's ID.
  EXPECT_EQ(idsSeenByWipe_, (std::vector<std::optional<std::string>>{second, second}));
  EXPECT_FALSE(TLMAnalytics::appInstanceIDAfterReset().has_value());
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 0);
}

TEST_F(FacadeResetTest, ResetsMadeBeforeStartAreOwedAtStart) {
  TLMAnalytics::resetAnalyticsData();
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 1);
  start();
  EXPECT_GE(wipes_, 1);
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 0);
  EXPECT_EQ(monitor_.count(25037), 0u);
}

TEST_F(FacadeResetTest, FailedResetKeepsTheBookkeepingForTheNextStart) {
  start();
  wipeSucceeds_ = false;
  TLMAnalytics::resetAnalyticsData();
  const std::optional<std::string> chosen = TLMAnalytics::appInstanceIDAfterReset();
  runUntilIdle();
  EXPECT_TRUE(ReportedOnce(monitor_, 25037, 1, "Failed to reset Analytics data"));
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 1);
  EXPECT_EQ(TLMAnalytics::appInstanceIDAfterReset(), chosen);

  TLMAnalytics::resetAnalyticsData();
  runUntilIdle();
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 2);
}

TEST_F(FacadeResetTest, ResetWithoutAnEngineFails) {
  start("");
  TLMAnalytics::resetAnalyticsData();
  runUntilIdle();
  EXPECT_TRUE(ReportedOnce(monitor_, 25037, 1, "Failed to reset Analytics data"));
  EXPECT_EQ(TLMAnalytics::resetRetryCount(), 1);
  EXPECT_EQ(wipes_, 0);
}

TEST_F(FacadeResetTest, DeniedAnalyticsStorageKeepsNoNewID) {
  start();
  ObjectDictionary consent;
  consent[Object("analytics_storage")] = Object("denied");
  TLMAnalytics::setConsent(Object::dictionary(std::move(consent)));
  runUntilIdle();
  ASSERT_TRUE(TLMConsentSettingsUtil::isAnalyticsStorageDenied());

  TLMAnalytics::resetAnalyticsData();
  EXPECT_FALSE(TLMAnalytics::appInstanceIDAfterReset().has_value());
  EXPECT_FALSE(TLMAnalytics::appInstanceID().has_value());
  runUntilIdle();
  EXPECT_FALSE(TLMAnalytics::appInstanceIDAfterReset().has_value());
}

TEST_F(FacadeResetTest, AppInstanceIDComesFromIdentityWithoutAPendingReset) {
  start();
  const std::shared_ptr<TLMIdentity> identity = TLMIdentity::sharedInstance();
  ASSERT_NE(identity, nullptr);
  EXPECT_EQ(TLMAnalytics::appInstanceID(), identity->appInstanceID());
  TLMAnalytics::setAppInstanceIDAfterReset(std::string());
  EXPECT_EQ(TLMAnalytics::appInstanceID(), identity->appInstanceID()) << "an empty one is ignored";
}

TEST_F(FacadeResetTest, WipeSeamSeesTheEngineOnlyOnceItsComponentsExist) {
  EXPECT_FALSE(TLMConsentWipeSeam::isEngineInitialized());
  start();
  ASSERT_NE(engineInstance(), nullptr);
  EXPECT_EQ(TLMConsentWipeSeam::isEngineInitialized(), engineInstance()->didInitializeComponents());
  EXPECT_TRUE(TLMConsentWipeSeam::isEngineInitialized());

  const int before = wipes_;
  EXPECT_TRUE(TLMConsentWipeSeam::resetAnalyticsData());
  runUntilIdle();
  EXPECT_EQ(wipes_, before + 1);
}

TEST_F(FacadeResetTest, SessionTimeoutAndDefaultParametersReachTheEngine) {
  std::vector<double> timeouts;
  TLMStandIns::current().setSessionTimeoutInterval = [&timeouts](double seconds) {
    timeouts.push_back(seconds);
  };
  start();
  ObjectDictionary parameters;
  parameters[Object("coins")] = Object::integer(5);
  TLMAnalytics::setSessionTimeoutInterval(900);
  TLMAnalytics::setDefaultEventParameters(Object::dictionary(parameters));
  runUntilIdle();
  EXPECT_EQ(timeouts, std::vector<double>{900});
  const std::shared_ptr<TLMMeasurement> engine = engineInstance();
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->persistedConfig()->defaultEventParameters(),
            OptionalObject(Object::dictionary(parameters)));

  // While disabled, the stored defaults are left alone.
  TLMAnalytics::setAnalyticsEnabled(false);
  runUntilIdle();
  TLMAnalytics::setDefaultEventParameters(std::nullopt);
  runUntilIdle();
  EXPECT_EQ(engine->persistedConfig()->defaultEventParameters(),
            OptionalObject(Object::dictionary(parameters)));
}

}  // namespace
