// A failure anywhere in bundle assembly rolls the whole run back: raw
// events, metadata, aggregates, daily counts, user properties and app
// metadata stay exactly as they were, and the next attempt builds the same
// bundle. Failures are injected with SQLite triggers and the audience
// evaluator's seam.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/bundle_test_support.h"

namespace {

class BundleRollbackTest : public BundleTest {
 protected:
  // A run that touches every table bundle assembly changes: a session
  // start, engagement, a conversion, and aggregates with history.
  void storeBusyRun() {
    configure({}, {withConversion(eventConfig("purchase_done"), true)});
    storeAggregates("level_up", 10, 3, 5, kBundleHourStart - 100);
    storeProperty(property("_lte", integer(1000)));
    storeProperty(property("_se", integer(400)));
    const std::int64_t fingerprint = storeMetadata({property("_lte", integer(1000))});
    storeRaw("_s", now(), fingerprint);
    storeRaw("level_up", now(), fingerprint);
    storeRaw("_e", now(), fingerprint, params({{"_et", integer(250)}}));
    storeRaw("purchase_done", now(), fingerprint);
    monitor_.clear();
  }

  std::string snapshot() {
    std::string text;
    for (const char* table : {"raw_events", "raw_events_metadata", "events", "app_metadata",
                              "user_attributes", "queue"}) {
      text += std::string("[") + table + "]\n" + dump(table);
    }
    return text;
  }

  // Fails the next run at a chosen step, checks that nothing changed, then
  // lets the run succeed.
  void expectRolledBackThenRecovers(const std::string& createTrigger,
                                    const std::string& dropTrigger, long expectedCode) {
    storeBusyRun();
    const std::string before = snapshot();
    ASSERT_FALSE(before.empty());
    engine_->setSuspendedUploadTimestamp(1234);
    exec(createTrigger);

    EXPECT_FALSE(engine_->bundleRawEvents());
    EXPECT_EQ(monitor_.count(expectedCode), 1u);
    EXPECT_EQ(snapshot(), before);
    EXPECT_DOUBLE_EQ(engine_->suspendedUploadTimestamp(), 1234) << "no bundle stored";

    exec(dropTrigger);
    ASSERT_TRUE(engine_->bundleRawEvents());
    const std::vector<TLMPBMeasurementBundle> bundles = queued();
    ASSERT_EQ(bundles.size(), 1u);
    EXPECT_EQ(bundles[0].bundle_index(), 1) << "the failed attempt used no index";
    EXPECT_EQ(bundles[0].events_size(), 4u);
    EXPECT_EQ(aggregates("level_up")->lifetimeCount(), 11) << "counted once";
    EXPECT_EQ(storedIntProperty("_lte"), 1250) << "engagement added once";
    EXPECT_EQ(storedIntProperty("_se"), 250);
    EXPECT_DOUBLE_EQ(engine_->suspendedUploadTimestamp(), 0) << "a stored bundle resumes uploads";
  }
};

TEST_F(BundleRollbackTest, AFailedQueueInsertLeavesEverythingAsBefore) {
  expectRolledBackThenRecovers(
      "CREATE TRIGGER refuse_bundle BEFORE INSERT ON queue BEGIN "
      "SELECT RAISE(ABORT, 'queue refused'); END",
      "DROP TRIGGER refuse_bundle", 23115);
  EXPECT_EQ(monitor_.withCode(23115)[0].message, "Unable to insert bundle. Error");
  EXPECT_EQ(monitor_.withCode(23115)[0].level, 1);
}

TEST_F(BundleRollbackTest, AFailedRawEventDeleteTakesTheQueuedBundleBack) {
  expectRolledBackThenRecovers(
      "CREATE TRIGGER keep_raw BEFORE DELETE ON raw_events BEGIN "
      "SELECT RAISE(ABORT, 'delete refused'); END",
      "DROP TRIGGER keep_raw", 23119);
}

TEST_F(BundleRollbackTest, AFailedAggregateUpdateLeavesEverythingAsBefore) {
  // Aggregates are stored with INSERT OR REPLACE.
  expectRolledBackThenRecovers(
      "CREATE TRIGGER refuse_aggregate BEFORE INSERT ON events BEGIN "
      "SELECT RAISE(ABORT, 'aggregates refused'); END",
      "DROP TRIGGER refuse_aggregate", 23108);
}

TEST_F(BundleRollbackTest, AFailedSessionCountResetLeavesEverythingAsBefore) {
  expectRolledBackThenRecovers(
      "CREATE TRIGGER refuse_session_reset BEFORE UPDATE OF current_session_count ON events "
      "BEGIN SELECT RAISE(ABORT, 'reset refused'); END",
      "DROP TRIGGER refuse_session_reset", 23185);
}

TEST_F(BundleRollbackTest, AFailedEngagementUpdateLeavesEverythingAsBefore) {
  expectRolledBackThenRecovers(
      "CREATE TRIGGER refuse_engagement BEFORE INSERT ON user_attributes BEGIN "
      "SELECT RAISE(ABORT, 'property refused'); END",
      "DROP TRIGGER refuse_engagement", 23187);
}

TEST_F(BundleRollbackTest, AFailedAppMetadataUpdateLeavesEverythingAsBefore) {
  expectRolledBackThenRecovers(
      "CREATE TRIGGER refuse_index BEFORE UPDATE OF last_bundle_index ON app_metadata BEGIN "
      "SELECT RAISE(ABORT, 'index refused'); END",
      "DROP TRIGGER refuse_index", 23110);
}

TEST_F(BundleRollbackTest, AFailedSessionEngagementDeleteLeavesEverythingAsBefore) {
  expectRolledBackThenRecovers(
      "CREATE TRIGGER keep_session_engagement BEFORE DELETE ON user_attributes BEGIN "
      "SELECT RAISE(ABORT, 'delete refused'); END",
      "DROP TRIGGER keep_session_engagement", 23188);
}

TEST_F(BundleRollbackTest, UnreadableAudienceResultsLeaveEverythingAsBefore) {
  storeBusyRun();
  const std::string before = snapshot();
  TLMStandIns::current().resultsForBundling =
      [](Error* error) -> std::optional<std::vector<TLMPBAudienceLeafFilterResult>> {
    if (error != nullptr) *error = tlm_errorWithCode(3, "results unreadable");
    return std::nullopt;
  };
  EXPECT_FALSE(engine_->bundleRawEvents());
  ASSERT_EQ(monitor_.count(23113), 1u);
  EXPECT_EQ(monitor_.withCode(23113)[0].message, "Unable to read audience evaluation results");
  EXPECT_EQ(snapshot(), before);
}

TEST_F(BundleRollbackTest, AFailedEventEvaluationLeavesEverythingAsBefore) {
  storeBusyRun();
  const std::string before = snapshot();
  TLMStandIns::current().evaluateFiltersForEvent =
      [](const TLMEventPtr& event, const TLMEventAggregates&, TLMAudienceTimestampsCacheStandIn*) {
        return event->name() != "purchase_done";
      };
  EXPECT_FALSE(engine_->bundleRawEvents());
  EXPECT_EQ(snapshot(), before);
}

TEST_F(BundleRollbackTest, AFailedPropertyEvaluationAbandonsTheBundle) {
  storeBusyRun();
  const std::string before = snapshot();
  TLMStandIns::current().evaluateFiltersForNanoUserProperty =
      [](const TLMPBUserAttribute&, TLMAudienceTimestampsCacheStandIn* cache, double) {
        return cache == nullptr;  // the session start's evaluation passes
      };
  EXPECT_FALSE(engine_->bundleRawEvents());
  EXPECT_EQ(snapshot(), before);
}

TEST_F(BundleRollbackTest, MissingMetadataKeepsTheRawEvents) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  exec("DELETE FROM raw_events_metadata");
  const std::string before = snapshot();

  EXPECT_FALSE(engine_->bundleRawEvents());
  ASSERT_EQ(monitor_.count(23098), 1u);
  EXPECT_EQ(monitor_.withCode(23098)[0].message,
            "Unable to fetch event metadata. Metadata fingerprint, error");
  EXPECT_EQ(monitor_.withCode(23098)[0].contexts.at(0).int64Value(), fingerprint);
  EXPECT_EQ(snapshot(), before);
}

TEST_F(BundleRollbackTest, AFailedDailyCountsUpdateLeavesEverythingAsBefore) {
  expectRolledBackThenRecovers(
      "CREATE TRIGGER refuse_counts BEFORE UPDATE OF daily_conversions_count ON app_metadata "
      "BEGIN SELECT RAISE(ABORT, 'counts refused'); END",
      "DROP TRIGGER refuse_counts", 23106);
}

}  // namespace
