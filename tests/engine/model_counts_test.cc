// TLMDailyCounts (day switching, realtime clearing, limits of the counters)
// and TLMEventAggregates (creation and wrapping counters).
#include <gtest/gtest.h>

#include <limits>

#include "engine/TLMDailyCounts.h"
#include "engine/TLMEventAggregates.h"
#include "model_test_support.h"
#include "platform/Clock.h"

namespace {

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TLMDailyCounts busyDay() { return TLMDailyCounts(100, 3, 40, 20, 5, 2); }

void expectCounts(const TLMDailyCounts& counts, std::int32_t day, std::int32_t conversions,
                  std::int32_t all, std::int32_t publicCount, std::int32_t errors,
                  std::int32_t realtime) {
  EXPECT_EQ(counts, TLMDailyCounts(day, conversions, all, publicCount, errors, realtime))
      << counts.description();
}

TEST(DailyCounts, SameDayUpdatesAddUp) {
  TLMDailyCounts counts = busyDay();
  counts.incrementCountsForCurrentDay(100, /*isPublicEvent=*/true, /*isConversion=*/true);
  expectCounts(counts, 100, 4, 41, 21, 5, 2);
  counts.incrementCountsForCurrentDay(100, false, false, 7);
  expectCounts(counts, 100, 4, 48, 21, 5, 2);
  counts.incrementCountsForCurrentDay(100, true, false, 3);
  expectCounts(counts, 100, 4, 51, 24, 5, 2);
  counts.incrementErrorEventsCountForCurrentDay(100);
  expectCounts(counts, 100, 4, 52, 24, 6, 2);
  counts.incrementRealtimeCountsForCurrentDay(100);
  expectCounts(counts, 100, 4, 52, 24, 6, 3);
}

TEST(DailyCounts, EachUpdateSwitchesToANewDay) {
  TLMDailyCounts events = busyDay();
  events.incrementCountsForCurrentDay(101, true, true, 4);
  expectCounts(events, 101, 1, 4, 4, 0, 0);

  TLMDailyCounts privateEvent = busyDay();
  privateEvent.incrementCountsForCurrentDay(101, false, false);
  expectCounts(privateEvent, 101, 0, 1, 0, 0, 0);

  TLMDailyCounts errors = busyDay();
  errors.incrementErrorEventsCountForCurrentDay(101);
  expectCounts(errors, 101, 0, 1, 0, 1, 0);

  // A realtime update on a new day clears every other count.
  TLMDailyCounts realtime = busyDay();
  realtime.incrementRealtimeCountsForCurrentDay(101);
  expectCounts(realtime, 101, 0, 0, 0, 0, 1);

  // Any other day counts as new, earlier ones too (the clock moved back).
  TLMDailyCounts earlier = busyDay();
  earlier.incrementCountsForCurrentDay(99, true, false);
  expectCounts(earlier, 99, 0, 1, 1, 0, 0);

  TLMDailyCounts reset = busyDay();
  reset.resetWithNewDay(150);
  expectCounts(reset, 150, 0, 0, 0, 0, 0);
}

TEST(DailyCounts, AllEventsCountNeverGoesBelowZero) {
  TLMDailyCounts counts(5, 1, 1, 0, 0, 0);
  counts.decrementAllEventsCount();
  expectCounts(counts, 5, 1, 0, 0, 0, 0);
  counts.decrementAllEventsCount();
  expectCounts(counts, 5, 1, 0, 0, 0, 0);
}

TEST(DailyCounts, CountsStopAtTheLargestValueInsteadOfTurningNegative) {
  TLMDailyCounts counts(1, kMax, kMax - 1, kMax, kMax, kMax);
  counts.incrementCountsForCurrentDay(1, true, true, 5);
  expectCounts(counts, 1, kMax, kMax, kMax, kMax, kMax);
  counts.incrementErrorEventsCountForCurrentDay(1);
  counts.incrementRealtimeCountsForCurrentDay(1);
  expectCounts(counts, 1, kMax, kMax, kMax, kMax, kMax);
  // A negative effective count adds nothing.
  TLMDailyCounts small(1, 0, 3, 3, 0, 0);
  small.incrementCountsForCurrentDay(1, true, false, -10);
  expectCounts(small, 1, 0, 3, 3, 0, 0);
}

TEST(DailyCounts, DayNumberIsFlooredAfterTheMidnightOffset) {
  EXPECT_EQ(TLMDailyCounts::dayForTime(0, 0), 0);
  EXPECT_EQ(TLMDailyCounts::dayForTime(86399.999, 0), 0);
  EXPECT_EQ(TLMDailyCounts::dayForTime(86400, 0), 1);
  // Midnight one hour later than UTC (offset -3600: UTC+1).
  EXPECT_EQ(TLMDailyCounts::dayForTime(86400 - 3600, -3600), 1);
  EXPECT_EQ(TLMDailyCounts::dayForTime(86400 - 3601, -3600), 0);
  // Before 1970 the day is negative, not truncated toward zero.
  EXPECT_EQ(TLMDailyCounts::dayForTime(-1, 0), -1);
  EXPECT_EQ(TLMDailyCounts::dayForTime(1e300, 0), kMax);
  EXPECT_EQ(TLMDailyCounts::dayForTime(-1e300, 0), std::numeric_limits<std::int32_t>::min());
}

TEST(DailyCounts, CurrentDayReadsThePlatformClock) {
  TestPlatform platform;
  platform.platform().fakeClock()->setNow(20000 * 86400.0 + 100);
  EXPECT_EQ(TLMDailyCounts::currentDay(0), 20000);
  EXPECT_EQ(TLMDailyCounts::currentDay(200), 19999);
  platform.platform().fakeClock()->advance(86400);
  EXPECT_EQ(TLMDailyCounts::currentDay(200), 20000);
}

using EventAggregatesTest = ModelTest;

TEST_F(EventAggregatesTest, StartsWithTheSamplingDefaults) {
  TLMEventAggregatesPtr aggregates = TLMEventAggregates::initWithName("_e", 4, 3, 2, 1234.5);
  ASSERT_NE(aggregates, nullptr);
  EXPECT_EQ(aggregates->name(), "_e");
  EXPECT_EQ(aggregates->lifetimeCount(), 4);
  EXPECT_EQ(aggregates->currentBundleCount(), 3);
  EXPECT_EQ(aggregates->currentSessionCount(), 2);
  EXPECT_EQ(aggregates->lastFireTimestamp(), 1234.5);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_EQ(aggregates->lastBundledTimestamp(), 0);
  EXPECT_EQ(aggregates->lastBundledDay(), 0);
  EXPECT_EQ(aggregates->lastSampledComplexEventID(), std::nullopt);
  EXPECT_TRUE(TLMEventAggregates::initWithName("purchase", 0, 0, 0, 0) != nullptr);
  EXPECT_TRUE(printed().empty());
}

TEST_F(EventAggregatesTest, RefusesInvalidNamesAndNegativeCounts) {
  EXPECT_EQ(TLMEventAggregates::initWithName("", 0, 0, 0, 0), nullptr);
  EXPECT_EQ(TLMEventAggregates::initWithName("bad name", 0, 0, 0, 0), nullptr);
  EXPECT_EQ(TLMEventAggregates::initWithName(std::string(41, 'a'), 0, 0, 0, 0), nullptr);
  // The validator said why; the aggregates add nothing of their own.
  EXPECT_TRUE(printedWithCode(17000).empty());
  EXPECT_EQ(sample().population, 0);

  EXPECT_EQ(TLMEventAggregates::initWithName("_e", 0, -1, 0, 0), nullptr);
  EXPECT_TRUE(sampledOnly("Failed to create event aggregates object. Received negative count."));
  EXPECT_EQ(TLMEventAggregates::initWithName("_e", -1, 0, 0, 0), nullptr);
  EXPECT_EQ(TLMEventAggregates::initWithName("_e", 0, 0, -5, 0), nullptr);
  EXPECT_EQ(sample().population, 3);
}

TEST_F(EventAggregatesTest, LifetimeCountWrapsToZeroAtTheLimit) {
  TLMEventAggregatesPtr aggregates = TLMEventAggregates::initWithName("_e", kMax - 1, 0, 0, 0);
  ASSERT_NE(aggregates, nullptr);
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), kMax);
  EXPECT_EQ(sample().population, 0);
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_TRUE(sampledOnly("Lifetime count overflow. Lifetime count reset to 0."));
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 1);
  EXPECT_EQ(aggregates->currentBundleCount(), 0);
  EXPECT_EQ(aggregates->currentSessionCount(), 0);
}

TEST_F(EventAggregatesTest, BundleCountWrapsWithItsOwnMessage) {
  TLMEventAggregatesPtr aggregates = TLMEventAggregates::initWithName("_e", 0, kMax, 7, 0);
  ASSERT_NE(aggregates, nullptr);
  aggregates->incrementCurrentBundleCount();
  EXPECT_EQ(aggregates->currentBundleCount(), 0);
  EXPECT_TRUE(sampledOnly("Bundle count overflow. Bundle count reset to 0."));
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
}

TEST_F(EventAggregatesTest, SessionCountWrapsWithItsOwnMessage) {
  TLMEventAggregatesPtr aggregates = TLMEventAggregates::initWithName("_e", 0, 0, kMax, 0);
  ASSERT_NE(aggregates, nullptr);
  aggregates->incrementCurrentSessionCount();
  EXPECT_EQ(aggregates->currentSessionCount(), 0);
  EXPECT_TRUE(sampledOnly("Session count overflow. Session count reset to 0."));
  aggregates->incrementCurrentSessionCount();
  EXPECT_EQ(aggregates->currentSessionCount(), 1);
}

TEST_F(EventAggregatesTest, SettersChangeOneFieldEach) {
  TLMEventAggregatesPtr aggregates = TLMEventAggregates::initWithName("_vs", 1, 1, 1, 10);
  ASSERT_NE(aggregates, nullptr);
  aggregates->setLastSamplingRate(5);
  aggregates->setLastBundledDay(20000);
  aggregates->setLastBundledTimestamp(99.5);
  aggregates->setLastExemptFromSampling(true);
  aggregates->setLastSampledComplexEventID(77);
  EXPECT_EQ(aggregates->lastSamplingRate(), 5);
  EXPECT_EQ(aggregates->lastBundledDay(), 20000);
  EXPECT_EQ(aggregates->lastBundledTimestamp(), 99.5);
  EXPECT_TRUE(aggregates->lastExemptFromSampling());
  EXPECT_EQ(aggregates->lastSampledComplexEventID(), 77);
  aggregates->setLastSampledComplexEventID(std::nullopt);
  EXPECT_EQ(aggregates->lastSampledComplexEventID(), std::nullopt);
  EXPECT_EQ(aggregates->lifetimeCount(), 1);
  EXPECT_EQ(aggregates->lastFireTimestamp(), 10);
}

}  // namespace
