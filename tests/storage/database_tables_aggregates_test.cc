// Event aggregates in the "events" table.
#include "storage/database_tables_test_support.h"

namespace {

using DatabaseAggregatesTest = DatabaseTablesTest;

TLMEventAggregatesPtr aggregates(const std::string& name, std::int32_t lifetimeCount = 1) {
  TLMEventAggregatesPtr result = TLMEventAggregates::initWithName(name, lifetimeCount, 2, 3, 100.5);
  EXPECT_NE(result, nullptr);
  return result;
}

TEST_F(DatabaseAggregatesTest, EveryFieldRoundTripsAndRowsComeInInsertOrder) {
  TLMEventAggregatesPtr first = aggregates("level_up", 7);
  first->setLastBundledTimestamp(90.25);
  first->setLastSampledComplexEventID(std::int64_t{1} << 40);
  first->setLastSamplingRate(10);
  first->setLastExemptFromSampling(true);
  first->setLastBundledDay(20454);
  Error error;
  ASSERT_TRUE(db().updateEventAggregates(*first, &error)) << error.toString();
  ASSERT_TRUE(db().updateEventAggregates(*aggregates("_e"), &error));

  TLMEventAggregatesPtr read = db().eventAggregatesWithName("level_up", &error);
  ASSERT_NE(read, nullptr) << error.toString();
  EXPECT_EQ(read->lifetimeCount(), 7);
  EXPECT_EQ(read->currentBundleCount(), 2);
  EXPECT_EQ(read->currentSessionCount(), 3);
  EXPECT_EQ(read->lastFireTimestamp(), 100.5);
  EXPECT_EQ(read->lastBundledTimestamp(), 90.25);
  EXPECT_EQ(read->lastSampledComplexEventID(), std::optional<std::int64_t>(std::int64_t{1} << 40));
  EXPECT_EQ(read->lastSamplingRate(), 10);
  EXPECT_TRUE(read->lastExemptFromSampling());
  EXPECT_EQ(read->lastBundledDay(), 20454);

  std::optional<std::vector<TLMEventAggregatesPtr>> all = db().allEventAggregates(&error);
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ(all->at(0)->name(), "level_up");
  EXPECT_EQ(all->at(1)->name(), "_e");
}

TEST_F(DatabaseAggregatesTest, NullAddOnColumnsReadAsTheirDefaults) {
  // A row written before the add-on columns existed.
  ASSERT_EQ(raw()->exec("INSERT INTO events (name, lifetime_count, current_bundle_count, "
                        "last_fire_timestamp) VALUES ('old_event', 4, 1, 55.5)"),
            SQLITE_OK);
  Error error;
  TLMEventAggregatesPtr read = db().eventAggregatesWithName("old_event", &error);
  ASSERT_NE(read, nullptr) << error.toString();
  EXPECT_EQ(read->lifetimeCount(), 4);
  EXPECT_EQ(read->currentSessionCount(), 0);
  EXPECT_EQ(read->lastBundledTimestamp(), 0);
  EXPECT_FALSE(read->lastSampledComplexEventID().has_value());
  EXPECT_EQ(read->lastSamplingRate(), 1);
  EXPECT_FALSE(read->lastExemptFromSampling());
  EXPECT_EQ(read->lastBundledDay(), 0);
}

TEST_F(DatabaseAggregatesTest, ComplexEventIDIsWrittenOnlyWhenPresent) {
  TLMEventAggregatesPtr item = aggregates("_e");
  item->setLastSampledComplexEventID(42);
  Error error;
  ASSERT_TRUE(db().updateEventAggregates(*item, &error));
  EXPECT_EQ(raw()->scalar("SELECT last_sampled_complex_event_id FROM events"), "42");

  item->setLastSampledComplexEventID(std::nullopt);
  ASSERT_TRUE(db().updateEventAggregates(*item, &error));
  EXPECT_EQ(raw()->scalar("SELECT last_sampled_complex_event_id FROM events"), "NULL");
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM events"), "1");
  TLMEventAggregatesPtr read = db().eventAggregatesWithName("_e", &error);
  ASSERT_NE(read, nullptr);
  EXPECT_FALSE(read->lastSampledComplexEventID().has_value());
}

TEST_F(DatabaseAggregatesTest, MissingNameReadsNullWithoutErrorAndNamelessWriteIsRefused) {
  Error error = tlm_errorWithCode(99, "untouched");
  EXPECT_EQ(db().eventAggregatesWithName("absent", &error), nullptr);
  EXPECT_EQ(error.code, 99);

  TLMEventAggregatesPtr nameless = aggregates("_e");
  nameless->setName("");
  EXPECT_FALSE(db().updateEventAggregates(*nameless, &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM events"), "0");
}

TEST_F(DatabaseAggregatesTest, PublicEventCountSkipsOnlyNamesStartingWithUnderscore) {
  Error error;
  for (const char* name : {"_e", "_s", "__x", "purchase", "a_b", "x"}) {
    ASSERT_TRUE(db().updateEventAggregates(*aggregates(name), &error)) << name;
  }
  EXPECT_EQ(db().publicEventCount(&error), std::optional<std::int64_t>(3));
}

TEST_F(DatabaseAggregatesTest, ClearCurrentSessionCountsZeroesEveryRowAndKeepsTheRest) {
  Error error;
  ASSERT_TRUE(db().updateEventAggregates(*aggregates("_e", 5), &error));
  ASSERT_TRUE(db().updateEventAggregates(*aggregates("_s", 6), &error));
  ASSERT_TRUE(db().clearCurrentSessionCounts(&error));
  std::optional<std::vector<TLMEventAggregatesPtr>> all = db().allEventAggregates(&error);
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->size(), 2u);
  for (const TLMEventAggregatesPtr& item : *all) {
    EXPECT_EQ(item->currentSessionCount(), 0);
    EXPECT_EQ(item->currentBundleCount(), 2);
  }
  EXPECT_EQ(all->at(1)->lifetimeCount(), 6);
}

TEST_F(DatabaseAggregatesTest, UnreadableRowFailsTheReads) {
  ASSERT_EQ(raw()->exec("INSERT INTO events (name, lifetime_count, current_bundle_count, "
                        "last_fire_timestamp) VALUES ('_e', -3, 1, 1.0)"),
            SQLITE_OK);
  Error error;
  EXPECT_FALSE(db().allEventAggregates(&error).has_value());
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(db().eventAggregatesWithName("_e", &error), nullptr);
  EXPECT_EQ(error.code, 2);
}

}  // namespace
