// Conditional user properties in the "conditional_properties" table.
#include <algorithm>

#include "audience/TLMConditionalUserProperty.h"
#include "storage/database_tables_test_support.h"

namespace {

using DatabaseConditionalTest = DatabaseTablesTest;

TLMConditionalUserPropertyPtr property(const std::string& name, const std::string& origin = "app",
                                       TLMValuePtr value = TLMValue::fromString("v")) {
  TLMConditionalUserPropertyPtr result = TLMConditionalUserProperty::create();
  result->setName(name);
  result->setOrigin(origin);
  result->setValue(std::move(value));
  result->setCreationTimestamp(kTablesTestNow);
  result->setTriggerTimeout(60);
  result->setTimeToLive(3600);
  return result;
}

std::vector<std::string> sortedNames(
    const std::optional<std::vector<TLMConditionalUserPropertyPtr>>& properties) {
  std::vector<std::string> names;
  if (!properties) return {"<failed>"};
  for (const TLMConditionalUserPropertyPtr& item : *properties) names.push_back(item->name());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(DatabaseConditionalTest, OptionalColumnsStayNullWhenAbsent) {
  Error error;
  ASSERT_TRUE(db().updateConditionalUserProperty(*property("plain"), &error)) << error.toString();
  EXPECT_EQ(raw()->scalar("SELECT coalesce(trigger_event_name, timed_out_event, triggered_event, "
                          "expired_event, 'all null') FROM conditional_properties"),
            "all null");
  TLMConditionalUserPropertyPtr read = db().conditionalUserPropertyWithName("plain", &error);
  ASSERT_NE(read, nullptr) << error.toString();
  EXPECT_EQ(read->triggerEventName(), "");
  EXPECT_EQ(read->triggeredEvent(), nullptr);
  EXPECT_EQ(read->timedOutEvent(), nullptr);
  EXPECT_EQ(read->expiredEvent(), nullptr);
  EXPECT_FALSE(read->active());
}

TEST_F(DatabaseConditionalTest, EveryFieldAndEventRoundTrips) {
  TLMConditionalUserPropertyPtr written = property("coupon", "app", TLMValue::initWithDouble(1.5));
  written->setActive(true);
  written->setTriggerEventName("level_up");
  written->setTriggerTimeout(120.5);
  written->setTimeToLive(7200.25);
  written->setCreationTimestamp(kNow - 10);
  written->setTriggeredTimestamp(kNow - 5);
  written->setTriggeredEvent(makeEvent("reward", {{Object("count"), Object::integer(3)}}));
  written->setTimedOutEvent(makeEvent("missed"));
  written->setExpiredEvent(makeEvent("gone", {{Object("why"), Object("ttl")}}));
  Error error;
  ASSERT_TRUE(db().updateConditionalUserProperty(*written, &error)) << error.toString();
  EXPECT_EQ(raw()->scalar("SELECT typeof(value) FROM conditional_properties"), "real");

  TLMConditionalUserPropertyPtr read = db().conditionalUserPropertyWithName("coupon", &error);
  ASSERT_NE(read, nullptr) << error.toString();
  EXPECT_TRUE(read->active());
  EXPECT_EQ(read->origin(), "app");
  EXPECT_TRUE(read->value()->isDouble());
  EXPECT_EQ(read->value()->doubleValue(), 1.5);
  EXPECT_EQ(read->triggerEventName(), "level_up");
  EXPECT_EQ(read->triggerTimeout(), 120.5);
  EXPECT_EQ(read->timeToLive(), 7200.25);
  EXPECT_EQ(read->creationTimestamp(), kNow - 10);
  EXPECT_EQ(read->triggeredTimestamp(), kNow - 5);
  ASSERT_NE(read->triggeredEvent(), nullptr);
  EXPECT_EQ(read->triggeredEvent()->name(), "reward");
  EXPECT_EQ(read->triggeredEvent()->origin(), "app");
  EXPECT_EQ(read->triggeredEvent()->timestamp(), kNow);
  ASSERT_NE(read->triggeredEvent()->parameterValue("count"), nullptr);
  EXPECT_EQ(read->triggeredEvent()->parameterValue("count")->int64Value(), 3);
  ASSERT_NE(read->timedOutEvent(), nullptr);
  EXPECT_EQ(read->timedOutEvent()->name(), "missed");
  ASSERT_NE(read->expiredEvent(), nullptr);
  EXPECT_EQ(*read->expiredEvent()->parameterValue("why")->stringValue(), "ttl");

  // Replacing drops the events the new record does not have.
  ASSERT_TRUE(db().updateConditionalUserProperty(*property("coupon"), &error));
  EXPECT_EQ(raw()->scalar("SELECT typeof(triggered_event) FROM conditional_properties"), "null");
}

TEST_F(DatabaseConditionalTest, RefusesRecordsWithoutNameOriginOrStorableValue) {
  Error error;
  EXPECT_FALSE(db().updateConditionalUserProperty(*property(""), &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_FALSE(db().updateConditionalUserProperty(*property("n", ""), &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_FALSE(db().updateConditionalUserProperty(*property("n", "app", nullptr), &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_FALSE(
      db().updateConditionalUserProperty(*property("n", "app", TLMValue::fromString("")), &error));
  EXPECT_STORE_ERROR(error, 1, "Received empty string value for user property");
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM conditional_properties"), "0");
}

TEST_F(DatabaseConditionalTest, TimedOutExpiredAndTriggeredFollowTheClock) {
  auto make = [&](const std::string& name, bool active, double created, double triggered,
                  const std::string& trigger) {
    TLMConditionalUserPropertyPtr item = property(name);
    item->setActive(active);
    item->setCreationTimestamp(created);
    item->setTriggeredTimestamp(triggered);
    item->setTriggerEventName(trigger);
    Error error;
    EXPECT_TRUE(db().updateConditionalUserProperty(*item, &error)) << error.toString();
  };
  make("waiting_old", false, kNow - 100, 0, "level_up");
  make("waiting_new", false, kNow - 30, 0, "level_up");
  make("waiting_future", false, kNow + 100, 0, "level_up");
  make("waiting_other", false, kNow - 30, 0, "other");
  make("active_old", true, kNow - 100, kNow - 4000, "level_up");
  make("active_new", true, kNow - 100, kNow - 100, "level_up");

  Error error;
  EXPECT_EQ(sortedNames(db().timedOutConditionalUserPropertiesWithError(&error)),
            (std::vector<std::string>{"waiting_future", "waiting_old"}));
  EXPECT_EQ(sortedNames(db().expiredConditionalUserPropertiesWithError(&error)),
            (std::vector<std::string>{"active_old"}));
  EXPECT_EQ(sortedNames(db().triggeredConditionalUserPropertiesWithEventName("level_up", &error)),
            (std::vector<std::string>{"waiting_new"}));

  // waiting_new has now waited 70 s of its 60; waiting_future is 60 s
  // away from its creation time, which abs() counts like the past.
  clock().setNow(kNow + 40);
  EXPECT_EQ(sortedNames(db().triggeredConditionalUserPropertiesWithEventName("level_up", &error)),
            (std::vector<std::string>{"waiting_future"}));
  EXPECT_EQ(sortedNames(db().timedOutConditionalUserPropertiesWithError(&error)),
            (std::vector<std::string>{"waiting_new", "waiting_old", "waiting_other"}));

  EXPECT_FALSE(db().triggeredConditionalUserPropertiesWithEventName("", &error).has_value());
  EXPECT_EQ(error.code, 1);
}

TEST_F(DatabaseConditionalTest, PrefixIsExactAndOriginIsCompared) {
  Error error;
  for (const auto& [name, origin] :
       std::vector<std::pair<std::string, std::string>>{{"promo_a", "app"},
                                                        {"promo_b", "sdk"},
                                                        {"promoXa", "app"},
                                                        {"PROMO_c", "app"},
                                                        {"other", "App"}}) {
    ASSERT_TRUE(db().updateConditionalUserProperty(*property(name, origin), &error));
  }
  EXPECT_EQ(sortedNames(db().conditionalUserPropertiesWithPrefix("promo_", "", &error)),
            (std::vector<std::string>{"promo_a", "promo_b"}));
  EXPECT_EQ(sortedNames(db().conditionalUserPropertiesWithPrefix("", "app", &error)),
            (std::vector<std::string>{"PROMO_c", "promoXa", "promo_a"}));
  EXPECT_EQ(sortedNames(db().conditionalUserPropertiesWithPrefix("promo_", "app", &error)),
            (std::vector<std::string>{"promo_a"}));
  EXPECT_EQ(sortedNames(db().conditionalUserPropertiesWithPrefix("%", "a%", &error)),
            (std::vector<std::string>{}));
  EXPECT_EQ(sortedNames(db().conditionalUserPropertiesWithPrefix("", "", &error)).size(), 5u);
}

TEST_F(DatabaseConditionalTest, CorruptStoredEventIsRefusedByNameAndSkippedInLists) {
  TLMConditionalUserPropertyPtr bad = property("bad");
  bad->setTriggeredEvent(makeEvent("reward"));
  Error error;
  ASSERT_TRUE(db().updateConditionalUserProperty(*bad, &error));
  ASSERT_TRUE(db().updateConditionalUserProperty(*property("good"), &error));
  ASSERT_EQ(raw()->exec("UPDATE conditional_properties SET triggered_event = x'0A0501' "
                        "WHERE name = 'bad'"),
            SQLITE_OK);

  EXPECT_EQ(db().conditionalUserPropertyWithName("bad", &error), nullptr);
  EXPECT_EQ(error.code, 3);
  EXPECT_NE(error.description.value_or("").find("triggered_event"), std::string::npos);

  EXPECT_EQ(sortedNames(db().conditionalUserPropertiesWithPrefix("", "", &error)),
            (std::vector<std::string>{"good"}));
  const std::vector<std::string> reports = printedWithCode(12064);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("bad"), std::string::npos);

  ASSERT_TRUE(db().deleteConditionalUserPropertyWithName("bad", &error));
  EXPECT_EQ(raw()->scalar("SELECT group_concat(name) FROM conditional_properties"), "good");
}

}  // namespace
