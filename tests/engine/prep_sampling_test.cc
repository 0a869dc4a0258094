// Sampling at bundle time: the first event of a name each day always goes
// out, later ones only when they win the roll, and the decisions are kept
// in the name's event aggregates.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/TLMEventAggregates.h"
#include "engine/prep_test_support.h"
#include "platform/Platform.h"
#include "storage/TLMSqliteStore.h"
#include "storage/faulty_vfs.h"

namespace {

constexpr double kDayStart = 1767225600.0;  // a UTC midnight
constexpr std::int32_t kDay = 20454;        // kDayStart / 86400
constexpr char kSamplingFlag[] = "measurement.event_sampling_enabled";

class PrepSamplingTest : public PrepTest {
 protected:
  void SetUp() override {
    PrepTest::SetUp();
    if (HasFatalFailure()) return;
    storeAggregates("level_up", 0);
    storeAggregates("tutorial_begin", 0);
  }

  void storeAggregates(const std::string& name, std::int32_t lastBundledDay) {
    TLMEventAggregatesPtr aggregates =
        TLMEventAggregates::initWithName(name, 7, 2, 1, kDayStart - 100);
    ASSERT_NE(aggregates, nullptr);
    aggregates->setLastBundledDay(lastBundledDay);
    Error error;
    ASSERT_TRUE(engine_->database()->updateEventAggregates(*aggregates, &error))
        << error.toString();
  }
  TLMEventAggregatesPtr aggregates(const std::string& name) {
    Error error;
    return engine_->database()->eventAggregatesWithName(name, &error);
  }

  static TLMPBEvent protoEvent(const std::string& name, double timestamp,
                               double previousTimestamp = 0,
                               std::optional<std::int64_t> complexEventID = std::nullopt) {
    TLMPBEvent event;
    event.set_name(name);
    event.set_timestamp_millis(static_cast<std::int64_t>(timestamp * 1000));
    if (previousTimestamp > 0) {
      event.set_previous_timestamp_millis(static_cast<std::int64_t>(previousTimestamp * 1000));
    }
    TLMPBEventParam origin;
    origin.set_name("_o");
    origin.set_string_value("app");
    EXPECT_TRUE(event.add_params(std::move(origin)));
    if (complexEventID) {
      TLMPBEventParam id;
      id.set_name("_eid");
      id.set_int_value(*complexEventID);
      EXPECT_TRUE(event.add_params(std::move(id)));
    }
    return event;
  }
  static std::vector<TLMPBEvent> sameDay(const std::string& name, int count, double start) {
    std::vector<TLMPBEvent> events;
    for (int i = 0; i < count; ++i) events.push_back(protoEvent(name, start + i * 60.0));
    return events;
  }
  static std::optional<std::int64_t> param(const TLMPBEvent& event, const std::string& name) {
    for (const TLMPBEventParam& parameter : event.params()) {
      if (parameter.name() == name) return parameter.int_value();
    }
    return std::nullopt;
  }
  static int paramCount(const TLMPBEvent& event, const std::string& name) {
    int count = 0;
    for (const TLMPBEventParam& parameter : event.params()) count += parameter.name() == name;
    return count;
  }

  std::vector<TLMPBEvent> sample(const std::vector<TLMPBEvent>& events) {
    Error error;
    std::optional<std::vector<TLMPBEvent>> kept = engine_->sampleEvents(events, &error);
    EXPECT_TRUE(kept.has_value()) << error.toString();
    return kept.value_or(std::vector<TLMPBEvent>{});
  }
};

TEST_F(PrepSamplingTest, FirstEventOfEachDayIsKeptWhenItLosesTheRoll) {
  // At 1 in 65535 the seeded generator never lets one of these win.
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  std::vector<TLMPBEvent> kept = sample(sameDay("level_up", 20, kDayStart + 3600));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].timestamp_millis(), static_cast<std::int64_t>((kDayStart + 3600) * 1000));
  EXPECT_EQ(param(kept[0], "_sr"), 65535);
  EXPECT_EQ(param(kept[0], "_efs"), 1);

  TLMEventAggregatesPtr stored = aggregates("level_up");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->lastBundledDay(), kDay);
  EXPECT_EQ(stored->lastBundledTimestamp(), kDayStart + 3600);
  EXPECT_EQ(stored->lastSamplingRate(), 65535);
  EXPECT_TRUE(stored->lastExemptFromSampling());
  // The counts are not the sampler's business.
  EXPECT_EQ(stored->lifetimeCount(), 7);
  EXPECT_EQ(stored->currentBundleCount(), 2);
  EXPECT_EQ(stored->currentSessionCount(), 1);

  // A later bundle of the same day: today's first event has gone out.
  EXPECT_TRUE(sample(sameDay("level_up", 5, kDayStart + 7200)).empty());

  // The next day starts over.
  kept = sample(sameDay("level_up", 3, kDayStart + 86400 + 60));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(param(kept[0], "_efs"), 1);
  EXPECT_EQ(aggregates("level_up")->lastBundledDay(), kDay + 1);
}

TEST_F(PrepSamplingTest, LaterEventsAreKeptOnlyWhenTheyWin) {
  storeAggregates("level_up", kDay);  // today's first has gone out
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 2)});
  std::vector<TLMPBEvent> events;
  for (int i = 0; i < 400; ++i) {
    events.push_back(protoEvent("level_up", kDayStart + 60 + i, 0, /*complexEventID=*/1000 + i));
  }
  const std::vector<TLMPBEvent> kept = sample(events);
  // One in two, give or take.
  EXPECT_GT(kept.size(), 140u);
  EXPECT_LT(kept.size(), 260u);

  std::optional<std::int64_t> expectedComplexID;
  std::size_t next = 0;
  for (const TLMPBEvent& event : events) {
    if (next < kept.size() && kept[next].timestamp_millis() == event.timestamp_millis()) {
      EXPECT_EQ(param(kept[next], "_sr"), 2);
      EXPECT_EQ(param(kept[next], "_efs"), std::nullopt);
      expectedComplexID.reset();
      ++next;
    } else {
      expectedComplexID = param(event, "_eid");
    }
  }
  EXPECT_EQ(next, kept.size()) << "kept events out of order";

  TLMEventAggregatesPtr stored = aggregates("level_up");
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->lastSamplingRate(), 2);
  EXPECT_EQ(stored->lastBundledDay(), kDay);
  EXPECT_FALSE(stored->lastExemptFromSampling());
  EXPECT_EQ(stored->lastSampledComplexEventID(), expectedComplexID);
  EXPECT_EQ(stored->lastBundledTimestamp(),
            static_cast<double>(kept.back().timestamp_millis()) / 1000);
}

TEST_F(PrepSamplingTest, WithoutABundledDayThePreviousTimeDecides) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  // The previous event was today: this one is not today's first.
  EXPECT_TRUE(sample({protoEvent("level_up", kDayStart + 20, kDayStart + 10, 77)}).empty());
  TLMEventAggregatesPtr stored = aggregates("level_up");
  EXPECT_EQ(stored->lastSampledComplexEventID(), 77);
  EXPECT_EQ(stored->lastSamplingRate(), 65535);
  EXPECT_EQ(stored->lastBundledDay(), 0);
  EXPECT_EQ(stored->lastBundledTimestamp(), 0);
  // The previous event was yesterday: this one is.
  EXPECT_EQ(sample({protoEvent("level_up", kDayStart + 30, kDayStart - 10)}).size(), 1u);
}

TEST_F(PrepSamplingTest, InvalidRatesAndUnsampledNamesKeepEveryEvent) {
  configure({{kSamplingFlag, "1"}},
            {withRate(eventConfig("level_up"), 1), withRate(eventConfig("tutorial_begin"), 65536)});
  std::vector<TLMPBEvent> events = sameDay("level_up", 3, kDayStart + 60);
  for (TLMPBEvent& event : sameDay("tutorial_begin", 2, kDayStart + 600)) events.push_back(event);
  events.push_back(protoEvent("no_rate", kDayStart + 900));
  const std::vector<TLMPBEvent> kept = sample(events);
  ASSERT_EQ(kept.size(), 6u);
  for (const TLMPBEvent& event : kept) {
    EXPECT_EQ(paramCount(event, "_sr"), 0) << event.name();
    EXPECT_EQ(paramCount(event, "_efs"), 0) << event.name();
  }
  const std::vector<MonitorReport> invalid = monitor_.withCode(23154);
  ASSERT_EQ(invalid.size(), 5u);
  EXPECT_EQ(invalid[0].level, 5);
  EXPECT_EQ(invalid[0].message, "Invalid sampling rate provided");
  // Bundled without sampling: the time is recorded all the same.
  EXPECT_EQ(aggregates("tutorial_begin")->lastBundledTimestamp(), kDayStart + 660);
  EXPECT_EQ(aggregates("tutorial_begin")->lastBundledDay(), kDay);
  EXPECT_EQ(aggregates("level_up")->lastSamplingRate(), 1);
}

TEST_F(PrepSamplingTest, SamplingSwitchedOffKeepsEverything) {
  configure({{kSamplingFlag, "0"}}, {withRate(eventConfig("level_up"), 65535)});
  const std::vector<TLMPBEvent> kept = sample(sameDay("level_up", 4, kDayStart + 60));
  ASSERT_EQ(kept.size(), 4u);
  EXPECT_EQ(paramCount(kept[3], "_sr"), 0);
  EXPECT_EQ(monitor_.count(23154), 0u);
}

TEST_F(PrepSamplingTest, ExistingParameterKeepsItsValue) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  TLMPBEvent event = protoEvent("level_up", kDayStart + 60);
  TLMPBEventParam own;
  own.set_name("_sr");
  own.set_int_value(5);
  ASSERT_TRUE(event.add_params(std::move(own)));
  const std::vector<TLMPBEvent> kept = sample({event});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(paramCount(kept[0], "_sr"), 1);
  EXPECT_EQ(param(kept[0], "_sr"), 5);
  EXPECT_EQ(param(kept[0], "_efs"), 1);
  const std::vector<MonitorReport> exists = monitor_.withCode(23156);
  ASSERT_EQ(exists.size(), 1u);
  EXPECT_EQ(exists[0].level, 4);
  EXPECT_EQ(exists[0].message, "Event parameter already exists. Parameter name");
  ASSERT_EQ(exists[0].contexts.size(), 1u);
  EXPECT_EQ(exists[0].contexts[0], Object("_sr"));
}

TEST_F(PrepSamplingTest, NamelessEventsAreDroppedAndUnstoredNamesGetNoRow) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("_ai"), 65535)});
  TLMPBEvent nameless = protoEvent("", kDayStart + 10);
  nameless.clear_name();
  std::vector<TLMPBEvent> events = {nameless};
  for (TLMPBEvent& event : sameDay("_ai", 3, kDayStart + 60)) events.push_back(event);
  const std::vector<TLMPBEvent> kept = sample(events);
  // The run still remembers that today's first "_ai" went out.
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].name(), "_ai");
  EXPECT_EQ(param(kept[0], "_efs"), 1);
  const std::vector<MonitorReport> dropped = monitor_.withCode(23155);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].level, 2);
  EXPECT_EQ(dropped[0].message, "Dropping event at sampling. Event has no name");
  EXPECT_EQ(aggregates("_ai"), nullptr);
}

TEST_F(PrepSamplingTest, DaysFollowTheAccountTimeZone) {
  // 23:30 and 00:10 UTC are two days in UTC...
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535),
                                     withRate(eventConfig("tutorial_begin"), 65535)});
  EXPECT_EQ(
      sample({protoEvent("level_up", kDayStart - 1800), protoEvent("level_up", kDayStart + 600)})
          .size(),
      2u);
  // ...and one day an hour east of it.
  configure({{kSamplingFlag, "1"}, {"measurement.account.time_zone_offset_minutes", "60"}},
            {withRate(eventConfig("tutorial_begin"), 65535)});
  EXPECT_EQ(sample({protoEvent("tutorial_begin", kDayStart - 1800),
                    protoEvent("tutorial_begin", kDayStart + 600)})
                .size(),
            1u);
  EXPECT_EQ(aggregates("tutorial_begin")->lastBundledDay(), kDay);
}

TEST_F(PrepSamplingTest, RollUsesThePlatformGenerator) {
  EXPECT_TRUE(engine_->isEventBundledAfterRoll(1));
  int won = 0;
  for (int i = 0; i < 4000; ++i) won += engine_->isEventBundledAfterRoll(4) ? 1 : 0;
  EXPECT_GT(won, 850);
  EXPECT_LT(won, 1150);

  // The same seed gives the same rolls: they come from the installed
  // Platform's generator. (The roll touches nothing else of the engine, so
  // the Platform may be swapped under it for a moment.)
  const std::shared_ptr<Platform> original = Platform::installed();
  auto rolls = [this] {
    Platform::install(Platform::createDeterministic(platform_.paths(), DeviceProfile(), 99));
    std::vector<bool> result;
    for (int i = 0; i < 64; ++i) result.push_back(engine_->isEventBundledAfterRoll(3));
    return result;
  };
  const std::vector<bool> first = rolls();
  const std::vector<bool> second = rolls();
  Platform::install(original);
  EXPECT_EQ(first, second);
}

class PrepSamplingFaultsTest : public PrepSamplingTest {
 protected:
  // The connection must not outlive the VFS it goes through.
  void TearDown() override {
    vfs_.clearFaults();
    PrepSamplingTest::TearDown();
    if (engine_ != nullptr && engine_->database() != nullptr &&
        engine_->database()->sqliteStore() != nullptr) {
      engine_->database()->sqliteStore()->closeDatabase();
    }
  }
  // Before the engine opens its database, so that the connection uses it.
  FaultyVfs vfs_;
};

TEST_F(PrepSamplingFaultsTest, UnreadableAggregatesFailTheRun) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  // A closed connection answers every query with an error.
  engine_->database()->sqliteStore()->closeDatabase();
  Error error;
  EXPECT_EQ(engine_->sampleEvents(sameDay("level_up", 2, kDayStart + 60), &error), std::nullopt);
  EXPECT_FALSE(error.domain.empty());
  const std::vector<MonitorReport> reports = monitor_.withCode(23157);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message, "Unable to query all event aggregates for cache. error");
  ASSERT_EQ(reports[0].contexts.size(), 1u);
  EXPECT_EQ(monitor_.count(23152), 0u);
}

TEST_F(PrepSamplingFaultsTest, UnwritableAggregatesFailTheRun) {
  configure({{kSamplingFlag, "1"}}, {withRate(eventConfig("level_up"), 65535)});
  vfs_.setFailWrites(true);
  Error error;
  EXPECT_EQ(engine_->sampleEvents(sameDay("level_up", 2, kDayStart + 60), &error), std::nullopt);
  vfs_.clearFaults();
  EXPECT_FALSE(error.domain.empty());
  const std::vector<MonitorReport> reports = monitor_.withCode(23152);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].level, 1);
  EXPECT_EQ(reports[0].message,
            "Failed to update event aggregates after removing removing events due to sampling. "
            "Error");
  // Nothing was recorded: the next run still sends today's first event.
  EXPECT_EQ(aggregates("level_up")->lastBundledDay(), 0);
  EXPECT_EQ(sample(sameDay("level_up", 2, kDayStart + 600)).size(), 1u);
}

}  // namespace
