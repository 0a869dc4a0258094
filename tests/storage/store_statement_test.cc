// Preparing, caching, binding and reading statements; record queries.
#include "storage/store_test_support.h"

namespace {

using StoreStatementTest = StoreTest;

TEST_F(StoreStatementTest, CachesParameterisedAndUnconditionalStatementsOnly) {
  TLMSqliteStore& store = openStoreWithTable();
  const std::size_t before = store.TEST_cachedStatementCount();
  Error error;

  const std::string parameterised = "SELECT name FROM t WHERE id=?";
  sqlite3_stmt* first = store.statementForQuery(parameterised, {Object::integer(1)}, &error);
  ASSERT_NE(first, nullptr);
  store.cleanUpStatement(first, parameterised);
  sqlite3_stmt* second = store.statementForQuery(parameterised, {Object::integer(2)}, &error);
  EXPECT_EQ(second, first);  // reset and bound again, not re-prepared
  store.cleanUpStatement(second, parameterised);
  EXPECT_EQ(store.TEST_cachedStatementCount(), before + 1);

  const std::string unconditional = "SELECT count(1) FROM t";
  sqlite3_stmt* count = store.statementForQuery(unconditional, &error);
  ASSERT_NE(count, nullptr);
  store.cleanUpStatement(count, unconditional);
  EXPECT_EQ(store.TEST_cachedStatementCount(), before + 2);

  // Literal conditions, in any case, are never cached.
  for (const std::string sql :
       {"SELECT name FROM t WHERE id = 5", "SELECT name FROM t where id = 6",
        "SELECT name FROM t wHeRe id = 7"}) {
    sqlite3_stmt* literal = store.statementForQuery(sql, &error);
    ASSERT_NE(literal, nullptr) << sql;
    store.cleanUpStatement(literal, sql);
  }
  EXPECT_EQ(store.TEST_cachedStatementCount(), before + 2);
}

TEST_F(StoreStatementTest, PlaceholdersWithoutParametersPrepareNothing) {
  TLMSqliteStore& store = openStoreWithTable();
  const std::size_t before = store.TEST_cachedStatementCount();
  Error error;
  EXPECT_EQ(store.statementForQuery("SELECT name FROM t WHERE id=?", {}, &error), nullptr);
  EXPECT_STORE_ERROR(error, 1, "Received empty parameters");
  EXPECT_EQ(store.TEST_cachedStatementCount(), before);
  // Also once the statement is in the cache: its placeholders would
  // otherwise run as NULL.
  sqlite3_stmt* statement =
      store.statementForQuery("SELECT name FROM t WHERE id=?", {Object::integer(1)}, &error);
  store.cleanUpStatement(statement, "SELECT name FROM t WHERE id=?");
  error = Error();
  EXPECT_EQ(store.statementForQuery("SELECT name FROM t WHERE id=?", {}, &error), nullptr);
  EXPECT_STORE_ERROR(error, 1, "Received empty parameters");
}

TEST_F(StoreStatementTest, MoreThanOneStatementIsRefused) {
  TLMSqliteStore& store = openStoreWithTable();
  const std::size_t before = store.TEST_cachedStatementCount();
  Error error;
  EXPECT_EQ(store.statementForQuery("SELECT 1; DELETE FROM t", &error), nullptr);
  EXPECT_STORE_ERROR(error, 1, "Query contained more than one SQL statement.");
  EXPECT_EQ(store.TEST_cachedStatementCount(), before);
  // A NUL byte does not hide the second statement.
  const std::string withNul("SELECT 1;\0DELETE FROM t", 23);
  error = Error();
  EXPECT_FALSE(store.executeSQL(withNul, &error));
  EXPECT_EQ(error.code, 1);
  // Trailing white space is not a statement.
  sqlite3_stmt* statement = store.prepareSQL("SELECT 1;  \n", &error);
  EXPECT_NE(statement, nullptr);
  sqlite3_finalize(statement);
  EXPECT_EQ(store.prepareSQL("", &error), nullptr);
  EXPECT_STORE_ERROR(error, 1, "Received empty SQL string to prepare");
}

TEST_F(StoreStatementTest, BindsEachKindWithItsStorageClassAndReadsItBackWhole) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  const std::string textWithNul("a\0b", 3);
  const Bytes bytesWithNul = {0x00, 0xFF, 0x00, 0x7F};
  struct Case {
    Object value;
    const char* storageClass;
  };
  const std::vector<Case> cases = {
      {Object::floating(1.5), "real"},
      {Object::floating(2.0), "real"},
      {Object::integer(-7), "integer"},
      {Object::boolean(true), "integer"},
      {Object(textWithNul), "text"},
      {Object(""), "text"},
      {Object::data(bytesWithNul), "blob"},
      {Object::data(Bytes()), "blob"},
      {Object::null(), "null"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    // The value is a temporary copy that is gone before the statement runs.
    ASSERT_TRUE(store.upsertRecord(
        {{"id", Object::integer(static_cast<std::int64_t>(i))}, {"value", Object(cases[i].value)}},
        "t", &error))
        << error.toString();
  }
  RawConnection raw(databasePath());
  const std::vector<std::string> classes = raw.column("SELECT typeof(value) FROM t ORDER BY id");
  ASSERT_EQ(classes.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(classes[i], cases[i].storageClass) << i;
  EXPECT_EQ(raw.scalar("SELECT length(CAST(value AS BLOB)) FROM t WHERE id=4"), "3");

  std::optional<std::vector<TLMSqliteRecord>> rows =
      store.recordsForQuery("SELECT id, value FROM t ORDER BY id", {}, &error);
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Object& value = rows->at(i).at("value");
    EXPECT_EQ(value, cases[i].value) << i;
    EXPECT_EQ(value.kind(), cases[i].value.kind()) << i;
  }
  EXPECT_TRUE(rows->at(0).at("value").isFloatingNumber());
  EXPECT_FALSE(rows->at(3).at("value").isFloatingNumber());
  EXPECT_EQ(rows->at(3).at("value").numberKind(), Object::NumberKind::Integer);
}

TEST_F(StoreStatementTest, ValueOfAnotherKindFailsTheWholeBind) {
  TLMSqliteStore& store = openStoreWithTable();
  sqlite3_stmt* statement = store.prepareSQL("INSERT INTO t (id, name) VALUES (?, ?)", nullptr);
  ASSERT_NE(statement, nullptr);
  Error error;
  EXPECT_FALSE(store.bindValues({Object::integer(1), Object::date(0)}, statement, &error));
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(contextOf(error).rfind("bind values,", 0), 0u);
  sqlite3_finalize(statement);
  EXPECT_FALSE(store.bindValues({Object::integer(1)}, nullptr, &error));
  EXPECT_STORE_ERROR(error, 1, "Failed to bind to NULL statement");
}

TEST_F(StoreStatementTest, RecordsQueryMustBeginWithSelect) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  for (const char* query : {" SELECT * FROM t", "WITH x AS (SELECT 1) SELECT * FROM x",
                            "DELETE FROM t", "/* c */ SELECT 1"}) {
    error = Error();
    EXPECT_FALSE(store.recordsForQuery(query, {}, &error).has_value()) << query;
    EXPECT_STORE_ERROR(error, 1, "Received invalid select query");
  }
  EXPECT_TRUE(store.recordsForQuery("sElEcT * FROM t", {}, &error).has_value());
  EXPECT_FALSE(store.recordsForQuery("SELECT * FROM t", {}, &error, nullptr).has_value());
  EXPECT_STORE_ERROR(error, 1, "Received empty filter for selecting records");
}

TEST_F(StoreStatementTest, FilterStopsTheScanAndAllFilteredIsReported) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  for (int id = 1; id <= 5; ++id) {
    ASSERT_TRUE(
        store.upsertRecord({{"id", Object::integer(id)}, {"name", Object("n")}}, "t", &error));
  }
  std::vector<std::size_t> seen;
  std::optional<std::vector<TLMSqliteRecord>> rows =
      store.recordsForQuery("SELECT id FROM t ORDER BY id", {}, &error,
                            [&](std::size_t index, const TLMSqliteRecord& row) {
                              seen.push_back(index);
                              return row.at("id").int64Value() < 3;
                            });
  ASSERT_TRUE(rows.has_value());
  ASSERT_EQ(rows->size(), 2u);
  EXPECT_EQ(seen, (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_TRUE(printedWithCode(34005).empty());

  rows = store.recordsForQuery("SELECT id FROM t", {}, &error,
                               [](std::size_t, const TLMSqliteRecord&) { return false; });
  ASSERT_TRUE(rows.has_value());
  EXPECT_TRUE(rows->empty());
  const std::vector<std::string> reports = printedWithCode(34005);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Database contains records that were all filtered out"),
            std::string::npos);

  // No rows at all is not "filtered out".
  rows = store.recordsForQuery("SELECT id FROM t WHERE id > ?", {Object::integer(99)}, &error);
  ASSERT_TRUE(rows.has_value());
  EXPECT_TRUE(rows->empty());
  EXPECT_EQ(printedWithCode(34005).size(), 1u);
}

TEST_F(StoreStatementTest, NumberQueryTellsNullFromFailure) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  ASSERT_TRUE(
      store.upsertRecord({{"id", Object::integer(4)}, {"name", Object("four")}}, "t", &error));
  EXPECT_EQ(store.numberForQuery("SELECT max(id) FROM t", {}, &error), Object::integer(4));
  OptionalObject average = store.numberForQuery("SELECT avg(id) / 8.0 FROM t", {}, &error);
  ASSERT_TRUE(average.has_value());
  EXPECT_TRUE(average->isFloatingNumber());
  EXPECT_DOUBLE_EQ(average->doubleValue(), 0.5);

  Error untouched = tlm_errorWithCode(99, "untouched");
  EXPECT_FALSE(store.numberForQuery("SELECT value FROM t", {}, &untouched).has_value());
  EXPECT_EQ(untouched.code, 99);

  EXPECT_FALSE(store.numberForQuery("SELECT name FROM t", {}, &error).has_value());
  EXPECT_STORE_ERROR(error, 1, "Found result that was not numeric");

  EXPECT_FALSE(store.numberForQuery("SELECT id FROM t WHERE id=?", {Object::integer(5)}, &error)
                   .has_value());
  EXPECT_EQ(error.code, 3);
  EXPECT_EQ(contextOf(error).rfind("query numeric result,", 0), 0u);
}

TEST_F(StoreStatementTest, PrefixConditionComparesBytesNotPatterns) {
  TLMSqliteStore& store = openStoreWithTable();
  Error error;
  const std::vector<std::string> names = {"_ltv_total", "altv_total", "_LTV_total", "_ltv_",
                                          "%sale",      "xsale",      "_lt"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_TRUE(store.upsertRecord(
        {{"id", Object::integer(static_cast<std::int64_t>(i))}, {"name", Object(names[i])}}, "t",
        &error));
  }
  auto matching = [&](const std::string& prefix) {
    std::vector<std::string> found;
    std::optional<std::vector<TLMSqliteRecord>> rows =
        store.recordsForQuery("SELECT name FROM t WHERE " +
                                  TLMSqliteStore::prefixConditionForColumn("name") + " ORDER BY id",
                              {Object(prefix)}, &error);
    EXPECT_TRUE(rows.has_value());
    for (const TLMSqliteRecord& row : rows.value_or(std::vector<TLMSqliteRecord>())) {
      found.push_back(*row.at("name").asString());
    }
    return found;
  };
  EXPECT_EQ(matching("_ltv_"), (std::vector<std::string>{"_ltv_total", "_ltv_"}));
  EXPECT_EQ(matching("%"), (std::vector<std::string>{"%sale"}));
}

}  // namespace
