// Typed access to the columns of a database row, and the encodings shared
// by several tables: property values stored as their natural SQLite type
// and events stored as serialized TLMPBEvent blobs.
//
// Plain functions over values; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "engine/TLMEvent.h"
#include "engine/TLMValue.h"
#include "ferrolux/Object.h"
#include "storage/TLMSqliteStore.h"

// The column's text; null when it is missing or holds another kind.
const std::string* tlm_rowString(const TLMSqliteRecord& row, const std::string& column);
// The column's bytes; null when it is missing or holds another kind.
const Bytes* tlm_rowData(const TLMSqliteRecord& row, const std::string& column);
// The column's number (a REAL truncates); nothing when it is missing or
// holds another kind.
std::optional<std::int64_t> tlm_rowInt64(const TLMSqliteRecord& row, const std::string& column);
std::optional<double> tlm_rowDouble(const TLMSqliteRecord& row, const std::string& column);
// Whether the column is missing or NULL.
bool tlm_rowIsNull(const TLMSqliteRecord& row, const std::string& column);

// The single number a count or EXISTS query answers; nothing, with
// `error`, on failure or when the answer is NULL (code 3).
[[nodiscard]] std::optional<std::int64_t> tlm_databaseCountForQuery(
    TLMSqliteStore& store, const std::string& query, const ObjectArray& parameterValues,
    Error* error);

// A user-property value as the column object that stores it: TEXT for a
// string, REAL for a double, INTEGER for a 64-bit integer. Nothing, with
// code 1, for a null or array value or an empty string ("Received empty
// string value for user property").
[[nodiscard]] OptionalObject tlm_columnObjectForPropertyValue(const TLMValuePtr& value,
                                                              Error* error);
// The reverse; null, with code 3, for a column of any other kind.
[[nodiscard]] TLMValuePtr tlm_propertyValueForColumnObject(const Object& object, Error* error);

// The event's serialized TLMPBEvent; nothing, with `error`, when it does
// not encode.
[[nodiscard]] std::optional<Bytes> tlm_blobForEvent(const TLMEvent& event, Error* error);
// The event of a stored blob; null, with code 3, when the bytes do not
// parse or do not make an event.
[[nodiscard]] TLMEventPtr tlm_eventForBlob(const Bytes& blob, Error* error);
