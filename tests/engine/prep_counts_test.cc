// Conversion and real-time counting at bundle time against the day's
// counts.
#include <gtest/gtest.h>

#include <string>

#include "engine/prep_test_support.h"
#include "upload/TLMMonitor.h"

namespace {

using PrepConversionTest = PrepTest;
using PrepRealtimeTest = PrepTest;

TLMDailyCounts countsOfDay(std::int32_t day, std::int32_t conversions = 0,
                           std::int32_t realtime = 0) {
  return TLMDailyCounts(day, conversions, /*allEventsCount=*/50, /*publicEventsCount=*/40,
                        /*errorEventsCount=*/0, realtime);
}

TEST_F(PrepConversionTest, PublicConversionsAreCountedUpToTheDailyLimit) {
  TLMDailyCounts counts = countsOfDay(today());
  for (int i = 0; i < 10000; ++i) {
    TLMEventPtr purchase = event("purchase");
    purchase->setConversion(true);
    ASSERT_TRUE(engine_->checkConversion(raw(purchase), counts)) << i;
    ASSERT_TRUE(purchase->conversion());
  }
  EXPECT_EQ(counts.conversionsCount(), 10000);
  // Only the conversion is new: the event was counted when stored.
  EXPECT_EQ(counts.allEventsCount(), 50);
  EXPECT_EQ(counts.publicEventsCount(), 40);
  EXPECT_EQ(monitor_.count(23102), 0u);

  // The 10001st loses its mark.
  TLMEventPtr refund = event("refund");
  refund->setConversion(true);
  EXPECT_FALSE(engine_->checkConversion(raw(refund), counts));
  EXPECT_FALSE(refund->conversion());
  EXPECT_EQ(intParameter(*refund, "_err"), 10);
  EXPECT_EQ(counts.conversionsCount(), 10000);
  const std::vector<MonitorReport> reports = monitor_.withCode(23102);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 3);
  EXPECT_EQ(reports[0].message,
            "Too many conversion events. Not logging event as conversion. Name, limit");
  ASSERT_EQ(reports[0].contexts.size(), 2u);
  EXPECT_EQ(reports[0].contexts[1].int64Value(), 10000);

  // Internal conversions are never limited nor counted.
  for (const char* name : {"_f", "_iap"}) {
    TLMEventPtr internal = event(name, {}, 1767225600.0, /*isPublic=*/false);
    internal->setConversion(true);
    EXPECT_FALSE(engine_->checkConversion(raw(internal), counts)) << name;
    EXPECT_TRUE(internal->conversion()) << name;
  }
  EXPECT_EQ(counts.conversionsCount(), 10000);
  EXPECT_EQ(monitor_.count(23102), 1u);
}

TEST_F(PrepConversionTest, ConfiguredLimitAndCustomConversions) {
  configure({{"measurement.upload.max_conversions_per_day", "2"}},
            {withConversion(eventConfig("level_up"), true)});
  TLMDailyCounts counts = countsOfDay(today(), /*conversions=*/1);

  // Not a conversion at all: nothing happens.
  TLMEventPtr plain = event("tutorial_begin");
  EXPECT_FALSE(engine_->checkConversion(raw(plain), counts));
  EXPECT_FALSE(plain->conversion());

  // The configuration makes it one, and it is counted.
  TLMEventPtr custom = event("level_up");
  EXPECT_TRUE(engine_->checkConversion(raw(custom), counts));
  EXPECT_TRUE(custom->conversion());
  EXPECT_EQ(counts.conversionsCount(), 2);

  TLMEventPtr over = event("level_up");
  EXPECT_FALSE(engine_->checkConversion(raw(over), counts));
  EXPECT_FALSE(over->conversion());
  ASSERT_EQ(monitor_.count(23102), 1u);
  EXPECT_EQ(monitor_.withCode(23102)[0].contexts[1].int64Value(), 2);
}

TEST_F(PrepConversionTest, YesterdaysCountsDoNotLimitToday) {
  TLMDailyCounts counts = countsOfDay(today() - 1, /*conversions=*/10000, /*realtime=*/10);
  TLMEventPtr purchase = event("purchase");
  purchase->setConversion(true);
  EXPECT_TRUE(engine_->checkConversion(raw(purchase), counts));
  EXPECT_TRUE(purchase->conversion());
  EXPECT_EQ(counts.day(), today());
  EXPECT_EQ(counts.conversionsCount(), 1);
  EXPECT_EQ(counts.allEventsCount(), 0);
  EXPECT_EQ(monitor_.count(23102), 0u);
}

TEST_F(PrepRealtimeTest, CountsUpToTheLimitThenRemovesTheMark) {
  configure({{"measurement.upload.max_realtime_events_per_day", "3"}});
  TLMDailyCounts counts = countsOfDay(today());
  for (int i = 0; i < 3; ++i) {
    TLMEventPtr realtime = event("level_up");
    realtime->setRealtime(true);
    EXPECT_TRUE(engine_->checkRealtime(raw(realtime), counts)) << i;
    EXPECT_TRUE(realtime->realtime());
  }
  EXPECT_EQ(counts.realtimeCount(), 3);
  ASSERT_EQ(monitor_.count(23103), 3u);
  EXPECT_EQ(monitor_.withCode(23103)[0].level, 7);
  EXPECT_EQ(monitor_.withCode(23103)[0].message,
            "Event is under real-time event count daily limit. Marking the event as real-time. "
            "Event name, parameters");

  // A conversion is real-time too while the limit allows; beyond it not.
  for (bool conversion : {false, true}) {
    TLMEventPtr over = event("purchase");
    if (conversion) {
      over->setConversion(true);
    } else {
      over->setRealtime(true);
    }
    EXPECT_FALSE(engine_->checkRealtime(raw(over), counts));
    EXPECT_FALSE(over->realtime());
    EXPECT_FALSE(over->hasParameter("_r"));
  }
  EXPECT_EQ(counts.realtimeCount(), 3);
  ASSERT_EQ(monitor_.count(23104), 2u);
  EXPECT_EQ(monitor_.withCode(23104)[0].level, 4);
  EXPECT_EQ(monitor_.withCode(23104)[0].message,
            "Number of real-time events is over the real-time event count daily limit. Event is "
            "no longer real-time. Event name, parameters");
}

TEST_F(PrepRealtimeTest, ConversionUnderTheDefaultLimitBecomesRealtime) {
  TLMDailyCounts counts = countsOfDay(today(), 0, /*realtime=*/9);
  TLMEventPtr purchase = event("purchase");
  purchase->setConversion(true);
  EXPECT_TRUE(engine_->checkRealtime(raw(purchase), counts));
  EXPECT_TRUE(purchase->realtime());
  EXPECT_EQ(counts.realtimeCount(), 10);

  TLMEventPtr next = event("purchase");
  next->setConversion(true);
  EXPECT_FALSE(engine_->checkRealtime(raw(next), counts));
  EXPECT_FALSE(next->realtime());
  EXPECT_EQ(counts.realtimeCount(), 10);
}

TEST_F(PrepRealtimeTest, NeitherRealtimeNorConversionIsLeftAlone) {
  TLMDailyCounts counts = countsOfDay(today());
  const TLMDailyCounts before = counts;
  TLMEventPtr plain = event("level_up");
  EXPECT_FALSE(engine_->checkRealtime(raw(plain), counts));
  EXPECT_FALSE(plain->realtime());
  EXPECT_EQ(counts, before);
  EXPECT_TRUE(monitor_.reports().empty());
}

TEST_F(PrepRealtimeTest, ExemptNamesAndDebugModeAreNeverLimited) {
  configure({{"measurement.upload.max_realtime_events_per_day", "0"}});
  TLMDailyCounts counts = countsOfDay(today());
  for (const char* name : {"_iap", "_f", "_fx"}) {
    TLMEventPtr exempt = event(name, {}, 1767225600.0, /*isPublic=*/false);
    exempt->setRealtime(true);
    EXPECT_FALSE(engine_->checkRealtime(raw(exempt), counts)) << name;
    EXPECT_TRUE(exempt->realtime()) << name;
  }
  EXPECT_EQ(counts.realtimeCount(), 0);
  ASSERT_EQ(monitor_.count(23105), 3u);
  EXPECT_EQ(monitor_.withCode(23105)[0].message,
            "Event is not subject to real-time event count daily limit. Marking an event as "
            "real-time. Event name, parameters");

  TLMMeasurement::monitor().setDebugModeEnabled(true);
  TLMEventPtr debug = event("level_up");
  debug->setRealtime(true);
  EXPECT_FALSE(engine_->checkRealtime(raw(debug), counts));
  TLMMeasurement::monitor().setDebugModeEnabled(false);
  EXPECT_TRUE(debug->realtime());
  EXPECT_EQ(counts.realtimeCount(), 0);
  EXPECT_EQ(monitor_.count(23104), 0u);
  EXPECT_EQ(monitor_.count(23105), 4u);
}

}  // namespace
