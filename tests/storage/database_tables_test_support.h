// The database table tests' fixture: the database fixture with the
// database opened, a raw second connection for looking at stored rows and
// their storage classes, and small builders.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/TLMEvent.h"
#include "storage/TLMDatabase.h"
#include "storage/database_core_support.h"
#include "storage/store_test_support.h"

// The wall-clock time every test starts at.
inline constexpr double kTablesTestNow = 1767225600.0;

class DatabaseTablesTest : public DatabaseTest {
 protected:
  static constexpr double kNow = kTablesTestNow;

  void SetUp() override {
    DatabaseTest::SetUp();
    clock().setNow(kNow);
    open();
  }

  // A fresh connection of its own to the database file.
  static std::unique_ptr<RawConnection> raw() { return std::make_unique<RawConnection>(path()); }

  // A valid non-public event of origin "app".
  static TLMEventPtr makeEvent(const std::string& name, const ObjectDictionary& parameters = {},
                               double timestamp = kNow) {
    TLMEventPtr made = TLMEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
    EXPECT_NE(made, nullptr) << name;
    return made;
  }
};
