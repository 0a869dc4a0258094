// User properties and the user ID: names, origins, values, removal and
// the personalized-ads property.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMValue.h"
#include "facade_test_support.h"

namespace {

class FacadeUserPropertiesTest : public FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    start();
  }

  std::vector<std::string> names(const std::vector<TLMUserAttributePtr>& attributes) {
    std::vector<std::string> found;
    for (const TLMUserAttributePtr& attribute : attributes) {
      found.push_back(attribute ? attribute->name() : "<nil>");
    }
    return found;
  }
};

TEST_F(FacadeUserPropertiesTest, OriginOf32CharactersIsAcceptedAnd33Refused) {
  const std::string origin32(32, 'o');
  const std::string origin33(33, 'o');
  TLMAnalytics::setInternalUserProperty(Object("v"), "thirty_two", origin32);
  TLMAnalytics::setInternalUserProperty(Object("v"), "thirty_three", origin33);
  TLMAnalytics::setInternalUserProperty(Object("v"), "empty_origin", "");
  // Counted in code points, not bytes: 32 two-byte letters pass.
  std::string wide;
  for (int i = 0; i < 32; ++i) wide += "\xC3\xA9";
  TLMAnalytics::setInternalUserProperty(Object("v"), "wide_origin", wide);
  runUntilIdle();

  EXPECT_EQ(names(engine_.setAttributes()),
            (std::vector<std::string>{"thirty_two", "wide_origin"}));
  EXPECT_EQ(engine_.setAttributes()[0]->origin(), origin32);
  const std::vector<MonitorReport> refused = monitor_.withCode(25005);
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(refused[0].level, 2);
  EXPECT_EQ(refused[0].message, "Unable to set user property. Origin is invalid. Origin, name");
  EXPECT_EQ(refused[0].contexts, (ObjectArray{Object(origin33), Object("thirty_three")}));
  EXPECT_EQ(refused[1].contexts, (ObjectArray{Object(""), Object("empty_origin")}));
}

TEST_F(FacadeUserPropertiesTest, UserIDIsSetAsInternalPropertyWithAppOrigin) {
  TLMAnalytics::setUserID(Object("player-17"));
  runUntilIdle();
  const std::vector<TLMUserAttributePtr> set = engine_.setAttributes();
  ASSERT_EQ(set.size(), 1u);
  EXPECT_EQ(set[0]->name(), "_id");
  EXPECT_EQ(set[0]->origin(), kTLMOriginApp);
  ASSERT_NE(set[0]->value()->stringValue(), nullptr);
  EXPECT_EQ(*set[0]->value()->stringValue(), "player-17");
}

TEST_F(FacadeUserPropertiesTest, NilUserIDRemovesTheIDAndTheAdvertisingResetMarker) {
  ASSERT_TRUE(TLMMeasurement::remoteConfig().lastAdvertisingIDResetFeatureEnabled());
  TLMAnalytics::setUserID(std::nullopt);
  runUntilIdle();
  EXPECT_EQ(names(engine_.removedAttributes()), (std::vector<std::string>{"_id", "_lair"}));
  EXPECT_TRUE(engine_.setAttributes().empty());
}

TEST_F(FacadeUserPropertiesTest, UserIDThatIsNotAStringIsRefused) {
  TLMAnalytics::setUserID(Object::integer(17));
  runUntilIdle();
  EXPECT_TRUE(ReportedOnce(monitor_, 25004, 0, "User ID must be NSString. User ID"));
  EXPECT_EQ(monitor_.withCode(25004)[0].contexts, ObjectArray{Object::integer(17)});
  EXPECT_TRUE(engine_.setAttributes().empty());
}

TEST_F(FacadeUserPropertiesTest, StringPropertyIsSetWithAppOriginAndNilRemovesIt) {
  TLMAnalytics::setUserPropertyString(Object("gold"), "tier");
  TLMAnalytics::setUserPropertyString(std::nullopt, "tier");
  runUntilIdle();
  ASSERT_EQ(names(engine_.setAttributes()), std::vector<std::string>{"tier"});
  EXPECT_EQ(engine_.setAttributes()[0]->origin(), kTLMOriginApp);
  EXPECT_EQ(names(engine_.removedAttributes()), std::vector<std::string>{"tier"});
  EXPECT_EQ(engine_.removedAttributes()[0]->origin(), "");
}

TEST_F(FacadeUserPropertiesTest, PropertyValueThatIsNotAStringIsRefused) {
  TLMAnalytics::setUserPropertyString(Object::integer(3), "tier");
  runUntilIdle();
  EXPECT_TRUE(ReportedOnce(monitor_, 25003, 0, "User property must be NSString. Value"));
  EXPECT_TRUE(engine_.setAttributes().empty());
}

TEST_F(FacadeUserPropertiesTest, InvalidNamesAndLongValuesBecomeErrorEvents) {
  TLMAnalytics::setUserPropertyString(Object("x"), "tarvix_tier");            // reserved prefix
  TLMAnalytics::setUserPropertyString(Object("x"), "9tier");                  // bad first character
  TLMAnalytics::setUserPropertyString(Object(std::string(37, 'v')), "tier");  // too long
  TLMAnalytics::setUserAttributeNumber(Object::integer(1), "tx_level");
  TLMAnalytics::setInternalUserProperty(Object("x"), "bad name", kTLMOriginAuto);
  runUntilIdle();

  EXPECT_TRUE(engine_.setAttributes().empty());
  const auto errors = errorEvents();
  ASSERT_EQ(errors.size(), 5u);
  EXPECT_EQ(errors[0], std::make_pair(std::int64_t{15}, std::string("tarvix_tier")));
  EXPECT_EQ(errors[1], std::make_pair(std::int64_t{6}, std::string("9tier")));
  EXPECT_EQ(errors[2], std::make_pair(std::int64_t{7}, std::string("tier")));
  EXPECT_EQ(errors[3], std::make_pair(std::int64_t{15}, std::string("tx_level")));
  EXPECT_EQ(errors[4], std::make_pair(std::int64_t{6}, std::string("bad name")));
  // The too-long value's length travels with its error.
  const TLMLogEventCall longValue = engine_.eventsNamed("_err")[2];
  ASSERT_NE(longValue.parameters->objectForKey("_el"), nullptr);
  EXPECT_EQ(longValue.parameters->objectForKey("_el")->int64Value(), 37);
}

TEST_F(FacadeUserPropertiesTest, NumbersKeepTheirKindAndGetAutoOrigin) {
  TLMAnalytics::setUserAttributeNumber(Object::floating(2.5), "ratio");
  TLMAnalytics::setUserAttributeNumber(Object::integer(40), "level");
  TLMAnalytics::setUserAttributeNumber(Object::boolean(true), "flag");
  TLMAnalytics::setUserAttributeNumber(Object("40"), "ignored");
  TLMAnalytics::setUserAttributeNumber(std::nullopt, "ignored_too");
  runUntilIdle();

  const std::vector<TLMUserAttributePtr> set = engine_.setAttributes();
  ASSERT_EQ(names(set), (std::vector<std::string>{"ratio", "level", "flag"}));
  EXPECT_TRUE(set[0]->value()->isDouble());
  EXPECT_DOUBLE_EQ(set[0]->value()->doubleValue(), 2.5);
  EXPECT_TRUE(set[1]->value()->isInt64());
  EXPECT_EQ(set[1]->value()->int64Value(), 40);
  EXPECT_TRUE(set[2]->value()->isInt64());
  EXPECT_EQ(set[2]->value()->int64Value(), 1);
  for (const TLMUserAttributePtr& attribute : set) EXPECT_EQ(attribute->origin(), kTLMOriginAuto);
}

TEST_F(FacadeUserPropertiesTest, RemovingAnInvalidPublicNameDoesNothing) {
  TLMAnalytics::removeUserAttributeForName("_internal");
  TLMAnalytics::removeUserAttributeForName("level");
  runUntilIdle();
  EXPECT_EQ(names(engine_.removedAttributes()), std::vector<std::string>{"level"});
}

TEST_F(FacadeUserPropertiesTest, PersonalizedAdsChoiceIsPersistedAndMirroredAsNpa) {
  engine_.clear();
  TLMAnalytics::setUserPropertyString(Object("false"), "allow_personalized_ads");
  runUntilIdle();
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->allowPersonalizedAds(),
            OptionalObject(Object::boolean(false)));
  EXPECT_EQ(monitor_.count(25033), 0u);

  const std::optional<std::int64_t> answer = engineInstance()->shouldDisableAdPersonalization();
  std::vector<TLMUserAttributePtr> npa;
  for (const auto& attribute : answer ? engine_.setAttributes() : engine_.removedAttributes()) {
    if (attribute->name() == "_npa") npa.push_back(attribute);
  }
  ASSERT_EQ(npa.size(), 1u);
  EXPECT_EQ(npa[0]->origin(), kTLMOriginAuto);
  if (answer) {
    EXPECT_EQ(npa[0]->value()->int64Value(), *answer);
  }
  // The property itself is set as any other.
  bool propertySet = false;
  for (const auto& attribute : engine_.setAttributes()) {
    propertySet |= attribute->name() == "allow_personalized_ads";
  }
  EXPECT_TRUE(propertySet);
}

TEST_F(FacadeUserPropertiesTest, PersonalizedAdsWhileDisabledIsOnlyPersisted) {
  TLMAnalytics::setAnalyticsEnabled(false);
  runUntilIdle();
  engine_.clear();
  TLMAnalytics::setUserPropertyString(Object("yes"), "allow_personalized_ads");
  runUntilIdle();
  EXPECT_TRUE(ReportedOnce(monitor_, 25033, 7,
                           "Personalized Ads property changed while Analytics is disabled"));
  EXPECT_EQ(TLMPersistedConfig::sharedInstance()->allowPersonalizedAds(),
            OptionalObject(Object::boolean(true)));
  for (const auto& attribute : engine_.setAttributes()) EXPECT_NE(attribute->name(), "_npa");
  for (const auto& attribute : engine_.removedAttributes()) EXPECT_NE(attribute->name(), "_npa");

  TLMAnalytics::setUserPropertyString(std::nullopt, "allow_personalized_ads");
  runUntilIdle();
  EXPECT_FALSE(TLMPersistedConfig::sharedInstance()->allowPersonalizedAds().has_value());
}

}  // namespace
