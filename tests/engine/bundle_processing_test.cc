// What bundle assembly does to the run's events before packing them:
// rejection by the blocklists and of redundant engagement, internal names,
// conversion and real-time counting, and sampling.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/TLMDailyCounts.h"
#include "engine/bundle_test_support.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kBlocklistInternalFlag[] = "measurement.upload.blacklist_internal";
constexpr char kBlocklistPublicFlag[] = "measurement.upload.blacklist_public";
constexpr char kRedundantEngagementFlag[] =
    "measurement.collection.redundant_engagement_removal_enabled";
constexpr char kSamplingFlag[] = "measurement.event_sampling_enabled";

class BundleProcessingTest : public BundleTest {
 protected:
  void TearDown() override {
    TLMMeasurement::monitor().setDebugModeEnabled(false);
    BundleTest::TearDown();
  }

  std::optional<std::int64_t> queueRealtimeColumn() {
    Error error;
    const OptionalObject value = database().sqliteStore()->numberForQuery(
        "SELECT is_realtime FROM queue ORDER BY rowid LIMIT 1", {}, &error);
    if (!value) return std::nullopt;
    return value->int64Value();
  }
  TLMDailyCounts counts() {
    Error error;
    std::optional<TLMDailyCounts> read = database().dailyCounts(&error);
    EXPECT_TRUE(read.has_value()) << error.toString();
    return read.value_or(TLMDailyCounts(0, 0, 0, 0, 0, 0));
  }
};

TEST_F(BundleProcessingTest, ARunOfBlocklistedEventsLeavesNothing) {
  configure({}, {withBlocklisted(eventConfig("level_up"), true)});
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  storeRaw("level_up", kBundleHourStart + 2, fingerprint);

  EXPECT_TRUE(engine_->bundleRawEvents()) << "the run is consumed";
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(rowCount("raw_events"), 0);
  EXPECT_EQ(rowCount("raw_events_metadata"), 0);
  EXPECT_EQ(monitor_.count(23099), 2u);
  ASSERT_EQ(monitor_.count(23100), 1u);
  EXPECT_EQ(monitor_.withCode(23100)[0].message, "Rejected all events.");
  EXPECT_EQ(monitor_.withCode(23100)[0].level, 4);
  EXPECT_FALSE(engine_->bundleRawEvents());
  Error error;
  EXPECT_EQ(database().queryAppMetadata(&error)->lastBundleIndex(), 0) << "no bundle, no index";
}

TEST_F(BundleProcessingTest, BlocklistedEventsAreDroppedFromAMixedRun) {
  configure({}, {withBlocklisted(eventConfig("level_up"), true)});
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  storeRaw("tutorial_begin", kBundleHourStart + 2, fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(bundles[0]), std::vector<std::string>{"tutorial_begin"});
  ASSERT_EQ(monitor_.count(23099), 1u);
  EXPECT_EQ(monitor_.withCode(23099)[0].message, "Rejected event. Event name");
  EXPECT_EQ(monitor_.withCode(23099)[0].level, 4);
  EXPECT_EQ(rowCount("raw_events"), 0) << "the rejected row goes with the run";
}

TEST_F(BundleProcessingTest, TheInternalCounterpartsBlocklistingRemovesAPublicName) {
  configure({}, {withBlocklisted(eventConfig("_vs"), true)});
  storeRaw("screen_view", kBundleHourStart + 1, storeMetadata());
  EXPECT_TRUE(engine_->bundleRawEvents());
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(monitor_.count(23100), 1u);
}

TEST_F(BundleProcessingTest, ABlanketInternalBlocklistDoesNotRemovePublicCounterparts) {
  setFlags({{kBlocklistInternalFlag, "1"}, {kBlocklistPublicFlag, "0"}});
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("screen_view", kBundleHourStart + 1, fingerprint);
  storeRaw("_vs", kBundleHourStart + 2, fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(bundles[0]), std::vector<std::string>{"screen_view"});
}

TEST_F(BundleProcessingTest, BothBlanketBlocklistsRemoveCounterpartsToo) {
  setFlags({{kBlocklistInternalFlag, "1"}, {kBlocklistPublicFlag, "1"}});
  storeRaw("screen_view", kBundleHourStart + 1, storeMetadata());
  EXPECT_TRUE(engine_->bundleRawEvents());
  EXPECT_TRUE(queued().empty());
}

TEST_F(BundleProcessingTest, RedundantEngagementIsRemovedOnlyWhenSwitchedOn) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("_e", kBundleHourStart + 1, fingerprint, params({{"_fr", integer(1)}}));
  storeRaw("_e", kBundleHourStart + 2, fingerprint, params({{"_fr", integer(0)}}));
  storeRaw("_e", kBundleHourStart + 3, fingerprint, params({{"_et", integer(5)}}));

  setFlags({{kRedundantEngagementFlag, "1"}});
  ASSERT_TRUE(engine_->bundleRawEvents());
  std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0].events_size(), 2u);
  EXPECT_EQ(intParam(bundles[0].events(0), "_fr"), 0);
  EXPECT_EQ(intParam(bundles[0].events(1), "_et"), 5);

  setFlags({{kRedundantEngagementFlag, "0"}});
  storeRaw("_e", kBundleHourStart + 4, storeMetadata(), params({{"_fr", integer(1)}}));
  ASSERT_TRUE(engine_->bundleRawEvents());
  bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[1].events_size(), 1u);
}

TEST_F(BundleProcessingTest, PublicAdImpressionsTravelUnderTheInternalName) {
  const TLMEventPtr event =
      TLMEvent::initWithOrigin("app", false, "ad_impression", kBundleHourStart + 1, 0, {});
  ASSERT_NE(event, nullptr);
  storeRaw(event, storeMetadata());
  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(bundles[0]), std::vector<std::string>{"_ai"});
  ASSERT_NE(aggregates("_ai"), nullptr) << "counted under the name it travels with";
}

TEST_F(BundleProcessingTest, ConversionsAreCountedAndMakeTheBundleRealtime) {
  configure({}, {withConversion(eventConfig("purchase_done"), true)});
  const TLMDailyCounts before = counts();
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("purchase_done", now(), fingerprint);
  storeRaw("level_up", now(), fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());

  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0].events_size(), 2u);
  EXPECT_EQ(intParam(bundles[0].events(0), "_c"), 1);
  EXPECT_EQ(intParam(bundles[0].events(0), "_r"), 1);
  EXPECT_FALSE(intParam(bundles[0].events(1), "_c").has_value());
  EXPECT_EQ(queueRealtimeColumn(), 1);

  const TLMDailyCounts after = counts();
  const std::int32_t today =
      TLMDailyCounts::currentDay(engine_->persistedConfig()->midnightOffset());
  EXPECT_EQ(after.day(), today);
  EXPECT_EQ(after.conversionsCount(), (before.day() == today ? before.conversionsCount() : 0) + 1);
  EXPECT_EQ(after.realtimeCount(), (before.day() == today ? before.realtimeCount() : 0) + 1);
}

TEST_F(BundleProcessingTest, AnOrdinaryRunIsNotRealtime) {
  storeRaw("level_up", now(), storeMetadata());
  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_EQ(queueRealtimeColumn(), 0);
}

TEST_F(BundleProcessingTest, SamplingThatDropsEveryEventDropsTheBundle) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  // Today's first event has gone out already: nothing is exempt.
  TLMEventAggregatesPtr made =
      TLMEventAggregates::initWithName("level_up", 3, 0, 0, kBundleHourStart - 10);
  ASSERT_NE(made, nullptr);
  made->setLastBundledDay(static_cast<std::int32_t>(kBundleHourStart / 86400));
  Error error;
  ASSERT_TRUE(database().updateEventAggregates(*made, &error)) << error.toString();
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  storeRaw("level_up", kBundleHourStart + 2, fingerprint);

  EXPECT_TRUE(engine_->bundleRawEvents());
  EXPECT_TRUE(queued().empty());
  ASSERT_EQ(monitor_.count(23159), 1u);
  EXPECT_EQ(monitor_.withCode(23159)[0].message, "No events left after sampling. Dropping bundle");
  EXPECT_EQ(monitor_.withCode(23159)[0].level, 5);
  EXPECT_EQ(rowCount("raw_events"), 0);
  EXPECT_EQ(rowCount("raw_events_metadata"), 0);
  EXPECT_EQ(aggregates("level_up")->lifetimeCount(), 5) << "sampled-out events were counted";
}

TEST_F(BundleProcessingTest, DebugModeTurnsSamplingOff) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  TLMEventAggregatesPtr made =
      TLMEventAggregates::initWithName("level_up", 3, 0, 0, kBundleHourStart - 10);
  ASSERT_NE(made, nullptr);
  made->setLastBundledDay(static_cast<std::int32_t>(kBundleHourStart / 86400));
  Error error;
  ASSERT_TRUE(database().updateEventAggregates(*made, &error)) << error.toString();
  TLMMeasurement::monitor().setDebugModeEnabled(true);
  storeRaw("level_up", kBundleHourStart + 1, storeMetadata());

  ASSERT_TRUE(engine_->bundleRawEvents());
  ASSERT_EQ(queued().size(), 1u);
  EXPECT_EQ(queued()[0].events_size(), 1u);
  EXPECT_EQ(monitor_.count(23159), 0u);
}

TEST_F(BundleProcessingTest, TheFirstEventOfTheDayIsKeptBySampling) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  storeRaw("level_up", kBundleHourStart + 2, fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0].events_size(), 1u);
  EXPECT_EQ(intParam(bundles[0].events(0), "_efs"), 1);
  EXPECT_EQ(intParam(bundles[0].events(0), "_sr"), 65535);
}

}  // namespace
