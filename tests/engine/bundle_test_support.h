// Bundle assembly on a started engine with a real database file on the
// deterministic platform. Raw events are stored directly through the
// database (so that row IDs, times and metadata are the test's choice) or
// through the storing step; bundleRawEvents is called from the test thread,
// which stands in for the worker queue: nothing else runs between
// runUntilIdle calls.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "config/remote_config_test_support.h"
#include "engine/TLMAppMetadata.h"
#include "engine/TLMEvent.h"
#include "engine/TLMEventAggregates.h"
#include "engine/TLMMeasurement.h"
#include "engine/TLMStandIns.h"
#include "engine/TLMUserAttribute.h"
#include "engine/TLMValue.h"
#include "engine/lifecycle_test_support.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"
#include "upload/TLMPBUploadMessages.h"

// An hour that starts on a UTC midnight (2026-01-01).
inline constexpr double kBundleHourStart = 1767225600.0;

class BundleTest : public EngineLifecycleTest {
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

  TLMDatabase& database() { return *engine_->database(); }
  sqlite3* handle() { return database().sqliteStore()->sqliteHandle(); }

  // Flags as a fetched configuration would set them (no per-event
  // settings).
  void setFlags(const std::map<std::string, std::string>& flags) {
    engine_->remoteConfigInstance()->cacheSettingValues(flags);
  }
  // A configuration with per-event settings put in force on the worker
  // queue, as a fetch applies it.
  void configure(const std::vector<std::pair<std::string, std::string>>& settings,
                 std::vector<TLMPBEventConfig> eventConfigs = {},
                 std::optional<std::int64_t> version = std::nullopt) {
    std::vector<std::pair<std::string, std::string>> all = settings;
    all.emplace_back("measurement.upload.interval", "3600000");
    const TLMPBMeasurementConfig config =
        makeConfig(kTestAppID, all, std::move(eventConfigs), version);
    bool applied = false;
    engine_->workerQueue()->async([&] {
      applied = engine_->remoteConfigInstance()->updateMeasurementConfig(&config) != nullptr;
    });
    run();
    ASSERT_TRUE(applied);
    monitor_.clear();
  }

  // The metadata the storing step would make now, stored; its fingerprint.
  std::int64_t storeMetadata(const std::vector<TLMUserAttributePtr>& attributes = {}) {
    const TLMPBMeasurementBundle metadata =
        engine_->createRawEventMetadataWithUserAttributes(attributes);
    Error error;
    const std::optional<std::int64_t> fingerprint =
        database().insertIfNotExistsRawEventMetadata(metadata, &error);
    EXPECT_TRUE(fingerprint.has_value()) << error.toString();
    return fingerprint.value_or(0);
  }
  // A metadata record that differs from the default one by a user
  // property, so that it has its own fingerprint.
  std::int64_t storeOtherMetadata(const std::string& propertyValue = "other") {
    return storeMetadata({property("favorite", TLMValue::fromString(propertyValue))});
  }

  static TLMUserAttributePtr property(const std::string& name, TLMValuePtr value,
                                      double setTime = kBundleHourStart - 500) {
    const std::string origin = !name.empty() && name[0] == '_' ? "auto" : "app";
    TLMUserAttributePtr made =
        TLMUserAttribute::initWithOrigin(origin, name, std::move(value), setTime);
    EXPECT_NE(made, nullptr) << name;
    return made;
  }

  static TLMEventPtr makeEvent(const std::string& name, double timestamp,
                               ObjectDictionary parameters = {}) {
    const bool isInternal = !name.empty() && name[0] == '_';
    TLMEventPtr made = TLMEvent::initWithOrigin(isInternal ? "auto" : "app", !isInternal, name,
                                                timestamp, 0, parameters);
    EXPECT_NE(made, nullptr) << name;
    return made;
  }
  static ObjectDictionary params(std::initializer_list<std::pair<const char*, TLMValuePtr>> list) {
    ObjectDictionary made;
    for (const auto& [key, value] : list) made[Object(key)] = value->asObject();
    return made;
  }
  static TLMValuePtr integer(std::int64_t value) { return TLMValue::initWithInt64(value); }

  // Stores a raw event directly; its row ID.
  std::int64_t storeRaw(const TLMEventPtr& event, std::int64_t fingerprint,
                        bool isRealtime = false) {
    Error error;
    EXPECT_TRUE(database().insertRawEvent(event, fingerprint, isRealtime, &error))
        << error.toString();
    return sqlite3_last_insert_rowid(handle());
  }
  std::int64_t storeRaw(const std::string& name, double timestamp, std::int64_t fingerprint,
                        ObjectDictionary parameters = {}) {
    return storeRaw(makeEvent(name, timestamp, std::move(parameters)), fingerprint);
  }

  // The event's serialized size as bundle selection counts it.
  static std::int64_t serializedSize(const TLMEventPtr& event) {
    const std::optional<Bytes> bytes = event->protoEvent().protoBuffer();
    EXPECT_TRUE(bytes.has_value());
    return bytes ? static_cast<std::int64_t>(bytes->size()) : 0;
  }

  // Every queued bundle, oldest first.
  std::vector<TLMPBMeasurementBundle> queued() {
    Error error;
    std::optional<std::vector<TLMQueuedBundle>> rows = database().queryBundlesWithCountLimit(
        1000, std::numeric_limits<std::int64_t>::max(), &error);
    EXPECT_TRUE(rows.has_value()) << error.toString();
    std::vector<TLMPBMeasurementBundle> bundles;
    if (rows) {
      for (TLMQueuedBundle& row : *rows) bundles.push_back(std::move(row.first));
    }
    return bundles;
  }
  // Bundles until bundleRawEvents answers false (at most `limit` calls).
  int bundleAll(int limit = 100) {
    int count = 0;
    while (count < limit && engine_->bundleRawEvents()) ++count;
    return count;
  }

  static std::vector<std::string> eventNames(const TLMPBMeasurementBundle& bundle) {
    std::vector<std::string> names;
    for (const TLMPBEvent& event : bundle.events()) names.push_back(event.name());
    return names;
  }
  static std::optional<std::int64_t> intParam(const TLMPBEvent& event, const std::string& name) {
    for (const TLMPBEventParam& parameter : event.params()) {
      if (parameter.name() == name && parameter.has_int_value()) return parameter.int_value();
    }
    return std::nullopt;
  }
  static std::optional<TLMPBUserAttribute> userAttribute(const TLMPBMeasurementBundle& bundle,
                                                         const std::string& name) {
    std::optional<TLMPBUserAttribute> found;
    int count = 0;
    for (const TLMPBUserAttribute& attribute : bundle.user_attributes()) {
      if (attribute.name() == name) {
        found = attribute;
        ++count;
      }
    }
    EXPECT_LE(count, 1) << "one entry per name: " << name;
    return found;
  }

  std::int64_t rowCount(const std::string& table) {
    Error error;
    auto count = database().sqliteStore()->rowCountForTableWithName(table, &error);
    EXPECT_TRUE(count.has_value()) << error.toString();
    return count.value_or(-1);
  }
  // Every row of `table` as text, in row order: for comparing whole
  // tables before and after.
  std::string dump(const std::string& table) {
    Error error;
    auto rows = database().sqliteStore()->recordsForQuery(
        "SELECT rowid, * FROM " + table + " ORDER BY rowid", {}, &error);
    EXPECT_TRUE(rows.has_value()) << error.toString();
    std::string text;
    if (!rows) return text;
    for (const TLMSqliteRecord& row : *rows) {
      for (const auto& [column, value] : row) text += column + "=" + value.description() + ";";
      text += "\n";
    }
    return text;
  }
  void exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(handle(), sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message != nullptr ? message : "");
    sqlite3_free(message);
  }

  TLMEventAggregatesPtr aggregates(const std::string& name) {
    Error error;
    return database().eventAggregatesWithName(name, &error);
  }
  void storeAggregates(const std::string& name, std::int32_t lifetime, std::int32_t bundleCount,
                       std::int32_t sessionCount, double lastFire) {
    TLMEventAggregatesPtr made =
        TLMEventAggregates::initWithName(name, lifetime, bundleCount, sessionCount, lastFire);
    ASSERT_NE(made, nullptr);
    Error error;
    ASSERT_TRUE(database().updateEventAggregates(*made, &error)) << error.toString();
  }
  std::optional<std::int64_t> storedIntProperty(const std::string& name) {
    Error error;
    const TLMUserAttributePtr attribute = database().userAttributeWithName(name, &error);
    if (attribute == nullptr || attribute->value() == nullptr || !attribute->value()->isInt64()) {
      return std::nullopt;
    }
    return attribute->value()->int64Value();
  }
  void storeProperty(const TLMUserAttributePtr& attribute) {
    ASSERT_NE(attribute, nullptr);
    Error error;
    ASSERT_TRUE(database().updateUserAttribute(*attribute, &error)) << error.toString();
  }

  double now() const { return platform_.platform().clock().now(); }

  std::shared_ptr<TLMMeasurement> engine_;
};
