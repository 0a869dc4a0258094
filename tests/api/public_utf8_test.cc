// Text that is not valid UTF-8 is refused at the public interface: the
// whole call is dropped with a message that says where the bad text was,
// and nothing reaches the engine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/QLFAnalyticsUTF8.h"
#include "api/TLMAnalytics.h"
#include "core/QLFApp.h"
#include "core/QLFOptions.h"
#include "engine/TLMLogEventCall.h"
#include "engine/TLMMeasurement.h"
#include "ferrolux/FerroluxLibrary.h"
#include "ferrolux/QLFAnalytics.h"
#include "public_test_support.h"

namespace {

class PublicUTF8Test : public PublicTest {
 protected:
  void SetUp() override {
    FerroluxLibrary::load();
    TLMMeasurement::TEST_setLogEventCallObserver(
        [this](const TLMLogEventCall& call) { reached_.push_back(call.name); });
    ASSERT_TRUE(QLFApp::configureWithOptions(QLFOptions(kPublicTestAppID)));
    run();
    reached_.clear();
  }
  void TearDown() override { TLMMeasurement::TEST_setLogEventCallObserver({}); }

  // The one refusal with `code`, its text and the location it names.
  void expectRefused(long code, const std::string& refusal, const std::string& location) {
    const std::vector<MonitorReport> found = monitor_.withCode(code);
    ASSERT_EQ(found.size(), 1u) << code;
    EXPECT_EQ(found[0].level, 3);
    EXPECT_EQ(found[0].message, refusal + " Text is not valid UTF-8. Location");
    EXPECT_EQ(found[0].contexts, ObjectArray{Object(location)});
  }

  std::vector<std::string> reached_;
};

TEST_F(PublicUTF8Test, EventsWithInvalidTextAnywhereAreDroppedAndSayWhere) {
  struct Case {
    std::string origin;
    std::string name;
    OptionalObject parameters;
    std::string location;
  };
  const std::vector<Case> cases = {
      {"app", "level\xff", std::nullopt, "the event name"},
      {"ap\xfe", "level_up", std::nullopt, "the origin"},
      {"app", "level_up", dictionary({{"na\xc3", Object::integer(1)}}), "the key of a parameter"},
      // An encoded surrogate and an overlong slash are not UTF-8 either.
      {"app", "level_up", dictionary({{"hero", Object("\xed\xa0\x80")}}),
       "the value of parameter \"hero\""},
      {"app", "level_up",
       dictionary({{"items", Object::array({dictionary({{"item_id", Object("sword")}}),
                                            dictionary({{"item_name", Object("a\xc0\xaf")}})})}}),
       "the value of parameter \"item_name\""},
      {"app", "level_up",
       dictionary({{"nested", Object::array({Object::array({Object("\x80")})})}}),
       "an item of an item of the value of parameter \"nested\""},
  };
  for (const Case& c : cases) {
    monitor_.clear();
    QLFAnalytics::logEventWithOrigin(c.origin, c.name, c.parameters);
    run();
    expectRefused(kQLFInvalidUTF8EventCode, "Event not logged.", c.location);
    EXPECT_TRUE(reached_.empty()) << c.location;
  }

  // The same paths with valid multi-byte text go through.
  monitor_.clear();
  QLFAnalytics::logEventWithName("level_up", dictionary({{"héros", Object("épée ⚔")}}));
  QLFAnalytics::sharedInstance()->logInternalEventWithOrigin("auto", "_ab", std::nullopt);
  run();
  EXPECT_EQ(reached_, (std::vector<std::string>{"level_up", "_ab"}));
  EXPECT_EQ(monitor_.count(kQLFInvalidUTF8EventCode), 0u);
}

TEST_F(PublicUTF8Test, EveryOtherTextEntryPointRefusesInvalidText) {
  QLFAnalytics::setUserPropertyString(Object("gold\xff"), "tier");
  QLFAnalytics::sharedInstance()->setInternalUserProperty(Object("x"), "_t\xff", "auto");
  QLFAnalytics::setUserID(Object("\x80"));
  QLFAnalytics::setDefaultEventParameters(dictionary({{"k", Object("\xff")}}));
  QLFAnalytics::setConsent(dictionary({{"ad_storage", Object("granted\xff")}}));
  QLFAnalytics::handleOpenURL("https://example.test/\xff");
  QLFAnalytics::logInternalEventWithOrigin("auto", "_x\xfe", std::nullopt);
  run();

  const std::vector<MonitorReport> properties = monitor_.withCode(kQLFInvalidUTF8UserPropertyCode);
  ASSERT_EQ(properties.size(), 2u);
  EXPECT_EQ(properties[0].contexts, ObjectArray{Object("the value")});
  EXPECT_EQ(properties[1].contexts, ObjectArray{Object("the property name")});
  expectRefused(kQLFInvalidUTF8UserIDCode, "User ID not set.", "the user ID");
  expectRefused(kQLFInvalidUTF8DefaultParametersCode, "Default event parameters not set.",
                "the value of parameter \"k\"");
  expectRefused(kQLFInvalidUTF8ConsentCode, "Consent not set.",
                "the value of parameter \"ad_storage\"");
  expectRefused(kQLFInvalidUTF8URLCode, "URL not handled.", "the URL");
  expectRefused(kQLFInvalidUTF8EventCode, "Event not logged.", "the event name");
  // The refused consent never reached the consent state.
  EXPECT_FALSE(TLMAnalytics::consentSettings3P().has_value());
  EXPECT_TRUE(reached_.empty());
}

}  // namespace
