// Lifecycle, connection settings, diagnostics and transactions of the
// store. Statements, schema and records are in their own files.
#include "storage/TLMSqliteStore.h"

#include <sqlite3.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "config/TLMFilePaths.h"
#include "engine/TLMMeasurement.h"
#include "platform/DispatchQueue.h"
#include "platform/FileAttributes.h"
#include "platform/Platform.h"
#include "storage/TLMSqliteStoreMessages.h"
#include "upload/TLMErrors.h"
#include "upload/TLMMonitor.h"

namespace {

// Journal mode and synchronous level.
//
// A stored event is the only copy of a measurement: once the store has
// acknowledged a commit, the row must survive a crash of the process and a
// loss of power alike. WAL with synchronous=NORMAL survives a process crash
// but syncs the WAL only at checkpoints, so a power loss can take the last
// acknowledged commits with it. The rollback journal with FULL is durable
// against both, but syncs the journal and the database file at every
// commit (about 1,400 commits/s on this machine class). WAL with FULL
// syncs the WAL once per commit: durable against both, about six times the
// commit rate of the rollback journal (about 8,200/s), readers never wait
// for the writer, and far above any rate at which an app logs events. So
// the store uses WAL with synchronous=FULL.
constexpr char kJournalModeSQL[] = "PRAGMA journal_mode=WAL";
constexpr char kSynchronousSQL[] = "PRAGMA synchronous=FULL";

constexpr char kIntegrityCheckSQL[] = "PRAGMA integrity_check";
constexpr char kIntegrityCheckPassed[] = "ok";
// Indexed by TLMSqliteStore::ControlStatement. One savepoint name will
// do: batched blocks do not nest.
constexpr const char* kControlSQL[] = {
    "BEGIN EXCLUSIVE TRANSACTION", "END TRANSACTION",     "ROLLBACK",
    "SAVEPOINT tlm_batched",       "RELEASE tlm_batched", "ROLLBACK TO tlm_batched",
};
// The operation named in error contexts: the same as for any statement the
// store executes.
constexpr char kBeginOperation[] = "execute statement";
constexpr char kCommitOperation[] = "execute statement";
constexpr char kRollbackOperation[] = "execute statement";
constexpr char kSavepointOperation[] = "execute statement";
constexpr char kReleaseOperation[] = "execute statement";

constexpr char kPOSIXErrorDomain[] = "NSPOSIXErrorDomain";
constexpr char kUnknownOperation[] = "Unknown operation";
constexpr char kWritableMark[] = "A";
constexpr char kNotWritableMark[] = "NA";

// prepare_v3 and its persistent hint exist from SQLite 3.20.0 and, on the
// original platform, from OS 12.
constexpr int kPrepareV3LibraryVersion = 3020000;
constexpr int kPrepareV3OSMajorVersion = 12;

void reportToMonitor(int level, long code, const char* message, OptionalObject context) {
  TLMMeasurement::monitor().logWithLevel(level, code, message, std::move(context));
}

bool fail(Error* error, long code, const std::string& description,
          const std::string& monitorContext = std::string()) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description, monitorContext);
  return false;
}

bool pathExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

// floor(log10(free MiB)) of the file system holding `path`; "-1" under one
// MiB; "" when the file system cannot be asked.
std::string freeSpaceMagnitude(const std::string& path) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) {
    const std::string parent = std::filesystem::path(path).parent_path().string();
    if (parent.empty() || ::statvfs(parent.c_str(), &info) != 0) return "";
  }
  unsigned long long freeMiB =
      (static_cast<unsigned long long>(info.f_bavail) * info.f_frsize) >> 20;
  if (freeMiB == 0) return "-1";
  int magnitude = 0;
  for (; freeMiB >= 10; freeMiB /= 10) ++magnitude;
  return std::to_string(magnitude);
}

bool isDamagedDatabaseCode(int code) {
  const int primary = code & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace

TLMSqliteStore::TLMSqliteStore(std::string databasePath)
    : queueLabel_(currentQueueLabel()), databasePath_(std::move(databasePath)) {
  useStatementPersistentHint_ =
      Platform::current().device().osVersionComponents().major >= kPrepareV3OSMajorVersion &&
      sqlite3_libversion_number() >= kPrepareV3LibraryVersion;
}

TLMSqliteStore::~TLMSqliteStore() { closeDatabase(); }

std::unique_ptr<TLMSqliteStore> TLMSqliteStore::createWithDatabasePath(
    const std::string& databasePath, Error* error) {
  if (databasePath.empty()) {
    fail(error, kTLMSqliteInvalidArgumentCode, "Received empty database path on init");
    return nullptr;
  }
  std::unique_ptr<TLMSqliteStore> store(new TLMSqliteStore(databasePath));
  if (store->openAndValidateDatabase(error)) return store;
  // Only a damaged file is replaced. A busy or locked file, a lack of file
  // handles, memory or disk space says nothing about the data in it, and
  // deleting it would destroy events not yet sent.
  if (!store->foundCorruptDatabase()) return nullptr;
  if (!store->closeAndDeleteDatabase()) return nullptr;
  if (!store->openAndValidateDatabase(error)) {
    store->closeDatabase();
    return nullptr;
  }
  return store;
}

bool TLMSqliteStore::prepareFileForOpening(Error* error) {
  FileAttributes& attributes = Platform::current().fileAttributes();
  if (pathExists(databasePath_)) {
    if (attributes.isImmutable(databasePath_) &&
        !attributes.setImmutable(databasePath_, false, error)) {
      return false;
    }
    return true;
  }
  const std::filesystem::path parent = std::filesystem::path(databasePath_).parent_path();
  if (parent.empty()) return true;
  std::error_code code;
  std::filesystem::create_directories(parent, code);
  if (code) {
    if (error != nullptr) {
      error->domain = kPOSIXErrorDomain;
      error->code = code.value();
      error->description = code.message() + ": " + parent.string();
      error->context.reset();
    }
    return false;
  }
  return true;
}

bool TLMSqliteStore::openAndValidateDatabase(Error* error) {
  foundCorruptDatabase_ = false;
  closeDatabase();
  if (!prepareFileForOpening(error)) return false;

  sqlite3* handle = nullptr;
  const int result = sqlite3_open_v2(databasePath_.c_str(), &handle, kOpenFlags, nullptr);
  sqliteHandle_ = handle;
  if (result != SQLITE_OK) {
    failOpen(error, "initialize sqlite handle");
    closeDatabase();
    return false;
  }

  Error backupError;
  if (!tlm_excludeFileFromBackup(databasePath_, &backupError)) {
    reportToMonitor(kTLMSqliteWarningLevel, kTLMSqliteExcludeFromBackupCode,
                    kTLMSqliteExcludeFromBackupMessage, Object::error(backupError));
  }

  if (!validateDatabaseWithError(error) || !configureConnection(error)) {
    closeDatabase();
    return false;
  }
  return true;
}

void TLMSqliteStore::failOpen(Error* error, const std::string& operation) {
  setDatabaseError(error, operation);
  if (isDamagedDatabaseCode(sqlite3_errcode(sqliteHandle_))) foundCorruptDatabase_ = true;
}

bool TLMSqliteStore::validateDatabaseWithError(Error* error) {
  if (!openCheck(error, "Validate database failed. Database not open.")) return false;
  static constexpr char kOperation[] = "validate database";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(sqliteHandle_, kIntegrityCheckSQL, -1, &statement, nullptr) != SQLITE_OK) {
    failOpen(error, kOperation);
    sqlite3_finalize(statement);
    return false;
  }
  const int result = sqlite3_step(statement);
  if (result != SQLITE_ROW) {
    failOpen(error, kOperation);
    sqlite3_finalize(statement);
    return false;
  }
  const OptionalObject answer =
      sqlite3_column_count(statement) == 1 ? valueAtColumn(0, statement) : std::nullopt;
  const bool valid =
      answer.has_value() && answer->isString() && *answer->asString() == kIntegrityCheckPassed;
  if (!valid) {
    // The check ran and found damage.
    setDatabaseError(error, kOperation);
    foundCorruptDatabase_ = true;
  }
  sqlite3_finalize(statement);
  return valid;
}

bool TLMSqliteStore::configureConnection(Error* error) {
  for (const char* sql : {kJournalModeSQL, kSynchronousSQL}) {
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v2(sqliteHandle_, sql, -1, &statement, nullptr);
    while (result == SQLITE_OK || result == SQLITE_ROW) result = sqlite3_step(statement);
    if (result != SQLITE_DONE) {
      failOpen(error, "configure connection");
      sqlite3_finalize(statement);
      return false;
    }
    sqlite3_finalize(statement);
  }
  return true;
}

void TLMSqliteStore::closeDatabase() {
  if (sqliteHandle_ == nullptr) return;
  // What was stored in the batch was acknowledged to its callers.
  commitBatchBeforeOtherWork();
  insideBatchedBlock_ = false;
  finalizeControlStatements();
  statementCache_.finalizeAll();
  const int result = sqlite3_close(sqliteHandle_);
  if (result != SQLITE_OK) {
    reportToMonitor(kTLMSqliteErrorLevel, kTLMSqliteCloseCode, kTLMSqliteCloseMessage,
                    Object::integer(result));
    // Frees the connection once its last statement is gone.
    sqlite3_close_v2(sqliteHandle_);
  }
  sqliteHandle_ = nullptr;
}

bool TLMSqliteStore::closeAndDeleteDatabase() {
  closeDatabase();
  // Side files first: a journal or WAL must never outlive its database,
  // or it would be replayed into the next file of that name.
  std::vector<std::string> paths;
  for (const char* suffix : kSideFileSuffixes) paths.push_back(databasePath_ + suffix);
  paths.push_back(databasePath_);

  FileAttributes& attributes = Platform::current().fileAttributes();
  bool deleted = true;
  for (const std::string& path : paths) {
    if (!pathExists(path)) continue;
    if (attributes.isImmutable(path)) {
      Error ignored;  // the removal below reports what matters
      (void)attributes.setImmutable(path, false, &ignored);
    }
    Error deleteError;
    if (!tlm_deleteFileAtPath(path, &deleteError)) {
      reportToMonitor(kTLMSqliteErrorLevel, kTLMSqliteDeleteCode, kTLMSqliteDeleteMessage,
                      Object::error(deleteError));
      deleted = false;
    }
  }
  return deleted;
}

bool TLMSqliteStore::openCheck(Error* error, const char* notOpenMessage) const {
  if (sqliteHandle_ != nullptr) return true;
  return fail(error, kTLMSqliteWrongStateCode, notOpenMessage);
}

// ---- Diagnostics ----

std::string TLMSqliteStore::lastErrorMessage() const {
  if (sqliteHandle_ == nullptr) {
    reportToMonitor(kTLMSqliteErrorLevel, kTLMSqliteLastErrorClosedCode,
                    kTLMSqliteLastErrorClosedMessage, std::nullopt);
    return "";
  }
  return sqlite3_errmsg(sqliteHandle_);
}

std::string TLMSqliteStore::errorDescriptionForDatabaseOperation(
    const std::string& operation) const {
  return "Database operation \"" + operation + "\" failed with sqlite code " +
         std::to_string(sqlite3_errcode(sqliteHandle_)) + " and error message \"" +
         sqlite3_errmsg(sqliteHandle_) + "\"";
}

std::string TLMSqliteStore::monitorContextForDatabaseOperation(const std::string& operation) const {
  std::string context = operation.empty() ? kUnknownOperation : operation;
  context += "," + std::to_string(sqlite3_errcode(sqliteHandle_));
  context += ",";
  context += ::access(databasePath_.c_str(), W_OK) == 0 ? kWritableMark : kNotWritableMark;
  context += "," + freeSpaceMagnitude(databasePath_);
  return context;
}

void TLMSqliteStore::setDatabaseError(Error* error, const std::string& operation) const {
  if (error == nullptr) return;
  *error = tlm_errorWithCode(kTLMSqliteDatabaseErrorCode,
                             errorDescriptionForDatabaseOperation(operation),
                             monitorContextForDatabaseOperation(operation));
}

// ---- Transactions ----

bool TLMSqliteStore::runControlStatement(ControlStatement which, const char* operation,
                                         Error* error) {
  static_assert(std::size(kControlSQL) == kControlStatementCount);
  if (!openCheck(error, "Database not open")) return false;
  sqlite3_stmt*& statement = controlStatements_[which];
  if (statement == nullptr) {
    const char* sql = kControlSQL[which];
    if (sqlite3_prepare_v2(sqliteHandle_, sql, -1, &statement, nullptr) != SQLITE_OK) {
      setDatabaseError(error, operation);
      sqlite3_finalize(statement);
      statement = nullptr;
      return false;
    }
  }
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  if (!done) setDatabaseError(error, operation);
  sqlite3_reset(statement);
  return done;
}

void TLMSqliteStore::finalizeControlStatements() {
  for (sqlite3_stmt*& statement : controlStatements_) {
    sqlite3_finalize(statement);
    statement = nullptr;
  }
}

bool TLMSqliteStore::beginTransaction(Error* error) {
  if (insideBatchedBlock_) {
    return fail(error, kTLMSqliteWrongStateCode, "Transactions do not nest");
  }
  commitBatchBeforeOtherWork();
  Error executeError;
  if (runControlStatement(kControlBegin, kBeginOperation, &executeError)) return true;
  return fail(error, kTLMSqliteDatabaseErrorCode, "Failed to begin transaction",
              tlm_monitorContextOfError(executeError));
}

bool TLMSqliteStore::endTransaction(Error* error) {
  // Whatever the outcome, the open batch (if any) ends here.
  endBatch();
  Error executeError;
  if (runControlStatement(kControlCommit, kCommitOperation, &executeError)) {
    notifyCommit();
    return true;
  }
  // SQLite rolls back by itself after most failed commits, but keeps the
  // transaction open after some (a busy database, a deferred constraint):
  // left open, it would make every later BEGIN fail.
  if (sqliteHandle_ != nullptr && sqlite3_get_autocommit(sqliteHandle_) == 0) {
    Error rollbackError;
    if (!rollbackTransaction(&rollbackError)) {
      reportToMonitor(kTLMSqliteErrorLevel, kTLMSqliteRollbackCode, kTLMSqliteRollbackMessage,
                      Object::error(rollbackError));
    }
  }
  return fail(error, kTLMSqliteDatabaseErrorCode, "Failed to end transaction",
              tlm_monitorContextOfError(executeError));
}

bool TLMSqliteStore::rollbackTransaction(Error* error) {
  if (!openCheck(error, "Database not open")) return false;
  endBatch();
  if (sqlite3_get_autocommit(sqliteHandle_) != 0) return true;
  return runControlStatement(kControlRollback, kRollbackOperation, error);
}

bool TLMSqliteStore::performTransactionWithError(Error* error,
                                                 const TLMSqliteTransactionBlock& block) {
  if (!block) return fail(error, kTLMSqliteInvalidArgumentCode, "Received nil transaction block");
  if (!openCheck(error, "Database not open")) return false;
  if (!beginTransaction(error)) return false;

  Error blockError;
  bool succeeded = false;
  try {
    succeeded = block(&blockError);
  } catch (...) {
    Error rollbackError;
    if (!rollbackTransaction(&rollbackError)) {
      reportToMonitor(kTLMSqliteErrorLevel, kTLMSqliteRollbackAfterExceptionCode,
                      kTLMSqliteRollbackAfterExceptionMessage, Object::error(rollbackError));
    }
    throw;
  }
  if (!succeeded) {
    fail(error, kTLMSqliteDatabaseErrorCode, "Transaction failed",
         tlm_monitorContextOfError(blockError));
    Error rollbackError;
    if (!rollbackTransaction(&rollbackError)) {
      reportToMonitor(kTLMSqliteErrorLevel, kTLMSqliteRollbackCode, kTLMSqliteRollbackMessage,
                      Object::error(rollbackError));
    }
    return false;
  }
  return endTransaction(error);
}

// ---- Batched transactions ----

void TLMSqliteStore::commitBatchBeforeOtherWork() {
  if (!batchOpen_) return;
  const std::size_t count = batchedTransactionCount_;
  Error commitError;
  if (!commitBatch(&commitError)) {
    TLMMeasurement::monitor().logWithLevel(
        kTLMSqliteErrorLevel, kTLMSqliteCommitBatchCode, kTLMSqliteCommitBatchMessage,
        Object::integer(static_cast<std::int64_t>(count)), Object::error(commitError));
  }
}

bool TLMSqliteStore::commitBatch(Error* error) {
  if (!batchOpen_) return true;
  if (insideBatchedBlock_) {
    return fail(error, kTLMSqliteWrongStateCode, "Cannot commit inside a batched transaction");
  }
  if (sqliteHandle_ == nullptr || sqlite3_get_autocommit(sqliteHandle_) != 0) {
    // SQLite rolled the batch back on an earlier failure.
    endBatch();
    return fail(error, kTLMSqliteDatabaseErrorCode, "Batched transactions were rolled back");
  }
  return endTransaction(error);
}

void TLMSqliteStore::rollbackBatchedBlock(long failureCode, const char* failureMessage) {
  if (sqlite3_get_autocommit(sqliteHandle_) != 0) {
    // SQLite ended the transaction itself: the batch is gone as a whole.
    endBatch();
    return;
  }
  Error rollbackError;
  if (runControlStatement(kControlRollbackToSavepoint, kRollbackOperation, &rollbackError) &&
      runControlStatement(kControlRelease, kRollbackOperation, &rollbackError)) {
    return;
  }
  reportToMonitor(kTLMSqliteErrorLevel, failureCode, failureMessage, Object::error(rollbackError));
  // A savepoint that cannot be undone must not be committed with the
  // batch: give up the whole transaction rather than keep half a block.
  Error ignored;  // reported above; nothing else can be done
  (void)rollbackTransaction(&ignored);
}

bool TLMSqliteStore::performBatchedTransactionWithError(Error* error,
                                                        const TLMSqliteTransactionBlock& block) {
  if (!block) return fail(error, kTLMSqliteInvalidArgumentCode, "Received nil transaction block");
  if (!openCheck(error, "Database not open")) return false;
  if (insideBatchedBlock_) {
    return fail(error, kTLMSqliteWrongStateCode, "Transactions do not nest");
  }
  if (batchOpen_ && sqlite3_get_autocommit(sqliteHandle_) != 0) endBatch();
  if (!batchOpen_ && sqlite3_get_autocommit(sqliteHandle_) != 0) {
    Error beginError;
    if (!runControlStatement(kControlBegin, kBeginOperation, &beginError)) {
      return fail(error, kTLMSqliteDatabaseErrorCode, "Failed to begin transaction",
                  tlm_monitorContextOfError(beginError));
    }
    batchOpen_ = true;
    batchedTransactionCount_ = 0;
  }
  Error savepointError;
  if (!runControlStatement(kControlSavepoint, kSavepointOperation, &savepointError)) {
    if (sqlite3_get_autocommit(sqliteHandle_) != 0) endBatch();
    return fail(error, kTLMSqliteDatabaseErrorCode, "Failed to begin transaction",
                tlm_monitorContextOfError(savepointError));
  }

  Error blockError;
  bool succeeded = false;
  insideBatchedBlock_ = true;
  try {
    succeeded = block(&blockError);
  } catch (...) {
    insideBatchedBlock_ = false;
    rollbackBatchedBlock(kTLMSqliteRollbackAfterExceptionCode,
                         kTLMSqliteRollbackAfterExceptionMessage);
    throw;
  }
  insideBatchedBlock_ = false;
  if (!succeeded) {
    fail(error, kTLMSqliteDatabaseErrorCode, "Transaction failed",
         tlm_monitorContextOfError(blockError));
    rollbackBatchedBlock(kTLMSqliteRollbackCode, kTLMSqliteRollbackMessage);
    return false;
  }
  Error releaseError;
  if (!runControlStatement(kControlRelease, kReleaseOperation, &releaseError)) {
    fail(error, kTLMSqliteDatabaseErrorCode, "Failed to end transaction",
         tlm_monitorContextOfError(releaseError));
    rollbackBatchedBlock(kTLMSqliteRollbackCode, kTLMSqliteRollbackMessage);
    return false;
  }
  if (batchOpen_) ++batchedTransactionCount_;
  return true;
}
