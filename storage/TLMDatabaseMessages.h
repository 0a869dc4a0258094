// The measurement database's error texts, monitor codes and a few helpers
// shared by its files. Internal to storage/.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ferrolux/Object.h"
#include "storage/TLMSqliteStore.h"
#include "upload/TLMErrors.h"

// Error codes (in kTLMErrorDomain), as the store uses them.
inline constexpr long kTLMDatabaseInvalidArgumentCode = 1;
inline constexpr long kTLMDatabaseWrongStateCode = 2;
inline constexpr long kTLMDatabaseFailureCode = 3;

// Monitor levels.
inline constexpr int kTLMDatabaseErrorLevel = 1;
inline constexpr int kTLMDatabaseWarningLevel = 4;
inline constexpr int kTLMDatabaseDebugLevel = 7;

// Monitor codes and messages. "%@" is replaced by the context ("Init" or
// "Reset").
inline constexpr long kTLMDatabaseValidateTablesCode = 12002;
inline constexpr char kTLMDatabaseValidateTablesMessage[] =
    "Failed to create or validate required database tables (%@)";
inline constexpr long kTLMDatabaseDeleteAfterValidationCode = 12003;
inline constexpr char kTLMDatabaseDeleteAfterValidationMessage[] =
    "Failed to delete old database file after failed validation. Error (%@)";
inline constexpr long kTLMDatabaseInitAppMetadataCode = 12004;
inline constexpr char kTLMDatabaseInitAppMetadataMessage[] =
    "Failed to initialize App Metadata table (%@)";
inline constexpr long kTLMDatabaseQueryAppMetadataCode = 12005;
inline constexpr char kTLMDatabaseQueryAppMetadataMessage[] = "Failed to query app metadata";
inline constexpr long kTLMDatabaseUpdateAppMetadataCode = 12006;
inline constexpr char kTLMDatabaseUpdateAppMetadataMessage[] =
    "Unable to update the app metadata. Error";
inline constexpr long kTLMDatabaseBundleOutsideQueueTimeCode = 12016;
inline constexpr char kTLMDatabaseBundleOutsideQueueTimeMessage[] =
    "Storing bundle outside of the max uploading time span";
inline constexpr long kTLMDatabaseSavingBundleCode = 12018;
inline constexpr char kTLMDatabaseSavingBundleMessage[] = "Saving bundle. size (bytes)";
inline constexpr long kTLMDatabaseEnsureTableCode = 12047;
inline constexpr char kTLMDatabaseEnsureTableMessage[] = "Failed to ensure table. Table, error";
inline constexpr long kTLMDatabaseRetryLimitCode = 12054;
inline constexpr char kTLMDatabaseRetryLimitMessage[] =
    "The number of upload retries exceeds the limit. Will remain unchanged.";
inline constexpr long kTLMDatabaseTransactionCode = 12056;
inline constexpr char kTLMDatabaseTransactionMessage[] = "Transaction failed. %@";
// Stored blobs that no longer decode: the row is skipped (lists) or the
// read refused (single values).
inline constexpr long kTLMDatabaseUnreadableRawEventCode = 12060;
inline constexpr char kTLMDatabaseUnreadableRawEventMessage[] =
    "Data loss. Skipping raw event that cannot be read. Row ID, error";
inline constexpr long kTLMDatabaseUnreadableBundleCode = 12061;
inline constexpr char kTLMDatabaseUnreadableBundleMessage[] =
    "Data loss. Skipping queued bundle that cannot be read. Row ID, error";
inline constexpr long kTLMDatabaseUnreadableMetadataCode = 12062;
inline constexpr char kTLMDatabaseUnreadableMetadataMessage[] =
    "Stored event metadata cannot be read. Metadata fingerprint, error";
inline constexpr long kTLMDatabaseUnreadableConfigCode = 12063;
inline constexpr char kTLMDatabaseUnreadableConfigMessage[] =
    "Stored measurement configuration cannot be read. Error";

// Column names shared by several files.
inline constexpr char kTLMColumnRowID[] = "rowid";
inline constexpr char kTLMColumnData[] = "data";
inline constexpr char kTLMColumnIsRealtime[] = "is_realtime";
inline constexpr char kTLMColumnMetadataFingerprint[] = "metadata_fingerprint";

// Stores an error in kTLMErrorDomain (when `error` is given); returns false.
inline bool tlm_databaseFail(Error* error, long code, const std::string& description) {
  if (error != nullptr) *error = tlm_errorWithCode(code, description);
  return false;
}

// `pattern` with its "%@" replaced by `argument`.
std::string tlm_databaseFormat(const char* pattern, const std::string& argument);

// Reports through the process's monitor.
void tlm_databaseReport(int level, long code, const char* message, OptionalObject c1 = {},
                        OptionalObject c2 = {});

// The single 0/1 answer of an EXISTS query; nothing, with `error`, on
// failure.
[[nodiscard]] std::optional<bool> tlm_databaseBooleanForQuery(TLMSqliteStore& store,
                                                              const std::string& query,
                                                              const ObjectArray& parameterValues,
                                                              Error* error);
// The number the query answers. `*isNull` tells a NULL answer (nothing,
// no error) from a failure (nothing, with `error`).
[[nodiscard]] OptionalObject tlm_databaseNumberForQuery(TLMSqliteStore& store,
                                                        const std::string& query,
                                                        const ObjectArray& parameterValues,
                                                        Error* error, bool* failed);
// Seconds of a stored number, or nothing when it is not a finite number.
std::optional<double> tlm_databaseFiniteDouble(const Object* value);
