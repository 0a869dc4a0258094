// The SQLite store's error codes, monitor codes and texts, in one place.
// Internal to storage/.
#pragma once

// Error codes (in kTLMErrorDomain).
inline constexpr long kTLMSqliteInvalidArgumentCode = 1;
inline constexpr long kTLMSqliteWrongStateCode = 2;
inline constexpr long kTLMSqliteDatabaseErrorCode = 3;

// Monitor codes and messages.
inline constexpr long kTLMSqliteNoColumnNameCode = 34003;
inline constexpr char kTLMSqliteNoColumnNameMessage[] = "Failed to get column name";
inline constexpr long kTLMSqliteNilColumnValueCode = 34004;
inline constexpr char kTLMSqliteNilColumnValueMessage[] = "Value is nil for column";
inline constexpr long kTLMSqliteAllRecordsFilteredCode = 34005;
inline constexpr char kTLMSqliteAllRecordsFilteredMessage[] =
    "Database contains records that were all filtered out";
inline constexpr long kTLMSqliteRollbackAfterExceptionCode = 34009;
inline constexpr char kTLMSqliteRollbackAfterExceptionMessage[] =
    "Failed to rollback transaction after exception";
inline constexpr long kTLMSqliteRollbackCode = 34011;
inline constexpr char kTLMSqliteRollbackMessage[] = "Failed to rollback transaction";
inline constexpr long kTLMSqliteStatementMismatchCode = 34016;
inline constexpr char kTLMSqliteStatementMismatchMessage[] =
    "Statement is not the same one in the cache";
inline constexpr long kTLMSqliteExcludeFromBackupCode = 34017;
inline constexpr char kTLMSqliteExcludeFromBackupMessage[] =
    "Failed to exclude database file from backup";
inline constexpr long kTLMSqliteCloseCode = 34018;
inline constexpr char kTLMSqliteCloseMessage[] = "Failed to close database. Got error code";
inline constexpr long kTLMSqliteDeleteCode = 34019;
inline constexpr char kTLMSqliteDeleteMessage[] = "Failed to delete database. Error";
inline constexpr long kTLMSqliteUpsertValueTypeCode = 34020;
inline constexpr char kTLMSqliteUpsertValueTypeMessage[] = "Record has value of unexpected type";
inline constexpr long kTLMSqliteUpdateValueTypeCode = 34021;
inline constexpr char kTLMSqliteUpdateValueTypeMessage[] =
    "Record has value of unexpected type (update)";
inline constexpr long kTLMSqliteLastErrorClosedCode = 34022;
inline constexpr char kTLMSqliteLastErrorClosedMessage[] =
    "Failed to get last error message. Database not open";
inline constexpr long kTLMSqliteCommitBatchCode = 34023;
inline constexpr char kTLMSqliteCommitBatchMessage[] =
    "Data loss. Failed to commit batched transactions. Count, error";

// Monitor levels used by the store.
inline constexpr int kTLMSqliteErrorLevel = 1;
inline constexpr int kTLMSqliteWarningLevel = 4;
inline constexpr int kTLMSqliteSilentWarningLevel = 5;
