// Record queries, counts, upserts, updates, increases and deletes.
#include <sqlite3.h>

#include <cctype>

#include "engine/TLMMeasurement.h"
#include "storage/TLMSqliteStore.h"
#include "storage/TLMSqliteStoreMessages.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kSelectKeyword[] = "select";
constexpr char kIntegerType[] = "INTEGER";

bool fail(Error* error, long code, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description);
  return false;
}

bool beginsWithSelect(const std::string& query) {
  const std::string keyword = kSelectKeyword;
  if (query.size() < keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(query[i])) != keyword[i]) return false;
  }
  return true;
}

std::string upperCased(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool TLMSqliteStore::stepDone(const std::string& query, const ObjectArray& parameterValues,
                              const std::string& operation, Error* error) {
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return false;
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, operation);
  cleanUpStatement(statement, query);
  return done;
}

std::string TLMSqliteStore::prefixConditionForColumn(const std::string& columnName) {
  return "instr(" + columnName + ", ?) = 1";
}

std::optional<std::int64_t> TLMSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                                                     Error* error) {
  if (tableName.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for row count");
    return std::nullopt;
  }
  if (!openCheck(error, "Row count failed. Database not open.")) return std::nullopt;
  const OptionalObject count = numberForQuery("SELECT count(1) FROM " + tableName, {}, error);
  if (!count) return std::nullopt;
  return count->int64Value();
}

std::optional<std::int64_t> TLMSqliteStore::rowCountForTableWithName(const std::string& tableName,
                                                                     const std::string& columnName,
                                                                     const Object& columnValue,
                                                                     Error* error) {
  if (tableName.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for row count");
    return std::nullopt;
  }
  if (columnName.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty column name for row count");
    return std::nullopt;
  }
  if (!openCheck(error, "Row count failed. Database not open.")) return std::nullopt;
  const OptionalObject count = numberForQuery(
      "SELECT count(1) FROM " + tableName + " WHERE " + columnName + "=?", {columnValue}, error);
  if (!count) return std::nullopt;
  return count->int64Value();
}

bool TLMSqliteStore::upsertRecord(const TLMSqliteRecord& record, const std::string& inTableWithName,
                                  Error* error) {
  if (inTableWithName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table name for upsert record");
  }
  if (record.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty record for upsert record");
  }
  if (!openCheck(error, "Upsert record failed. Database not open.")) return false;
  std::string sql;
  sqlite3_stmt* statement = upsertStatementForRecord(record, inTableWithName, &sql, error);
  if (statement == nullptr) return false;
  return stepCachedStatement(statement, sql, error);
}

bool TLMSqliteStore::updateRecord(const TLMSqliteRecord& record, const std::string& inTableWithName,
                                  const std::string& columnName, const Object& columnValue,
                                  Error* error) {
  if (inTableWithName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table name for update record");
  }
  if (columnName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty column name for update record");
  }
  if (record.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty record for update record");
  }
  if (!openCheck(error, "Update record failed. Database not open.")) return false;
  std::string sql;
  sqlite3_stmt* statement =
      updateStatementForRecord(record, inTableWithName, columnName, columnValue, &sql, error);
  if (statement == nullptr) return false;
  return stepCachedStatement(statement, sql, error);
}

bool TLMSqliteStore::updateAllRecordsInTableWithName(const std::string& tableName,
                                                     const std::string& columnName,
                                                     const Object& columnValue, Error* error) {
  if (tableName.empty() || columnName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table or column name for update all records");
  }
  if (!openCheck(error, "Update all records failed. Database not open.")) return false;
  return stepDone("UPDATE " + tableName + " SET " + columnName + "=?", {columnValue},
                  "update all records value", error);
}

bool TLMSqliteStore::increaseColumn(const std::string& column, std::int64_t byValue,
                                    const std::string& inTable, const std::string& condition,
                                    const ObjectArray& parameterValues, Error* error) {
  if (column.empty() || inTable.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table or column name for increase column");
  }
  if (condition.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty condition for increase column");
  }
  if (!openCheck(error, "Increase column failed. Database not open.")) return false;
  std::optional<std::map<std::string, std::string>> types =
      columnInfoForTableWithName(inTable, error);
  if (!types) return false;
  auto it = types->find(column);
  if (it == types->end()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Invalid column or table name");
  }
  if (upperCased(it->second) != kIntegerType) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Column type is not integer.");
  }
  const std::string sql = "UPDATE " + inTable + " SET " + column + " = " + column + " + " +
                          std::to_string(byValue) + " WHERE " + condition;
  return stepDone(sql, parameterValues, "increase records value", error);
}

bool TLMSqliteStore::deleteRecordFromTableWithName(const std::string& tableName,
                                                   const std::string& columnName,
                                                   const Object& columnValue, Error* error) {
  if (tableName.empty() || columnName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table or column name for delete record");
  }
  if (!openCheck(error, "Delete record failed. Database not open.")) return false;
  return stepDone("DELETE FROM " + tableName + " WHERE " + columnName + "=?", {columnValue},
                  "delete record", error);
}

std::optional<std::int64_t> TLMSqliteStore::deleteRecordsFromTableWithName(
    const std::string& tableName, const std::string& condition, const ObjectArray& parameterValues,
    Error* error) {
  if (tableName.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for delete records");
    return std::nullopt;
  }
  if (condition.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty condition for delete records");
    return std::nullopt;
  }
  if (!openCheck(error, "Delete records failed. Database not open.")) return std::nullopt;
  if (!stepDone("DELETE FROM " + tableName + " WHERE " + condition, parameterValues,
                "delete records with condition", error)) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(sqlite3_changes64(sqliteHandle_));
}

bool TLMSqliteStore::deleteAllRecordsFromTableWithName(const std::string& tableName, Error* error) {
  if (tableName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table name for delete all records");
  }
  if (!openCheck(error, "Delete all records failed. Database not open.")) return false;
  return stepDone("DELETE FROM " + tableName, {}, "delete all records", error);
}

std::optional<std::vector<TLMSqliteRecord>> TLMSqliteStore::recordsForQuery(
    const std::string& query, const ObjectArray& parameterValues, Error* error) {
  return recordsForQuery(query, parameterValues, error,
                         [](std::size_t, const TLMSqliteRecord&) { return true; });
}

std::optional<std::vector<TLMSqliteRecord>> TLMSqliteStore::recordsForQuery(
    const std::string& query, const ObjectArray& parameterValues, Error* error,
    const TLMSqliteRecordFilter& withFilter) {
  if (query.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty query for selecting records");
    return std::nullopt;
  }
  if (!withFilter) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty filter for selecting records");
    return std::nullopt;
  }
  if (!openCheck(error, "Query records failed. Database not open.")) return std::nullopt;
  if (!beginsWithSelect(query)) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received invalid select query");
    return std::nullopt;
  }
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;

  TLMMonitor& monitor = TLMMeasurement::monitor();
  std::vector<TLMSqliteRecord> records;
  std::size_t rowIndex = 0;
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    TLMSqliteRecord row;
    const int columnCount = sqlite3_column_count(statement);
    for (int column = 0; column < columnCount; ++column) {
      const char* name = sqlite3_column_name(statement, column);
      if (name == nullptr) {
        monitor.logWithLevel(kTLMSqliteWarningLevel, kTLMSqliteNoColumnNameCode,
                             kTLMSqliteNoColumnNameMessage);
        continue;
      }
      OptionalObject value = valueAtColumn(column, statement);
      if (!value) {
        monitor.logWithLevel(kTLMSqliteWarningLevel, kTLMSqliteNilColumnValueCode,
                             kTLMSqliteNilColumnValueMessage, Object(name));
        continue;
      }
      row[name] = std::move(*value);
    }
    const bool keep = withFilter(rowIndex++, row);
    if (!keep) {
      result = SQLITE_DONE;
      break;
    }
    records.push_back(std::move(row));
  }
  if (result != SQLITE_DONE) {
    setDatabaseError(error, "query records");
    cleanUpStatement(statement, query);
    return std::nullopt;
  }
  cleanUpStatement(statement, query);
  if (rowIndex > 0 && records.empty()) {
    monitor.logWithLevel(kTLMSqliteWarningLevel, kTLMSqliteAllRecordsFilteredCode,
                         kTLMSqliteAllRecordsFilteredMessage);
  }
  return records;
}

OptionalObject TLMSqliteStore::numberForQuery(const std::string& query,
                                              const ObjectArray& parameterValues, Error* error) {
  if (query.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty query for numeric result");
    return std::nullopt;
  }
  if (!openCheck(error, "Numeric query failed. Database not open.")) return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
  if (statement == nullptr) return std::nullopt;
  OptionalObject number;
  if (sqlite3_step(statement) != SQLITE_ROW) {
    setDatabaseError(error, "query numeric result");
  } else {
    const int type = sqlite3_column_type(statement, 0);
    if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
      number = valueAtColumn(0, statement);
    } else if (type != SQLITE_NULL) {
      fail(error, kTLMSqliteInvalidArgumentCode, "Found result that was not numeric");
    }
  }
  cleanUpStatement(statement, query);
  return number;
}
