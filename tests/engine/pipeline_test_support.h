// The event pipeline on a real engine: the deterministic platform, a real
// SQLite file, the stand-ins recording, and helpers that log calls and
// read back what was stored.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/TLMAnalytics.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMErrorEventSeam.h"
#include "engine/TLMEvent.h"
#include "engine/TLMLogEventCall.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMRawEventData.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMValue.h"
#include "engine/lifecycle_test_support.h"
#include "platform/Clock.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"

// One "_err" event handed to the error-event seam.
struct LoggedErrorEvent {
  std::string name;
  ObjectDictionary parameters;
};

class PipelineTest : public EngineLifecycleTest {
 protected:
  PipelineTest() { connect(); }

  // The recorders of this fixture (again after a restart).
  void connect() {
    TLMStandIns& s = TLMStandIns::current();
    s.isAppActive = [this] { return appActive_; };
    TLMErrorEventSeam::connect(
        [this](const std::string&, const std::string& name, const ObjectDictionary& parameters) {
          errorEvents_.push_back({name, parameters});
        });
    // Listeners run on the facade's operation queue, which opens at start.
    TLMAnalytics::unsuspendOperationQueue();
  }

  // A new process life on the same files; start the engine again after.
  void restartProcess() {
    engine_.reset();
    restart();
    connect();
  }
  ~PipelineTest() override { TLMErrorEventSeam::connect(nullptr); }

  std::shared_ptr<TLMMeasurement> startEngine(
      std::optional<std::vector<std::string>> safelist = std::nullopt) {
    engine_ = TLMMeasurement::initWithAppID(kTestAppID, /*enabled=*/true, /*deactivated=*/false,
                                            std::move(safelist), nullptr);
    run();
    return engine_;
  }

  double now() const { return platform_.platform().clock().now(); }

  static ObjectDictionary params(std::initializer_list<std::pair<const char*, Object>> entries) {
    ObjectDictionary made;
    for (const auto& [key, value] : entries) made[Object(key)] = value;
    return made;
  }

  // A call as the facade makes it for the app.
  TLMLogEventCall call(const std::string& name, ObjectDictionary parameters = {},
                       bool isPublic = true, const std::string& origin = "app") const {
    TLMLogEventCall made;
    made.origin = origin;
    made.isPublicEvent = isPublic;
    made.name = name;
    made.parameters = Object::dictionary(std::move(parameters));
    made.timestamp = now();
    made.enabled = true;
    return made;
  }
  void log(TLMLogEventCall made) {
    engine_->logEventWithOrigin(std::move(made));
    run();
  }
  void log(const std::string& name, ObjectDictionary parameters = {}, bool isPublic = true,
           const std::string& origin = "app") {
    log(call(name, std::move(parameters), isPublic, origin));
  }
  // An event of the library's own, through the internal-event path.
  void logInternal(const std::string& name, ObjectDictionary parameters = {}) {
    const TLMEventPtr event =
        TLMEvent::initWithOrigin("auto", false, name, now(), 0, std::move(parameters));
    ASSERT_NE(event, nullptr);
    engine_->workerQueue()->async(
        [engine = engine_, event] { engine->handleInternalEventOnWorkerQueue(event); });
    run();
  }

  // Every stored event, oldest first.
  std::vector<TLMEventPtr> stored() const {
    std::vector<TLMEventPtr> events;
    Error error;
    const std::optional<std::vector<TLMSqliteRecord>> rows =
        engine_->database()->sqliteStore()->recordsForQuery(
            "SELECT rowid, * FROM raw_events ORDER BY rowid ASC", {}, &error);
    EXPECT_TRUE(rows.has_value()) << error.description.value_or("");
    if (!rows) return events;
    for (const TLMSqliteRecord& row : *rows) {
      const TLMRawEventDataPtr data = engine_->database()->rawEventDataFromDictionary(row, &error);
      EXPECT_NE(data, nullptr);
      if (data != nullptr) events.push_back(data->rawEvent());
    }
    return events;
  }
  // The stored events' names, oldest first, leaving out "_err".
  std::vector<std::string> storedNames() const {
    std::vector<std::string> names;
    for (const TLMEventPtr& event : stored()) {
      if (event->name() != "_err") names.push_back(event->name());
    }
    return names;
  }
  // The only stored event named `name`; null (with a failure) otherwise.
  TLMEventPtr storedOne(const std::string& name) const {
    TLMEventPtr found;
    int count = 0;
    for (const TLMEventPtr& event : stored()) {
      if (event->name() == name) {
        found = event;
        ++count;
      }
    }
    EXPECT_EQ(count, 1) << name;
    return count == 1 ? found : nullptr;
  }
  // The error codes handed to the error-event seam, in order.
  std::vector<std::int64_t> errorCodes() const {
    std::vector<std::int64_t> codes;
    for (const LoggedErrorEvent& event : errorEvents_) {
      auto found = event.parameters.find(Object("_err"));
      codes.push_back(found != event.parameters.end() ? found->second.int64Value() : -1);
    }
    return codes;
  }

  static std::optional<std::int64_t> integerParameter(const TLMEventPtr& event,
                                                      const std::string& name) {
    const TLMValuePtr value = event != nullptr ? event->parameterValue(name) : nullptr;
    if (value == nullptr || !value->isInt64()) return std::nullopt;
    return value->int64Value();
  }
  static std::optional<std::string> stringParameter(const TLMEventPtr& event,
                                                    const std::string& name) {
    const TLMValuePtr value = event != nullptr ? event->parameterValue(name) : nullptr;
    if (value == nullptr || !value->isString()) return std::nullopt;
    return *value->stringValue();
  }

  // Applies flags and per-event settings as a fetched configuration would.
  void configure(const std::vector<std::pair<std::string, std::string>>& settings,
                 const std::vector<TLMPBEventConfig>& eventConfigs = {}) {
    TLMPBMeasurementConfig config;
    config.set_qvr_app_id(kTestAppID);
    // A configuration without settings is refused.
    TLMPBSetting placeholder;
    placeholder.set_name("measurement.upload.max_events_per_day");
    placeholder.set_value("100000");
    config.add_settings(placeholder);
    for (const auto& [name, value] : settings) {
      TLMPBSetting setting;
      setting.set_name(name);
      setting.set_value(value);
      config.add_settings(setting);
    }
    for (const TLMPBEventConfig& eventConfig : eventConfigs) config.add_event_config(eventConfig);
    engine_->remoteConfigInstance()->parseRemoteConfigFromMeasurementConfig(config);
  }

  std::shared_ptr<TLMMeasurement> engine_;
  bool appActive_ = true;
  std::vector<LoggedErrorEvent> errorEvents_;
};
