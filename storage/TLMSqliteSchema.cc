// Table creation, validation and migration from column descriptions.
#include <sqlite3.h>

#include <algorithm>
#include <set>

#include "storage/TLMSqliteStore.h"
#include "storage/TLMSqliteStoreMessages.h"
#include "upload/TLMErrors.h"

namespace {

constexpr char kTableExistsSQL[] = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";

bool fail(Error* error, long code, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description);
  return false;
}

std::string firstWord(const std::string& type) { return type.substr(0, type.find(' ')); }

// A column name as an SQL identifier, for names read from the database
// rather than given by the caller.
std::string quotedIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

// The column list with each pair named in `modify` given its new type;
// constraint pairs pass unchanged.
TLMSqliteColumnInfo withModifiedTypes(const TLMSqliteColumnInfo& columns,
                                      const std::map<std::string, std::string>& modify) {
  TLMSqliteColumnInfo rewritten = columns;
  for (auto& [name, type] : rewritten) {
    if (name == TLMSqliteStore::kPrimaryKeyColumnName) continue;
    auto it = modify.find(name);
    if (it != modify.end()) type = it->second;
  }
  return rewritten;
}

}  // namespace

std::optional<bool> TLMSqliteStore::tableExists(const std::string& tableName, Error* error) {
  if (tableName.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for table exists");
    return std::nullopt;
  }
  if (!openCheck(error, "Table exists failed. Database not open.")) return std::nullopt;
  sqlite3_stmt* statement = statementForQuery(kTableExistsSQL, {Object(tableName)}, error);
  if (statement == nullptr) return std::nullopt;
  const int result = sqlite3_step(statement);
  std::optional<bool> exists;
  if (result == SQLITE_ROW || result == SQLITE_DONE) {
    exists = result == SQLITE_ROW;
  } else {
    setDatabaseError(error, "table exists");
  }
  cleanUpStatement(statement, kTableExistsSQL);
  return exists;
}

std::optional<std::vector<TLMSqliteStore::TableColumn>> TLMSqliteStore::tableInfo(
    const std::string& tableName, Error* error) {
  if (tableName.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for table columns");
    return std::nullopt;
  }
  if (!openCheck(error, "Table columns failed. Database not open.")) return std::nullopt;
  const std::string sql = "PRAGMA table_info(" + tableName + ")";
  sqlite3_stmt* statement = statementForQuery(sql, error);
  if (statement == nullptr) return std::nullopt;
  // Columns of PRAGMA table_info: cid, name, type, notnull, dflt_value, pk.
  std::vector<TableColumn> columns;
  int result;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    TableColumn column;
    const OptionalObject name = valueAtColumn(1, statement);
    const OptionalObject type = valueAtColumn(2, statement);
    column.name = name && name->isString() ? *name->asString() : std::string();
    column.declaredType = type && type->isString() ? *type->asString() : std::string();
    column.notNull = sqlite3_column_int(statement, 3) != 0;
    columns.push_back(std::move(column));
  }
  if (result != SQLITE_DONE) {
    setDatabaseError(error, "table columns");
    cleanUpStatement(statement, sql);
    return std::nullopt;
  }
  cleanUpStatement(statement, sql);
  return columns;
}

std::optional<std::vector<std::string>> TLMSqliteStore::columnsForTableWithName(
    const std::string& tableName, Error* error) {
  std::optional<std::vector<TableColumn>> info = tableInfo(tableName, error);
  if (!info) return std::nullopt;
  std::vector<std::string> names;
  for (const TableColumn& column : *info) names.push_back(column.name);
  return names;
}

std::optional<std::map<std::string, std::string>> TLMSqliteStore::columnInfoForTableWithName(
    const std::string& tableName, Error* error) {
  std::optional<std::vector<TableColumn>> info = tableInfo(tableName, error);
  if (!info) return std::nullopt;
  std::map<std::string, std::string> types;
  for (const TableColumn& column : *info) types[column.name] = column.declaredType;
  return types;
}

bool TLMSqliteStore::dropTableWithName(const std::string& tableName, Error* error) {
  if (tableName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for drop table");
  }
  if (!openCheck(error, "Drop table failed. Database not open.")) return false;
  return executeSQL("DROP TABLE " + tableName, error);
}

bool TLMSqliteStore::renameTable(const std::string& tableName, const std::string& toName,
                                 Error* error) {
  if (tableName.empty() || toName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for rename table");
  }
  if (!openCheck(error, "Rename table failed. Database not open.")) return false;
  return executeSQL("ALTER TABLE " + tableName + " RENAME TO " + toName, error);
}

bool TLMSqliteStore::copyContentsFromTable(const std::string& fromTable, const std::string& toTable,
                                           Error* error) {
  if (fromTable.empty() || toTable.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table name for copy contents");
  }
  if (!openCheck(error, "Copy contents failed. Database not open.")) return false;
  // "SELECT *" would need both tables to have the same columns in the same
  // order; a column the schema does not know (tolerated when nullable)
  // would make the copy fail at every start. Copy by name instead.
  std::optional<std::vector<std::string>> fromColumns = columnsForTableWithName(fromTable, error);
  if (!fromColumns) return false;
  std::optional<std::vector<std::string>> toColumns = columnsForTableWithName(toTable, error);
  if (!toColumns) return false;
  const std::set<std::string> sourceNames(fromColumns->begin(), fromColumns->end());
  std::string list;
  for (const std::string& name : *toColumns) {
    if (sourceNames.count(name) == 0) continue;
    if (!list.empty()) list += ", ";
    list += quotedIdentifier(name);
  }
  if (list.empty()) {
    return fail(error, kTLMSqliteWrongStateCode,
                "Tables have no columns in common for copy contents");
  }
  std::string sql =
      "INSERT INTO " + toTable + " (" + list + ") SELECT " + list + " FROM " + fromTable;
  // Rows keep their order (and so the order of fresh row ids) even when a
  // covering index would make another scan order cheaper. Tables without
  // row ids have no such order to keep.
  sqlite3_stmt* probe = nullptr;
  if (sqlite3_prepare_v2(sqliteHandle_, ("SELECT rowid FROM " + fromTable + " LIMIT 0").c_str(), -1,
                         &probe, nullptr) == SQLITE_OK) {
    sql += " ORDER BY rowid";
  }
  sqlite3_finalize(probe);
  return executeSQL(sql, error);
}

std::optional<bool> TLMSqliteStore::validateTableWithName(
    const std::string& tableName, const std::vector<std::string>& requiredColumnNames,
    const std::map<std::string, std::string>& addOnColumns, Error* error) {
  if (tableName.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for validate table");
    return std::nullopt;
  }
  if (!openCheck(error, "Validate table failed. Database not open.")) return std::nullopt;
  std::optional<std::vector<TableColumn>> columns = tableInfo(tableName, error);
  if (!columns) return std::nullopt;

  std::set<std::string> present;
  for (const TableColumn& column : *columns) present.insert(column.name);
  for (const std::string& name : requiredColumnNames) {
    if (present.count(name) == 0) {
      return fail(error, kTLMSqliteWrongStateCode, "Table is missing required columns");
    }
  }
  for (const auto& [name, addSQL] : addOnColumns) {
    if (present.count(name) == 0 && !executeSQL(addSQL, error)) return false;
  }
  const std::set<std::string> known(requiredColumnNames.begin(), requiredColumnNames.end());
  for (const TableColumn& column : *columns) {
    if (known.count(column.name) != 0 || addOnColumns.count(column.name) != 0) continue;
    if (column.notNull) {
      return fail(error, kTLMSqliteWrongStateCode, "Table contains unknown non-optional columns");
    }
  }
  return true;
}

bool TLMSqliteStore::ensureTableWithNameCreateSQL(
    const std::string& tableName, const std::string& createSQL,
    const std::vector<std::string>& requiredColumnNames,
    const std::map<std::string, std::string>& addOnColumns, Error* error) {
  if (tableName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for ensure table");
  }
  if (createSQL.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty SQL for ensure table");
  }
  if (!openCheck(error, "Ensure table failed. Database not open.")) return false;
  const std::optional<bool> exists = tableExists(tableName, error);
  if (!exists) return false;
  if (!*exists && !executeSQL(createSQL, error)) return false;
  return validateTableWithName(tableName, requiredColumnNames, addOnColumns, error).value_or(false);
}

bool TLMSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const TLMSqliteColumnInfo& elementaryColumnInfo,
                                         const TLMSqliteColumnInfo& addOnColumnInfo, Error* error) {
  if (tableName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty table name for ensure table");
  }
  if (elementaryColumnInfo.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty column info for ensure table");
  }
  if (!openCheck(error, "Ensure table failed. Database not open.")) return false;

  std::string createSQL = "CREATE TABLE IF NOT EXISTS " + tableName + " ( ";
  std::vector<std::string> required;
  for (const auto& [name, type] : elementaryColumnInfo) {
    createSQL += name + " " + type + ", ";
    if (name != kPrimaryKeyColumnName) required.push_back(name);
  }
  createSQL.replace(createSQL.size() - 2, 2, ");");
  std::map<std::string, std::string> addOnColumns;
  for (const auto& [name, type] : addOnColumnInfo) {
    addOnColumns[name] = "ALTER TABLE " + tableName + " ADD COLUMN " + name + " " + type;
  }
  return ensureTableWithNameCreateSQL(tableName, createSQL, required, addOnColumns, error);
}

bool TLMSqliteStore::ensureTableWithName(const std::string& tableName,
                                         const TLMSqliteColumnInfo& elementaryColumnInfo,
                                         const TLMSqliteColumnInfo& addOnColumnInfo,
                                         const std::map<std::string, std::string>& modifyColumnInfo,
                                         Error* error) {
  if (!ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo, error)) return false;
  if (modifyColumnInfo.empty()) return true;
  return ensureSchemaOfTableWithName(tableName,
                                     withModifiedTypes(elementaryColumnInfo, modifyColumnInfo),
                                     withModifiedTypes(addOnColumnInfo, modifyColumnInfo), error);
}

bool TLMSqliteStore::ensureSchemaOfTableWithName(const std::string& tableName,
                                                 const TLMSqliteColumnInfo& elementaryColumnInfo,
                                                 const TLMSqliteColumnInfo& addOnColumnInfo,
                                                 Error* error) {
  if (tableName.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode,
                "Received empty table name for ensure table schema");
  }
  if (!openCheck(error, "Ensure table schema failed. Database not open.")) return false;
  std::optional<std::map<std::string, std::string>> actual =
      columnInfoForTableWithName(tableName, error);
  if (!actual) return false;
  if (actual->empty()) {
    return fail(error, kTLMSqliteWrongStateCode, "Table does not exist for ensure table schema");
  }
  // SQLite keeps the declared type without its constraints: "REAL NOT
  // NULL" reads back as "REAL".
  std::map<std::string, std::string> expected;
  for (const auto& [name, type] : elementaryColumnInfo) {
    if (name != kPrimaryKeyColumnName) expected[name] = firstWord(type);
  }
  for (const auto& [name, type] : addOnColumnInfo) expected[name] = type;
  if (expected == *actual) return true;

  const std::string oldTable = tableName + kOldTableSuffix;
  return performTransactionWithError(error, [&](Error* stepError) {
    return renameTable(tableName, oldTable, stepError) &&
           ensureTableWithName(tableName, elementaryColumnInfo, addOnColumnInfo, stepError) &&
           copyContentsFromTable(oldTable, tableName, stepError) &&
           dropTableWithName(oldTable, stepError);
  });
}
