// Raw-event storage throughput: TLMDatabase against a bare SQLite loop.
//
// Both sides store the same event bytes, one transaction per event, into a
// `raw_events` table of the same schema, with the journal mode and
// synchronous level the store uses. The bare loop reuses one prepared
// statement and does nothing else, so the ratio shows what the database
// layer (event encoding, statement lookup, binding from records, the
// exclusive transaction) costs on top of SQLite itself. Rounds alternate
// between the two sides so that both see the same disk and noise.
//
// Usage: ferrolux-bench-database [--events N] [--rounds R] [--dir DIR]
// Prints events per second (median of the rounds), their ratio, database
// bytes per stored event and bytes written to disk per event (the
// process's write_bytes in /proc/self/io).

#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "config/TLMPersistedConfig.h"
#include "engine/TLMEvent.h"
#include "engine/TLMValue.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMPBUploadMessages.h"

namespace {

struct RoundResult {
  double eventsPerSecond = 0;
  double databaseBytesPerEvent = 0;
  double writtenBytesPerEvent = 0;
};

struct Options {
  int events = 2000;
  int rounds = 3;
  std::string directory;
};

// The process's bytes sent to the storage layer so far (0 when the kernel
// does not account them).
std::uint64_t processWriteBytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  std::uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "write_bytes:") return value;
  }
  return 0;
}

std::uint64_t fileSize(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : size;
}

void removeDatabase(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(path + suffix);
  }
}

// A typical game event: a name and a handful of parameters.
TLMEventPtr sampleEvent(double timestamp) {
  ObjectDictionary parameters;
  parameters[Object("level")] = Object::integer(12);
  parameters[Object("character")] = Object("wizard");
  parameters[Object("score")] = Object::floating(1520.5);
  parameters[Object("mode")] = Object("campaign");
  parameters[Object("attempts")] = Object::integer(3);
  return TLMEvent::initWithOrigin("app", true, "level_up", timestamp, 0, parameters);
}

TLMPBMeasurementBundle sampleMetadata() {
  TLMPBMeasurementBundle metadata;
  metadata.set_platform("ios");
  metadata.set_app_id("com.ferrolux.bench");
  metadata.set_app_version("1.0");
  metadata.set_os_version("12.0");
  metadata.set_app_instance_id("0123456789abcdef0123456789abcdef");
  return metadata;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Folds the write-ahead log into the database so the file size counts
// every stored byte.
std::uint64_t checkpointedSize(sqlite3* handle, const std::string& path) {
  sqlite3_exec(handle, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  return fileSize(path);
}

bool execute(sqlite3* handle, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(handle, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::fprintf(stderr, "%s: %s\n", sql, message != nullptr ? message : "?");
    sqlite3_free(message);
    return false;
  }
  return true;
}

// The bare loop: one prepared INSERT, one exclusive transaction per event.
bool runBareRound(const Options& options, const std::string& path, const Bytes& data,
                  std::int64_t fingerprint, RoundResult* result) {
  removeDatabase(path);
  sqlite3* handle = nullptr;
  if (sqlite3_open(path.c_str(), &handle) != SQLITE_OK) return false;
  bool ok = execute(handle, "PRAGMA journal_mode=WAL") &&
            execute(handle, "PRAGMA synchronous=FULL") &&
            execute(handle,
                    "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp REAL NOT NULL, "
                    "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL, is_realtime "
                    "INTEGER)");
  sqlite3_stmt* insert = nullptr;
  ok = ok && sqlite3_prepare_v2(handle,
                                "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, "
                                "data, is_realtime) VALUES (?, ?, ?, ?, ?)",
                                -1, &insert, nullptr) == SQLITE_OK;
  const std::uint64_t writtenBefore = processWriteBytes();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; ok && i < options.events; ++i) {
    ok = execute(handle, "BEGIN EXCLUSIVE TRANSACTION");
    sqlite3_bind_text(insert, 1, "level_up", -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(insert, 2, 1767225600.0 + i);
    sqlite3_bind_int64(insert, 3, fingerprint);
    sqlite3_bind_blob(insert, 4, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 5, 0);
    ok = ok && sqlite3_step(insert) == SQLITE_DONE;
    sqlite3_reset(insert);
    ok = ok && execute(handle, "COMMIT");
  }
  const double elapsed = secondsSince(start);
  result->eventsPerSecond = options.events / elapsed;
  result->writtenBytesPerEvent =
      static_cast<double>(processWriteBytes() - writtenBefore) / options.events;
  result->databaseBytesPerEvent =
      static_cast<double>(checkpointedSize(handle, path)) / options.events;
  sqlite3_finalize(insert);
  sqlite3_close(handle);
  return ok;
}

// The same events through TLMDatabase, as the logging pipeline stores
// them.
bool runDatabaseRound(const Options& options, const std::string& path,
                      const std::shared_ptr<TLMPersistedConfig>& persistedConfig,
                      RoundResult* result) {
  removeDatabase(path);
  Error error;
  std::unique_ptr<TLMDatabase> database =
      TLMDatabase::initWithDatabasePath(path, persistedConfig, &error);
  if (database == nullptr) {
    std::fprintf(stderr, "database: %s\n", error.toString().c_str());
    return false;
  }
  const std::optional<std::int64_t> fingerprint =
      database->insertIfNotExistsRawEventMetadata(sampleMetadata(), &error);
  if (!fingerprint) return false;
  // The schema's own pages count against the bare loop's empty file.
  const std::uint64_t emptySize = checkpointedSize(database->sqliteStore()->sqliteHandle(), path);
  std::vector<TLMEventPtr> events;
  events.reserve(options.events);
  for (int i = 0; i < options.events; ++i) events.push_back(sampleEvent(1767225600.0 + i));

  const std::uint64_t writtenBefore = processWriteBytes();
  const auto start = std::chrono::steady_clock::now();
  bool ok = true;
  for (int i = 0; ok && i < options.events; ++i) {
    ok = database->performTransaction([&](Error* transactionError) {
      return database->insertRawEvent(events[i], *fingerprint, false, transactionError);
    }, &error);
  }
  const double elapsed = secondsSince(start);
  if (!ok) std::fprintf(stderr, "insert: %s\n", error.toString().c_str());
  result->eventsPerSecond = options.events / elapsed;
  result->writtenBytesPerEvent =
      static_cast<double>(processWriteBytes() - writtenBefore) / options.events;
  const std::uint64_t size = checkpointedSize(database->sqliteStore()->sqliteHandle(), path);
  result->databaseBytesPerEvent =
      static_cast<double>(size > emptySize ? size - emptySize : 0) / options.events;
  return ok;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

bool parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (flag == "--events") {
      options->events = std::max(1, std::atoi(value.c_str()));
    } else if (flag == "--rounds") {
      options->rounds = std::max(1, std::atoi(value.c_str()));
    } else if (flag == "--dir") {
      options->directory = value;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: %s [--events N] [--rounds R] [--dir DIR]\n", argv[0]);
    return 2;
  }
  std::string root = options.directory;
  if (root.empty()) {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ferrolux-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    root = pattern;
  }
  PlatformPaths paths;
  paths.bundlePath = root + "/Bench.app";
  paths.containerPath = root + "/container";
  paths.keychainPath = root + "/keychain";
  std::filesystem::create_directories(paths.bundlePath);
  std::filesystem::create_directories(paths.containerPath);
  Platform::install(Platform::createProduction(paths));
  auto persistedConfig = TLMPersistedConfig::create("com.ferrolux.bench");

  // The bytes the bare loop stores: the event's message without its name,
  // exactly as the database writes it.
  TLMPBEvent message = sampleEvent(1767225600.0)->protoEvent();
  message.clear_name();
  const Bytes data = message.protoBuffer().value_or(Bytes());
  const std::int64_t fingerprint =
      TLMDatabase::metadataFingerprintForBundle(sampleMetadata(), nullptr).value_or(0);

  std::vector<double> bareRates, databaseRates;
  RoundResult bare, database;
  bool ok = true;
  for (int round = 0; ok && round < options.rounds; ++round) {
    ok = runBareRound(options, root + "/bare.sqlite", data, fingerprint, &bare) &&
         runDatabaseRound(options, root + "/tarvix-ferrolux.sql", persistedConfig, &database);
    bareRates.push_back(bare.eventsPerSecond);
    databaseRates.push_back(database.eventsPerSecond);
  }
  if (!ok) return 1;

  const double bareRate = median(bareRates);
  const double databaseRate = median(databaseRates);
  std::printf("journal mode WAL, synchronous FULL, %d events x %d rounds, %zu-byte event\n",
              options.events, options.rounds, data.size());
  std::printf("%-12s %12s %16s %18s\n", "", "events/s", "db bytes/event", "written bytes/event");
  std::printf("%-12s %12.0f %16.1f %18.1f\n", "bare sqlite", bareRate, bare.databaseBytesPerEvent,
              bare.writtenBytesPerEvent);
  std::printf("%-12s %12.0f %16.1f %18.1f\n", "TLMDatabase", databaseRate,
              database.databaseBytesPerEvent, database.writtenBytesPerEvent);
  std::printf("ratio TLMDatabase / bare: %.2f\n", databaseRate / bareRate);

  Platform::install(nullptr);
  if (options.directory.empty()) std::filesystem::remove_all(root);
  return 0;
}
