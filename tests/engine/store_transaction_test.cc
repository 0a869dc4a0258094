// The storing transaction: lifetime value totals through the pipeline,
// all-or-nothing on failures, the aggregates row of a new name and the
// report of a stored event.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/TLMIdentity.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMUserAttribute.h"
#include "engine/store_test_support.h"

namespace {

using StoreTransactionTest = StoreTest;

ObjectDictionary money(const std::string& currency, Object value) {
  return {{Object("currency"), Object(currency)}, {Object("value"), std::move(value)}};
}

std::int64_t ltv(TLMDatabase& database, const std::string& name) {
  Error error;
  TLMUserAttributePtr attribute = database.userAttributeWithName(name, &error);
  if (attribute == nullptr || attribute->value() == nullptr) return -1;
  return attribute->value()->int64Value();
}

// Every row of `table`, in order, as text.
std::string dump(TLMDatabase& database, const std::string& table) {
  Error error;
  auto rows = database.sqliteStore()->recordsForQuery(
      "SELECT rowid, * FROM " + table + " ORDER BY rowid", {}, &error);
  if (!rows) return "error: " + error.toString();
  std::string text;
  for (const TLMSqliteRecord& row : *rows) {
    for (const auto& [column, value] : row) text += column + "=" + value.description() + ";";
    text += "\n";
  }
  return text;
}

std::vector<std::string> dumpAll(TLMDatabase& database) {
  std::vector<std::string> tables;
  for (const char* table :
       {"raw_events", "events", "raw_events_metadata", "app_metadata", "user_attributes"}) {
    tables.push_back(dump(database, table));
  }
  return tables;
}

TEST_F(StoreTransactionTest, LifetimeValueTotalsPerCurrencyAreKeptThroughThePipeline) {
  ASSERT_TRUE(store("purchase", money("usd", Object::floating(9.99))));
  ASSERT_TRUE(store("purchase", money("EUR", Object::integer(5))));
  ASSERT_TRUE(store("refund", money("USD", Object::floating(1.5))));
  ASSERT_TRUE(store(makeEvent(
      "_iap", {{Object("currency"), Object("USD")}, {Object("value"), Object::integer(250000)}},
      "auto")));
  // Not a purchase event: no total changes.
  ASSERT_TRUE(store("level_up", money("USD", Object::integer(100))));

  EXPECT_EQ(ltv(database(), "_ltv_USD"), 9990000 - 1500000 + 250000);
  EXPECT_EQ(ltv(database(), "_ltv_EUR"), 5000000);
  EXPECT_EQ(storedNames(),
            std::vector<std::string>({"purchase", "purchase", "refund", "_iap", "level_up"}));

  // The metadata of an event already carries the total that event made.
  const std::vector<StoredEvent> stored = storedEvents();
  Error error;
  std::optional<TLMPBMeasurementBundle> metadata =
      database().queryRawEventsMetadataWithFingerprint(stored[0].metadataFingerprint, &error);
  ASSERT_TRUE(metadata.has_value()) << error.toString();
  bool found = false;
  for (const TLMPBUserAttribute& attribute : metadata->user_attributes()) {
    if (attribute.name() != "_ltv_USD") continue;
    found = true;
    EXPECT_EQ(attribute.int_value(), 9990000);
  }
  EXPECT_TRUE(found);
}

TEST_F(StoreTransactionTest, ALifetimeValueFailureRollsTheEventBack) {
  ASSERT_TRUE(store("purchase", money("USD", Object::integer(2))));
  const std::vector<std::string> before = dumpAll(database());

  // 1e19 micros are outside the 64-bit range.
  EXPECT_FALSE(store("purchase", money("USD", Object::floating(1e13))));
  std::vector<MonitorReport> reports = monitor_.withCode(23053);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message,
            "Cannot record lifetime value of event. Name, currency code, transaction value");
  ASSERT_EQ(reports[0].contexts.size(), 3u);
  EXPECT_EQ(reports[0].contexts[0], Object("purchase"));
  EXPECT_EQ(reports[0].contexts[1], Object("USD"));
  EXPECT_EQ(reports[0].contexts[2], Object::floating(1e13));
  EXPECT_EQ(dumpAll(database()), before);

  // An unusable currency leaves the totals alone but stores the event.
  EXPECT_TRUE(store("purchase", money("US", Object::integer(3))));
  EXPECT_EQ(ltv(database(), "_ltv_USD"), 2000000);
  EXPECT_EQ(rowCount("raw_events"), 2);
}

TEST_F(StoreTransactionTest, AFailedRawEventInsertLeavesEveryTableAsItWas) {
  ASSERT_TRUE(store("level_up"));
  // A new user property makes new metadata; a new name new aggregates; a
  // purchase a new total: each is written before the raw event fails.
  TLMUserAttributePtr property =
      TLMUserAttribute::initWithOrigin("app", "favorite_food", TLMValue::fromString("pie"), 1000);
  Error error;
  ASSERT_TRUE(database().updateUserAttribute(*property, &error)) << error.toString();
  exec(
      "CREATE TRIGGER fail_raw_events BEFORE INSERT ON raw_events "
      "BEGIN SELECT RAISE(ABORT, 'injected failure'); END");
  const std::vector<std::string> before = dumpAll(database());

  EXPECT_FALSE(store("purchase", money("USD", Object::integer(7))));
  std::vector<MonitorReport> reports = monitor_.withCode(23071);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Data loss. Cannot record raw event. Error");
  EXPECT_EQ(monitor_.count(23072), 1u) << "only the first event was logged as stored";
  EXPECT_EQ(dumpAll(database()), before);
  EXPECT_EQ(ltv(database(), "_ltv_USD"), -1);

  // Once the fault is gone the same event stores completely.
  exec("DROP TRIGGER fail_raw_events");
  EXPECT_TRUE(store("purchase", money("USD", Object::integer(7))));
  EXPECT_EQ(storedNames(), std::vector<std::string>({"level_up", "purchase"}));
  EXPECT_EQ(ltv(database(), "_ltv_USD"), 7000000);
  EXPECT_EQ(rowCount("raw_events_metadata"), 2);
  EXPECT_EQ(dailyCounts().allEventsCount(), 2);
}

TEST_F(StoreTransactionTest, AFailedAggregatesWriteRollsBackTheCounts) {
  exec(
      "CREATE TRIGGER fail_events BEFORE INSERT ON events "
      "BEGIN SELECT RAISE(ABORT, 'injected failure'); END");
  const std::vector<std::string> before = dumpAll(database());
  EXPECT_FALSE(store("level_up"));
  std::vector<MonitorReport> reports = monitor_.withCode(23066);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].message, "Data loss. Cannot record event aggregates. Error");
  EXPECT_EQ(dumpAll(database()), before);
}

TEST_F(StoreTransactionTest, AStoredEventGetsZeroAggregatesAndIsReported) {
  ASSERT_TRUE(store("level_up", {{Object("level"), Object::integer(3)}}));
  Error error;
  TLMEventAggregatesPtr aggregates = database().eventAggregatesWithName("level_up", &error);
  ASSERT_NE(aggregates, nullptr);
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_EQ(aggregates->currentBundleCount(), 0);

  std::vector<MonitorReport> reports = monitor_.withCode(23072);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 7);
  EXPECT_EQ(reports[0].message, "Event logged. Event name, event params");
  EXPECT_EQ(reports[0].contexts[0], Object("level_up"));

  const std::vector<StoredEvent> stored = storedEvents();
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(intParameter(stored[0].event, "level"), 3);
  EXPECT_EQ(stored[0].event->origin(), "app");
}

TEST_F(StoreTransactionTest, AnAdvertisingIDResetIsRecordedWhenIdentityAsks) {
  TLMStandIns::current().setLastAdvertisingIDResetUserPropertyOnWorkerQueue = [this] {
    calls_.push_back("setLastAdvertisingIDReset");
  };
  ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(count("setLastAdvertisingIDReset"), 0);
  engine_->identity()->setShouldSetLastAdvertisingIDResetUserProperty(true);
  run();
  ASSERT_TRUE(store("level_up"));
  EXPECT_EQ(count("setLastAdvertisingIDReset"), 1);
}

}  // namespace
