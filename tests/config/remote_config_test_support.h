// Shared pieces of the remote configuration tests: a fixture with a real
// database file in the test platform's folder, a worker queue to apply
// configurations on, configuration builders and a fake experiment manager
// (the monitor readings come from MonitorReportsTest).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMLibraryVersion.h"
#include "engine/TLMMeasurement.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "storage/TLMDatabase.h"
#include "support/MonitorReportsTest.h"
#include "upload/TLMMonitor.h"
#include "utilities/HRNLogger.h"

inline constexpr char kRemoteConfigAppID[] = "1:1234567890:ios:0123456789abcdef";
inline constexpr char kOtherAppID[] = "1:1234567890:ios:fedcba9876543210";
inline constexpr char kUploadIntervalFlag[] = "measurement.upload.interval";

// A configuration for `appID` with `settings` and, per event name, a
// configuration made by `eventConfigs`' builders.
inline TLMPBMeasurementConfig makeConfig(
    const std::string& appID, const std::vector<std::pair<std::string, std::string>>& settings,
    std::vector<TLMPBEventConfig> eventConfigs = {},
    std::optional<std::int64_t> version = std::nullopt) {
  TLMPBMeasurementConfig config;
  config.set_qvr_app_id(appID);
  if (version) config.set_version(*version);
  for (const auto& [name, value] : settings) {
    TLMPBSetting setting;
    setting.set_name(name);
    setting.set_value(value);
    EXPECT_TRUE(config.add_settings(std::move(setting)));
  }
  EXPECT_TRUE(config.set_event_config(std::move(eventConfigs)));
  return config;
}

inline TLMPBEventConfig eventConfig(const std::string& name) {
  TLMPBEventConfig config;
  config.set_name(name);
  return config;
}
inline TLMPBEventConfig withRate(TLMPBEventConfig config, std::int32_t rate) {
  config.set_sampling_rate(rate);
  return config;
}
inline TLMPBEventConfig withBlocklisted(TLMPBEventConfig config, bool blocklisted) {
  config.set_is_blocklisted(blocklisted);
  return config;
}
inline TLMPBEventConfig withConversion(TLMPBEventConfig config, bool conversion) {
  config.set_is_custom_conversion(conversion);
  return config;
}

class FakeExperimentClient : public TLMExperimentClientSeam {
 public:
  std::optional<Object> valueForFlag(std::string_view flagName) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = flags_.find(std::string(flagName));
    if (found == flags_.end()) return std::nullopt;
    return found->second;
  }
  bool activateLatestSnapshot(Error* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    ++activations_;
    if (activationError_) {
      if (error != nullptr) *error = *activationError_;
      return false;
    }
    for (auto& [name, value] : pendingFlags_) flags_[name] = value;
    pendingFlags_.clear();
    return true;
  }

  void setFlag(const std::string& name, Object value) {
    std::lock_guard<std::mutex> lock(mutex_);
    flags_[name] = std::move(value);
  }
  // Takes effect at the next successful activation.
  void setPendingFlag(const std::string& name, Object value) {
    std::lock_guard<std::mutex> lock(mutex_);
    pendingFlags_[name] = std::move(value);
  }
  void failActivationWith(std::optional<Error> error) {
    std::lock_guard<std::mutex> lock(mutex_);
    activationError_ = std::move(error);
  }
  int activations() {
    std::lock_guard<std::mutex> lock(mutex_);
    return activations_;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, Object> flags_;
  std::map<std::string, Object> pendingFlags_;
  std::optional<Error> activationError_;
  int activations_ = 0;
};

class FakeExperimentManager : public TLMExperimentManagerSeam {
 public:
  std::shared_ptr<TLMExperimentClientSeam> registerSDKProperty(
      const std::string& sdkName, std::int64_t sdkVersion,
      const std::map<std::string, Object>& defaultFlags,
      std::weak_ptr<TLMExperimentClientDelegate> delegate) override {
    sdkName_ = sdkName;
    sdkVersion_ = sdkVersion;
    defaultFlags_ = defaultFlags;
    delegate_ = std::move(delegate);
    return client_;
  }
  std::vector<std::int64_t> experimentIDs() override { return experimentIDs_; }
  void reset() override { ++resets_; }

  std::shared_ptr<FakeExperimentClient> client_ = std::make_shared<FakeExperimentClient>();
  std::string sdkName_;
  std::int64_t sdkVersion_ = 0;
  std::map<std::string, Object> defaultFlags_;
  std::weak_ptr<TLMExperimentClientDelegate> delegate_;
  std::vector<std::int64_t> experimentIDs_;
  int resets_ = 0;
};

class RemoteConfigTest : public MonitorReportsTest {
 protected:
  static constexpr double kNow = 1767225600.0;

  void SetUp() override {
    MonitorReportsTest::SetUp();
    HRNSetLoggerLevel(HRNLoggerLevel::Debug);
    clock().setNow(kNow);
    openDatabase();
    worker_ = platform_.platform().dispatch().createSerialQueue("com.tarvix.qlfa.worker");
  }
  void TearDown() override {
    platform_.executor().runUntilIdle();
    database_.reset();
    persistedConfig_.reset();
    MonitorReportsTest::TearDown();
  }

  void openDatabase() {
    persistedConfig_ = TLMPersistedConfig::create("com.ferrolux.tests.remote-config");
    ASSERT_NE(persistedConfig_, nullptr);
    Error error;
    database_ = TLMDatabase::initWithDatabasePath(databasePath(), persistedConfig_, &error);
    ASSERT_NE(database_, nullptr) << error.toString();
  }
  // A new process life on the same files: everything of the old one is
  // dropped first.
  void restart() {
    database_.reset();
    persistedConfig_.reset();
    worker_.reset();
    platform_.restart();
    HRNSetLoggerLevel(HRNLoggerLevel::Debug);
    clock().setNow(kNow);
    openDatabase();
    worker_ = platform_.platform().dispatch().createSerialQueue("com.tarvix.qlfa.worker");
  }

  std::string databasePath() const {
    return platform_.root() + "/" + TLMDatabase::kDatabaseFileName;
  }
  FakeClock& clock() { return *platform_.platform().fakeClock(); }

  // Runs `block` on the worker queue, as the engine does, and waits.
  template <typename Block>
  void onWorker(Block&& block) {
    worker_->sync(std::forward<Block>(block));
  }

  // The engine's configuration over the test database, made on the worker
  // queue.
  std::shared_ptr<TLMRemoteConfig> create(
      std::shared_ptr<TLMExperimentManagerSeam> manager = nullptr, TLMRemoteConfigHooks hooks = {},
      const std::string& appID = kRemoteConfigAppID) {
    std::shared_ptr<TLMRemoteConfig> config;
    onWorker([&] { config = TLMRemoteConfig::initWithAppID(appID, database_, manager, hooks); });
    return config;
  }
  std::shared_ptr<const TLMPBMeasurementConfig> apply(TLMRemoteConfig& config,
                                                      const TLMPBMeasurementConfig& measurement) {
    std::shared_ptr<const TLMPBMeasurementConfig> applied;
    onWorker([&] { applied = config.updateMeasurementConfig(&measurement); });
    return applied;
  }
  // What the database holds now.
  std::optional<TLMPBMeasurementConfig> stored() {
    Error error;
    return database_->queryMeasurementConfigWithError(&error);
  }

  // Whether a report with `code` was printed (levels 1, 3, 4, 6, 7).
  bool wasPrinted(long code) { return !printedWithCode(code).empty(); }
  static std::string keyOf(std::string_view message, int level) {
    return TLMMonitor::monitoringDataKeyWithMessage(message, level, kFerroluxLibraryVersion);
  }

  std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  std::shared_ptr<TLMDatabase> database_;
  std::shared_ptr<DispatchQueue> worker_;
};
