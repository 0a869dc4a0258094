// The rows of the crash-safety test, shared by the writer (the child that
// is killed) and the test that checks what survived.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "ferrolux/Object.h"
#include "platform/Platform.h"
#include "storage/TLMSqliteStore.h"

// A writer's start: installs a deterministic platform in the folder given
// as the first argument and opens the store at the second. Null, with a
// line on standard error, when either fails.
inline std::unique_ptr<TLMSqliteStore> crashWriterOpenStore(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <platform folder> <database path>\n", argv[0]);
    return nullptr;
  }
  const std::string root = argv[1];
  PlatformPaths paths;
  paths.bundlePath = root + "/Test.app";
  paths.containerPath = root + "/container";
  paths.keychainPath = root + "/keychain";
  Platform::install(Platform::createDeterministic(paths));
  Error error;
  std::unique_ptr<TLMSqliteStore> store = TLMSqliteStore::createWithDatabasePath(argv[2], &error);
  if (store == nullptr)
    std::fprintf(stderr, "%s: open failed: %s\n", argv[0], error.toString().c_str());
  return store;
}

inline constexpr char kCrashTable[] = "crash_rows";

inline TLMSqliteColumnInfo crashTableColumns() {
  return {{"number", "INTEGER NOT NULL PRIMARY KEY"},
          {"name", "TEXT NOT NULL"},
          {"payload", "BLOB NOT NULL"},
          {"checksum", "INTEGER NOT NULL"}};
}

// From a few bytes to several pages, so that rows span overflow pages and
// a torn write would show.
inline Bytes crashPayload(std::int64_t number) {
  const std::size_t size = 16 + static_cast<std::size_t>((number * 7919) % 9000);
  Bytes bytes(size);
  std::uint32_t state = static_cast<std::uint32_t>(number) * 2654435761u + 1;
  for (std::uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

inline std::string crashName(std::int64_t number) { return "event_" + std::to_string(number); }

// FNV-1a over the payload.
inline std::int64_t crashChecksum(const Bytes& payload) {
  std::uint64_t hash = 1469598103934665603ull;
  for (std::uint8_t byte : payload) {
    hash ^= byte;
    hash *= 1099511628211ull;
  }
  return static_cast<std::int64_t>(hash >> 1);
}
