// A started engine with a real database file on the deterministic
// platform, for the bundle-time preparation and sampling tests. The
// methods are called directly from the test thread, which stands in for
// the worker queue: nothing else runs between runUntilIdle calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "config/remote_config_test_support.h"
#include "engine/TLMDailyCounts.h"
#include "engine/TLMEvent.h"
#include "engine/TLMRawEventData.h"
#include "engine/TLMValue.h"
#include "engine/lifecycle_test_support.h"
#include "platform/Clock.h"
#include "storage/TLMDatabase.h"

class PrepTest : public EngineLifecycleTest {
 protected:
  void SetUp() override {
    engine_ = makeEngine();
    ASSERT_NE(engine_, nullptr);
    ASSERT_NE(engine_->database(), nullptr);
    ASSERT_NE(engine_->remoteConfigInstance(), nullptr);
    monitor_.clear();
  }
  void TearDown() override {
    run();
    engine_.reset();
  }

  // Puts a stored measurement configuration in force, as a fetch would.
  void configure(const std::vector<std::pair<std::string, std::string>>& settings,
                 std::vector<TLMPBEventConfig> eventConfigs = {}) {
    // A configuration without settings changes nothing: keep one always.
    std::vector<std::pair<std::string, std::string>> all = settings;
    all.emplace_back("measurement.upload.interval", "3600000");
    const TLMPBMeasurementConfig config = makeConfig(kTestAppID, all, std::move(eventConfigs));
    // On the worker queue, as a fetch applies it.
    bool applied = false;
    engine_->workerQueue()->async([&] {
      applied = engine_->remoteConfigInstance()->updateMeasurementConfig(&config) != nullptr;
    });
    run();
    ASSERT_TRUE(applied);
    monitor_.clear();
  }

  double now() const { return platform_.platform().clock().now(); }
  std::int32_t today() const {
    return TLMDailyCounts::currentDay(engine_->persistedConfig()->midnightOffset());
  }

  static TLMEventPtr event(const std::string& name, ObjectDictionary parameters = {},
                           double timestamp = 1767225600.0, bool isPublic = true) {
    TLMEventPtr made = TLMEvent::initWithOrigin("app", isPublic, name, timestamp, 0, parameters);
    EXPECT_NE(made, nullptr) << name;
    return made;
  }
  static TLMRawEventDataPtr raw(TLMEventPtr event, std::int64_t rowID = 7,
                                std::int64_t fingerprint = -42) {
    TLMRawEventDataPtr made =
        TLMRawEventData::initWithRawEvent(std::move(event), rowID, fingerprint);
    EXPECT_NE(made, nullptr);
    return made;
  }
  static std::optional<std::int64_t> intParameter(const TLMEvent& event, const std::string& name) {
    const TLMValuePtr value = event.parameterValue(name);
    if (value == nullptr || !value->isInt64()) return std::nullopt;
    return value->int64Value();
  }

  std::shared_ptr<TLMMeasurement> engine_;
};
