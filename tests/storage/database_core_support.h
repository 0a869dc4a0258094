// Shared pieces of the measurement database tests: a fixture that opens the
// database on a real file in a deterministic Platform's temporary container,
// records what the monitor prints and samples, builds events, bundles and
// flags, and looks at the file through a second, raw connection.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/TLMFilePaths.h"
#include "config/TLMPersistedConfig.h"
#include "config/TLMRemoteConfig.h"
#include "engine/TLMEvent.h"
#include "engine/TLMMeasurement.h"
#include "ferrolux/Object.h"
#include "platform/Clock.h"
#include "storage/TLMDatabase.h"
#include "storage/store_test_support.h"
#include "support/TestPlatform.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"
#include "upload/TLMPBUploadMessages.h"
#include "utilities/HRNLogger.h"

class DatabaseTest : public ::testing::Test {
 protected:
  static constexpr const char* kSuiteName = "com.ferrolux.tests.database";
  static constexpr const char* kAppID = "1:1234567890:ios:abcdef";

  void SetUp() override {
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
    auto lines = lines_;
    HRNLogger_TEST_setSink([lines](const std::string& line) {
      std::lock_guard<std::mutex> lock(lines->mutex);
      lines->text.push_back(line);
    });
    TLMMeasurement::monitor();
    persistedConfig_ = TLMPersistedConfig::create(kSuiteName);
    ASSERT_NE(persistedConfig_, nullptr);
    // A sweep at the first insertBundle would otherwise touch the rows a
    // test sets up; tests of the sweep set their own time.
    persistedConfig_->setLastDeleteStaleBundlesTimestamp(now());
    platform_.executor().runUntilIdle();
    clearPrinted();
  }

  void TearDown() override {
    database_.reset();
    platform_.executor().runUntilIdle();
    HRNLogger_TEST_setSink(nullptr);
    HRNSetLoggerLevel(kHRNLoggerDefaultLevel);
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

  static void writeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << contents;
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

  // Every printed record so far.
  std::vector<std::string> printed() {
    platform_.executor().runUntilIdle();
    std::lock_guard<std::mutex> lock(lines_->mutex);
    return lines_->text;
  }
  void clearPrinted() {
    platform_.executor().runUntilIdle();
    std::lock_guard<std::mutex> lock(lines_->mutex);
    lines_->text.clear();
  }
  // The texts after the message code of the printed records with `code`.
  std::vector<std::string> printedWithCode(long code) {
    const std::string tag = "[" + HRNMessageCode(code) + "] ";
    std::vector<std::string> found;
    for (const std::string& line : printed()) {
      const std::size_t at = line.find(tag);
      if (at != std::string::npos) found.push_back(line.substr(at + tag.size()));
    }
    return found;
  }
  // The sampled report's key ("1<letter>_<version>:<message>"); exact while
  // a test makes at most one sampled report.
  std::string sampledKey() {
    platform_.executor().runUntilIdle();
    OptionalObject entry = TLMMeasurement::monitor().TEST_sampledEntry();
    if (!entry || entry->asArray() == nullptr || entry->asArray()->size() < 3) return "";
    return (*entry->asArray())[2].stringValue();
  }

  TestPlatform platform_;
  std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  std::unique_ptr<TLMDatabase> database_;

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<std::string> text;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
};

// Expects an error in the library's domain with `code` and `description`.
#define EXPECT_DATABASE_ERROR(error, expectedCode, expectedDescription) \
  do {                                                                  \
    EXPECT_EQ((error).domain, kTLMErrorDomain);                         \
    EXPECT_EQ((error).code, (expectedCode));                            \
    EXPECT_EQ((error).description.value_or(""), (expectedDescription)); \
  } while (false)
