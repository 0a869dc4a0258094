// Real-time marking at storage: the daily real-time limit, the events it
// never holds back, conversions, and debug mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/store_test_support.h"

namespace {

using StoreRealtimeTest = StoreTest;

TLMEventPtr realtimeEvent(const std::string& name, const std::string& origin = "app") {
  TLMEventPtr event = StoreTest::makeEvent(name, {}, origin);
  if (event != nullptr) event->setRealtime(true);
  return event;
}

TEST_F(StoreRealtimeTest, AMarkedEventKeepsItsMarkerUnderTheLimitAndLosesItAtTheLimit) {
  seedDailyCounts(0, 0, 0, /*realtime=*/9);
  ASSERT_TRUE(store(realtimeEvent("level_up")));
  seedDailyCounts(1, 1, 0, /*realtime=*/10);
  ASSERT_TRUE(store(realtimeEvent("level_up")));

  const std::vector<StoredEvent> stored = storedEvents();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_TRUE(stored[0].isRealtime);
  EXPECT_EQ(intParameter(stored[0].event, "_r"), 1);
  EXPECT_FALSE(stored[1].isRealtime);
  EXPECT_FALSE(stored[1].event->hasParameter("_r"));

  std::vector<MonitorReport> reports = monitor_.withCode(23060);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 4);
  EXPECT_EQ(reports[0].message,
            "Too many real-time events. Event is no longer real-time. Event name, parameters");
  EXPECT_EQ(reports[0].contexts[0], Object("level_up"));
  // Storing never raises the real-time count; bundling does.
  EXPECT_EQ(dailyCounts().realtimeCount(), 10);
}

TEST_F(StoreRealtimeTest, FirstOpenPurchaseAndConsentedFirstOpenAreNeverLimited) {
  seedDailyCounts(0, 0, 0, /*realtime=*/10);
  for (const char* name : {"_f", "_iap", "_fx"}) ASSERT_TRUE(store(realtimeEvent(name, "auto")));
  const std::vector<StoredEvent> stored = storedEvents();
  ASSERT_EQ(stored.size(), 3u);
  for (const StoredEvent& event : stored) {
    EXPECT_TRUE(event.isRealtime) << event.name;
    EXPECT_EQ(intParameter(event.event, "_r"), 1) << event.name;
  }
  EXPECT_EQ(monitor_.count(23060), 0u);
}

TEST_F(StoreRealtimeTest, ConversionsAreRealtimeOnlyUnderTheLimit) {
  const ObjectDictionary purchase = {{Object("currency"), Object("USD")},
                                     {Object("value"), Object::floating(1.5)}};
  seedDailyCounts(0, 0, 0, /*realtime=*/9);
  ASSERT_TRUE(store("purchase", purchase));
  seedDailyCounts(1, 1, 0, /*realtime=*/10);
  ASSERT_TRUE(store("purchase", purchase));
  // An unmarked ordinary event is not real-time.
  ASSERT_TRUE(store("level_up"));

  const std::vector<StoredEvent> stored = storedEvents();
  ASSERT_EQ(stored.size(), 3u);
  EXPECT_EQ(intParameter(stored[0].event, "_c"), 1) << "marked as a conversion";
  EXPECT_TRUE(stored[0].isRealtime);
  EXPECT_FALSE(stored[0].event->hasParameter("_r")) << "the marker is set at bundle time";
  EXPECT_EQ(intParameter(stored[1].event, "_c"), 1);
  EXPECT_FALSE(stored[1].isRealtime);
  EXPECT_FALSE(stored[2].isRealtime);
}

TEST_F(StoreRealtimeTest, DebugModeMarksEveryStoredEventRealtimeAndDebug) {
  TLMMeasurement::monitor().setDebugModeEnabled(true);
  seedDailyCounts(0, 0, 0, /*realtime=*/10);
  ASSERT_TRUE(store(realtimeEvent("level_up")));
  ASSERT_TRUE(store("select_content"));
  ASSERT_TRUE(store(makeEvent("_vs", {}, "auto")));

  const std::vector<StoredEvent> stored = storedEvents();
  ASSERT_EQ(stored.size(), 3u);
  for (const StoredEvent& event : stored) {
    EXPECT_TRUE(event.isRealtime) << event.name;
    EXPECT_EQ(intParameter(event.event, "_r"), 1) << event.name;
    EXPECT_EQ(intParameter(event.event, "_dbg"), 1) << event.name;
  }
  EXPECT_EQ(monitor_.count(23060), 0u) << "no marker is lost to the daily limit";
  std::vector<MonitorReport> reports = monitor_.withCode(23073);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].level, 7);
  EXPECT_EQ(reports[0].message,
            "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters");
}

}  // namespace
