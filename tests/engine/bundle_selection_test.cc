// Which raw events go into one bundle: one metadata record, one clock
// hour, consecutive row IDs, the event count and size limits; and what
// becomes of the run's raw events and metadata.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/bundle_test_support.h"

namespace {

constexpr char kMaxEventsFlag[] = "measurement.upload.max_events_per_bundle";
constexpr char kMaxSizeFlag[] = "measurement.upload.max_batch_size";

using BundleSelectionTest = BundleTest;

TEST_F(BundleSelectionTest, NothingStoredAnswersFalseWithoutReports) {
  EXPECT_FALSE(engine_->bundleRawEvents());
  EXPECT_TRUE(queued().empty());
  EXPECT_EQ(monitor_.count(12056), 0u) << "nothing to do is not a failed transaction";
  EXPECT_EQ(monitor_.count(23095), 0u);
  EXPECT_EQ(monitor_.count(23097), 0u);
}

TEST_F(BundleSelectionTest, OneRunBecomesOneBundleAndItsRowsGo) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 10, fingerprint);
  storeRaw("tutorial_begin", kBundleHourStart + 20, fingerprint);
  storeRaw("level_up", kBundleHourStart + 30, fingerprint);

  EXPECT_TRUE(engine_->bundleRawEvents());
  EXPECT_FALSE(engine_->bundleRawEvents());

  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(bundles[0]),
            (std::vector<std::string>{"level_up", "tutorial_begin", "level_up"}));
  EXPECT_EQ(bundles[0].start_timestamp_millis(),
            static_cast<std::int64_t>((kBundleHourStart + 10) * 1000));
  EXPECT_EQ(bundles[0].end_timestamp_millis(),
            static_cast<std::int64_t>((kBundleHourStart + 30) * 1000));
  EXPECT_EQ(rowCount("raw_events"), 0);
  EXPECT_EQ(rowCount("raw_events_metadata"), 0) << "metadata goes with its last raw event";
  EXPECT_EQ(monitor_.count(23116), 1u);
}

TEST_F(BundleSelectionTest, TwoClockHoursNeverShareABundle) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 3599.9, fingerprint);
  storeRaw("level_up", kBundleHourStart + 3600.0, fingerprint);
  storeRaw("level_up", kBundleHourStart + 3700.0, fingerprint);

  EXPECT_EQ(bundleAll(), 2);
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0].events_size(), 1u);
  EXPECT_EQ(bundles[1].events_size(), 2u);
  EXPECT_EQ(bundles[0].end_timestamp_millis(),
            static_cast<std::int64_t>((kBundleHourStart + 3599.9) * 1000));
}

TEST_F(BundleSelectionTest, ARowIDGapEndsTheRun) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  const std::int64_t middle = storeRaw("level_up", kBundleHourStart + 2, fingerprint);
  storeRaw("level_up", kBundleHourStart + 3, fingerprint);
  storeRaw("level_up", kBundleHourStart + 4, fingerprint);
  exec("DELETE FROM raw_events WHERE rowid = " + std::to_string(middle));

  EXPECT_EQ(bundleAll(), 2);
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0].events_size(), 1u);
  EXPECT_EQ(bundles[1].events_size(), 2u);
}

TEST_F(BundleSelectionTest, AnotherMetadataInBetweenKeepsRowOrder) {
  const std::int64_t first = storeMetadata();
  const std::int64_t second = storeOtherMetadata();
  ASSERT_NE(first, second);
  storeRaw("level_up", kBundleHourStart + 1, first);
  storeRaw("tutorial_begin", kBundleHourStart + 2, second);
  storeRaw("level_up", kBundleHourStart + 3, first);

  EXPECT_EQ(bundleAll(), 3);
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 3u);
  EXPECT_EQ(eventNames(bundles[0]), std::vector<std::string>{"level_up"});
  EXPECT_EQ(eventNames(bundles[1]), std::vector<std::string>{"tutorial_begin"});
  ASSERT_TRUE(userAttribute(bundles[1], "favorite").has_value());
  EXPECT_FALSE(userAttribute(bundles[0], "favorite").has_value());
  EXPECT_EQ(bundles[2].bundle_index(), 3);
  EXPECT_EQ(rowCount("raw_events_metadata"), 0);
}

TEST_F(BundleSelectionTest, MetadataStaysWhileALaterRawEventUsesIt) {
  const std::int64_t first = storeMetadata();
  const std::int64_t second = storeOtherMetadata();
  storeRaw("level_up", kBundleHourStart + 1, first);
  storeRaw("tutorial_begin", kBundleHourStart + 2, second);
  storeRaw("level_up", kBundleHourStart + 3, first);

  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_EQ(rowCount("raw_events"), 2);
  EXPECT_EQ(rowCount("raw_events_metadata"), 2) << "the first record is still used by row 3";
  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_EQ(rowCount("raw_events_metadata"), 1);
}

TEST_F(BundleSelectionTest, MaxEventsOfOneGivesOneEventPerBundle) {
  setFlags({{kMaxEventsFlag, "1"}});
  const std::int64_t fingerprint = storeMetadata();
  for (int i = 0; i < 3; ++i) storeRaw("level_up", kBundleHourStart + i, fingerprint);

  EXPECT_EQ(bundleAll(), 3);
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 3u);
  for (std::size_t i = 0; i < bundles.size(); ++i) {
    EXPECT_EQ(bundles[i].events_size(), 1u);
    EXPECT_EQ(bundles[i].bundle_index(), static_cast<std::int32_t>(i + 1));
  }
}

TEST_F(BundleSelectionTest, MaxEventsIsTheRunLength) {
  setFlags({{kMaxEventsFlag, "2"}});
  const std::int64_t fingerprint = storeMetadata();
  for (int i = 0; i < 5; ++i) storeRaw("level_up", kBundleHourStart + i, fingerprint);

  EXPECT_EQ(bundleAll(), 3);
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 3u);
  EXPECT_EQ(bundles[0].events_size(), 2u);
  EXPECT_EQ(bundles[1].events_size(), 2u);
  EXPECT_EQ(bundles[2].events_size(), 1u);
}

TEST_F(BundleSelectionTest, TheRunStaysStrictlyBelowTheSizeLimit) {
  const TLMEventPtr a = makeEvent("level_up", kBundleHourStart + 1);
  const TLMEventPtr b = makeEvent("level_up", kBundleHourStart + 2);
  const TLMEventPtr c = makeEvent("level_up", kBundleHourStart + 3);
  const std::int64_t twoEvents = serializedSize(a) + serializedSize(b);
  ASSERT_GT(twoEvents, 0);

  // Exactly two events' size: the second would reach it, so it starts the
  // next run.
  setFlags({{kMaxSizeFlag, std::to_string(twoEvents)}});
  const std::int64_t fingerprint = storeMetadata();
  storeRaw(a, fingerprint);
  storeRaw(b, fingerprint);
  storeRaw(c, fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());
  ASSERT_EQ(queued().size(), 1u);
  EXPECT_EQ(queued()[0].events_size(), 1u);

  // One byte more and the remaining two fit together.
  setFlags({{kMaxSizeFlag, std::to_string(twoEvents + 1)}});
  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[1].events_size(), 2u);
  EXPECT_FALSE(engine_->bundleRawEvents());
}

TEST_F(BundleSelectionTest, AnEventOverTheSizeLimitAloneStillGoesOutAlone) {
  // Refusing it would hold back every later event until the stale-data
  // sweep.
  setFlags({{kMaxSizeFlag, "10"}});
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  storeRaw("level_up", kBundleHourStart + 2, fingerprint);

  EXPECT_EQ(bundleAll(), 2);
  EXPECT_EQ(queued().size(), 2u);
  EXPECT_EQ(rowCount("raw_events"), 0);
  EXPECT_EQ(monitor_.count(23097), 0u);
}

TEST_F(BundleSelectionTest, AThousandAndOneEventsMakeTwoBundles) {
  const std::int64_t fingerprint = storeMetadata();
  exec("BEGIN");
  for (int i = 0; i < 1001; ++i) storeRaw("level_up", kBundleHourStart + i * 0.001, fingerprint);
  exec("COMMIT");
  setFlags({{kMaxSizeFlag, "10485760"}});

  EXPECT_EQ(bundleAll(), 2);
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0].events_size(), 1000u);
  EXPECT_EQ(bundles[1].events_size(), 1u);
}

TEST_F(BundleSelectionTest, AnUnreadableRowEndsTheRunAndGoesWithTheNext) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  const std::int64_t broken = storeRaw("level_up", kBundleHourStart + 2, fingerprint);
  storeRaw("level_up", kBundleHourStart + 3, fingerprint);
  exec("UPDATE raw_events SET data = x'ff' WHERE rowid = " + std::to_string(broken));

  EXPECT_EQ(bundleAll(), 2);
  EXPECT_EQ(queued().size(), 2u);
  EXPECT_EQ(rowCount("raw_events"), 0);
}

}  // namespace
