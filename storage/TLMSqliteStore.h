// The thin, generic layer between the measurement database and SQLite: one
// database file, one connection, tables created and migrated from column
// descriptions, cached prepared statements, typed binding and reading,
// exclusive transactions (single or batched), and every SQLite failure turned into an Error
// that carries a diagnostic context string.
//
// It knows nothing about events or bundles: table names, column lists and
// SQL fragments come from the caller. Table and column names are pasted
// into SQL text and must be the caller's own identifiers; values are
// always bound.
//
// Threading: not thread-safe. Runs on the measurement worker queue only;
// the connection is opened full-mutex as a safety net. The label of the
// queue that created the store is kept for diagnostics. Needs an installed
// Platform (file attributes, device facts) and reports through
// TLMMeasurement::monitor().
//
// Failures: code 1 for an invalid argument, 2 for a wrong state, 3 for a
// failure SQLite reported (see setDatabaseError). Nothing throws; only a
// transaction block's own exception is passed on, after the rollback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ferrolux/Object.h"
#include "storage/TLMSqliteStatementCache.h"

struct sqlite3;
struct sqlite3_stmt;

// Ordered (column name, column type) pairs. The type is SQL type text such
// as "INTEGER NOT NULL". A pair named "PRIMARY KEY" is a table constraint
// whose type is the parenthesised key list.
using TLMSqliteColumnInfo = std::vector<std::pair<std::string, std::string>>;
// A row to write or a row read back: column name -> string, number, byte
// buffer (data) or the null kind.
using TLMSqliteRecord = std::map<std::string, Object>;
// Called with each result row; returning false stops the scan without
// keeping that row.
using TLMSqliteRecordFilter = std::function<bool(std::size_t rowIndex, const TLMSqliteRecord& row)>;
// The body of a transaction; returns false (filling `error` when it can)
// to roll back.
using TLMSqliteTransactionBlock = std::function<bool(Error* error)>;

class TLMSqliteStore {
 public:
  // READWRITE | CREATE | FULLMUTEX.
  static constexpr int kOpenFlags = 0x10006;
  static constexpr const char* kPrimaryKeyColumnName = "PRIMARY KEY";
  // A rebuilt table keeps its old rows under its name plus this suffix
  // until they are copied over.
  static constexpr const char* kOldTableSuffix = "_old";
  // Side files SQLite keeps beside the database in one journal mode or
  // another; a stale one would be replayed into a new file of that name.
  static constexpr const char* kSideFileSuffixes[] = {"-journal", "-wal", "-shm"};

  // Opens (creating when missing) the database at `databasePath` and checks
  // its integrity. A file that is corrupt or not a database is deleted and
  // created afresh, once; any other failure (busy or locked file, no file
  // handles, full disk, no memory) leaves the file alone. Returns null and
  // fills `error` on failure.
  [[nodiscard]] static std::unique_ptr<TLMSqliteStore> createWithDatabasePath(
      const std::string& databasePath, Error* error);

  // Closes the connection.
  ~TLMSqliteStore();
  TLMSqliteStore(const TLMSqliteStore&) = delete;
  TLMSqliteStore& operator=(const TLMSqliteStore&) = delete;

  // Null when closed.
  sqlite3* sqliteHandle() const { return sqliteHandle_; }
  const std::string& databasePath() const { return databasePath_; }
  const std::string& queueLabel() const { return queueLabel_; }

  // ---- Lifecycle ----

  // Finalizes every cached statement and closes the connection; a failed
  // close is logged (34018). Does nothing when closed.
  void closeDatabase();
  // Closes, then removes the database file and its side files. A missing
  // file counts as removed. Returns false (and logs 34019) when a file
  // stays.
  [[nodiscard]] bool closeAndDeleteDatabase();
  // Opens the file and checks it. Returns false and fills `error` on
  // failure, leaving the store closed; foundCorruptDatabase() tells whether
  // the file was corrupt or not a database.
  [[nodiscard]] bool openAndValidateDatabase(Error* error);
  // Runs "PRAGMA integrity_check": valid only when it answers one row of
  // one column reading "ok".
  [[nodiscard]] bool validateDatabaseWithError(Error* error);
  // Whether the last failed open found a damaged file (as opposed to one
  // it could not reach).
  bool foundCorruptDatabase() const { return foundCorruptDatabase_; }

  // ---- Schema ----

  // Creates the table when missing, validates it, adds missing add-on
  // columns, and, when `modifyColumnInfo` (column name -> new type) is not
  // empty, rebuilds the table when its declared types differ, keeping its
  // rows.
  [[nodiscard]] bool ensureTableWithName(const std::string& tableName,
                                         const TLMSqliteColumnInfo& elementaryColumnInfo,
                                         const TLMSqliteColumnInfo& addOnColumnInfo,
                                         const std::map<std::string, std::string>& modifyColumnInfo,
                                         Error* error);
  [[nodiscard]] bool ensureTableWithName(const std::string& tableName,
                                         const TLMSqliteColumnInfo& elementaryColumnInfo,
                                         const TLMSqliteColumnInfo& addOnColumnInfo, Error* error);
  // `addOnColumns` maps a column name to the statement that adds it.
  [[nodiscard]] bool ensureTableWithNameCreateSQL(
      const std::string& tableName, const std::string& createSQL,
      const std::vector<std::string>& requiredColumnNames,
      const std::map<std::string, std::string>& addOnColumns, Error* error);
  // Rebuilds the table from the column lists when its declared types
  // differ from them. Runs its own transaction: never call it inside one.
  [[nodiscard]] bool ensureSchemaOfTableWithName(const std::string& tableName,
                                                 const TLMSqliteColumnInfo& elementaryColumnInfo,
                                                 const TLMSqliteColumnInfo& addOnColumnInfo,
                                                 Error* error);
  // true when every required column is present (missing add-on columns
  // are added on the way) and every other column is nullable; false with
  // `error` otherwise; nothing on an argument or state error.
  [[nodiscard]] std::optional<bool> validateTableWithName(
      const std::string& tableName, const std::vector<std::string>& requiredColumnNames,
      const std::map<std::string, std::string>& addOnColumns, Error* error);
  // Whether the table exists; nothing (with `error`) when that cannot be
  // told.
  [[nodiscard]] std::optional<bool> tableExists(const std::string& tableName, Error* error);
  [[nodiscard]] bool dropTableWithName(const std::string& tableName, Error* error);
  [[nodiscard]] bool renameTable(const std::string& tableName, const std::string& toName,
                                 Error* error);
  // Copies every row, column by column, for the columns both tables share
  // (matched by name); the other columns of the destination get their
  // defaults. `rowid` is not carried over.
  [[nodiscard]] bool copyContentsFromTable(const std::string& fromTable, const std::string& toTable,
                                           Error* error);
  // Column names in table order; empty for a missing table.
  [[nodiscard]] std::optional<std::vector<std::string>> columnsForTableWithName(
      const std::string& tableName, Error* error);
  // Column name -> declared type (without constraints, as SQLite keeps it).
  [[nodiscard]] std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(
      const std::string& tableName, Error* error);

  // ---- Records ----

  [[nodiscard]] std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName,
                                                                     Error* error);
  // Rows whose `columnName` equals `columnValue`.
  [[nodiscard]] std::optional<std::int64_t> rowCountForTableWithName(const std::string& tableName,
                                                                     const std::string& columnName,
                                                                     const Object& columnValue,
                                                                     Error* error);
  // INSERT OR REPLACE of the record's columns.
  [[nodiscard]] bool upsertRecord(const TLMSqliteRecord& record, const std::string& inTableWithName,
                                  Error* error);
  // Sets the record's columns in the rows whose `columnName` equals
  // `columnValue`.
  [[nodiscard]] bool updateRecord(const TLMSqliteRecord& record, const std::string& inTableWithName,
                                  const std::string& columnName, const Object& columnValue,
                                  Error* error);
  [[nodiscard]] bool updateAllRecordsInTableWithName(const std::string& tableName,
                                                     const std::string& columnName,
                                                     const Object& columnValue, Error* error);
  // Adds `byValue` to an INTEGER column in the rows matching `condition`
  // (SQL with "?" placeholders for `parameterValues`).
  [[nodiscard]] bool increaseColumn(const std::string& column, std::int64_t byValue,
                                    const std::string& inTable, const std::string& condition,
                                    const ObjectArray& parameterValues, Error* error);
  [[nodiscard]] bool deleteRecordFromTableWithName(const std::string& tableName,
                                                   const std::string& columnName,
                                                   const Object& columnValue, Error* error);
  // The number of deleted rows.
  [[nodiscard]] std::optional<std::int64_t> deleteRecordsFromTableWithName(
      const std::string& tableName, const std::string& condition,
      const ObjectArray& parameterValues, Error* error);
  [[nodiscard]] bool deleteAllRecordsFromTableWithName(const std::string& tableName, Error* error);
  // The rows of a SELECT query (the text must begin with "select", in any
  // case). Empty when there are none; nothing on failure.
  [[nodiscard]] std::optional<std::vector<TLMSqliteRecord>> recordsForQuery(
      const std::string& query, const ObjectArray& parameterValues, Error* error);
  [[nodiscard]] std::optional<std::vector<TLMSqliteRecord>> recordsForQuery(
      const std::string& query, const ObjectArray& parameterValues, Error* error,
      const TLMSqliteRecordFilter& withFilter);
  // The first column of the first row as a number. Nothing without an
  // error when it is NULL; nothing with `error` on failure.
  [[nodiscard]] OptionalObject numberForQuery(const std::string& query,
                                              const ObjectArray& parameterValues, Error* error);

  // A condition that holds when `columnName` begins with the one bound
  // text value, compared byte for byte. LIKE would treat "_" and "%" as
  // wildcards and ignore ASCII case.
  static std::string prefixConditionForColumn(const std::string& columnName);

  // ---- Transactions ----

  // Runs `block` inside "BEGIN EXCLUSIVE TRANSACTION". Commits when it
  // returns true; rolls back when it returns false (code 3 "Transaction
  // failed", carrying the block's monitor context) or throws (the
  // exception is passed on after the rollback). Transactions do not nest.
  // An open batch is committed first (a failed commit is logged, 34023,
  // and the transaction still runs). Fails with code 2 inside a batched
  // block.
  [[nodiscard]] bool performTransactionWithError(Error* error,
                                                 const TLMSqliteTransactionBlock& block);
  // Commits an open batch first, as performTransactionWithError does.
  [[nodiscard]] bool beginTransaction(Error* error = nullptr);
  // Commits (an open batch too). When the commit fails and SQLite is still
  // inside the transaction, rolls it back before reporting, so that the
  // next transaction can begin.
  [[nodiscard]] bool endTransaction(Error* error = nullptr);
  // Succeeds without doing anything when no transaction is open (SQLite
  // rolls some failures back by itself). Rolls back an open batch whole.
  [[nodiscard]] bool rollbackTransaction(Error* error = nullptr);

  // ---- Batched transactions ----
  //
  // A batch is one open "BEGIN EXCLUSIVE" transaction holding many small
  // transactions, each a savepoint: released when its block succeeds,
  // rolled back to when it fails, so each one is all-or-nothing while they
  // share one commit (one WAL sync). Nothing in a batch is durable before
  // commitBatch; a crash loses the uncommitted batch, never part of one
  // block's changes. The caller decides when to commit; closing the store
  // (and destroying it) commits too.

  // Runs `block` inside a savepoint of the open batch, opening the batch
  // when none is open. Inside an ordinary transaction, the savepoint
  // belongs to it instead and commits with it. Returns true when the block
  // succeeded and its savepoint was released. On false the block's
  // changes are rolled back, and the batch's earlier blocks are kept
  // unless SQLite itself rolled the whole transaction back (some I/O,
  // disk-full and memory errors do): then no batch is open any more
  // (hasOpenBatch()). An exception from the block rolls back its
  // savepoint and is passed on. Blocks do not nest (code 2).
  [[nodiscard]] bool performBatchedTransactionWithError(Error* error,
                                                        const TLMSqliteTransactionBlock& block);
  // Commits the open batch; true when none is open. On failure the batch
  // is rolled back and `error` filled.
  [[nodiscard]] bool commitBatch(Error* error = nullptr);
  bool hasOpenBatch() const { return batchOpen_; }
  // The blocks that succeeded in the open batch (0 when none is open).
  std::size_t batchedTransactionCount() const { return batchedTransactionCount_; }
  // Called after every successful commit, ordinary or batched, on the
  // committing thread. Empty to clear.
  void setCommitObserver(std::function<void()> observer) { commitObserver_ = std::move(observer); }

  // ---- Statements ----

  // A prepared statement for `query`, from the cache when it is there.
  // Parameterised statements (with "?") and statements without "WHERE"
  // are cached; give every statement back with cleanUpStatement.
  [[nodiscard]] sqlite3_stmt* statementForQuery(const std::string& query, Error* error);
  [[nodiscard]] sqlite3_stmt* statementForQuery(const std::string& query,
                                                const ObjectArray& parameterValues, Error* error);
  // Resets a cached statement, finalizes any other.
  void cleanUpStatement(sqlite3_stmt* statement, const std::string& forQuery);
  // A new statement the caller finalizes; exactly one SQL statement.
  [[nodiscard]] sqlite3_stmt* prepareSQL(const std::string& sql, Error* error);
  // Prepares, steps once and finalizes; only SQLITE_DONE succeeds.
  [[nodiscard]] bool executeSQL(const std::string& sql, Error* error);
  // Steps once and finalizes `statement`; only SQLITE_DONE succeeds.
  [[nodiscard]] bool executeSQLStatement(sqlite3_stmt* statement, Error* error);
  // Binds strings as TEXT, floating numbers as REAL, other numbers
  // (booleans too) as INTEGER, data as BLOB (empty data as an empty blob)
  // and the null kind as NULL, each with its byte count and a copy.
  [[nodiscard]] bool bindValues(const ObjectArray& values, sqlite3_stmt* toStatement, Error* error);
  // The column's value by its storage class; nothing for an unknown class.
  OptionalObject valueAtColumn(int column, sqlite3_stmt* forStatement) const;
  // The record's INSERT OR REPLACE / UPDATE statement, from the statement
  // cache and bound; `sql` receives its text for cleanUpStatement.
  [[nodiscard]] sqlite3_stmt* upsertStatementForRecord(const TLMSqliteRecord& record,
                                                       const std::string& inTableWithName,
                                                       std::string* sql, Error* error);
  [[nodiscard]] sqlite3_stmt* updateStatementForRecord(const TLMSqliteRecord& record,
                                                       const std::string& inTableWithName,
                                                       const std::string& columnName,
                                                       const Object& columnValue, std::string* sql,
                                                       Error* error);
  // Steps a statement from statementForQuery once and hands it back to
  // the cache; only SQLITE_DONE succeeds.
  [[nodiscard]] bool stepCachedStatement(sqlite3_stmt* statement, const std::string& sql,
                                         Error* error);
  void finalizeAndClearStatements();

  // ---- Diagnostics ----

  // SQLite's message for the last failure; logs 34022 when closed.
  std::string lastErrorMessage() const;
  // "Database operation \"<operation>\" failed with sqlite code <code> and
  // error message \"<message>\"".
  std::string errorDescriptionForDatabaseOperation(const std::string& operation) const;
  // "<operation>,<code>,<A|NA>,<free space magnitude>".
  std::string monitorContextForDatabaseOperation(const std::string& operation) const;
  // Stores the code 3 error of the connection's last failure into `error`
  // (when given).
  void setDatabaseError(Error* error, const std::string& operation) const;

  std::size_t TEST_cachedStatementCount() const { return statementCache_.size(); }

 private:
  struct TableColumn {
    std::string name;
    std::string declaredType;
    bool notNull = false;
  };

  explicit TLMSqliteStore(std::string databasePath);

  // "PRAGMA table_info" of the table; empty for a missing table.
  [[nodiscard]] std::optional<std::vector<TableColumn>> tableInfo(const std::string& tableName,
                                                                  Error* error);

  // Sets journal mode and synchronous level; see the .cc for the choice.
  [[nodiscard]] bool configureConnection(Error* error);
  [[nodiscard]] bool prepareFileForOpening(Error* error);
  // Records the database error for `operation` and whether it means the
  // file is damaged.
  void failOpen(Error* error, const std::string& operation);
  // Steps a (cacheable) statement once; only SQLITE_DONE succeeds.
  [[nodiscard]] bool stepDone(const std::string& query, const ObjectArray& parameterValues,
                              const std::string& operation, Error* error);
  [[nodiscard]] bool openCheck(Error* error, const char* notOpenMessage) const;

  // The transaction-control statements, prepared once per connection.
  enum ControlStatement {
    kControlBegin,
    kControlCommit,
    kControlRollback,
    kControlSavepoint,
    kControlRelease,
    kControlRollbackToSavepoint,
    kControlStatementCount
  };
  // Steps the control statement once; fills `error` with the database
  // error of `operation` on failure.
  [[nodiscard]] bool runControlStatement(ControlStatement which, const char* operation,
                                         Error* error);
  void finalizeControlStatements();
  // Undoes the current block's savepoint. When SQLite has already rolled
  // the whole transaction back, or undoing fails, the batch ends.
  void rollbackBatchedBlock(long failureCode, const char* failureMessage);
  // Forgets the open batch.
  void endBatch() {
    batchOpen_ = false;
    batchedTransactionCount_ = 0;
  }
  // Commits an open batch before something that must not join it; a
  // failure is logged (34023).
  void commitBatchBeforeOtherWork();
  void notifyCommit() const {
    if (commitObserver_) commitObserver_();
  }

  sqlite3* sqliteHandle_ = nullptr;
  sqlite3_stmt* controlStatements_[kControlStatementCount] = {};
  bool batchOpen_ = false;
  bool insideBatchedBlock_ = false;
  std::size_t batchedTransactionCount_ = 0;
  std::function<void()> commitObserver_;
  TLMSqliteStatementCache statementCache_;
  const std::string queueLabel_;
  const std::string databasePath_;
  bool useStatementPersistentHint_ = false;
  bool foundCorruptDatabase_ = false;
};
