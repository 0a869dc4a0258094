// TLMDailyCounts (day switching, realtime clearing, limits of the counters)
// and TLMEventAggregates (creation and wrapping counters).
#include <gtest/gtest.h>

#include <limits>

#include "engine/TLMDailyCounts.h"
#include "engine/TLMEventAggregates.h"
#include "platform/Clock.h"
#include "support/MonitorReportsTest.h"

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

using EventAggregatesTest = MonitorReportsTest;

TEST_F(EventAggregatesTest, StartsWithTheSamplingDefaults) {
  TLMEventAggregatesPtr aggregates = TLMEventAggregates::initWithName("_e", 4, 3, 2, 1234.5);
  ASSERT_NE(aggregates, nullptr);
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
  EXPECT_EQ(sampledCount(), 0);

  EXPECT_EQ(TLMEventAggregates::initWithName("_e", 0, -1, 0, 0), nullptr);
  EXPECT_TRUE(sampledOnly("Failed to create event aggregates object. Received negative count."));
  EXPECT_EQ(TLMEventAggregates::initWithName("_e", -1, 0, 0, 0), nullptr);
  EXPECT_EQ(TLMEventAggregates::initWithName("_e", 0, 0, -5, 0), nullptr);
  EXPECT_EQ(sampledCount(), 3);
}

// Each counter wraps from the largest value to 0 with its own sampled
// report, leaving the other counters alone.
TEST_F(EventAggregatesTest, EachCountWrapsToZeroAtTheLimitWithItsOwnMessage) {
  using Counter = std::int32_t (TLMEventAggregates::*)() const;
  using Increment = void (TLMEventAggregates::*)();
  const struct {
    int which;
    Counter read;
    Increment increment;
    const char* message;
  } cases[] = {
      {0, &TLMEventAggregates::lifetimeCount, &TLMEventAggregates::incrementLifetimeCount,
       "Lifetime count overflow. Lifetime count reset to 0."},
      {1, &TLMEventAggregates::currentBundleCount, &TLMEventAggregates::incrementCurrentBundleCount,
       "Bundle count overflow. Bundle count reset to 0."},
      {2, &TLMEventAggregates::currentSessionCount,
       &TLMEventAggregates::incrementCurrentSessionCount,
       "Session count overflow. Session count reset to 0."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    clearSample();
    std::int32_t start[3] = {5, 6, 7};
    start[c.which] = kMax - 1;
    TLMEventAggregatesPtr aggregates =
        TLMEventAggregates::initWithName("_e", start[0], start[1], start[2], 0);
    ASSERT_NE(aggregates, nullptr);
    TLMEventAggregates& counts = *aggregates;
    (counts.*c.increment)();
    EXPECT_EQ((counts.*c.read)(), kMax);
    EXPECT_EQ(sampledCount(), 0);
    (counts.*c.increment)();
    EXPECT_EQ((counts.*c.read)(), 0);
    EXPECT_TRUE(sampledOnly(c.message)) << sampledKey();
    (counts.*c.increment)();
    EXPECT_EQ((counts.*c.read)(), 1);
    start[c.which] = 1;
    EXPECT_EQ(counts.lifetimeCount(), start[0]);
    EXPECT_EQ(counts.currentBundleCount(), start[1]);
    EXPECT_EQ(counts.currentSessionCount(), start[2]);
  }
}

}  // namespace
