// A started engine on a deterministic platform with a real SQLite file,
// for the tests of the storing step: events go straight to
// writeFilteredEventOnWorkerQueue, error events are recorded instead of
// logged, and stored rows are read back and decoded.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/TLMRemoteConfig.h"
#include "engine/TLMDailyCounts.h"
#include "engine/TLMErrorEventSeam.h"
#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMValue.h"
#include "engine/lifecycle_test_support.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"
#include "upload/TLMPBUploadMessages.h"

// One stored raw event, decoded.
struct StoredEvent {
  std::string name;
  double timestamp = 0;
  std::int64_t metadataFingerprint = 0;
  bool isRealtime = false;
  TLMEventPtr event;
};

// One error event handed to the seam.
struct RecordedErrorEvent {
  std::string origin;
  std::string name;
  ObjectDictionary parameters;
  std::int64_t code() const {
    auto it = parameters.find(Object("_err"));
    return it != parameters.end() && it->second.isNumber() ? it->second.int64Value() : -1;
  }
};

class StoreTest : public EngineLifecycleTest {
 public:
  static TLMEventPtr makeEvent(const std::string& name, ObjectDictionary parameters = {},
                               const std::string& origin = "app", double timestamp = 0) {
    const bool isPublic = !name.empty() && name[0] != '_';
    if (timestamp == 0) timestamp = Platform::current().clock().now();
    return TLMEvent::initWithOrigin(origin, isPublic, name, timestamp, 0, parameters);
  }

 protected:
  void SetUp() override {
    TLMErrorEventSeam::connect(
        [this](const std::string& origin, const std::string& name, const ObjectDictionary& p) {
          errorEvents_.push_back(RecordedErrorEvent{origin, name, p});
        });
    engine_ = makeEngine();
    ASSERT_NE(engine_, nullptr);
    ASSERT_TRUE(engine_->didInitializeComponents());
    ASSERT_NE(engine_->database(), nullptr);
  }

  void TearDown() override {
    TLMMeasurement::monitor().setDebugModeEnabled(false);
    TLMErrorEventSeam::connect(nullptr);
  }

  TLMDatabase& database() { return *engine_->database(); }
  sqlite3* handle() { return database().sqliteStore()->sqliteHandle(); }

  void setFlags(const std::map<std::string, std::string>& flags) {
    engine_->remoteConfigInstance()->cacheSettingValues(flags);
  }

  // Stores through the storing step, then lets queued work run.
  bool store(const TLMEventPtr& event) {
    EXPECT_NE(event, nullptr);
    const bool result = engine_->writeFilteredEventOnWorkerQueue(event);
    run();
    return result;
  }
  bool store(const std::string& name, ObjectDictionary parameters = {}) {
    return store(makeEvent(name, std::move(parameters)));
  }

  std::vector<StoredEvent> storedEvents() {
    std::vector<StoredEvent> events;
    Error error;
    auto rows = database().sqliteStore()->recordsForQuery(
        "SELECT rowid, * FROM raw_events ORDER BY rowid", {}, &error);
    EXPECT_TRUE(rows.has_value()) << error.toString();
    if (!rows) return events;
    for (const TLMSqliteRecord& row : *rows) {
      StoredEvent stored;
      stored.name = row.at("name").stringValue();
      stored.timestamp = row.at("timestamp").doubleValue();
      stored.metadataFingerprint = row.at("metadata_fingerprint").int64Value();
      stored.isRealtime = row.at("is_realtime").int64Value() == 1;
      const Bytes* data = row.at("data").asData();
      EXPECT_NE(data, nullptr);
      if (data == nullptr) continue;
      std::optional<TLMPBEvent> proto = TLMPBEvent::initWithBuffer(*data);
      EXPECT_TRUE(proto.has_value());
      if (!proto) continue;
      EXPECT_FALSE(proto->has_name()) << "the name lives in its own column";
      stored.event = TLMEvent::initWithEventProto(*proto, stored.name, stored.timestamp);
      EXPECT_NE(stored.event, nullptr);
      events.push_back(std::move(stored));
    }
    return events;
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const StoredEvent& stored : storedEvents()) names.push_back(stored.name);
    return names;
  }

  std::int64_t rowCount(const std::string& table) {
    Error error;
    auto count = database().sqliteStore()->rowCountForTableWithName(table, &error);
    EXPECT_TRUE(count.has_value()) << error.toString();
    return count.value_or(-1);
  }

  TLMDailyCounts dailyCounts() {
    Error error;
    std::optional<TLMDailyCounts> counts = database().dailyCounts(&error);
    EXPECT_TRUE(counts.has_value()) << error.toString();
    return counts.value_or(TLMDailyCounts(0, 0, 0, 0, 0, 0));
  }
  std::int32_t today() {
    return TLMDailyCounts::currentDay(engine_->persistedConfig()->midnightOffset());
  }
  // Today's counts as given.
  void seedDailyCounts(std::int32_t all, std::int32_t publicCount, std::int32_t errors = 0,
                       std::int32_t realtime = 0, std::int32_t conversions = 0) {
    Error error;
    ASSERT_TRUE(database().updateDailyCounts(
        TLMDailyCounts(today(), conversions, all, publicCount, errors, realtime), &error))
        << error.toString();
  }

  std::vector<TLMPBMeasurementBundle> storedMetadata() {
    std::vector<TLMPBMeasurementBundle> bundles;
    Error error;
    auto rows = database().sqliteStore()->recordsForQuery(
        "SELECT metadata FROM raw_events_metadata ORDER BY rowid", {}, &error);
    EXPECT_TRUE(rows.has_value()) << error.toString();
    if (!rows) return bundles;
    for (const TLMSqliteRecord& row : *rows) {
      const Bytes* data = row.at("metadata").asData();
      if (data == nullptr) continue;
      std::optional<TLMPBMeasurementBundle> bundle = TLMPBMeasurementBundle::initWithBuffer(*data);
      EXPECT_TRUE(bundle.has_value());
      if (bundle) bundles.push_back(std::move(*bundle));
    }
    return bundles;
  }

  void exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(handle(), sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message != nullptr ? message : "");
    sqlite3_free(message);
  }

  std::vector<std::int64_t> errorEventCodes() const {
    std::vector<std::int64_t> codes;
    for (const RecordedErrorEvent& event : errorEvents_) codes.push_back(event.code());
    return codes;
  }

  static std::int64_t intParameter(const TLMEventPtr& event, const std::string& name) {
    const TLMValuePtr value = event != nullptr ? event->parameterValue(name) : nullptr;
    return value != nullptr && value->isInt64() ? value->int64Value() : -1;
  }

  std::shared_ptr<TLMMeasurement> engine_;
  std::vector<RecordedErrorEvent> errorEvents_;
};
