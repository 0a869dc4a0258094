// The events of the commit-run crash test, shared by the writer (the child
// that is killed) and the test that checks what survived. Payloads and
// checksums come from crash_rows.h.
#pragma once

#include <cstdint>

#include "storage/TLMSqliteStore.h"

inline constexpr char kCrashEventsTable[] = "crash_events";
inline constexpr char kCrashCountTable[] = "crash_event_count";

inline TLMSqliteColumnInfo crashEventsColumns() {
  return {{"number", "INTEGER NOT NULL PRIMARY KEY"},
          {"payload", "BLOB NOT NULL"},
          {"checksum", "INTEGER NOT NULL"}};
}

inline TLMSqliteColumnInfo crashCountColumns() {
  return {{"id", "INTEGER NOT NULL PRIMARY KEY"}, {"n", "INTEGER NOT NULL"}};
}

// Events per commit after event `last`: 1 to 40.
inline int crashRunLength(std::int64_t last) { return 1 + static_cast<int>((last * 31) % 40); }

// Whether event `number` fails after writing both of its rows.
inline bool crashEventFails(std::int64_t number) { return number % 7 == 0; }
