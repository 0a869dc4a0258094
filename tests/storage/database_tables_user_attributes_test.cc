// User properties in the "user_attributes" table.
#include <algorithm>

#include "storage/database_tables_test_support.h"

namespace {

using DatabaseUserAttributesTest = DatabaseTablesTest;

TLMUserAttributePtr attribute(const std::string& name, TLMValuePtr value, double setTime = 10,
                              const std::string& origin = "app") {
  TLMUserAttributePtr result = TLMUserAttribute::initWithOrigin(origin, name, value, setTime);
  EXPECT_NE(result, nullptr) << name;
  return result;
}

TLMUserAttributePtr attribute(const std::string& name, double setTime = 10,
                              const std::string& origin = "app") {
  return attribute(name, TLMValue::fromString("v"), setTime, origin);
}

std::vector<std::string> names(const std::vector<TLMUserAttributePtr>& attributes) {
  std::vector<std::string> result;
  for (const TLMUserAttributePtr& item : attributes) result.push_back(item->name());
  return result;
}

TEST_F(DatabaseUserAttributesTest, TheThousandAndFirstDistinctPropertyIsRefused) {
  ASSERT_TRUE(db().performTransaction([&] {
    for (int i = 0; i < TLMDatabase::kMaxUserAttributesRows; ++i) {
      Error error;
      if (!db().updateUserAttribute(*attribute("p" + std::to_string(i)), &error)) return false;
    }
    return true;
  }));
  Error error;
  EXPECT_FALSE(db().updateUserAttribute(*attribute("p_new"), &error));
  EXPECT_STORE_ERROR(error, 2, "Failed to insert data type. Table is full");
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM user_attributes"), "1000");

  ASSERT_TRUE(db().updateUserAttribute(*attribute("p7", TLMValue::initWithInt64(5), 20), &error))
      << error.toString();
  TLMUserAttributePtr updated = db().userAttributeWithName("p7", &error);
  ASSERT_NE(updated, nullptr);
  EXPECT_EQ(updated->value()->int64Value(), 5);
  EXPECT_EQ(updated->lastSetTimestamp(), 20);
}

TEST_F(DatabaseUserAttributesTest, ValuesKeepTheirTypeAndNaturalStorageClass) {
  const std::int64_t big = (std::int64_t{1} << 53) + 1;  // not exact as a double
  const struct {
    const char* name;
    TLMValuePtr value;
    const char* storageClass;
  } cases[] = {{"s", TLMValue::fromString("gold"), "text"},
               {"d", TLMValue::initWithDouble(2.5), "real"},
               {"i", TLMValue::initWithInt64(big), "integer"},
               {"w", TLMValue::initWithDouble(3.0), "real"}};
  std::unique_ptr<RawConnection> connection = raw();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Error error;
    ASSERT_TRUE(db().updateUserAttribute(*attribute(c.name, c.value), &error));
    EXPECT_EQ(connection->scalar(std::string("SELECT typeof(value) FROM user_attributes WHERE "
                                             "name='") +
                                 c.name + "'"),
              c.storageClass);
    TLMUserAttributePtr read = db().userAttributeWithName(c.name, &error);
    ASSERT_NE(read, nullptr) << error.toString();
    EXPECT_EQ(read->origin(), "app");
    // Values compare by kind as well as content.
    EXPECT_TRUE(read->value()->isEqualTo(*c.value)) << read->value()->description();
  }
}

TEST_F(DatabaseUserAttributesTest, RefusesValuesItCannotStoreAndEmptyNamesOrOrigins) {
  Error error;
  TLMValuePtr array = TLMValue::fromArray({Object::dictionary({})});
  EXPECT_FALSE(db().updateUserAttribute(*attribute("a", array), &error));
  EXPECT_EQ(error.code, 1);
  EXPECT_FALSE(db().updateUserAttribute(*attribute("o", 10, ""), &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(raw()->scalar("SELECT count(1) FROM user_attributes"), "0");
}

TEST_F(DatabaseUserAttributesTest, CountsByVisibilityAndOrigin) {
  Error error;
  for (const char* name : {"_id", "_fot", "level", "a_b"}) {
    ASSERT_TRUE(db().updateUserAttribute(*attribute(name), &error)) << name;
  }
  ASSERT_TRUE(db().updateUserAttribute(*attribute("sdk_prop", 10, "other_sdk"), &error));
  EXPECT_EQ(db().publicUserAttributeCount(&error), std::optional<std::int64_t>(3));
  EXPECT_EQ(db().userAttributeCountForOrigin("app", &error), std::optional<std::int64_t>(4));
  EXPECT_EQ(db().userAttributeCountForOrigin("other_sdk", &error), std::optional<std::int64_t>(1));
  EXPECT_FALSE(db().userAttributeCountForOrigin("", &error).has_value());
  EXPECT_EQ(error.code, 1);
}

TEST_F(DatabaseUserAttributesTest, InternalAndReservedPrefixNamesAreHiddenUnlessAsked) {
  Error error;
  for (const char* name : {"_id", "quillfen_x", "tarvix_y", "tx_z", "level", "txt", "score"}) {
    ASSERT_TRUE(db().updateUserAttribute(*attribute(name), &error)) << name;
  }
  std::optional<std::vector<TLMUserAttributePtr>> visible =
      db().userAttributesIncludingInternal(false, &error);
  ASSERT_TRUE(visible.has_value());
  EXPECT_EQ(names(*visible), (std::vector<std::string>{"level", "txt", "score"}));
  std::optional<std::vector<TLMUserAttributePtr>> all =
      db().userAttributesIncludingInternal(true, &error);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->size(), 7u);
}

TEST_F(DatabaseUserAttributesTest, LifetimeValuesMatchTheExactPrefixNewestFirst) {
  Error error;
  ASSERT_TRUE(db().updateUserAttribute(*attribute("_ltv_USD", 100), &error));
  ASSERT_TRUE(db().updateUserAttribute(*attribute("_ltv_EUR", 300), &error));
  ASSERT_TRUE(db().updateUserAttribute(*attribute("_ltv_JPY", 200), &error));
  // Each of these matches LIKE '_ltv_%' (wildcard "_", ASCII case folding).
  for (const char* lookalike : {"altv_total", "_LTV_x", "_ltvx", "_ltv"}) {
    ASSERT_TRUE(db().updateUserAttribute(*attribute(lookalike, 400), &error)) << lookalike;
  }
  std::optional<std::vector<TLMUserAttributePtr>> values =
      db().allLifetimeValueUserAttributes(&error);
  ASSERT_TRUE(values.has_value()) << error.toString();
  EXPECT_EQ(names(*values), (std::vector<std::string>{"_ltv_EUR", "_ltv_JPY", "_ltv_USD"}));
}

TEST_F(DatabaseUserAttributesTest, ContainsReadAndDelete) {
  Error error = tlm_errorWithCode(99, "untouched");
  EXPECT_EQ(db().containsUserAttributeWithName("level", &error), std::optional<bool>(false));
  EXPECT_EQ(db().userAttributeWithName("level", &error), nullptr);
  EXPECT_EQ(error.code, 99);
  ASSERT_TRUE(db().updateUserAttribute(*attribute("level"), &error));
  EXPECT_EQ(db().containsUserAttributeWithName("level", &error), std::optional<bool>(true));
  ASSERT_TRUE(db().deleteUserAttributeWithName("level", &error));
  EXPECT_EQ(db().containsUserAttributeWithName("level", &error), std::optional<bool>(false));
}

TEST_F(DatabaseUserAttributesTest, RowsWithoutOriginReadWithAnEmptyOriginAndBadValuesFail) {
  std::unique_ptr<RawConnection> connection = raw();
  ASSERT_EQ(connection->exec("INSERT INTO user_attributes (name, set_timestamp, value) "
                             "VALUES ('old', 5.0, 'v')"),
            SQLITE_OK);
  Error error;
  TLMUserAttributePtr old = db().userAttributeWithName("old", &error);
  ASSERT_NE(old, nullptr) << error.toString();
  EXPECT_EQ(old->origin(), "");

  ASSERT_EQ(connection->exec("INSERT INTO user_attributes (name, set_timestamp, value, origin) "
                             "VALUES ('blob', 5.0, x'0102', 'app')"),
            SQLITE_OK);
  EXPECT_FALSE(db().userAttributesIncludingInternal(true, &error).has_value());
  EXPECT_EQ(error.code, 3);
}

}  // namespace
