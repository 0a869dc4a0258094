// The event entry points: order and timestamps across start, the screen
// path, screen parameters and name checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "api/TLMAnalytics.h"
#include "facade_test_support.h"

namespace {

Object dictionaryOf(std::initializer_list<std::pair<const char*, Object>> entries) {
  ObjectDictionary dictionary;
  for (const auto& [key, value] : entries) dictionary[Object(key)] = value;
  return Object::dictionary(std::move(dictionary));
}

std::int64_t intParameter(const TLMLogEventCall& call, const char* key) {
  const Object* value = call.parameters ? call.parameters->objectForKey(key) : nullptr;
  return value != nullptr ? value->int64Value() : -1;
}

using FacadeEventsTest = FacadeTest;

TEST_F(FacadeEventsTest, EventsBeforeStartArriveAfterStartWithTheTimeTheyWereLogged) {
  std::vector<double> loggedAt;
  for (int i = 0; i < 3; ++i) {
    loggedAt.push_back(clock().now());
    TLMAnalytics::logEventWithName("level_" + std::to_string(i), std::nullopt);
    clock().advance(10);
  }
  runUntilIdle();
  EXPECT_TRUE(engine_.events().empty()) << "held until start";

  clock().advance(100);
  start();

  std::vector<TLMLogEventCall> delivered;
  for (const TLMLogEventCall& call : engine_.events()) {
    if (call.name.rfind("level_", 0) == 0) delivered.push_back(call);
  }
  ASSERT_EQ(delivered.size(), 3u);
  for (std::size_t i = 0; i < delivered.size(); ++i) {
    EXPECT_EQ(delivered[i].name, "level_" + std::to_string(i));
    EXPECT_EQ(delivered[i].origin, kTLMOriginApp);
    EXPECT_TRUE(delivered[i].isPublicEvent);
    // Read when logged: before the clock was moved for the next one.
    EXPECT_GE(delivered[i].timestamp, loggedAt[i]);
    EXPECT_LT(delivered[i].timestamp, loggedAt[i] + 10);
  }
}

TEST_F(FacadeEventsTest, EventsFromSeveralThreadsKeepCallOrderAndTheirOwnTimes) {
  // Every read moves the clock, so two events can never share a time and
  // an event queued out of stamp order shows up as a decreasing time.
  clock().TEST_setAdvanceOnRead(0.001);
  constexpr int kThreads = 4;
  constexpr int kEventsPerThread = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEventsPerThread; ++i) {
        ObjectDictionary parameters;
        parameters[Object("thread")] = Object::integer(t);
        parameters[Object("index")] = Object::integer(i);
        TLMAnalytics::logEventWithName("race", Object::dictionary(std::move(parameters)));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double startedAt = clock().now();
  start();

  const std::vector<TLMLogEventCall> delivered = engine_.eventsNamed("race");
  ASSERT_EQ(delivered.size(), static_cast<std::size_t>(kThreads * kEventsPerThread));
  std::map<std::int64_t, std::int64_t> nextIndex;
  for (std::size_t i = 0; i < delivered.size(); ++i) {
    EXPECT_LT(delivered[i].timestamp, startedAt) << "stamped when logged, not when delivered";
    if (i > 0) {
      EXPECT_GT(delivered[i].timestamp, delivered[i - 1].timestamp) << "position " << i;
    }
    const std::int64_t thread = intParameter(delivered[i], "thread");
    EXPECT_EQ(intParameter(delivered[i], "index"), nextIndex[thread]++) << "thread " << thread;
  }
}

TEST_F(FacadeEventsTest, ScreenViewGoesToTheScreenReporterOnly) {
  start();
  clock().setNow(1800000000.0);
  const Object parameters = dictionaryOf({{"screen_name", Object("Shop")}});
  TLMAnalytics::logEventWithName("screen_view", parameters);
  runUntilIdle();

  const std::vector<RecordedScreenView> views = engine_.screenViews();
  ASSERT_EQ(views.size(), 1u);
  EXPECT_EQ(views[0].parameters, OptionalObject(parameters));
  EXPECT_DOUBLE_EQ(views[0].timestamp, 1800000000.0);
  EXPECT_TRUE(engine_.eventsNamed("screen_view").empty());
}

TEST_F(FacadeEventsTest, TimestampedPathsDoNotDivertScreenView) {
  start();
  TLMAnalytics::logEventWithOriginIsPublicEventTimestamp(kTLMOriginApp, true, "screen_view",
                                                         std::nullopt, 1700000000.0, false, false);
  TLMAnalytics::logInternalEventWithOriginTimestamp(kTLMOriginAuto, "screen_view", 1700000001.0,
                                                    std::nullopt);
  runUntilIdle();

  EXPECT_TRUE(engine_.screenViews().empty());
  const std::vector<TLMLogEventCall> delivered = engine_.eventsNamed("screen_view");
  ASSERT_EQ(delivered.size(), 2u);
  EXPECT_DOUBLE_EQ(delivered[0].timestamp, 1700000000.0);
  EXPECT_TRUE(delivered[0].isPublicEvent);
  EXPECT_DOUBLE_EQ(delivered[1].timestamp, 1700000001.0);
  EXPECT_FALSE(delivered[1].isPublicEvent);
}

TEST_F(FacadeEventsTest, CurrentScreenParametersAreAddedToPlainEvents) {
  const Object screen = dictionaryOf({{"_si", Object::integer(42)}, {"_sn", Object("Home")}});
  engine_.setCurrentScreen(screen);
  start();
  TLMAnalytics::logEventWithName("plain", dictionaryOf({{"x", Object::integer(1)}}));
  TLMAnalytics::logInternalEventWithOriginTimestamp(kTLMOriginAuto, "_internal", 1.0, std::nullopt);
  runUntilIdle();

  const std::vector<TLMLogEventCall> plain = engine_.eventsNamed("plain");
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(plain[0].addedScreenParameters, OptionalObject(screen));
  const std::vector<TLMLogEventCall> internal = engine_.eventsNamed("_internal");
  ASSERT_EQ(internal.size(), 1u);
  EXPECT_EQ(internal[0].addedScreenParameters, OptionalObject(screen));
}

class FacadeOwnScreenParameterTest : public FacadeTest,
                                     public ::testing::WithParamInterface<const char*> {};

TEST_P(FacadeOwnScreenParameterTest, ParametersHoldingAScreenKeyGetNoScreenParameters) {
  engine_.setCurrentScreen(dictionaryOf({{"_si", Object::integer(42)}}));
  start();
  const Object parameters = dictionaryOf({{GetParam(), Object("mine")}});
  TLMAnalytics::logEventWithName("own_screen", parameters);
  TLMAnalytics::logInternalEventWithOriginTimestamp(kTLMOriginAuto, "_own", 1.0, parameters);
  runUntilIdle();

  for (const char* name : {"own_screen", "_own"}) {
    const std::vector<TLMLogEventCall> delivered = engine_.eventsNamed(name);
    ASSERT_EQ(delivered.size(), 1u) << name;
    EXPECT_FALSE(delivered[0].addedScreenParameters.has_value()) << name;
    EXPECT_EQ(delivered[0].parameters, OptionalObject(parameters)) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(ScreenKeys, FacadeOwnScreenParameterTest,
                         ::testing::Values("_si", "_sc", "_sn"));

TEST_F(FacadeEventsTest, ForwardedEventCarriesItsScreenParametersSeparately) {
  start();
  const Object mixed = dictionaryOf(
      {{"_si", Object::integer(7)}, {"_sn", Object("Cart")}, {"value", Object::integer(3)}});
  TLMAnalytics::logEventWithOriginIsPublicEventTimestamp("app+wkl", true, "forwarded", mixed, 5.0,
                                                         false, true);
  // Without the forwarding suffix, or before the interceptor, nothing moves.
  TLMAnalytics::logEventWithOriginIsPublicEventTimestamp(kTLMOriginApp, true, "direct", mixed, 5.0,
                                                         false, true);
  TLMAnalytics::logEventWithOriginIsPublicEventTimestamp("app+wkl", true, "early", mixed, 5.0,
                                                         false, false);
  runUntilIdle();

  const std::vector<TLMLogEventCall> forwarded = engine_.eventsNamed("forwarded");
  ASSERT_EQ(forwarded.size(), 1u);
  EXPECT_EQ(forwarded[0].parameters, OptionalObject(dictionaryOf({{"value", Object::integer(3)}})));
  EXPECT_EQ(forwarded[0].addedScreenParameters,
            OptionalObject(dictionaryOf({{"_si", Object::integer(7)}, {"_sn", Object("Cart")}})));
  EXPECT_TRUE(forwarded[0].ignoreInterceptor);
  for (const char* name : {"direct", "early"}) {
    const std::vector<TLMLogEventCall> kept = engine_.eventsNamed(name);
    ASSERT_EQ(kept.size(), 1u) << name;
    EXPECT_EQ(kept[0].parameters, OptionalObject(mixed)) << name;
    EXPECT_FALSE(kept[0].addedScreenParameters.has_value()) << name;
  }
}

TEST_F(FacadeEventsTest, InvalidPublicNamesBecomeErrorEventsInstead) {
  start();
  // A reserved prefix fails with validator code 4; a leading digit does not.
  TLMAnalytics::logEventWithName("tarvix_purchase", std::nullopt);
  TLMAnalytics::logEventWithName("1st_level", std::nullopt);
  runUntilIdle();

  EXPECT_TRUE(engine_.eventsNamed("tarvix_purchase").empty());
  EXPECT_TRUE(engine_.eventsNamed("1st_level").empty());
  const auto errors = errorEvents();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], std::make_pair(std::int64_t{13}, std::string("tarvix_purchase")));
  EXPECT_EQ(errors[1], std::make_pair(std::int64_t{2}, std::string("1st_level")));
}

TEST_F(FacadeEventsTest, EventsCarryTheFacadeEnabledFlagAndIgnoreFlags) {
  start();
  TLMAnalytics::logEventWithName("while_on", std::nullopt);
  // The switch goes straight to the serial queue, past queued operations.
  runUntilIdle();
  TLMAnalytics::setAnalyticsEnabled(false);
  TLMAnalytics::logEventWithName("while_off", std::nullopt);
  TLMAnalytics::logEventWithOriginIsPublicEventTimestamp(kTLMOriginApp, true, "forced",
                                                         std::nullopt, 9.0, true, false);
  runUntilIdle();

  ASSERT_EQ(engine_.eventsNamed("while_on").size(), 1u);
  EXPECT_TRUE(engine_.eventsNamed("while_on")[0].enabled);
  ASSERT_EQ(engine_.eventsNamed("while_off").size(), 1u);
  EXPECT_FALSE(engine_.eventsNamed("while_off")[0].enabled);
  ASSERT_EQ(engine_.eventsNamed("forced").size(), 1u);
  EXPECT_TRUE(engine_.eventsNamed("forced")[0].ignoreEnabled);
}

}  // namespace
