// The real ferrolux-sim binary against the real local measurement service,
// both as child processes: what arrives, across process lives and crashes,
// how repeatable a run is, and how the tool refuses what it cannot run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "support/ProtocDecode.h"
#include "support/ServiceProcess.h"
#include "support/TempFolder.h"

extern char** environ;

namespace {

constexpr char kLaunch[] = R"({"op":"launch","app_id":"1:100000000001:ios:0123456789abcdef",)"
                           R"("bundle_id":"com.ferrolux.simtest","app_version":"2.1"})";

struct SimOutcome {
  int status = -1;
  std::string errors;
  double realSeconds = 0;
};

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// One simulated app (container and keychain) and one service.
class SimRunTest : public ::testing::Test {
 protected:
  SimRunTest() : service_(serviceData_.path(), serviceConfig_.path()) {}

  void SetUp() override {
    std::string problem;
    ASSERT_TRUE(service_.start(&problem)) << problem;
  }

  // Runs ferrolux-sim on `lines` (joined with newlines).
  SimOutcome sim(const std::vector<std::string>& lines, bool trace = false) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    const std::string scenario = work_ / ("scenario-" + std::to_string(++runs_) + ".jsonl");
    std::ofstream(scenario, std::ios::binary) << text;
    scenarioPath_ = scenario;
    return runSim(scenario, container(), keychain(), service_.baseURL(), trace);
  }

  static SimOutcome runSim(const std::string& scenario, const std::string& container,
                           const std::string& keychain, const std::string& service, bool trace) {
    const std::string errorsPath = scenario + ".err";
    std::vector<std::string> arguments = {FERROLUX_SIM_BINARY, scenario, "--container", container,
                                          "--keychain",        keychain, "--service",   service};
    if (trace) arguments.push_back("--trace");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorsPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    SimOutcome outcome;
    const auto started = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(spawned, 0);
    if (spawned != 0) return outcome;
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.realSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome.errors = readFile(errorsPath);
    return outcome;
  }

  std::string container() const { return work_ / "container"; }
  std::string keychain() const { return work_ / "keychain"; }

  // The events the service holds, oldest first.
  static std::vector<nlohmann::json> events(const ServiceProcess& service) {
    std::vector<nlohmann::json> all;
    for (int page = 1;; ++page) {
      const auto list = service.getJSON("/api/events?per_page=500&page=" + std::to_string(page));
      EXPECT_TRUE(list.has_value());
      if (!list || !(*list)["events"].is_array() || (*list)["events"].empty()) break;
      for (const nlohmann::json& event : (*list)["events"]) all.push_back(event);
    }
    std::reverse(all.begin(), all.end());
    return all;
  }

  // How often the service holds each "n" of the events named `name`.
  std::map<std::int64_t, int> numbered(const std::string& name) const {
    std::map<std::int64_t, int> seen;
    for (const nlohmann::json& event : events(service_)) {
      if (event.value("name", "") != name) continue;
      const nlohmann::json& n = event["params"]["n"];
      if (n.is_number_integer()) ++seen[n.get<std::int64_t>()];
    }
    return seen;
  }

  static std::string numberedEvent(const std::string& name, int n) {
    return R"({"op":"log_event","name":")" + name + R"(","params":{"n":)" + std::to_string(n) +
           "}}";
  }

  std::int64_t summary(const char* key) const {
    const nlohmann::json summary = service_.summary();
    return summary.contains(key) ? summary[key].get<std::int64_t>() : -1;
  }

  TempFolder work_;
  TempFolder serviceData_;
  TempFolder serviceConfig_;
  ServiceProcess service_;
  std::string scenarioPath_;
  int runs_ = 0;
};

// The decoded batches a service holds, oldest first, with the identifiers
// that come from randomness blanked.
std::vector<std::string> decodedBatches(const ServiceProcess& service, const std::string& scratch) {
  std::vector<std::string> texts;
  const auto batches = service.getJSON("/api/batches?per_page=500");
  EXPECT_TRUE(batches.has_value());
  if (!batches) return texts;
  const nlohmann::json list = batches->is_array() ? *batches : (*batches)["batches"];
  for (const nlohmann::json& batch : list) {
    const auto raw =
        service.getBody("/api/batches/" + std::to_string(batch["id"].get<long>()) + "/raw");
    EXPECT_TRUE(raw.has_value());
    std::string text = raw ? protocDecodeBatch(*raw, scratch) : "";
    EXPECT_FALSE(text.empty()) << "protoc could not decode a batch";
    static const std::regex random(
        R"re(((app_instance_id|firebase_instance_id|installation_id|session_id|resettable_device_id|vendor_device_id): )"[^"]*")re");
    texts.push_back(std::regex_replace(text, random, "$1\"#\""));
  }
  std::reverse(texts.begin(), texts.end());
  return texts;
}

}  // namespace

TEST_F(SimRunTest, FirstLaunchEventsAndBackgroundDeliverTheBatch) {
  const SimOutcome run = sim({
      kLaunch,
      R"({"op":"log_event","t":2,"name":"level_start",)"
      R"("params":{"level_name":"forest","difficulty":2,"ratio":0.5}})",
      R"({"op":"set_user_property","t":3,"name":"player_type","value":"casual"})",
      R"({"op":"log_event","t":4,"name":"level_end","params":{"success":true}})",
      R"({"op":"app_state","t":10,"state":"background"})",
  });
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(summary("batches"), 1);

  std::map<std::string, nlohmann::json> byName;
  for (const nlohmann::json& event : events(service_)) byName[event.value("name", "")] = event;
  ASSERT_TRUE(byName.count("level_start")) << service_.summary().dump();
  ASSERT_TRUE(byName.count("level_end"));
  const nlohmann::json& start = byName["level_start"]["params"];
  EXPECT_EQ(start["level_name"], "forest");
  EXPECT_EQ(start["difficulty"], 2);
  EXPECT_DOUBLE_EQ(start["ratio"].get<double>(), 0.5);
  // A boolean parameter becomes an integer number.
  EXPECT_EQ(byName["level_end"]["params"]["success"], 1);
  // Events keep their virtual times: 2 s and 4 s after the default start.
  const std::int64_t startMillis = 1767225600000;
  EXPECT_EQ(byName["level_start"]["timestamp_millis"], startMillis + 2000);
  EXPECT_EQ(byName["level_end"]["timestamp_millis"], startMillis + 4000);
}

TEST_F(SimRunTest, TraceNamesEveryOpWithItsTimeInOrder) {
  const SimOutcome run =
      sim({R"({"op":"wait","t":1})", kLaunch, R"({"op":"log_event","t":2.5,"name":"a"})",
           R"({"op":"crash"})", R"({"op":"wait","t":30})"},
          true);
  ASSERT_EQ(run.status, 0) << run.errors;
  std::vector<std::string> trace;
  std::istringstream lines(run.errors);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("t=", 0) == 0) trace.push_back(line);
  }
  EXPECT_EQ(trace, (std::vector<std::string>{"t=1 op=wait line=1", "t=1 op=launch line=2",
                                             "t=2.5 op=log_event line=3", "t=2.5 op=crash line=4",
                                             "t=30 op=wait line=5"}));
}

TEST_F(SimRunTest, CrashBetweenLivesLosesNoStoredEvent) {
  std::vector<std::string> lines = {kLaunch};
  for (int n = 1; n <= 4; ++n) lines.push_back(numberedEvent("sim_event", n));
  lines.push_back(R"({"op":"crash","t":5})");
  lines.push_back(std::string(kLaunch).insert(1, R"("t":60,)"));
  for (int n = 5; n <= 7; ++n) lines.push_back(numberedEvent("sim_event", n));
  lines.push_back(R"({"op":"app_state","state":"background"})");
  lines.push_back(R"({"op":"terminate","t":70})");
  const SimOutcome run = sim(lines);
  ASSERT_EQ(run.status, 0) << run.errors;

  std::map<std::int64_t, int> wanted;
  for (int n = 1; n <= 7; ++n) wanted[n] = 1;
  EXPECT_EQ(numbered("sim_event"), wanted);
  EXPECT_EQ(summary("duplicates_dropped"), 0);
  // The second life's clock went on from the first's: its events are at
  // the virtual 60 s, the first life's at 0 s.
  std::map<std::int64_t, std::int64_t> millis;
  for (const nlohmann::json& event : events(service_)) {
    if (event.value("name", "") == "sim_event") {
      millis[event["params"]["n"].get<std::int64_t>()] = event["timestamp_millis"];
    }
  }
  EXPECT_EQ(millis[1], 1767225600000);
  EXPECT_EQ(millis[5], 1767225660000);
  EXPECT_EQ(millis[7], 1767225660000);
}

TEST_F(SimRunTest, CrashAfterAFailedUploadLosesNothingAndSendsNothingTwice) {
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"drop", "after_store"}}));
  std::vector<std::string> lines = {kLaunch};
  for (int n = 1; n <= 3; ++n) lines.push_back(numberedEvent("sim_event", n));
  // The service stores the batch but the app never hears so; then it dies.
  lines.push_back(R"({"op":"app_state","t":5,"state":"background"})");
  lines.push_back(R"({"op":"crash"})");
  lines.push_back(std::string(kLaunch).insert(1, R"("t":100,)"));
  lines.push_back(numberedEvent("sim_event", 4));
  lines.push_back(R"({"op":"app_state","state":"background"})");
  const SimOutcome run = sim(lines);
  ASSERT_EQ(run.status, 0) << run.errors;
  std::map<std::int64_t, int> wanted;
  for (int n = 1; n <= 4; ++n) wanted[n] = 1;
  EXPECT_EQ(numbered("sim_event"), wanted);
}

TEST_F(SimRunTest, SameScenarioTwiceStoresTheSameBytesApartFromRandomIdentifiers) {
  const std::vector<std::string> lines = {
      R"({"op":"start","wall":1760000000,"uptime":5000})",
      kLaunch,
      R"({"op":"set_default_params","params":{"build":"beta"}})",
      R"({"op":"log_event","t":1,"name":"level_start","params":{"level_name":"cave","items":[{"item_id":"sword","price":9.99}]}})",
      R"({"op":"set_user_id","t":2,"value":"player-7"})",
      R"({"op":"log_event","t":3,"name":"post_score","params":{"score":4200}})",
      R"({"op":"app_state","t":20,"state":"background"})",
      R"({"op":"terminate","t":25})",
      std::string(kLaunch).insert(1, R"("t":3600,)"),
      R"({"op":"log_event","t":3601,"name":"level_end"})",
      R"({"op":"app_state","t":3700,"state":"background"})",
  };
  const SimOutcome first = sim(lines);
  ASSERT_EQ(first.status, 0) << first.errors;
  const std::vector<std::string> firstBatches = decodedBatches(service_, work_.path());
  ASSERT_GE(firstBatches.size(), 2u);

  // Again, from nothing: a new container, keychain and service.
  TempFolder again;
  TempFolder data;
  TempFolder config;
  ServiceProcess other(data.path(), config.path());
  std::string problem;
  ASSERT_TRUE(other.start(&problem)) << problem;
  const SimOutcome second =
      runSim(scenarioPath_, again / "container", again / "keychain", other.baseURL(), false);
  ASSERT_EQ(second.status, 0) << second.errors;
  const std::vector<std::string> secondBatches = decodedBatches(other, again.path());
  EXPECT_EQ(firstBatches, secondBatches);
  // The blanking hid values, not fields.
  EXPECT_NE(firstBatches.front().find("app_instance_id: \"#\""), std::string::npos)
      << firstBatches.front();
  EXPECT_NE(firstBatches.front().find("name: \"level_start\""), std::string::npos)
      << firstBatches.front();
}

TEST_F(SimRunTest, MalformedLinesExitTwoNamingTheLineBeforeAnythingRuns) {
  struct Case {
    std::vector<std::string> lines;
    std::string expected;
  } cases[] = {
      {{kLaunch, R"({"op":"log_event","name":"a")"}, ":2: not valid JSON"},
      {{kLaunch, "", R"({"op":"fly"})"}, ":3: unknown op \"fly\""},
      {{kLaunch, R"({"op":"wait","t":10})", R"({"op":"wait","t":3})"}, ":3: time goes backwards"},
      {{kLaunch, R"({"op":"log_event","name":"a","params":{"n":1},"origin":7})"},
       ":2: \"origin\" must be a string"},
      {{kLaunch, R"({"op":"set_collection_enabled","value":"yes"})"},
       ":2: \"value\" must be true or false"},
      {{R"({"op":"reset"})", kLaunch}, ":1: no process life: launch first"},
  };
  for (const Case& c : cases) {
    const SimOutcome run = sim(c.lines);
    EXPECT_EQ(run.status, 2) << run.errors;
    EXPECT_NE(run.errors.find("ferrolux-sim: " + scenarioPath_ + c.expected), std::string::npos)
        << run.errors;
    // Nothing ran: not even the container was made.
    EXPECT_FALSE(std::filesystem::exists(container()));
  }
  EXPECT_EQ(summary("batches"), 0);
}

TEST_F(SimRunTest, UnbuiltFeatureExitsThreeBeforeAnythingRuns) {
  const SimOutcome screen =
      sim({kLaunch, numberedEvent("sim_event", 1),
           R"({"op":"screen","class":"Game.MenuViewController","name":"menu"})",
           R"({"op":"app_state","state":"background"})"});
  EXPECT_EQ(screen.status, 3) << screen.errors;
  EXPECT_NE(
      screen.errors.find(scenarioPath_ + ":3: op \"screen\" needs screen-view reporting, which the "
                                         "library does not provide yet"),
      std::string::npos)
      << screen.errors;

  const SimOutcome url = sim({kLaunch, R"({"op":"open_url","url":"game://open?utm_source=x"})"});
  EXPECT_EQ(url.status, 3) << url.errors;
  EXPECT_NE(url.errors.find(scenarioPath_ + ":2: op \"open_url\" needs deep-link handling"),
            std::string::npos)
      << url.errors;
  // The event before the refused line was never logged.
  EXPECT_EQ(summary("batches"), 0);
  EXPECT_TRUE(numbered("sim_event").empty());
}

TEST_F(SimRunTest, RetryAfterServerErrorHappensHoursLaterInVirtualTime) {
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"status", 500}}));
  std::vector<std::string> lines = {kLaunch};
  for (int n = 1; n <= 3; ++n) lines.push_back(numberedEvent("sim_event", n));
  lines.push_back(R"({"op":"app_state","t":10,"state":"background"})");
  lines.push_back(R"({"op":"terminate","t":11})");
  const SimOutcome failed = sim(lines);
  ASSERT_EQ(failed.status, 0) << failed.errors;
  EXPECT_EQ(summary("bundles"), 0);

  // Hours later, in a new life: the stored events go, once.
  const SimOutcome later = sim({R"({"op":"wait","t":7200})", kLaunch, R"({"op":"wait","t":10800})",
                                R"({"op":"app_state","state":"background"})"});
  ASSERT_EQ(later.status, 0) << later.errors;
  EXPECT_EQ(numbered("sim_event"), (std::map<std::int64_t, int>{{1, 1}, {2, 1}, {3, 1}}));
  // Three hours of virtual time took a few real seconds at most.
  EXPECT_LT(later.realSeconds, 20.0);
}

TEST_F(SimRunTest, RetryTimerFiresWithinOneLifeWhileWaiting) {
  ASSERT_TRUE(service_.addFault({{"count", 1}, {"status", 500}}));
  std::vector<std::string> lines = {kLaunch};
  for (int n = 1; n <= 3; ++n) lines.push_back(numberedEvent("sim_event", n));
  lines.push_back(R"({"op":"app_state","t":10,"state":"background"})");
  lines.push_back(R"({"op":"wait","t":7200})");
  const SimOutcome run = sim(lines);
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(numbered("sim_event"), (std::map<std::int64_t, int>{{1, 1}, {2, 1}, {3, 1}}));
  EXPECT_LT(run.realSeconds, 20.0);
}

TEST_F(SimRunTest, AppStateWalksThroughTheStatesInBetween) {
  const SimOutcome run =
      sim({kLaunch, numberedEvent("sim_event", 1), R"({"op":"app_state","t":1,"state":"inactive"})",
           R"({"op":"app_state","t":2,"state":"background"})",
           // Background to active passes through inactive.
           R"({"op":"app_state","t":3,"state":"active"})",
           R"({"op":"app_state","t":3,"state":"active"})", numberedEvent("sim_event", 2),
           // Active to background passes through inactive.
           R"({"op":"app_state","t":4,"state":"background"})"});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(numbered("sim_event"), (std::map<std::int64_t, int>{{1, 1}, {2, 1}}));
}

TEST_F(SimRunTest, BadCommandLineExitsTwoWithUsage) {
  const std::string scenario = work_ / "ok.jsonl";
  std::ofstream(scenario) << kLaunch << "\n";
  const SimOutcome insecure =
      runSim(scenario, container(), keychain(), "http://example.com", false);
  EXPECT_EQ(insecure.status, 2);
  EXPECT_NE(insecure.errors.find("usage: ferrolux-sim SCENARIO.jsonl"), std::string::npos)
      << insecure.errors;
  const SimOutcome missing =
      runSim(work_ / "absent.jsonl", container(), keychain(), service_.baseURL(), false);
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.errors.find("cannot read"), std::string::npos) << missing.errors;
  EXPECT_FALSE(std::filesystem::exists(container()));
}
