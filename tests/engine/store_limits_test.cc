// The daily limits of the storing step (all, error and public events, with
// their once-per-thousand messages) and the name-cardinality limit of the
// event aggregates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/store_test_support.h"

namespace {

using StoreLimitsTest = StoreTest;

ObjectDictionary itemsParameter(int count) {
  ObjectArray items;
  for (int i = 0; i < count; ++i) {
    items.push_back(Object::dictionary({{Object("item_id"), Object("sku" + std::to_string(i))}}));
  }
  return {{Object("items"), Object::array(std::move(items))}};
}

TLMEventPtr errorEvent(std::int64_t code) {
  return StoreTest::makeEvent("_err", {{Object("_err"), Object::integer(code)}}, "auto");
}

// ---- All events ----

TEST_F(StoreLimitsTest, EventsOverTheDefaultDailyLimitAreDroppedAndLoggedOncePerThousand) {
  seedDailyCounts(100000, 0);

  // The 100001st event of the day: E = 0.
  EXPECT_TRUE(store("level_up"));
  std::vector<MonitorReport> reports = monitor_.withCode(23055);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Data loss. Too many events logged. Name, limit");
  ASSERT_EQ(reports[0].contexts.size(), 2u);
  EXPECT_EQ(reports[0].contexts[0], Object("level_up"));
  EXPECT_EQ(reports[0].contexts[1], Object::integer(100000));

  // The next 999 are dropped silently.
  for (int i = 0; i < 999; ++i) ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(monitor_.count(23055), 1u);

  // The 101001st logs again.
  EXPECT_TRUE(store("level_up"));
  EXPECT_EQ(monitor_.count(23055), 2u);

  EXPECT_EQ(rowCount("raw_events"), 0);
  const TLMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 101001);
  EXPECT_EQ(counts.publicEventsCount(), 1001);
}

TEST_F(StoreLimitsTest, ARemoteLimitAppliesAndErrorEventsOverItCountAsErrors) {
  setFlags({{"measurement.upload.max_events_per_day", "3"}});
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(rowCount("raw_events"), 3);
  EXPECT_EQ(monitor_.count(23055), 0u);

  EXPECT_TRUE(store(errorEvent(4)));
  EXPECT_EQ(rowCount("raw_events"), 3);
  ASSERT_EQ(monitor_.count(23055), 1u);
  EXPECT_EQ(monitor_.withCode(23055)[0].contexts[0], Object("_err"));
  TLMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 4);
  EXPECT_EQ(counts.errorEventsCount(), 1);
  EXPECT_EQ(counts.publicEventsCount(), 3);
  // Dropping by the all-events limit never logs an error event itself.
  EXPECT_TRUE(errorEvents_.empty());
}

TEST_F(StoreLimitsTest, CountsStartOverOnANewDay) {
  setFlags({{"measurement.upload.max_events_per_day", "1"}});
  Error error;
  ASSERT_TRUE(database().updateDailyCounts(TLMDailyCounts(today() - 1, 7, 9, 8, 6, 5), &error));
  EXPECT_TRUE(store("level_up"));
  EXPECT_EQ(storedNames(), std::vector<std::string>({"level_up"}));
  EXPECT_EQ(dailyCounts(), TLMDailyCounts(today(), 0, 1, 1, 0, 0));
}

TEST_F(StoreLimitsTest, ArrayParametersCountEveryItem) {
  EXPECT_TRUE(store("view_item_list", itemsParameter(3)));
  ASSERT_EQ(rowCount("raw_events"), 1);
  TLMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 4);
  EXPECT_EQ(counts.publicEventsCount(), 4);
  EXPECT_EQ(counts.conversionsCount(), 0);
}

// ---- Error events ----

TEST_F(StoreLimitsTest, ErrorEventsOverTheirLimitAreDroppedWithoutRaisingTheAllEventsCount) {
  setFlags({{"measurement.upload.max_error_events_per_day", "2"}});
  EXPECT_TRUE(store(errorEvent(4)));
  EXPECT_TRUE(store(errorEvent(4)));
  EXPECT_EQ(rowCount("raw_events"), 2);

  EXPECT_TRUE(store(errorEvent(13)));
  EXPECT_EQ(rowCount("raw_events"), 2);
  std::vector<MonitorReport> reports = monitor_.withCode(23056);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Too many error events logged. Error code, limit");
  ASSERT_EQ(reports[0].contexts.size(), 2u);
  EXPECT_EQ(reports[0].contexts[0], Object::integer(13));
  EXPECT_EQ(reports[0].contexts[1], Object::integer(2));

  EXPECT_TRUE(store(errorEvent(13)));
  EXPECT_EQ(monitor_.count(23056), 1u) << "logged once per thousand";
  TLMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.errorEventsCount(), 4);
  EXPECT_EQ(counts.allEventsCount(), 2);
  // Public events are not held back by the error limit.
  EXPECT_TRUE(store("level_up"));
  EXPECT_EQ(rowCount("raw_events"), 3);
}

// ---- Public events ----

TEST_F(StoreLimitsTest, PublicEventsOverTheirLimitLogErrorCode16AndLeaveTheAllCountUnchanged) {
  setFlags({{"measurement.upload.max_public_events_per_day", "2"}});
  ASSERT_TRUE(store("level_up"));
  ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(dailyCounts().allEventsCount(), 2);

  EXPECT_TRUE(store("level_up"));
  EXPECT_EQ(rowCount("raw_events"), 2);
  std::vector<MonitorReport> reports = monitor_.withCode(23057);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Data loss. Too many public events logged. Name, limit");
  EXPECT_EQ(reports[0].contexts[1], Object::integer(2));
  ASSERT_EQ(errorEvents_.size(), 1u);
  EXPECT_EQ(errorEvents_[0].name, "_err");
  EXPECT_EQ(errorEvents_[0].origin, "auto");
  EXPECT_EQ(errorEvents_[0].code(), 16);
  EXPECT_EQ(errorEvents_[0].parameters.count(Object("_ev")), 0u) << "code only";

  TLMDailyCounts counts = dailyCounts();
  EXPECT_EQ(counts.allEventsCount(), 2);
  EXPECT_EQ(counts.publicEventsCount(), 3);

  // Internal events still pass.
  EXPECT_TRUE(store(makeEvent("_vs", {}, "auto")));
  EXPECT_EQ(storedNames(), std::vector<std::string>({"level_up", "level_up", "_vs"}));
  EXPECT_EQ(dailyCounts().allEventsCount(), 3);
}

// ---- Name cardinality ----

TEST_F(StoreLimitsTest, TheFiveHundredAndFirstPublicNameFailsWhileKnownNamesStillStore) {
  Error error;
  for (int i = 0; i < 499; ++i) {
    TLMEventAggregatesPtr aggregates =
        TLMEventAggregates::initWithName("known_" + std::to_string(i), 1, 0, 0, 0);
    ASSERT_TRUE(database().updateEventAggregates(*aggregates, &error)) << error.toString();
  }
  // The 500th name is still within the limit.
  EXPECT_TRUE(store("name_500"));
  EXPECT_EQ(rowCount("events"), 500);
  const TLMDailyCounts before = dailyCounts();

  EXPECT_FALSE(store("name_501"));
  std::vector<MonitorReport> reports = monitor_.withCode(23065);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Cannot set event. Reached limit on set events. Name");
  EXPECT_EQ(reports[0].contexts[0], Object("name_501"));
  EXPECT_EQ(errorEventCodes(), std::vector<std::int64_t>({8}));
  EXPECT_EQ(errorEvents_[0].parameters.at(Object("_ev")), Object("name_501"));
  // The whole transaction rolled back, counts included.
  EXPECT_EQ(dailyCounts(), before);
  EXPECT_EQ(rowCount("events"), 500);
  EXPECT_EQ(storedNames(), std::vector<std::string>({"name_500"}));

  // Known public names and new internal names are stored.
  EXPECT_TRUE(store("known_7"));
  EXPECT_TRUE(store(makeEvent("_vs", {}, "auto")));
  EXPECT_EQ(storedNames(), std::vector<std::string>({"name_500", "known_7", "_vs"}));

  // A raised limit lets the new name in.
  setFlags({{"measurement.upload.max_event_name_cardinality", "501"}});
  EXPECT_TRUE(store("name_501"));
  EXPECT_EQ(rowCount("events"), 502);
}

}  // namespace
