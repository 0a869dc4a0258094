#include "tools/service/ServiceStore.h"

#include <filesystem>
#include <utility>

namespace {

constexpr int kBusyTimeoutMillis = 5000;
constexpr char kDuplicatesCounter[] = "duplicates_dropped";

// Bundles, events and user properties are read newest first by id, and
// the rows of one page of bundles by bundle id, so each of those reads
// walks an index.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS batches ("
    "  id INTEGER PRIMARY KEY,"
    "  received_at_millis INTEGER NOT NULL,"
    "  size INTEGER NOT NULL,"
    "  bundle_count INTEGER NOT NULL,"
    "  data BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS bundles ("
    "  id INTEGER PRIMARY KEY,"
    "  batch_id INTEGER NOT NULL REFERENCES batches(id),"
    "  identity_key TEXT NOT NULL UNIQUE,"
    "  received_at_millis INTEGER NOT NULL,"
    "  app_id TEXT,"
    "  app_instance_id TEXT,"
    "  bundle_index INTEGER,"
    "  start_timestamp_millis INTEGER,"
    "  end_timestamp_millis INTEGER,"
    "  data BLOB NOT NULL);"
    "CREATE TABLE IF NOT EXISTS events ("
    "  id INTEGER PRIMARY KEY,"
    "  bundle_id INTEGER NOT NULL REFERENCES bundles(id),"
    "  name TEXT NOT NULL,"
    "  timestamp_millis INTEGER,"
    "  params_json TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS events_by_bundle ON events(bundle_id, id);"
    "CREATE TABLE IF NOT EXISTS user_attributes ("
    "  id INTEGER PRIMARY KEY,"
    "  bundle_id INTEGER NOT NULL REFERENCES bundles(id),"
    "  name TEXT NOT NULL,"
    "  value_json TEXT NOT NULL,"
    "  set_timestamp_millis INTEGER);"
    "CREATE INDEX IF NOT EXISTS user_attributes_by_bundle ON user_attributes(bundle_id, id);"
    "CREATE TABLE IF NOT EXISTS counters ("
    "  name TEXT PRIMARY KEY,"
    "  value INTEGER NOT NULL);";

std::string sqliteProblem(sqlite3* db, const std::string& what) {
  return what + ": " + sqlite3_errmsg(db);
}

// One prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }
  sqlite3_stmt* get() const { return statement_; }

  void bind(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
  void bind(int index, const std::optional<std::int64_t>& value) {
    if (value) {
      bind(index, *value);
    } else {
      sqlite3_bind_null(statement_, index);
    }
  }
  void bind(int index, const std::string& text) {
    sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
  }
  void bind(int index, const std::optional<std::string>& text) {
    if (text) {
      bind(index, *text);
    } else {
      sqlite3_bind_null(statement_, index);
    }
  }
  void bindBlob(int index, const void* data, std::size_t size) {
    sqlite3_bind_blob64(statement_, index, data, size, SQLITE_TRANSIENT);
  }

  // SQLITE_ROW, SQLITE_DONE or an error code.
  int step() { return sqlite3_step(statement_); }

  std::int64_t integer(int column) const { return sqlite3_column_int64(statement_, column); }
  std::optional<std::int64_t> optionalInteger(int column) const {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return integer(column);
  }
  std::string text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return data != nullptr ? std::string(data, sqlite3_column_bytes(statement_, column)) : "";
  }
  std::optional<std::string> optionalText(int column) const {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return text(column);
  }
  std::string blob(int column) const {
    const auto* data = static_cast<const char*>(sqlite3_column_blob(statement_, column));
    return data != nullptr ? std::string(data, sqlite3_column_bytes(statement_, column)) : "";
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

// JSON text as written by the store; a damaged value reads as null.
nlohmann::json parseStoredJSON(const std::string& text) {
  nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
  return value.is_discarded() ? nlohmann::json() : value;
}

std::string storedJSON(const nlohmann::json& value) {
  // Strings were made valid UTF-8 when decoded; replacing keeps a dump
  // from ever throwing.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

std::unique_ptr<ServiceStore> ServiceStore::open(const std::string& dataDir, bool readOnly,
                                                 std::string* problem) {
  const std::string path = dataDir + "/" + kServiceStoreFileName;
  if (!readOnly) {
    std::error_code error;
    std::filesystem::create_directories(dataDir, error);
    if (error) {
      *problem = "cannot create " + dataDir + ": " + error.message();
      return nullptr;
    }
  } else if (!std::filesystem::exists(path)) {
    *problem = "no store at " + path;
    return nullptr;
  }
  sqlite3* db = nullptr;
  const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
    *problem = sqliteProblem(db, "cannot open " + path);
    sqlite3_close(db);
    return nullptr;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMillis);
  std::unique_ptr<ServiceStore> store(new ServiceStore(db));
  if (!readOnly) {
    // WAL lets --print read while the service writes.
    if (!store->execute("PRAGMA journal_mode=WAL;", problem) ||
        !store->execute("PRAGMA foreign_keys=ON;", problem) || !store->execute(kSchema, problem)) {
      *problem = "cannot prepare " + path + ": " + *problem;
      return nullptr;
    }
  } else if (!store->count("SELECT COUNT(*) FROM batches;", problem)) {
    *problem = "not a service store: " + path + " (" + *problem + ")";
    return nullptr;
  }
  return store;
}

ServiceStore::~ServiceStore() { sqlite3_close(db_); }

bool ServiceStore::execute(const char* sql, std::string* problem) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *problem = message != nullptr ? message : "SQLite failed";
  sqlite3_free(message);
  return false;
}

std::optional<std::int64_t> ServiceStore::count(const char* sql, std::string* problem) {
  Statement statement(db_, sql);
  if (!statement.ok() || statement.step() != SQLITE_ROW) {
    *problem = sqliteProblem(db_, "cannot count");
    return std::nullopt;
  }
  return statement.integer(0);
}

bool ServiceStore::insertBundleRows(std::int64_t batchID, const DecodedBundle& bundle,
                                    std::int64_t receivedAtMillis, bool* duplicate,
                                    std::string* problem) {
  Statement insertBundle(
      db_,
      "INSERT OR IGNORE INTO bundles (batch_id, identity_key, received_at_millis, app_id, "
      "app_instance_id, bundle_index, start_timestamp_millis, end_timestamp_millis, data) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?);");
  if (!insertBundle.ok()) {
    *problem = sqliteProblem(db_, "cannot store a bundle");
    return false;
  }
  insertBundle.bind(1, batchID);
  insertBundle.bind(2, bundle.identityKey);
  insertBundle.bind(3, receivedAtMillis);
  insertBundle.bind(4, bundle.appID);
  insertBundle.bind(5, bundle.appInstanceID);
  insertBundle.bind(6, bundle.bundleIndex);
  insertBundle.bind(7, bundle.startTimestampMillis);
  insertBundle.bind(8, bundle.endTimestampMillis);
  insertBundle.bindBlob(9, bundle.bytes.data(), bundle.bytes.size());
  if (insertBundle.step() != SQLITE_DONE) {
    *problem = sqliteProblem(db_, "cannot store a bundle");
    return false;
  }
  *duplicate = sqlite3_changes(db_) == 0;
  if (*duplicate) return true;
  const std::int64_t bundleID = sqlite3_last_insert_rowid(db_);

  Statement insertEvent(db_,
                        "INSERT INTO events (bundle_id, name, timestamp_millis, params_json) "
                        "VALUES (?, ?, ?, ?);");
  if (!insertEvent.ok()) {
    *problem = sqliteProblem(db_, "cannot store an event");
    return false;
  }
  for (const DecodedEvent& event : bundle.events) {
    sqlite3_reset(insertEvent.get());
    insertEvent.bind(1, bundleID);
    insertEvent.bind(2, event.name);
    insertEvent.bind(3, event.timestampMillis);
    insertEvent.bind(4, storedJSON(event.params));
    if (insertEvent.step() != SQLITE_DONE) {
      *problem = sqliteProblem(db_, "cannot store an event");
      return false;
    }
  }
  Statement insertAttribute(db_,
                            "INSERT INTO user_attributes (bundle_id, name, value_json, "
                            "set_timestamp_millis) VALUES (?, ?, ?, ?);");
  if (!insertAttribute.ok()) {
    *problem = sqliteProblem(db_, "cannot store a user property");
    return false;
  }
  for (const DecodedUserAttribute& attribute : bundle.userAttributes) {
    sqlite3_reset(insertAttribute.get());
    insertAttribute.bind(1, bundleID);
    insertAttribute.bind(2, attribute.name);
    insertAttribute.bind(3, storedJSON(attribute.value));
    insertAttribute.bind(4, attribute.setTimestampMillis);
    if (insertAttribute.step() != SQLITE_DONE) {
      *problem = sqliteProblem(db_, "cannot store a user property");
      return false;
    }
  }
  return true;
}

std::optional<StoreBatchResult> ServiceStore::storeBatch(const std::string& batchBytes,
                                                         const std::vector<DecodedBundle>& bundles,
                                                         std::int64_t receivedAtMillis,
                                                         std::string* problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!execute("BEGIN IMMEDIATE;", problem)) return std::nullopt;
  auto rollback = [&]() -> std::optional<StoreBatchResult> {
    std::string ignored;
    (void)execute("ROLLBACK;", &ignored);
    return std::nullopt;
  };
  Statement insertBatch(db_,
                        "INSERT INTO batches (received_at_millis, size, bundle_count, data) "
                        "VALUES (?, ?, ?, ?);");
  if (!insertBatch.ok()) {
    *problem = sqliteProblem(db_, "cannot store the batch");
    return rollback();
  }
  insertBatch.bind(1, receivedAtMillis);
  insertBatch.bind(2, static_cast<std::int64_t>(batchBytes.size()));
  insertBatch.bind(3, static_cast<std::int64_t>(bundles.size()));
  insertBatch.bindBlob(4, batchBytes.data(), batchBytes.size());
  if (insertBatch.step() != SQLITE_DONE) {
    *problem = sqliteProblem(db_, "cannot store the batch");
    return rollback();
  }
  StoreBatchResult result;
  result.batchID = sqlite3_last_insert_rowid(db_);
  for (const DecodedBundle& bundle : bundles) {
    bool duplicate = false;
    if (!insertBundleRows(result.batchID, bundle, receivedAtMillis, &duplicate, problem)) {
      return rollback();
    }
    ++(duplicate ? result.duplicateBundles : result.storedBundles);
  }
  if (result.duplicateBundles > 0) {
    Statement addDuplicates(db_,
                            "INSERT INTO counters (name, value) VALUES (?, ?) "
                            "ON CONFLICT(name) DO UPDATE SET value = value + excluded.value;");
    if (!addDuplicates.ok()) {
      *problem = sqliteProblem(db_, "cannot count duplicates");
      return rollback();
    }
    addDuplicates.bind(1, std::string(kDuplicatesCounter));
    addDuplicates.bind(2, result.duplicateBundles);
    if (addDuplicates.step() != SQLITE_DONE) {
      *problem = sqliteProblem(db_, "cannot count duplicates");
      return rollback();
    }
  }
  if (!execute("COMMIT;", problem)) return rollback();
  return result;
}

std::optional<StoreSummary> ServiceStore::summary(std::string* problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  StoreSummary summary;
  const std::optional<std::int64_t> batches = count("SELECT COUNT(*) FROM batches;", problem);
  const std::optional<std::int64_t> bundles = count("SELECT COUNT(*) FROM bundles;", problem);
  const std::optional<std::int64_t> events = count("SELECT COUNT(*) FROM events;", problem);
  const std::optional<std::int64_t> duplicates =
      count("SELECT COALESCE((SELECT value FROM counters WHERE name = 'duplicates_dropped'), 0);",
            problem);
  if (!batches || !bundles || !events || !duplicates) return std::nullopt;
  summary.batches = *batches;
  summary.bundles = *bundles;
  summary.events = *events;
  summary.duplicatesDropped = *duplicates;
  return summary;
}

std::optional<std::vector<StoredBundle>> ServiceStore::bundles(std::int64_t offset,
                                                               std::int64_t limit,
                                                               std::string* problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(db_,
                   "SELECT id, batch_id, received_at_millis, app_id, app_instance_id, "
                   "bundle_index, start_timestamp_millis, end_timestamp_millis "
                   "FROM bundles ORDER BY id DESC LIMIT ? OFFSET ?;");
  if (!select.ok()) {
    *problem = sqliteProblem(db_, "cannot read bundles");
    return std::nullopt;
  }
  select.bind(1, limit);
  select.bind(2, offset);
  std::vector<StoredBundle> page;
  int status;
  while ((status = select.step()) == SQLITE_ROW) {
    StoredBundle bundle;
    bundle.id = select.integer(0);
    bundle.batchID = select.integer(1);
    bundle.receivedAtMillis = select.integer(2);
    bundle.appID = select.optionalText(3);
    bundle.appInstanceID = select.optionalText(4);
    bundle.bundleIndex = select.optionalInteger(5);
    bundle.startTimestampMillis = select.optionalInteger(6);
    bundle.endTimestampMillis = select.optionalInteger(7);
    page.push_back(std::move(bundle));
  }
  if (status != SQLITE_DONE) {
    *problem = sqliteProblem(db_, "cannot read bundles");
    return std::nullopt;
  }
  if (page.empty()) return page;
  // The page is a run of consecutive bundle ids in id order, so the rows
  // of exactly its bundles lie between its first and last id.
  const std::int64_t lowest = page.back().id;
  const std::int64_t highest = page.front().id;
  auto bundleAt = [&](std::int64_t id) -> StoredBundle* {
    for (StoredBundle& bundle : page) {
      if (bundle.id == id) return &bundle;
    }
    return nullptr;
  };
  Statement events(db_,
                   "SELECT bundle_id, name, timestamp_millis, params_json FROM events "
                   "WHERE bundle_id BETWEEN ? AND ? ORDER BY bundle_id, id;");
  Statement attributes(db_,
                       "SELECT bundle_id, name, value_json, set_timestamp_millis "
                       "FROM user_attributes WHERE bundle_id BETWEEN ? AND ? "
                       "ORDER BY bundle_id, id;");
  if (!events.ok() || !attributes.ok()) {
    *problem = sqliteProblem(db_, "cannot read bundles");
    return std::nullopt;
  }
  events.bind(1, lowest);
  events.bind(2, highest);
  StoredBundle* current = nullptr;
  while ((status = events.step()) == SQLITE_ROW) {
    const std::int64_t bundleID = events.integer(0);
    if (current == nullptr || current->id != bundleID) current = bundleAt(bundleID);
    if (current == nullptr) continue;
    current->events.push_back(
        {bundleID, events.text(1), events.optionalInteger(2), parseStoredJSON(events.text(3))});
  }
  if (status != SQLITE_DONE) {
    *problem = sqliteProblem(db_, "cannot read events");
    return std::nullopt;
  }
  attributes.bind(1, lowest);
  attributes.bind(2, highest);
  current = nullptr;
  while ((status = attributes.step()) == SQLITE_ROW) {
    const std::int64_t bundleID = attributes.integer(0);
    if (current == nullptr || current->id != bundleID) current = bundleAt(bundleID);
    if (current == nullptr) continue;
    current->userAttributes.push_back(
        {attributes.text(1), parseStoredJSON(attributes.text(2)), attributes.optionalInteger(3)});
  }
  if (status != SQLITE_DONE) {
    *problem = sqliteProblem(db_, "cannot read user properties");
    return std::nullopt;
  }
  return page;
}

std::optional<std::vector<StoredEvent>> ServiceStore::events(std::int64_t offset,
                                                             std::int64_t limit,
                                                             std::string* problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(db_,
                   "SELECT bundle_id, name, timestamp_millis, params_json FROM events "
                   "ORDER BY id DESC LIMIT ? OFFSET ?;");
  if (!select.ok()) {
    *problem = sqliteProblem(db_, "cannot read events");
    return std::nullopt;
  }
  select.bind(1, limit);
  select.bind(2, offset);
  std::vector<StoredEvent> page;
  int status;
  while ((status = select.step()) == SQLITE_ROW) {
    page.push_back({select.integer(0), select.text(1), select.optionalInteger(2),
                    parseStoredJSON(select.text(3))});
  }
  if (status != SQLITE_DONE) {
    *problem = sqliteProblem(db_, "cannot read events");
    return std::nullopt;
  }
  return page;
}

std::optional<std::vector<StoredBatch>> ServiceStore::batches(std::int64_t offset,
                                                              std::int64_t limit,
                                                              std::string* problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  Statement select(db_,
                   "SELECT id, received_at_millis, size, bundle_count FROM batches "
                   "ORDER BY id DESC LIMIT ? OFFSET ?;");
  if (!select.ok()) {
    *problem = sqliteProblem(db_, "cannot read batches");
    return std::nullopt;
  }
  select.bind(1, limit);
  select.bind(2, offset);
  std::vector<StoredBatch> page;
  int status;
  while ((status = select.step()) == SQLITE_ROW) {
    page.push_back({select.integer(0), select.integer(1), select.integer(2), select.integer(3)});
  }
  if (status != SQLITE_DONE) {
    *problem = sqliteProblem(db_, "cannot read batches");
    return std::nullopt;
  }
  return page;
}

bool ServiceStore::rawBatch(std::int64_t id, std::optional<std::string>* bytes,
                            std::string* problem) {
  std::lock_guard<std::mutex> lock(mutex_);
  bytes->reset();
  Statement select(db_, "SELECT data FROM batches WHERE id = ?;");
  if (!select.ok()) {
    *problem = sqliteProblem(db_, "cannot read the batch");
    return false;
  }
  select.bind(1, id);
  const int status = select.step();
  if (status == SQLITE_ROW) {
    *bytes = select.blob(0);
    return true;
  }
  if (status == SQLITE_DONE) return true;
  *problem = sqliteProblem(db_, "cannot read the batch");
  return false;
}
