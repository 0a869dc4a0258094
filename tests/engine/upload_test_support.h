// The upload tests: a started engine on the deterministic platform with a
// real database file, talking to a loopback measurement service whose
// answers each test sets; helpers that queue bundles and read back what
// the service received and what the queue holds.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMAlarm.h"
#include "engine/TLMMeasurement.h"
#include "engine/lifecycle_test_support.h"
#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Reachability.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"
#include "upload/TLMPBUploadMessages.h"
#include "utilities/network_test_support.h"

inline constexpr char kOtherAppID[] = "1:1234567890:ios:fedcba9876543210";

// One queued row as stored.
struct QueueRow {
  std::int64_t rowID;
  std::int64_t retryCount;
};

class UploadTest : public EngineLifecycleTest {
 protected:
  static constexpr double kNow = 1767225600.0;

  void SetUp() override {
    clock().setNow(kNow);
    server_.server().Post("/a", [this](const httplib::Request& request, httplib::Response& reply) {
      int status = 204;
      Gate* gate = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        posts_.push_back(Bytes(request.body.begin(), request.body.end()));
        if (!statuses_.empty()) {
          status = statuses_.front();
          statuses_.pop_front();
        }
        gate = gate_;
      }
      if (gate != nullptr) gate->waitOpen(10);
      reply.status = status;
    });
    server_.server().Get(R"(/config/app/(.*))",
                         [this](const httplib::Request&, httplib::Response& reply) {
                           std::lock_guard<std::mutex> lock(mutex_);
                           ++fetches_;
                           reply.status = 304;
                         });
    server_.start();
    ::setenv("FERROLUX_MEASUREMENT_SERVICE_URL", server_.url("").c_str(), 1);
    engine_ = makeEngine();
    ::unsetenv("FERROLUX_MEASUREMENT_SERVICE_URL");
    ASSERT_NE(engine_, nullptr);
    ASSERT_NE(engine_->database(), nullptr);
    ASSERT_NE(engine_->network(), nullptr);
    ASSERT_NE(engine_->alarm(), nullptr);
    // A fresh configuration, so that uploads do not fetch one unless a
    // test says so.
    Error error;
    ASSERT_TRUE(database().updateRemoteConfigSuccessfulTimestamp(kNow, &error));
    calls_.clear();
    monitor_.clear();
  }

  void TearDown() override {
    run();
    engine_.reset();
  }

  TLMDatabase& database() { return *engine_->database(); }
  TLMPersistedConfig& settings() { return *engine_->persistedConfig(); }
  FakeClock& clock() { return *platform_.platform().fakeClock(); }
  Reachability& reachability() { return *platform_.platform().reachability(); }
  Application& app() { return platform_.platform().application(); }
  double now() { return clock().now(); }

  // Runs `block` on the worker queue and everything it leads to, waiting
  // (bounded, real time) for loopback requests in flight.
  void onWorker(std::function<void(TLMMeasurement&)> block) {
    std::shared_ptr<TLMMeasurement> engine = engine_;
    engine->workerQueue()->async([engine, block = std::move(block)] { block(*engine); });
    platform_.executor().runUntilIdle(20.0);
  }
  void upload() {
    onWorker([](TLMMeasurement& e) { e.uploadData(); });
  }
  void schedule() {
    onWorker([](TLMMeasurement& e) { e.updateSchedule(); });
  }

  static TLMPBMeasurementBundle makeBundle(const std::string& appID, double endSeconds,
                                           const std::string& eventName = "level_up") {
    TLMPBMeasurementBundle bundle;
    bundle.set_protocol_version(1);
    bundle.set_app_id(appID);
    bundle.set_platform("ios");
    bundle.set_start_timestamp_millis(static_cast<std::int64_t>(endSeconds * 1000) - 1000);
    bundle.set_end_timestamp_millis(static_cast<std::int64_t>(endSeconds * 1000));
    TLMPBEvent event;
    event.set_name(eventName);
    event.set_timestamp_millis(static_cast<std::int64_t>(endSeconds * 1000));
    bundle.add_events(event);
    return bundle;
  }
  void queue(const TLMPBMeasurementBundle& bundle, bool realtime = false) {
    Error error;
    ASSERT_TRUE(database().insertBundle(bundle, realtime, &error)) << error.toString();
  }
  void queue(const std::string& appID, double endSeconds, const std::string& eventName) {
    queue(makeBundle(appID, endSeconds, eventName));
  }

  std::vector<QueueRow> queueRows() {
    std::vector<QueueRow> rows;
    Error error;
    const auto records = database().sqliteStore()->recordsForQuery(
        "SELECT rowid, retry_count FROM queue ORDER BY rowid", {}, &error);
    EXPECT_TRUE(records.has_value()) << error.toString();
    if (!records) return rows;
    for (const TLMSqliteRecord& record : *records) {
      rows.push_back({record.at("rowid").int64Value(), record.at("retry_count").int64Value()});
    }
    return rows;
  }

  // Every batch the service received, decoded.
  std::vector<TLMPBMeasurementBatch> batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TLMPBMeasurementBatch> decoded;
    for (const Bytes& body : posts_) {
      std::optional<TLMPBMeasurementBatch> batch = TLMPBMeasurementBatch::initWithBuffer(body);
      EXPECT_TRUE(batch.has_value());
      if (batch) decoded.push_back(std::move(*batch));
    }
    return decoded;
  }
  // The first event name of each bundle of each batch.
  std::vector<std::vector<std::string>> postedEventNames() {
    std::vector<std::vector<std::string>> names;
    for (const TLMPBMeasurementBatch& batch : batches()) {
      std::vector<std::string> inBatch;
      for (const TLMPBMeasurementBundle& bundle : batch.bundles()) {
        inBatch.push_back(bundle.events_size() > 0 ? bundle.events()[0].name() : "");
      }
      names.push_back(inBatch);
    }
    return names;
  }
  int fetches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return fetches_;
  }
  // The next answers of the service, in order; 204 once they run out.
  void answerWith(std::vector<int> statuses) {
    std::lock_guard<std::mutex> lock(mutex_);
    statuses_.assign(statuses.begin(), statuses.end());
  }
  void holdAnswersAt(Gate* gate) {
    std::lock_guard<std::mutex> lock(mutex_);
    gate_ = gate;
  }

  std::optional<double> alarmTime() {
    const std::shared_ptr<TLMAlarm>& alarm = engine_->alarm();
    if (!alarm->hasActiveTimer()) return std::nullopt;
    return alarm->scheduledTimestamp();
  }

  // Starts a background task as the app's resign-active handling does.
  BackgroundTaskIdentifier beginBackgroundTask() {
    const BackgroundTaskIdentifier task =
        app().beginBackgroundTask("TLMAnalyticsMeasurementBackgroundTask", [] {});
    engine_->swapBackgroundTaskWithNewTaskID(task);
    return task;
  }

  // What the service saw; declared before the server, which must stop
  // first.
  std::mutex mutex_;
  std::vector<Bytes> posts_;
  std::deque<int> statuses_;
  Gate* gate_ = nullptr;
  int fetches_ = 0;

  LoopbackServer server_;
  std::shared_ptr<TLMMeasurement> engine_;
};
