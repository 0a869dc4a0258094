// The configuration fetch tests: an engine over a real database file, a
// real client and a loopback measurement service whose replies each test
// sets; what the fetch reported; the encoded fixtures.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMMeasurement.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "storage/TLMDatabase.h"
#include "support/TestPlatform.h"
#include "utilities/HRNNetwork.h"
#include "utilities/network_test_support.h"

inline constexpr char kFetchAppID[] = "1:1234567890:ios:0123456789abcdef";
inline constexpr char kFetchOtherAppID[] = "1:1234567890:ios:fedcba9876543210";
inline constexpr char kFetchAppInstanceID[] = "6F1D3C2B9A8E4D7F";
inline constexpr char kLastModified[] = "Wed, 21 Oct 2026 07:28:00 GMT";

// The bytes protoc encoded from tests/engine/fixtures/<name>.txtpb.
inline Bytes fixtureBytes(const std::string& name) {
  std::ifstream file(std::string(FERROLUX_FETCH_FIXTURES) + "/" + name + ".bin", std::ios::binary);
  EXPECT_TRUE(file.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

struct FetchReport {
  int level;
  long code;
  std::string message;
  ObjectArray contexts;
};

// One request as the service saw it.
struct ServedRequest {
  std::string path;
  std::multimap<std::string, std::string> params;
  std::optional<std::string> ifModifiedSince;
};

// What the service answers next.
struct ServiceReply {
  int status = 200;
  std::string body;
  std::optional<std::string> lastModified;
  // Holds the reply until the test opens it (or 10 s pass).
  Gate* gate = nullptr;
};

class FetchTest : public ::testing::Test {
 protected:
  static constexpr double kNow = 1767225600.0;
  static constexpr double kUptime = 1000.0;

  void SetUp() override {
    clock().setNow(kNow);
    persistedConfig_ = TLMPersistedConfig::create("com.ferrolux.tests.fetch");
    ASSERT_NE(persistedConfig_, nullptr);
    Error error;
    database_ = TLMDatabase::initWithDatabasePath(
        platform_.root() + "/" + TLMDatabase::kDatabaseFileName, persistedConfig_, &error);
    ASSERT_NE(database_, nullptr) << error.toString();
    worker_ = platform_.platform().dispatch().createSerialQueue("com.tarvix.qlfa.worker");
    worker_->sync(
        [&] { remoteConfig_ = TLMRemoteConfig::initWithAppID(kFetchAppID, database_, nullptr); });
    ASSERT_NE(remoteConfig_, nullptr);
    network_ = HRNNetwork::initWithReachabilityHost(
        "127.0.0.1", std::make_shared<Reachability>([] { return true; }), worker_);
    ASSERT_NE(network_, nullptr);

    server_.server().Get(R"(/config/app/(.*))", [this](const httplib::Request& request,
                                                       httplib::Response& response) {
      ServiceReply reply;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ServedRequest served{request.path, {}, std::nullopt};
        for (const auto& [key, value] : request.params) served.params.emplace(key, value);
        if (request.has_header("If-Modified-Since")) {
          served.ifModifiedSince = request.get_header_value("If-Modified-Since");
        }
        requests_.push_back(std::move(served));
        reply = reply_;
      }
      if (reply.gate != nullptr) reply.gate->waitOpen(10);
      response.status = reply.status;
      if (reply.lastModified) response.set_header("Last-Modified", *reply.lastModified);
      if (!reply.body.empty()) response.set_content(reply.body, "application/x-protobuf");
    });
    server_.start();
    engine_ = makeEngine(server_.url(""));
    ASSERT_NE(engine_, nullptr);
  }

  void TearDown() override {
    platform_.executor().runUntilIdle();
    engine_.reset();
    network_.reset();
    remoteConfig_.reset();
    database_.reset();
  }

  std::shared_ptr<TLMMeasurement> makeEngine(const std::optional<std::string>& serviceBaseURL) {
    TLMMeasurementHooks hooks;
    hooks.appInstanceID = [this] { return appInstanceID_; };
    hooks.appIDFromQVR = [this] { return appIDFromQVR_; };
    hooks.isAnalyticsStorageDenied = [this] { return analyticsStorageDenied_; };
    hooks.updateAudiences = [this](const std::vector<TLMPBAudience>& audiences) {
      receivedAudiences_.push_back(audiences);
      if (duringAudienceUpdate_) duringAudienceUpdate_();
      return acceptAudiences_;
    };
    hooks.updateSchedule = [this] { ++updateScheduleCalls_; };
    hooks.uploadDataOrRegisterAlarm = [this] { ++uploadOrAlarmCalls_; };
    hooks.shouldUseBackgroundSession = [] { return false; };
    hooks.networkTimeout = [this] { return networkTimeout_; };
    auto engine = TLMMeasurement::TEST_createWithComponents(
        {database_, remoteConfig_, persistedConfig_, network_, worker_, serviceBaseURL}, hooks);
    if (engine != nullptr) {
      engine->TEST_setReportObserver(
          [this](int level, long code, std::string_view message, const ObjectArray& contexts) {
            reports_.push_back({level, code, std::string(message), contexts});
          });
    }
    return engine;
  }

  void setReply(int status, std::string body = std::string(),
                std::optional<std::string> lastModified = std::nullopt, Gate* gate = nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_.status = status;
    reply_.body = std::move(body);
    reply_.lastModified = std::move(lastModified);
    reply_.gate = gate;
  }
  std::vector<ServedRequest> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  // Runs one fetch on the worker queue and waits (a bounded real wait for
  // the loopback exchange) until its completion has run.
  void fetch(const std::shared_ptr<TLMMeasurement>& engine = nullptr) {
    std::shared_ptr<TLMMeasurement> target = engine != nullptr ? engine : engine_;
    reports_.clear();
    worker_->async([target] { target->fetchRemoteConfig(); });
    platform_.executor().runUntilIdle(20.0);
    EXPECT_FALSE(target->isNetworkRequestPending());
  }

  std::vector<long> reportedCodes() const {
    std::vector<long> codes;
    for (const FetchReport& report : reports_) codes.push_back(report.code);
    return codes;
  }
  const FetchReport* reportWithCode(long code) const {
    for (const FetchReport& report : reports_) {
      if (report.code == code) return &report;
    }
    return nullptr;
  }

  // Stored state, read on the worker queue as the engine does.
  std::optional<double> lastFetchTime() {
    std::optional<double> value;
    worker_->sync([&] {
      Error error;
      value = database_->lastRemoteConfigUpdateTimestamp(&error);
    });
    return value;
  }
  std::optional<TLMPBMeasurementConfig> storedConfig() {
    std::optional<TLMPBMeasurementConfig> value;
    worker_->sync([&] {
      Error error;
      value = database_->queryMeasurementConfigWithError(&error);
    });
    return value;
  }
  std::optional<std::string> storedLastModified() {
    const OptionalObject value = persistedConfig_->configServerLastModifiedString();
    if (!value || value->asString() == nullptr) return std::nullopt;
    return *value->asString();
  }
  FakeClock& clock() { return *platform_.platform().fakeClock(); }

  TestPlatform platform_;
  std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  std::shared_ptr<TLMDatabase> database_;
  std::shared_ptr<DispatchQueue> worker_;
  std::shared_ptr<TLMRemoteConfig> remoteConfig_;
  std::shared_ptr<HRNNetwork> network_;
  LoopbackServer server_;
  std::shared_ptr<TLMMeasurement> engine_;

  std::optional<std::string> appInstanceID_ = kFetchAppInstanceID;
  std::optional<std::string> appIDFromQVR_ = kFetchAppID;
  bool analyticsStorageDenied_ = false;
  bool acceptAudiences_ = true;
  std::function<void()> duringAudienceUpdate_;
  double networkTimeout_ = 10.0;
  std::vector<std::vector<TLMPBAudience>> receivedAudiences_;
  int updateScheduleCalls_ = 0;
  int uploadOrAlarmCalls_ = 0;
  std::vector<FetchReport> reports_;

 private:
  std::mutex mutex_;
  ServiceReply reply_;
  std::vector<ServedRequest> requests_;
};

inline std::string asText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
