// The service's store: one SQLite file, "service.sqlite" in the data
// folder, holding every posted batch as it arrived, each bundle kept once
// (by identity key) with its decoded fields, and the events and user
// properties of the bundles. Survives restarts.
//
// Safe from any thread: one connection, used under a lock. Failures are
// returned with a reason, never thrown.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/service/BatchDecoding.h"

inline constexpr char kServiceStoreFileName[] = "service.sqlite";

struct StoredEvent {
  std::int64_t bundleID = 0;
  std::string name;
  std::optional<std::int64_t> timestampMillis;
  nlohmann::json params;
};

struct StoredUserAttribute {
  std::string name;
  nlohmann::json value;
  std::optional<std::int64_t> setTimestampMillis;
};

struct StoredBundle {
  std::int64_t id = 0;
  std::int64_t batchID = 0;
  std::int64_t receivedAtMillis = 0;
  std::optional<std::string> appID;
  std::optional<std::string> appInstanceID;
  std::optional<std::int64_t> bundleIndex;
  std::optional<std::int64_t> startTimestampMillis;
  std::optional<std::int64_t> endTimestampMillis;
  std::vector<StoredEvent> events;  // in the bundle's order
  std::vector<StoredUserAttribute> userAttributes;
};

struct StoredBatch {
  std::int64_t id = 0;
  std::int64_t receivedAtMillis = 0;
  std::int64_t size = 0;         // bytes of the serialized batch
  std::int64_t bundleCount = 0;  // bundles in the batch as posted
};

struct StoreSummary {
  std::int64_t batches = 0;
  std::int64_t bundles = 0;
  std::int64_t events = 0;
  std::int64_t duplicatesDropped = 0;
};

struct StoreBatchResult {
  std::int64_t batchID = 0;
  std::int64_t storedBundles = 0;
  std::int64_t duplicateBundles = 0;
};

class ServiceStore {
 public:
  // Opens (creating the folder and the file unless `readOnly`) the store
  // in `dataDir`. Nothing, with `problem` filled, when it cannot.
  [[nodiscard]] static std::unique_ptr<ServiceStore> open(const std::string& dataDir, bool readOnly,
                                                          std::string* problem);
  ~ServiceStore();
  ServiceStore(const ServiceStore&) = delete;
  ServiceStore& operator=(const ServiceStore&) = delete;

  // Stores the serialized batch `batchBytes` and its decoded `bundles` in
  // one transaction; a bundle whose identity key is already stored is
  // counted as a dropped duplicate instead. Nothing is stored when it fails.
  [[nodiscard]] std::optional<StoreBatchResult> storeBatch(
      const std::string& batchBytes, const std::vector<DecodedBundle>& bundles,
      std::int64_t receivedAtMillis, std::string* problem);

  [[nodiscard]] std::optional<StoreSummary> summary(std::string* problem);

  // Newest first, `limit` rows after skipping `offset`.
  [[nodiscard]] std::optional<std::vector<StoredBundle>> bundles(std::int64_t offset,
                                                                 std::int64_t limit,
                                                                 std::string* problem);
  [[nodiscard]] std::optional<std::vector<StoredEvent>> events(std::int64_t offset,
                                                               std::int64_t limit,
                                                               std::string* problem);
  [[nodiscard]] std::optional<std::vector<StoredBatch>> batches(std::int64_t offset,
                                                                std::int64_t limit,
                                                                std::string* problem);

  // The serialized batch `id` into `bytes` (left empty when there is no
  // such batch). False with `problem` filled when the store fails.
  [[nodiscard]] bool rawBatch(std::int64_t id, std::optional<std::string>* bytes,
                              std::string* problem);

 private:
  explicit ServiceStore(sqlite3* db) : db_(db) {}
  [[nodiscard]] bool execute(const char* sql, std::string* problem);
  [[nodiscard]] std::optional<std::int64_t> count(const char* sql, std::string* problem);
  [[nodiscard]] bool insertBundleRows(std::int64_t batchID, const DecodedBundle& bundle,
                                      std::int64_t receivedAtMillis, bool* duplicate,
                                      std::string* problem);

  std::mutex mutex_;
  sqlite3* db_;
};
