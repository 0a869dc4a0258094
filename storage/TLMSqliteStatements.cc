// Preparing, caching, binding, reading and executing statements.
#include <sqlite3.h>

#include <cctype>
#include <climits>
#include <utility>

#include "engine/TLMMeasurement.h"
#include "storage/TLMSqliteStore.h"
#include "storage/TLMSqliteStoreMessages.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

constexpr char kPrepareOperation[] = "prepare statement";
constexpr char kExecuteOperation[] = "execute statement";
constexpr char kBindOperation[] = "bind values";

bool fail(Error* error, long code, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description);
  return false;
}

bool isBlank(const char* begin, const char* end) {
  for (const char* c = begin; c < end; ++c) {
    if (std::isspace(static_cast<unsigned char>(*c)) == 0) return false;
  }
  return true;
}

bool isStorableKind(const Object& value) {
  switch (value.kind()) {
    case Object::Kind::String:
    case Object::Kind::Number:
    case Object::Kind::Data:
    case Object::Kind::Null:
      return true;
    default:
      return false;
  }
}

// Drops the final `separator` from `text`.
std::string withoutFinal(std::string text, const std::string& separator) {
  if (text.size() >= separator.size() &&
      text.compare(text.size() - separator.size(), separator.size(), separator) == 0) {
    text.erase(text.size() - separator.size());
  }
  return text;
}

}  // namespace

sqlite3_stmt* TLMSqliteStore::prepareSQL(const std::string& sql, Error* error) {
  if (sql.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (!openCheck(error, "Prepare SQL failed. Database not open.")) return nullptr;
  if (sql.size() >= static_cast<std::size_t>(INT_MAX)) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received SQL string too long to prepare");
    return nullptr;
  }
  // The explicit length keeps an embedded NUL from cutting the text (and
  // hiding a second statement behind it).
  const int length = static_cast<int>(sql.size());
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int result = SQLITE_ERROR;
  if (useStatementPersistentHint_) {
    result = sqlite3_prepare_v3(sqliteHandle_, sql.data(), length, SQLITE_PREPARE_PERSISTENT,
                                &statement, &tail);
  }
  if (result != SQLITE_OK) {
    sqlite3_finalize(statement);
    statement = nullptr;
    result = sqlite3_prepare_v2(sqliteHandle_, sql.data(), length, &statement, &tail);
    if (result != SQLITE_OK) {
      setDatabaseError(error, kPrepareOperation);
      sqlite3_finalize(statement);
      return nullptr;
    }
  }
  if (statement == nullptr) {
    // Only white space or comments.
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (tail != nullptr && !isBlank(tail, sql.data() + sql.size())) {
    sqlite3_finalize(statement);
    fail(error, kTLMSqliteInvalidArgumentCode, "Query contained more than one SQL statement.");
    return nullptr;
  }
  return statement;
}

sqlite3_stmt* TLMSqliteStore::statementForQuery(const std::string& query, Error* error) {
  return statementForQuery(query, ObjectArray{}, error);
}

sqlite3_stmt* TLMSqliteStore::statementForQuery(const std::string& query,
                                                const ObjectArray& parameterValues, Error* error) {
  if (query.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty SQL string to prepare");
    return nullptr;
  }
  if (!openCheck(error, "Prepare SQL failed. Database not open.")) return nullptr;
  // Checked on every call, not only on a cache miss: a cached statement
  // would otherwise run with its placeholders silently NULL.
  if (TLMSqliteStatementCache::hasParameters(query) && parameterValues.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty parameters");
    return nullptr;
  }
  sqlite3_stmt* statement = statementCache_.find(query);
  if (statement == nullptr) {
    statement = prepareSQL(query, error);
    if (statement == nullptr) return nullptr;
    if (TLMSqliteStatementCache::isCacheable(query)) statementCache_.insert(query, statement);
  }
  if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
    cleanUpStatement(statement, query);
    return nullptr;
  }
  return statement;
}

void TLMSqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& forQuery) {
  if (statement == nullptr) return;
  sqlite3_stmt* cached = statementCache_.find(forQuery);
  if (cached == nullptr) {
    sqlite3_finalize(statement);
    return;
  }
  if (cached != statement) {
    TLMMeasurement::monitor().logWithLevel(kTLMSqliteSilentWarningLevel,
                                           kTLMSqliteStatementMismatchCode,
                                           kTLMSqliteStatementMismatchMessage);
    // Not the cache's: nobody else will finalize it.
    sqlite3_finalize(statement);
    return;
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

void TLMSqliteStore::finalizeAndClearStatements() { statementCache_.finalizeAll(); }

bool TLMSqliteStore::executeSQL(const std::string& sql, Error* error) {
  if (sql.empty()) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received empty SQL string to execute");
  }
  if (!openCheck(error, "Execute SQL failed. Database not open.")) return false;
  sqlite3_stmt* statement = prepareSQL(sql, error);
  if (statement == nullptr) return false;
  return executeSQLStatement(statement, error);
}

bool TLMSqliteStore::stepCachedStatement(sqlite3_stmt* statement, const std::string& sql,
                                         Error* error) {
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, kExecuteOperation);
  cleanUpStatement(statement, sql);
  return done;
}

bool TLMSqliteStore::executeSQLStatement(sqlite3_stmt* statement, Error* error) {
  if (statement == nullptr) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Received NULL statement to execute");
  }
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, kExecuteOperation);
  sqlite3_finalize(statement);
  return done;
}

bool TLMSqliteStore::bindValues(const ObjectArray& values, sqlite3_stmt* toStatement,
                                Error* error) {
  if (toStatement == nullptr) {
    return fail(error, kTLMSqliteInvalidArgumentCode, "Failed to bind to NULL statement");
  }
  sqlite3_clear_bindings(toStatement);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const Object& value = values[i];
    const int index = static_cast<int>(i + 1);
    int result = SQLITE_MISMATCH;
    // Every byte is copied (SQLITE_TRANSIENT): the values may be
    // temporaries that are gone before the statement steps.
    switch (value.kind()) {
      case Object::Kind::Data: {
        const Bytes& bytes = *value.asData();
        // A null pointer would bind NULL: an empty buffer is an empty blob.
        result = bytes.empty() ? sqlite3_bind_zeroblob(toStatement, index, 0)
                               : sqlite3_bind_blob64(toStatement, index, bytes.data(), bytes.size(),
                                                     SQLITE_TRANSIENT);
        break;
      }
      case Object::Kind::Number:
        result = value.isFloatingNumber()
                     ? sqlite3_bind_double(toStatement, index, value.doubleValue())
                     : sqlite3_bind_int64(toStatement, index, value.int64Value());
        break;
      case Object::Kind::String: {
        const std::string& text = *value.asString();
        result = sqlite3_bind_text64(toStatement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
        break;
      }
      case Object::Kind::Null:
        result = sqlite3_bind_null(toStatement, index);
        break;
      default:
        break;
    }
    if (result != SQLITE_OK) {
      setDatabaseError(error, kBindOperation);
      return false;
    }
  }
  return true;
}

OptionalObject TLMSqliteStore::valueAtColumn(int column, sqlite3_stmt* forStatement) const {
  switch (sqlite3_column_type(forStatement, column)) {
    case SQLITE_INTEGER:
      return Object::integer(sqlite3_column_int64(forStatement, column));
    case SQLITE_FLOAT:
      return Object::floating(sqlite3_column_double(forStatement, column));
    case SQLITE_TEXT: {
      // Text first, then its byte count, so the count is of the UTF-8 form.
      const unsigned char* text = sqlite3_column_text(forStatement, column);
      const int length = sqlite3_column_bytes(forStatement, column);
      if (text == nullptr) return Object(std::string());
      return Object(std::string(reinterpret_cast<const char*>(text), length));
    }
    case SQLITE_BLOB: {
      const auto* bytes =
          static_cast<const std::uint8_t*>(sqlite3_column_blob(forStatement, column));
      const int length = sqlite3_column_bytes(forStatement, column);
      if (bytes == nullptr) return Object::data(Bytes());
      return Object::data(Bytes(bytes, bytes + length));
    }
    case SQLITE_NULL:
      return Object::null();
    default:
      return std::nullopt;
  }
}

sqlite3_stmt* TLMSqliteStore::upsertStatementForRecord(const TLMSqliteRecord& record,
                                                       const std::string& inTableWithName,
                                                       std::string* sql, Error* error) {
  std::string columns;
  std::string placeholders;
  ObjectArray values;
  for (const auto& [name, value] : record) {
    if (!isStorableKind(value)) {
      TLMMeasurement::monitor().logWithLevel(kTLMSqliteWarningLevel, kTLMSqliteUpsertValueTypeCode,
                                             kTLMSqliteUpsertValueTypeMessage, Object(name));
      fail(error, kTLMSqliteInvalidArgumentCode,
           "Failed to bind parameter of unexpected type to upsert statement");
      return nullptr;
    }
    columns += name + ", ";
    placeholders += "?, ";
    values.push_back(value);
  }
  *sql = "INSERT OR REPLACE INTO " + inTableWithName + " (" + withoutFinal(columns, ", ") +
         ") VALUES (" + withoutFinal(placeholders, ", ") + ");";
  return statementForQuery(*sql, values, error);
}

sqlite3_stmt* TLMSqliteStore::updateStatementForRecord(const TLMSqliteRecord& record,
                                                       const std::string& inTableWithName,
                                                       const std::string& columnName,
                                                       const Object& columnValue, std::string* sql,
                                                       Error* error) {
  std::string assignments;
  ObjectArray values;
  for (const auto& [name, value] : record) {
    if (!isStorableKind(value)) {
      TLMMeasurement::monitor().logWithLevel(kTLMSqliteWarningLevel, kTLMSqliteUpdateValueTypeCode,
                                             kTLMSqliteUpdateValueTypeMessage, Object(name));
      fail(error, kTLMSqliteInvalidArgumentCode,
           "Failed to bind parameter of unexpected type to update statement");
      return nullptr;
    }
    assignments += name + "=?,";
    values.push_back(value);
  }
  values.push_back(columnValue);
  *sql = "UPDATE " + inTableWithName + " SET " + withoutFinal(assignments, ",") + " WHERE " +
         columnName + "=?";
  return statementForQuery(*sql, values, error);
}
