// The interop methods of the facade's shared instance and the
// decimal-string check of the ad-event ID.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <ostream>
#include <string>

#include "api/TLMAnalytics.h"
#include "api/TLMDecimalString.h"
#include "facade_test_support.h"

namespace {

struct DecimalCase {
  const char* text;
  bool isDecimal;
  std::int64_t value;  // checked only for decimal strings
};

// Test names show the text, not the bytes of the case.
void PrintTo(const DecimalCase& c, std::ostream* out) {
  *out << '"';
  for (const char* p = c.text; *p != '\0'; ++p)
    *out << (*p == '\n' ? std::string("\\n") : std::string(1, *p));
  *out << '"';
}

class DecimalStringTest : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(DecimalStringTest, MatchesTheWholeStringAndTakesTheIntegerPart) {
  const DecimalCase& c = GetParam();
  EXPECT_EQ(tlm_isDecimalString(c.text), c.isDecimal) << '"' << c.text << '"';
  if (c.isDecimal) {
    EXPECT_EQ(tlm_decimalStringInt64Value(c.text), c.value) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecimalStringTest,
    ::testing::Values(
        DecimalCase{"123", true, 123}, DecimalCase{"+7", true, 7}, DecimalCase{"-42", true, -42},
        DecimalCase{"12.", true, 12}, DecimalCase{"12.9", true, 12}, DecimalCase{".5", true, 0},
        DecimalCase{"-.5", true, 0}, DecimalCase{"007", true, 7},
        DecimalCase{"99999999999999999999", true, std::numeric_limits<std::int64_t>::max()},
        DecimalCase{"-99999999999999999999", true, std::numeric_limits<std::int64_t>::min()},
        DecimalCase{"", false, 0}, DecimalCase{".", false, 0}, DecimalCase{"+", false, 0},
        DecimalCase{"1e5", false, 0}, DecimalCase{"0x1F", false, 0}, DecimalCase{"1.2.3", false, 0},
        DecimalCase{" 1", false, 0}, DecimalCase{"1 ", false, 0}, DecimalCase{"12\n", false, 0},
        DecimalCase{"1\n2", false, 0}, DecimalCase{"+-1", false, 0}, DecimalCase{"abc", false, 0}));

class FacadeInteropTest : public FacadeTest {
 protected:
  void SetUp() override {
    FacadeTest::SetUp();
    start();
  }

  static Object withAdEventID(Object id) {
    ObjectDictionary parameters;
    parameters[Object("_aeid")] = std::move(id);
    parameters[Object("slot")] = Object("banner");
    return Object::dictionary(std::move(parameters));
  }

  const Object* adEventIDOf(const std::string& name) {
    events_ = engine_.eventsNamed(name);
    if (events_.size() != 1 || !events_[0].parameters) return nullptr;
    return events_[0].parameters->objectForKey("_aeid");
  }

  std::vector<TLMLogEventCall> events_;
};

TEST_F(FacadeInteropTest, AdEventIDStringFromTheAdNetworkBecomesAnInteger) {
  TLMAnalytics::sharedInstance()->logInternalEventWithOrigin(kTLMOriginVM, "_ai",
                                                             withAdEventID(Object("8812")));
  runUntilIdle();
  const Object* id = adEventIDOf("_ai");
  ASSERT_NE(id, nullptr);
  ASSERT_TRUE(id->isNumber());
  EXPECT_EQ(id->numberKind(), Object::NumberKind::Integer);
  EXPECT_EQ(id->int64Value(), 8812);
  EXPECT_EQ(*events_[0].parameters->objectForKey("slot"), Object("banner"));
  EXPECT_EQ(events_[0].origin, kTLMOriginVM);
  EXPECT_FALSE(events_[0].isPublicEvent);
  EXPECT_EQ(monitor_.count(25024), 0u);
}

TEST_F(FacadeInteropTest, AdEventIDThatIsNotANumberIsReportedAndKept) {
  TLMAnalytics::sharedInstance()->logInternalEventWithOrigin(kTLMOriginVM, "_ai",
                                                             withAdEventID(Object("88x")));
  runUntilIdle();
  EXPECT_TRUE(ReportedOnce(monitor_, 25024, 2, "AdEvent ID string is not a number"));
  const Object* id = adEventIDOf("_ai");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(*id, Object("88x"));
}

TEST_F(FacadeInteropTest, OtherOriginsKeepTheAdEventIDAsGiven) {
  TLMAnalytics::sharedInstance()->logInternalEventWithOrigin(kTLMOriginAuto, "_ai",
                                                             withAdEventID(Object("8812")));
  runUntilIdle();
  const Object* id = adEventIDOf("_ai");
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(*id, Object("8812"));
  EXPECT_EQ(monitor_.count(25024), 0u);
}

TEST_F(FacadeInteropTest, InternalUserPropertyGoesThroughTheFacadeChecks) {
  TLMAnalytics::sharedInstance()->setInternalUserProperty(Object("x"), "_ffr", "fire");
  TLMAnalytics::sharedInstance()->setInternalUserProperty(Object("x"), "_ffr",
                                                          std::string(33, 'o'));
  runUntilIdle();
  ASSERT_EQ(engine_.setAttributes().size(), 1u);
  EXPECT_EQ(engine_.setAttributes()[0]->origin(), "fire");
  EXPECT_EQ(monitor_.count(25005), 1u);
}

}  // namespace
