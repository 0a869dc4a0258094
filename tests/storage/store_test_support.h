// Shared pieces of the SQLite store tests: a fixture on a deterministic
// Platform in a temporary container that records what the monitor prints,
// and a second, raw connection to the same file for looking behind the
// store's back.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/TLMFilePaths.h"
#include "ferrolux/Object.h"
#include "platform/DeterministicExecutor.h"
#include "storage/TLMSqliteStore.h"
#include "support/TestPlatform.h"
#include "upload/TLMErrors.h"
#include "utilities/HRNLogger.h"

// A plain connection of its own to a database file.
class RawConnection {
 public:
  explicit RawConnection(const std::string& path) {
    EXPECT_EQ(
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
        SQLITE_OK);
  }
  ~RawConnection() { sqlite3_close(db_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  sqlite3* handle() const { return db_; }

  // The result code of running `sql` (all of its statements).
  int exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  }

  // The first column of every row, as text ("NULL" for NULL).
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> values;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      values.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
    }
    sqlite3_finalize(statement);
    return values;
  }
  std::string scalar(const std::string& sql) {
    std::vector<std::string> values = column(sql);
    return values.empty() ? "<no row>" : values.front();
  }

 private:
  sqlite3* db_ = nullptr;
};

class StoreTest : public ::testing::Test {
 protected:
  static constexpr const char* kDatabaseName = "store-test.sql";

  void SetUp() override {
    HRNLogger_TEST_setSink([this](const std::string& record) {
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(record);
    });
  }
  void TearDown() override {
    store_.reset();
    platform_.executor().runUntilIdle();
    HRNLogger_TEST_setSink(nullptr);
  }

  // "<Application Support>/Tarvix/Measurement/store-test.sql".
  static std::string databasePath() { return tlm_measurementDataPath(kDatabaseName); }

  // Opens the store on databasePath(); fails the test when it cannot.
  TLMSqliteStore& openStore() {
    Error error;
    store_ = TLMSqliteStore::createWithDatabasePath(databasePath(), &error);
    EXPECT_NE(store_, nullptr) << error.toString();
    return *store_;
  }

  // A store with table "t" (id INTEGER PRIMARY KEY, name TEXT, value BLOB).
  TLMSqliteStore& openStoreWithTable() {
    TLMSqliteStore& store = openStore();
    Error error;
    EXPECT_TRUE(store.ensureTableWithName(
        "t", {{"id", "INTEGER NOT NULL PRIMARY KEY"}, {"name", "TEXT"}, {"value", "BLOB"}}, {},
        &error))
        << error.toString();
    return store;
  }

  // Console records of the monitor holding `code` (as "I-ACS0nnnnn"),
  // after queued printing has run.
  std::vector<std::string> reportsWithCode(long code) {
    platform_.executor().runUntilIdle();
    char tag[32];
    std::snprintf(tag, sizeof(tag), "[I-ACS%06ld]", code);
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const std::string& record : records_) {
      if (record.find(tag) != std::string::npos) found.push_back(record);
    }
    return found;
  }

  static void writeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(contents.data(), 1, contents.size(), file);
    std::fclose(file);
  }

  static std::string contextOf(const Error& error) { return tlm_monitorContextOfError(error); }

  TestPlatform platform_;
  std::unique_ptr<TLMSqliteStore> store_;

 private:
  std::mutex mutex_;
  std::vector<std::string> records_;
};

// Expects an error in the library's domain with `code` and `description`.
#define EXPECT_STORE_ERROR(error, expectedCode, expectedDescription)    \
  do {                                                                  \
    EXPECT_EQ((error).domain, kTLMErrorDomain);                         \
    EXPECT_EQ((error).code, (expectedCode));                            \
    EXPECT_EQ((error).description.value_or(""), (expectedDescription)); \
  } while (false)
