// The simulator's scenario reading, parameter conversion, clock hand-over
// and command line, without running anything.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/sim/SimArguments.h"
#include "tools/sim/SimClock.h"
#include "tools/sim/SimLife.h"
#include "tools/sim/SimParameters.h"
#include "tools/sim/SimScenario.h"

namespace {

constexpr char kLaunch[] =
    R"({"op":"launch","app_id":"1:1:ios:1","bundle_id":"com.example.game","app_version":"1.0"})";

std::optional<SimScenario> parse(const std::string& text, std::string* problem = nullptr) {
  std::string ignored;
  return parseSimScenario("s.jsonl", text, problem != nullptr ? problem : &ignored);
}

std::string problemOf(const std::string& text) {
  std::string problem;
  EXPECT_FALSE(parse(text, &problem).has_value()) << text;
  return problem;
}

Object convert(const std::string& json) {
  std::string problem;
  std::optional<Object> object =
      simObjectFromJSON(nlohmann::json::parse(json), kSimMaxParameterDepth, &problem);
  EXPECT_TRUE(object.has_value()) << problem;
  return object.value_or(Object::opaque("missing"));
}

bool isInteger(const Object& o) {
  return o.isNumber() && o.numberKind() == Object::NumberKind::Integer;
}
bool isFloating(const Object& o) { return o.isFloatingNumber(); }
bool isBoolean(const Object& o) {
  return o.isNumber() && o.numberKind() == Object::NumberKind::Boolean;
}

std::string nested(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "[";
  text += "1";
  for (int i = 0; i < depth; ++i) text += "]";
  return text;
}

}  // namespace

TEST(SimParametersTest, LiteralsKeepTheirNumberKinds) {
  EXPECT_EQ(convert("7").kind(), Object::Kind::Number);
  EXPECT_EQ(convert("7").description(), Object::integer(7).description());
  EXPECT_TRUE(isInteger(convert("7")));
  EXPECT_TRUE(isInteger(convert("-7")));
  EXPECT_TRUE(isFloating(convert("7.0")));
  EXPECT_TRUE(isFloating(convert("7e0")));
  EXPECT_TRUE(isBoolean(convert("true")));
  EXPECT_TRUE(convert("null").isNull());
  EXPECT_EQ(*convert("\"7\"").asString(), "7");
  EXPECT_EQ(convert("9223372036854775807").int64Value(), std::numeric_limits<std::int64_t>::max());
}

TEST(SimParametersTest, ArrayOfObjectsIsArrayOfDictionaries) {
  const Object items = convert(R"([{"item_id":"a","price":1.5},{"item_id":"b","quantity":2}])");
  ASSERT_EQ(items.kind(), Object::Kind::Array);
  ASSERT_EQ(items.asArray()->size(), 2u);
  const Object& first = items.asArray()->front();
  ASSERT_EQ(first.kind(), Object::Kind::Dictionary);
  EXPECT_EQ(*first.objectForKey("item_id")->asString(), "a");
  EXPECT_TRUE(isFloating(*first.objectForKey("price")));
  EXPECT_TRUE(isInteger(*items.asArray()->back().objectForKey("quantity")));
}

TEST(SimParametersTest, RefusesOutOfRangeIntegersAndDeepNesting) {
  std::string problem;
  EXPECT_FALSE(simObjectFromJSON(nlohmann::json::parse("9223372036854775808"),
                                 kSimMaxParameterDepth, &problem));
  EXPECT_NE(problem.find("64-bit"), std::string::npos) << problem;
  // The limit itself is allowed; one more level is not.
  EXPECT_TRUE(simObjectFromJSON(nlohmann::json::parse(nested(kSimMaxParameterDepth)),
                                kSimMaxParameterDepth, &problem));
  EXPECT_FALSE(simObjectFromJSON(nlohmann::json::parse(nested(kSimMaxParameterDepth + 1)),
                                 kSimMaxParameterDepth, &problem));
  EXPECT_NE(problem.find("nest"), std::string::npos) << problem;
}

TEST(SimScenarioTest, ReadsTypedOpsSkippingEmptyLinesAndCarryingTime) {
  const std::string text = std::string(R"({"op":"start","wall":1700000000.5,"uptime":50})") +
                           "\n\n" + kLaunch + "\n   \n" +
                           R"({"op":"log_event","t":5,"name":"level_start",)"
                           R"("params":{"level":3,"score":1.5},"origin":"app"})" +
                           "\n" + R"({"op":"set_user_property","name":"tier","value":null})" +
                           "\r\n" + R"({"op":"app_state","t":9.25,"state":"background"})" + "\n" +
                           R"({"op":"crash"})" + "\n" + R"({"op":"wait","t":99})";
  std::string problem;
  const std::optional<SimScenario> scenario = parse(text, &problem);
  ASSERT_TRUE(scenario.has_value()) << problem;
  EXPECT_EQ(scenario->startWall, 1700000000.5);
  EXPECT_EQ(scenario->startUptime, 50);
  ASSERT_EQ(scenario->ops.size(), 6u);
  const SimOp& launch = scenario->ops[0];
  EXPECT_EQ(launch.kind, SimOpKind::Launch);
  EXPECT_EQ(launch.line, 3);
  EXPECT_EQ(launch.launch.bundleID, "com.example.game");
  EXPECT_TRUE(launch.launch.configure);
  const SimOp& event = scenario->ops[1];
  EXPECT_EQ(event.line, 5);
  EXPECT_EQ(event.t, 5);
  EXPECT_EQ(event.text, std::optional<std::string>("app"));
  ASSERT_TRUE(event.parameters.has_value());
  EXPECT_TRUE(isInteger(*event.parameters->objectForKey("level")));
  EXPECT_TRUE(isFloating(*event.parameters->objectForKey("score")));
  // A line without "t" runs at the previous line's time.
  EXPECT_EQ(scenario->ops[2].t, 5);
  EXPECT_FALSE(scenario->ops[2].text.has_value());
  EXPECT_EQ(scenario->ops[3].state, SimAppState::Background);
  EXPECT_EQ(scenario->ops[3].t, 9.25);
  EXPECT_EQ(scenario->ops[4].kind, SimOpKind::Crash);
  EXPECT_EQ(scenario->ops[5].line, 9);
}

TEST(SimScenarioTest, MalformedLinesNameTheLineAndTheFault) {
  const std::string launch = std::string(kLaunch) + "\n";
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {launch + "{\"op\":\"log_event\",", "s.jsonl:2: not valid JSON"},
      {launch + "[1,2]", "s.jsonl:2: not a JSON object"},
      {launch + "{\"t\":3}", "s.jsonl:2: missing \"op\""},
      {launch + "{\"op\":7}", "s.jsonl:2: \"op\" must be a string"},
      {launch + "{\"op\":\"jump\"}", "s.jsonl:2: unknown op \"jump\""},
      {launch + "\n{\"op\":\"wait\",\"t\":10}\n{\"op\":\"wait\",\"t\":9.5}",
       "s.jsonl:4: time goes backwards"},
      {launch + "{\"op\":\"wait\",\"t\":\"10\"}", "s.jsonl:2: \"t\" must be a number"},
      {launch + "{\"op\":\"log_event\",\"name\":5}", "s.jsonl:2: \"name\" must be a string"},
      {launch + "{\"op\":\"log_event\",\"name\":\"a\",\"params\":[1]}",
       "s.jsonl:2: \"params\" must be an object or null"},
      {launch + "{\"op\":\"log_event\",\"name\":\"a\",\"parms\":{}}",
       "s.jsonl:2: unknown field \"parms\" for op \"log_event\""},
      {launch + "{\"op\":\"set_user_property\",\"name\":\"a\"}",
       "s.jsonl:2: op \"set_user_property\" needs \"value\""},
      {launch + "{\"op\":\"set_user_id\",\"value\":12}",
       "s.jsonl:2: \"value\" must be a string or null"},
      {launch + "{\"op\":\"set_collection_enabled\",\"value\":1}",
       "s.jsonl:2: \"value\" must be true or false"},
      {launch + "{\"op\":\"set_consent\",\"consent\":{\"ad_storage\":true}}",
       "s.jsonl:2: consent \"ad_storage\" must be a string"},
      {launch + "{\"op\":\"set_default_params\"}",
       "s.jsonl:2: op \"set_default_params\" needs \"params\""},
      {launch + "{\"op\":\"set_session_timeout\",\"seconds\":\"1\"}",
       "s.jsonl:2: \"seconds\" must be a number"},
      {launch + "{\"op\":\"app_state\",\"state\":\"asleep\"}", "s.jsonl:2: \"state\" must be"},
      {launch + "{\"op\":\"screen\"}", "s.jsonl:2: op \"screen\" needs \"class\""},
      {launch + "{\"op\":\"reset\",\"now\":true}", "s.jsonl:2: unknown field \"now\""},
      {"{\"op\":\"launch\",\"app_id\":\"a\",\"bundle_id\":\"b\"}",
       "s.jsonl:1: op \"launch\" needs \"app_version\""},
      {"{\"op\":\"launch\",\"app_id\":\"a\",\"bundle_id\":\"b\",\"app_version\":\"1\","
       "\"options\":{\"LOG\":true}}",
       "s.jsonl:1: unknown start option \"LOG\""},
      {launch + "{\"op\":\"start\"}", "s.jsonl:2: \"start\" may only be the first op"},
      {"{\"op\":\"log_event\",\"name\":\"a\"}", "s.jsonl:1: no process life: launch first"},
      {launch + "{\"op\":\"terminate\"}\n{\"op\":\"wait\"}\n{\"op\":\"reset\"}",
       "s.jsonl:4: no process life: launch first"},
  };
  for (const Case& c : cases) {
    const std::string problem = problemOf(c.text);
    EXPECT_EQ(problem.rfind(c.expected, 0), 0u) << "got: " << problem << "\nfor: " << c.text;
  }
}

TEST(SimScenarioTest, OpsOutsideALifeAreOnlyWaitsAndLaunches) {
  const std::string text = std::string("{\"op\":\"wait\",\"t\":3}\n") + kLaunch +
                           "\n{\"op\":\"crash\"}\n{\"op\":\"wait\",\"t\":4}\n" + kLaunch;
  const std::optional<SimScenario> scenario = parse(text);
  ASSERT_TRUE(scenario.has_value());
  ASSERT_EQ(scenario->ops.size(), 5u);
  // A life runs to its crash; the next one to the end.
  EXPECT_EQ(simLifeEnd(*scenario, 1), 3u);
  EXPECT_EQ(simLifeEnd(*scenario, 4), 5u);
}

TEST(SimScenarioTest, LifeEndsAtTheNextLaunchWithoutTerminate) {
  const std::string text = std::string(kLaunch) + "\n{\"op\":\"reset\"}\n" + kLaunch +
                           "\n{\"op\":\"terminate\"}\n{\"op\":\"wait\"}";
  const std::optional<SimScenario> scenario = parse(text);
  ASSERT_TRUE(scenario.has_value());
  EXPECT_EQ(simLifeEnd(*scenario, 0), 2u);
  EXPECT_EQ(simLifeEnd(*scenario, 2), 4u);
}

TEST(SimClockTest, EncodingKeepsEveryBitAndRefusesGarbage) {
  SimClock clock;
  clock.wall = 1767225600.123456789;
  clock.uptime = 1000.0 / 3.0;
  clock.originUptime = 0.1;
  const std::optional<SimClock> back = SimClock::decode(clock.encode());
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->wall, clock.wall);
  EXPECT_EQ(back->uptime, clock.uptime);
  EXPECT_EQ(back->originUptime, clock.originUptime);
  EXPECT_FALSE(SimClock::decode(""));
  EXPECT_FALSE(SimClock::decode("clock 1 2\n"));
  EXPECT_FALSE(SimClock::decode(clock.encode() + "x"));
}

TEST(SimClockTest, MovesBothClocksForwardOnly) {
  SimClock clock;
  clock.wall = 5000;
  clock.uptime = 1010;
  clock.originUptime = 1000;
  clock.moveTo(4);  // already past
  EXPECT_EQ(clock.wall, 5000);
  EXPECT_EQ(clock.uptime, 1010);
  clock.moveTo(70);
  EXPECT_EQ(clock.scenarioTime(), 70);
  EXPECT_EQ(clock.wall, 5060);
}

TEST(SimArgumentsTest, ReadsTheInterfaceAndNormalisesTheService) {
  std::string problem;
  const auto parsed = parseSimArguments({"s.jsonl", "--container", "c", "--keychain", "k",
                                         "--service", "http://127.0.0.1:8080/", "--trace"},
                                        &problem);
  ASSERT_TRUE(parsed.has_value()) << problem;
  EXPECT_EQ(parsed->scenarioPath, "s.jsonl");
  EXPECT_EQ(parsed->containerPath, "c");
  EXPECT_EQ(parsed->keychainPath, "k");
  EXPECT_EQ(parsed->serviceURL, "http://127.0.0.1:8080");
  EXPECT_TRUE(parsed->trace);
}

TEST(SimArgumentsTest, RefusesIncompleteOrUnsafeCommandLines) {
  const std::vector<std::string> base = {"s.jsonl", "--container", "c", "--keychain", "k"};
  std::string problem;
  EXPECT_FALSE(parseSimArguments(base, &problem));
  EXPECT_NE(problem.find("--service"), std::string::npos);
  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> all = base;
    all.insert(all.end(), extra.begin(), extra.end());
    return parseSimArguments(all, &problem);
  };
  // Plain http only on loopback.
  EXPECT_FALSE(with({"--service", "http://example.com"}));
  EXPECT_TRUE(with({"--service", "https://example.com"}));
  EXPECT_FALSE(with({"--service", "http://127.0.0.1:1", "--verbose"}));
  EXPECT_NE(problem.find("--verbose"), std::string::npos);
  EXPECT_FALSE(with({"--service", "http://127.0.0.1:1", "other.jsonl"}));
  EXPECT_FALSE(with({"--service", "http://127.0.0.1:1", "--container", "d"}));
  EXPECT_FALSE(with({"--service"}));
  EXPECT_FALSE(parseSimArguments(
      {"--container", "c", "--keychain", "k", "--service", "http://127.0.0.1:1"}, &problem));
}
