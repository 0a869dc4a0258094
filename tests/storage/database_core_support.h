// Shared pieces of the measurement database tests: a fixture that opens the
// database on a real file in a deterministic Platform's temporary container
// and builds events, bundles and flags (store_test_support.h has the
// monitor readings and the raw connection).
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "config/TLMFilePaths.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMEvent.h"
#include "ferrolux/Object.h"
#include "platform/Clock.h"
#include "storage/TLMDatabase.h"
#include "storage/store_test_support.h"
#include "upload/TLMErrors.h"
#include "upload/TLMPBUploadMessages.h"

class DatabaseTest : public MonitorReportsTest {
 protected:
  static constexpr const char* kSuiteName = "com.ferrolux.tests.database";
  static constexpr const char* kAppID = "1:1234567890:ios:abcdef";

  void SetUp() override {
    MonitorReportsTest::SetUp();
    persistedConfig_ = TLMPersistedConfig::create(kSuiteName);
    ASSERT_NE(persistedConfig_, nullptr);
    // A sweep at the first insertBundle would otherwise touch the rows a
    // test sets up; tests of the sweep set their own time.
    persistedConfig_->setLastDeleteStaleBundlesTimestamp(now());
    clearPrinted();
  }
  void TearDown() override {
    database_.reset();
    MonitorReportsTest::TearDown();
  }

  static std::string path() { return tlm_measurementDataPath(TLMDatabase::kDatabaseFileName); }

  // Opens the database at path(); fails the test when it cannot.
  TLMDatabase& open() {
    Error error;
    database_ =
        TLMDatabase::initWithDatabaseName(TLMDatabase::kDatabaseFileName, persistedConfig_, &error);
    EXPECT_NE(database_, nullptr) << error.toString();
    if (database_ == nullptr) std::abort();
    return *database_;
  }
  TLMDatabase& db() { return *database_; }

  // Flags for the database, set from the service's setting names.
  void setFlags(const std::map<std::string, std::string>& settings) {
    auto config = std::make_shared<TLMRemoteConfig>(kAppID);
    config->cacheSettingValues(settings);
    database_->setRemoteConfig(config);
  }

  FakeClock& clock() { return *platform_.platform().fakeClock(); }
  double now() { return platform_.platform().clock().now(); }

  // A public "add_to_cart" event logged by the app at `timestamp`.
  static TLMEventPtr event(double timestamp, const ObjectDictionary& parameters = {},
                           const std::string& name = "add_to_cart") {
    TLMEventPtr made = TLMEvent::initWithOrigin("app", true, name, timestamp, 0, parameters);
    EXPECT_NE(made, nullptr) << name;
    return made;
  }

  // A metadata bundle; `tag` makes distinct ones.
  static TLMPBMeasurementBundle metadata(const std::string& tag = "1.0") {
    TLMPBMeasurementBundle bundle;
    bundle.set_protocol_version(1);
    bundle.set_platform("ios");
    bundle.set_app_id("com.ferrolux.tests");
    bundle.set_app_version(tag);
    return bundle;
  }

  // A finished bundle ending at `endSeconds`, padded with `padding`
  // characters so that tests can size it.
  static TLMPBMeasurementBundle bundle(double endSeconds, std::size_t padding = 0) {
    TLMPBMeasurementBundle made = metadata();
    made.set_start_timestamp_millis(static_cast<std::int64_t>(endSeconds * 1000) - 1000);
    made.set_end_timestamp_millis(static_cast<std::int64_t>(endSeconds * 1000));
    if (padding > 0) made.set_app_instance_id(std::string(padding, 'p'));
    return made;
  }
  static std::size_t serializedSize(const TLMPBMeasurementBundle& bundle) {
    return bundle.protoBuffer().value_or(Bytes()).size();
  }

  // Caps the file at its current page count (a full disk), or lifts the cap.
  void capDatabaseSize(bool capped) {
    const std::string pages =
        capped ? RawConnection(path()).scalar("PRAGMA page_count") : std::string("1000000");
    ASSERT_EQ(sqlite3_exec(db().sqliteStore()->sqliteHandle(),
                           ("PRAGMA max_page_count = " + pages).c_str(), nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  // `length` printable characters that do not compress.
  static std::string incompressibleText(std::size_t length) {
    std::string text;
    std::uint32_t seed = 11;
    for (std::size_t i = 0; i < length; ++i) {
      seed = seed * 1103515245u + 12345u;
      text.push_back(static_cast<char>('!' + (seed >> 16) % 90));
    }
    return text;
  }

  std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  std::unique_ptr<TLMDatabase> database_;
};
