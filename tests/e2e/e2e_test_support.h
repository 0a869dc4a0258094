// The app and the local measurement service end to end: the real library on
// the deterministic platform (a fake clock, so retries hours apart run at
// once), started through the public interface, uploading over loopback to
// the real ferrolux-service binary in a child process.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/QLFApp.h"
#include "core/QLFOptions.h"
#include "engine/TLMMeasurement.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/Application.h"
#include "platform/DeterministicExecutor.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"
#include "support/ServiceProcess.h"
#include "support/TempFolder.h"
#include "support/TestPlatform.h"

inline constexpr char kEndToEndAppID[] = "1:100000000001:ios:0123456789abcdef";

class EndToEndTest : public ::testing::Test {
 protected:
  EndToEndTest() : service_(serviceFolder_.path(), configFolder_.path()) {}

  void SetUp() override {
    std::string problem;
    ASSERT_TRUE(service_.start(&problem)) << problem;
    ::setenv("FERROLUX_MEASUREMENT_SERVICE_URL", service_.baseURL().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("FERROLUX_MEASUREMENT_SERVICE_URL");
    TLMMeasurement::TEST_setNetworkTimeout(std::nullopt);
  }

  void run() { platform_.executor().runUntilIdle(); }
  // Lets `seconds` of virtual time pass, firing the timers due on the way.
  void advance(double seconds) {
    platform_.executor().advance(seconds);
    run();
  }
  Application& app() { return platform_.platform().application(); }

  // The app launches, the platform core starts the library, the app
  // becomes active.
  void launch() {
    ASSERT_TRUE(app().finishLaunching());
    ASSERT_TRUE(QLFApp::configureWithOptions(QLFOptions(kEndToEndAppID)));
    ASSERT_TRUE(app().becomeActive());
    run();
  }
  // The app goes to the background, which uploads what is stored.
  void background() {
    ASSERT_TRUE(app().resignActive());
    ASSERT_TRUE(app().enterBackground());
    run();
  }
  void foreground() {
    ASSERT_TRUE(app().enterForeground());
    ASSERT_TRUE(app().becomeActive());
    run();
  }

  // Logs `count` events "e2e_event" numbered from `first` in parameter "n",
  // and remembers them as expected at the service.
  void logNumberedEvents(int first, int count) {
    for (int n = first; n < first + count; ++n) {
      QLFAnalytics::logEventWithName("e2e_event",
                                     Object::dictionary({{Object("n"), Object::integer(n)},
                                                         {Object("kind"), Object("numbered")}}));
      expected_.push_back(n);
    }
    run();
  }

  // How many times the service holds each numbered event.
  std::map<std::int64_t, int> receivedNumbers() const {
    std::map<std::int64_t, int> seen;
    for (int page = 1;; ++page) {
      const auto events = service_.getJSON("/api/events?per_page=500&page=" + std::to_string(page));
      EXPECT_TRUE(events.has_value());
      if (!events || !(*events)["events"].is_array() || (*events)["events"].empty()) break;
      for (const nlohmann::json& event : (*events)["events"]) {
        if (event.value("name", "") != "e2e_event") continue;
        const nlohmann::json& n = event["params"]["n"];
        if (n.is_number_integer()) ++seen[n.get<std::int64_t>()];
      }
    }
    return seen;
  }
  // Every event logged so far is at the service exactly once.
  void expectEveryEventReceivedOnce() const {
    std::map<std::int64_t, int> wanted;
    for (int n : expected_) wanted[n] = 1;
    EXPECT_EQ(receivedNumbers(), wanted);
  }

  // Rows of `table` in the app's database.
  std::int64_t appRows(const std::string& table) const {
    const std::shared_ptr<TLMMeasurement> engine = TLMMeasurement::sharedInstance();
    if (engine == nullptr || engine->database() == nullptr) return -1;
    Error error;
    const auto rows = engine->database()->sqliteStore()->recordsForQuery(
        "SELECT COUNT(*) AS n FROM " + table, {}, &error);
    if (!rows || rows->empty()) return -1;
    const auto found = rows->front().find("n");
    return found == rows->front().end() ? -1 : found->second.int64Value();
  }

  std::int64_t summaryCount(const char* key) const {
    const nlohmann::json summary = service_.summary();
    return summary.contains(key) ? summary[key].get<std::int64_t>() : -1;
  }

  TempFolder serviceFolder_;
  TempFolder configFolder_;
  ServiceProcess service_;
  TestPlatform platform_;
  std::vector<int> expected_;
};
