// What a stored bundle carries: the metadata record's fields, the bundle
// index and previous-bundle times, events with their previous timestamps,
// counted aggregates, the engagement properties, configuration version and
// experiments, and the audience evaluator's results.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/bundle_test_support.h"

namespace {

std::int64_t millis(double seconds) { return static_cast<std::int64_t>(seconds * 1000); }

using BundleContentsTest = BundleTest;

TEST_F(BundleContentsTest, TheStoredBundleDecodesWithTheMetadataRecord) {
  const std::int64_t fingerprint =
      storeMetadata({property("favorite", TLMValue::fromString("dragons"))});
  storeRaw("level_up", kBundleHourStart + 5, fingerprint, params({{"level", integer(7)}}));
  ASSERT_TRUE(engine_->bundleRawEvents());

  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  const TLMPBMeasurementBundle& bundle = bundles[0];
  EXPECT_EQ(bundle.protocol_version(), 1);
  EXPECT_EQ(bundle.platform(), "ios");
  EXPECT_EQ(bundle.app_id(), TestPlatform::kBundleIdentifier);
  EXPECT_FALSE(bundle.os_version().empty());
  EXPECT_FALSE(bundle.device_model().empty());
  const std::optional<TLMPBUserAttribute> favorite = userAttribute(bundle, "favorite");
  ASSERT_TRUE(favorite.has_value());
  EXPECT_EQ(favorite->string_value(), "dragons");

  ASSERT_EQ(bundle.events_size(), 1u);
  const TLMPBEvent event = bundle.events(0);
  EXPECT_EQ(event.name(), "level_up");
  EXPECT_EQ(event.timestamp_millis(), millis(kBundleHourStart + 5));
  EXPECT_EQ(intParam(event, "level"), 7);
  EXPECT_EQ(bundle.start_timestamp_millis(), millis(kBundleHourStart + 5));
  EXPECT_EQ(bundle.end_timestamp_millis(), millis(kBundleHourStart + 5));
  EXPECT_FALSE(bundle.has_config_version()) << "no configuration in force";
  EXPECT_EQ(bundle.audience_evaluation_results_size(), 0u);
  EXPECT_EQ(bundle.experiment_ids_size(), 0u);
}

TEST_F(BundleContentsTest, FirstBundleHasIndexOneAndNoPreviousTimes) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 10, fingerprint);
  storeRaw("level_up", kBundleHourStart + 20, fingerprint);
  storeRaw("level_up", kBundleHourStart + 3600 + 30, fingerprint);
  ASSERT_EQ(bundleAll(), 2);

  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 2u);
  EXPECT_EQ(bundles[0].bundle_index(), 1);
  EXPECT_FALSE(bundles[0].has_previous_bundle_end_timestamp_millis());
  EXPECT_FALSE(bundles[0].has_previous_bundle_start_timestamp_millis());

  EXPECT_EQ(bundles[1].bundle_index(), 2);
  EXPECT_EQ(bundles[1].previous_bundle_start_timestamp_millis(), millis(kBundleHourStart + 10));
  EXPECT_EQ(bundles[1].previous_bundle_end_timestamp_millis(), millis(kBundleHourStart + 20));

  Error error;
  const TLMAppMetadataPtr appMetadata = database().queryAppMetadata(&error);
  ASSERT_NE(appMetadata, nullptr) << error.toString();
  EXPECT_EQ(appMetadata->lastBundleIndex(), 2);
  EXPECT_DOUBLE_EQ(appMetadata->lastBundleStartTimestamp(), kBundleHourStart + 3630);
  EXPECT_DOUBLE_EQ(appMetadata->lastBundleEndTimestamp(), kBundleHourStart + 3630);
}

TEST_F(BundleContentsTest, PreviousStartFallsBackToTheLastEndTime) {
  // Older databases kept only the end time.
  Error error;
  const TLMAppMetadataPtr old = TLMAppMetadata::initWithLastBundleIndex(41, 0, kBundleHourStart);
  ASSERT_NE(old, nullptr);
  ASSERT_TRUE(database().updateAppMetadata(*old, &error)) << error.toString();
  storeRaw("level_up", kBundleHourStart + 100, storeMetadata());
  ASSERT_TRUE(engine_->bundleRawEvents());

  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(bundles[0].bundle_index(), 42);
  EXPECT_EQ(bundles[0].previous_bundle_end_timestamp_millis(), millis(kBundleHourStart));
  EXPECT_EQ(bundles[0].previous_bundle_start_timestamp_millis(), millis(kBundleHourStart));
}

TEST_F(BundleContentsTest, EventsCarryPreviousTimestampsAndAggregatesAreCounted) {
  // As the storing step leaves it: a row with zero counts.
  storeAggregates("level_up", 0, 0, 0, 0);
  storeAggregates("tutorial_begin", 4, 1, 2, kBundleHourStart - 50);
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  storeRaw("tutorial_begin", kBundleHourStart + 2, fingerprint);
  storeRaw("level_up", kBundleHourStart + 3, fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());

  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0].events_size(), 3u);
  EXPECT_FALSE(bundles[0].events(0).has_previous_timestamp_millis()) << "never fired before";
  EXPECT_EQ(bundles[0].events(1).previous_timestamp_millis(), millis(kBundleHourStart - 50));
  EXPECT_EQ(bundles[0].events(2).previous_timestamp_millis(), millis(kBundleHourStart + 1));

  const TLMEventAggregatesPtr levelUp = aggregates("level_up");
  ASSERT_NE(levelUp, nullptr);
  EXPECT_EQ(levelUp->lifetimeCount(), 2);
  EXPECT_EQ(levelUp->currentBundleCount(), 2);
  EXPECT_EQ(levelUp->currentSessionCount(), 2);
  EXPECT_DOUBLE_EQ(levelUp->lastFireTimestamp(), kBundleHourStart + 3);
  const TLMEventAggregatesPtr tutorial = aggregates("tutorial_begin");
  ASSERT_NE(tutorial, nullptr);
  EXPECT_EQ(tutorial->lifetimeCount(), 5);
  EXPECT_EQ(tutorial->currentBundleCount(), 2);
  EXPECT_EQ(tutorial->currentSessionCount(), 3);
}

TEST_F(BundleContentsTest, ANameWithoutAggregatesStartsAtOne) {
  storeRaw("level_up", kBundleHourStart + 1, storeMetadata());
  ASSERT_EQ(aggregates("level_up"), nullptr);
  ASSERT_TRUE(engine_->bundleRawEvents());
  const TLMEventAggregatesPtr made = aggregates("level_up");
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->lifetimeCount(), 1);
  EXPECT_EQ(made->currentBundleCount(), 1);
  EXPECT_EQ(made->currentSessionCount(), 1);
  EXPECT_DOUBLE_EQ(made->lastFireTimestamp(), kBundleHourStart + 1);
}

TEST_F(BundleContentsTest, SessionStartResetsSessionCountsBeforeTheRunIsCounted) {
  storeAggregates("level_up", 10, 3, 5, kBundleHourStart - 100);
  storeAggregates("tutorial_begin", 2, 1, 2, kBundleHourStart - 100);
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  storeRaw("_s", kBundleHourStart + 2, fingerprint);
  storeRaw("level_up", kBundleHourStart + 3, fingerprint);
  int cleared = 0;
  TLMStandIns::current().clearEvaluationResultsForSessionScopedFilters = [&] { ++cleared; };
  ASSERT_TRUE(engine_->bundleRawEvents());

  EXPECT_EQ(cleared, 1);
  // Both of the run's "level_up" count in the new session, whichever side
  // of "_s" they are.
  EXPECT_EQ(aggregates("level_up")->currentSessionCount(), 2);
  EXPECT_EQ(aggregates("level_up")->lifetimeCount(), 12);
  EXPECT_EQ(aggregates("tutorial_begin")->currentSessionCount(), 0);
  EXPECT_EQ(aggregates("tutorial_begin")->lifetimeCount(), 2);
  EXPECT_EQ(aggregates("_s")->currentSessionCount(), 1);
}

TEST_F(BundleContentsTest, WithoutSessionStartSessionCountsGoOn) {
  storeAggregates("level_up", 10, 3, 5, kBundleHourStart - 100);
  storeRaw("level_up", kBundleHourStart + 1, storeMetadata());
  int cleared = 0;
  TLMStandIns::current().clearEvaluationResultsForSessionScopedFilters = [&] { ++cleared; };
  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_EQ(cleared, 0);
  EXPECT_EQ(aggregates("level_up")->currentSessionCount(), 6);
}

TEST_F(BundleContentsTest, EngagementTimesAreSummedIntoLifetimeAndSessionProperties) {
  storeProperty(property("_lte", integer(1000)));
  storeProperty(property("_se", integer(400)));
  // The metadata holds the values of when the events were stored.
  const std::int64_t fingerprint =
      storeMetadata({property("_lte", integer(1000)), property("_se", integer(400))});
  storeRaw("_e", kBundleHourStart + 1, fingerprint, params({{"_et", integer(100)}}));
  storeRaw("_e", kBundleHourStart + 2, fingerprint, params({{"_et", integer(250)}}));
  // Foreground engagement already counted elsewhere: left out.
  storeRaw("_e", kBundleHourStart + 3, fingerprint,
           params({{"_et", integer(5000)}, {"_fr", integer(1)}}));
  storeRaw("level_up", kBundleHourStart + 4, fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());

  EXPECT_EQ(storedIntProperty("_lte"), 1350);
  EXPECT_EQ(storedIntProperty("_se"), 750);
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  const std::optional<TLMPBUserAttribute> lte = userAttribute(bundles[0], "_lte");
  ASSERT_TRUE(lte.has_value());
  EXPECT_EQ(lte->int_value(), 1350);
  EXPECT_EQ(lte->set_timestamp_millis(), millis(now()));
  const std::optional<TLMPBUserAttribute> se = userAttribute(bundles[0], "_se");
  ASSERT_TRUE(se.has_value());
  EXPECT_EQ(se->int_value(), 750);

  Error error;
  const TLMUserAttributePtr stored = database().userAttributeWithName("_lte", &error);
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->origin(), "auto");
  EXPECT_DOUBLE_EQ(stored->lastSetTimestamp(), now());
}

TEST_F(BundleContentsTest, EngagementPropertiesAreAddedWhenTheMetadataHadNone) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("_e", kBundleHourStart + 1, fingerprint, params({{"_et", integer(300)}}));
  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_TRUE(userAttribute(bundles[0], "_lte").has_value());
  EXPECT_EQ(userAttribute(bundles[0], "_lte")->int_value(), 300);
  EXPECT_EQ(userAttribute(bundles[0], "_se")->int_value(), 300);
}

TEST_F(BundleContentsTest, SessionStartReplacesTheSessionEngagement) {
  storeProperty(property("_lte", integer(1000)));
  storeProperty(property("_se", integer(400)));
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("_s", kBundleHourStart + 1, fingerprint);
  storeRaw("_e", kBundleHourStart + 2, fingerprint, params({{"_et", integer(60)}}));
  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_EQ(storedIntProperty("_lte"), 1060);
  EXPECT_EQ(storedIntProperty("_se"), 60);
}

TEST_F(BundleContentsTest, NoEngagementLeavesThePropertiesAlone) {
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("level_up", kBundleHourStart + 1, fingerprint);
  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_FALSE(storedIntProperty("_lte").has_value());
  EXPECT_FALSE(userAttribute(queued()[0], "_lte").has_value());
}

TEST_F(BundleContentsTest, NegativeEngagementIsReportedButTheBundleGoes) {
  storeProperty(property("_lte", integer(1000)));
  const std::int64_t fingerprint = storeMetadata();
  storeRaw("_e", kBundleHourStart + 1, fingerprint, params({{"_et", integer(-500)}}));
  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_EQ(monitor_.count(23186), 2u) << "once for each property";
  EXPECT_EQ(storedIntProperty("_lte"), 1000);
  EXPECT_EQ(queued().size(), 1u);
  EXPECT_EQ(rowCount("raw_events"), 0);
}

TEST_F(BundleContentsTest, ConfigurationVersionAndAppIDFromTheConfigurationInForce) {
  configure({}, {}, 17);
  storeRaw("level_up", kBundleHourStart + 1, storeMetadata());
  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_TRUE(bundles[0].has_config_version());
  EXPECT_EQ(bundles[0].config_version(), 17);
}

TEST_F(BundleContentsTest, AudienceEvaluationSeesEveryEventAndPropertyWithOneCache) {
  const std::int64_t fingerprint =
      storeMetadata({property("favorite", TLMValue::fromString("dragons"))});
  storeRaw("level_up", kBundleHourStart + 7, fingerprint);
  storeRaw("tutorial_begin", kBundleHourStart + 9, fingerprint);

  std::vector<std::string> evaluated;
  std::vector<std::uint64_t> caches;
  std::vector<double> times;
  TLMStandIns& standIns = TLMStandIns::current();
  standIns.evaluateFiltersForEvent = [&](const TLMEventPtr& event,
                                         const TLMEventAggregates& eventAggregates,
                                         TLMAudienceTimestampsCacheStandIn* cache) {
    evaluated.push_back(event->name() + ":" + std::to_string(eventAggregates.lifetimeCount()));
    caches.push_back(cache != nullptr ? cache->sequenceNumber() : 0);
    return true;
  };
  standIns.evaluateFiltersForNanoUserProperty = [&](const TLMPBUserAttribute& attribute,
                                                    TLMAudienceTimestampsCacheStandIn* cache,
                                                    double evaluationTime) {
    evaluated.push_back("property:" + attribute.name());
    caches.push_back(cache != nullptr ? cache->sequenceNumber() : 0);
    times.push_back(evaluationTime);
    return true;
  };
  standIns.resultsForBundling = [](Error*) {
    TLMPBAudienceLeafFilterResult result;
    result.set_audience_id(12);
    result.set_new_audience(true);
    return std::optional<std::vector<TLMPBAudienceLeafFilterResult>>(
        std::vector<TLMPBAudienceLeafFilterResult>{result});
  };
  ASSERT_TRUE(engine_->bundleRawEvents());

  EXPECT_EQ(evaluated,
            (std::vector<std::string>{"level_up:1", "tutorial_begin:1", "property:favorite"}));
  ASSERT_EQ(caches.size(), 3u);
  EXPECT_NE(caches[0], 0u);
  EXPECT_EQ(caches[1], caches[0]);
  EXPECT_EQ(caches[2], caches[0]) << "one cache for the bundle's events and properties";
  EXPECT_EQ(times, std::vector<double>{kBundleHourStart + 7});

  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  ASSERT_EQ(bundles[0].audience_evaluation_results_size(), 1u);
  EXPECT_EQ(bundles[0].audience_evaluation_results(0).audience_id(), 12);
}

TEST_F(BundleContentsTest, SessionStartReevaluatesPropertiesWithoutACache) {
  const std::int64_t fingerprint =
      storeMetadata({property("favorite", TLMValue::fromString("dragons"))});
  storeRaw("_s", kBundleHourStart + 7, fingerprint);
  std::vector<std::uint64_t> caches;
  TLMStandIns::current().evaluateFiltersForNanoUserProperty =
      [&](const TLMPBUserAttribute&, TLMAudienceTimestampsCacheStandIn* cache, double) {
        caches.push_back(cache != nullptr ? cache->sequenceNumber() : 0);
        return true;
      };
  ASSERT_TRUE(engine_->bundleRawEvents());
  ASSERT_EQ(caches.size(), 2u);
  EXPECT_EQ(caches[0], 0u) << "session start: no cache";
  EXPECT_NE(caches[1], 0u) << "bundle: the bundle's cache";
}

TEST_F(BundleContentsTest, EventsStoredByThePipelineComeOutInOrderWithTheirMetadata) {
  storeProperty(property("favorite", TLMValue::fromString("dragons")));
  const double first = now();
  ASSERT_TRUE(engine_->writeFilteredEventOnWorkerQueue(
      makeEvent("level_up", first, params({{"level", integer(3)}}))));
  ASSERT_TRUE(engine_->writeFilteredEventOnWorkerQueue(makeEvent("tutorial_begin", first)));
  run();
  ASSERT_EQ(rowCount("raw_events"), 2);

  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(eventNames(bundles[0]), (std::vector<std::string>{"level_up", "tutorial_begin"}));
  EXPECT_EQ(intParam(bundles[0].events(0), "level"), 3);
  EXPECT_FALSE(bundles[0].app_instance_id().empty());
  ASSERT_TRUE(userAttribute(bundles[0], "favorite").has_value());
  EXPECT_EQ(userAttribute(bundles[0], "favorite")->string_value(), "dragons");
  EXPECT_EQ(bundles[0].start_timestamp_millis(), millis(first));
  EXPECT_EQ(rowCount("raw_events"), 0);
}

TEST_F(BundleContentsTest, ADueMonitoringSampleGoesIntoTheBundleAndIsRecordedOnCommit) {
  TLMMeasurement::monitor().clearMonitoringData();
  const double lastSampled = now() - 3 * 86400;
  engine_->persistedConfig()->setLastMonitorDataSampledTimestamp(lastSampled);
  storeRaw("level_up", kBundleHourStart + 1, storeMetadata());

  // A failed run records nothing.
  exec(
      "CREATE TRIGGER refuse_bundle BEFORE INSERT ON queue BEGIN "
      "SELECT RAISE(ABORT, 'queue refused'); END");
  ASSERT_FALSE(engine_->bundleRawEvents());
  EXPECT_DOUBLE_EQ(engine_->persistedConfig()->lastMonitorDataSampledTimestamp(), lastSampled);
  exec("DROP TRIGGER refuse_bundle");
  // The failure's own reports are sampled and would wait out the period.
  TLMMeasurement::monitor().clearMonitoringData();

  ASSERT_TRUE(engine_->bundleRawEvents());
  const std::vector<TLMPBMeasurementBundle> bundles = queued();
  ASSERT_EQ(bundles.size(), 1u);
  EXPECT_EQ(bundles[0].monitoring_sample(), "0:");
  EXPECT_DOUBLE_EQ(engine_->persistedConfig()->lastMonitorDataSampledTimestamp(), now());
}

TEST_F(BundleContentsTest, NoMonitoringSampleWithinThePeriod) {
  TLMMeasurement::monitor().clearMonitoringData();
  engine_->persistedConfig()->setLastMonitorDataSampledTimestamp(now() - 60);
  storeRaw("level_up", kBundleHourStart + 1, storeMetadata());
  ASSERT_TRUE(engine_->bundleRawEvents());
  EXPECT_FALSE(queued()[0].has_monitoring_sample());
  EXPECT_DOUBLE_EQ(engine_->persistedConfig()->lastMonitorDataSampledTimestamp(), now() - 60);
}

}  // namespace
