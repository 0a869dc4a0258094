// Shared pieces of the SQLite store and database tests: a fixture on a
// deterministic Platform in a temporary container that reads what the
// monitor reported, and a second, raw connection to the same file for
// looking behind the store's back.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "config/TLMFilePaths.h"
#include "ferrolux/Object.h"
#include "storage/TLMSqliteStore.h"
#include "support/MonitorReportsTest.h"
#include "support/TempFolder.h"
#include "upload/TLMErrors.h"

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

class StoreTest : public MonitorReportsTest {
 protected:
  static constexpr const char* kDatabaseName = "store-test.sql";

  void TearDown() override {
    store_.reset();
    MonitorReportsTest::TearDown();
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

  static std::string contextOf(const Error& error) { return tlm_monitorContextOfError(error); }

  std::unique_ptr<TLMSqliteStore> store_;
};

// Expects an error in the library's domain with `code` and `description`.
#define EXPECT_STORE_ERROR(error, expectedCode, expectedDescription)    \
  do {                                                                  \
    EXPECT_EQ((error).domain, kTLMErrorDomain);                         \
    EXPECT_EQ((error).code, (expectedCode));                            \
    EXPECT_EQ((error).description.value_or(""), (expectedDescription)); \
  } while (false)
