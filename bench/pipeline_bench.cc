// End-to-end event pipeline benchmark, through the public interface, with
// real threads, the system clock and a real SQLite file.
//
// Each phase runs in a child process of its own (a fresh app container and
// a fresh library: the engine is one per process, and the day's event
// limits must not carry over from one phase to the next):
//   caller   caller-thread cost of logEventWithName with three parameters
//            (string, integer, double): median and p99 per call;
//   burst    a bare SQLite loop first (one small insert per transaction,
//            WAL + synchronous=FULL, as the store), then N events from four
//            threads until every one is durable: events/s and the ratio;
//            bytes written to disk per event (/proc/self/io write_bytes),
//            database bytes per stored event after a checkpoint, and peak
//            RSS (VmHWM);
//   steady   events at a steady rate from one thread: log-to-durable
//            latency, median and p99.
// "Durable" is observed through the database's commit observer: at each
// commit, every event that has reached the worker queue so far has been
// processed and is in the committed data. Public events beyond the day's
// public-event limit (50,000 by default) are counted but not stored; the
// report shows both numbers.
//
// Usage: ferrolux-bench-pipeline [--events N] [--caller-events N]
//                                [--rate R] [--seconds S] [--dir DIR]
// (--phase NAME is the child's entry.) Prints a compact report.

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/QLFApp.h"
#include "engine/TLMLogEventCall.h"
#include "engine/TLMMeasurement.h"
#include "ferrolux/FerroluxLibrary.h"
#include "ferrolux/Object.h"
#include "ferrolux/QLFAnalytics.h"
#include "platform/Application.h"
#include "platform/Dispatch.h"
#include "platform/DispatchQueue.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "storage/TLMSqliteStore.h"
#include "upload/TLMMonitor.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBurstThreads = 4;
constexpr int kBareLoopTransactions = 4000;
constexpr auto kDrainTimeout = std::chrono::seconds(300);
constexpr char kEventName[] = "level_progress";

struct Options {
  std::string phase;
  std::string dir;
  int events = 100000;
  int callerEvents = 20000;
  int rate = 1000;
  int seconds = 5;
};

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t nowNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// A value from /proc/self/<file> ("<key>: <number>"); -1 when missing.
std::int64_t procValue(const char* file, const std::string& key) {
  std::ifstream in(std::string("/proc/self/") + file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::atoll(line.c_str() + key.size() + 1);
  }
  return -1;
}

double percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(fraction * values.size()));
  return values[index];
}

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// ---- The app under test ----

// Counts what the worker queue has seen and what is durable.
struct Progress {
  std::atomic<std::int64_t> reached{0};  // calls that reached the worker queue
  std::atomic<std::int64_t> durable{0};  // of those, committed
  std::atomic<std::int64_t> commits{0};
  std::mutex mutex;
  std::function<void(std::int64_t from, std::int64_t to)> onDurable;  // worker queue
};

Progress& progress() {
  static Progress* instance = new Progress();
  return *instance;
}

class BenchApp {
 public:
  explicit BenchApp(const std::string& root) {
    PlatformPaths paths;
    paths.bundlePath = root + "/Bench.app";
    paths.containerPath = root + "/container";
    paths.keychainPath = root + "/keychain";
    std::filesystem::create_directories(paths.bundlePath);
    writeFile(paths.bundlePath + "/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.ferrolux.bench</string>"
              "<key>CFBundleShortVersionString</key><string>1.0.0</string>"
              "<key>CFBundleVersion</key><string>1</string></dict></plist>\n");
    writeFile(paths.bundlePath + "/TarvixService-Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>TARVIX_APP_ID</key><string>1:100000000001:ios:be0000000000bench</string>"
              "<key>BUNDLE_ID</key><string>com.ferrolux.bench</string>"
              "<key>PROJECT_ID</key><string>ferrolux-bench</string></dict></plist>\n");
    platform_ = Platform::createProduction(paths);
    Platform::install(platform_);
    FerroluxLibrary::load();
  }

  // Starts the library and waits for the engine's database; false when it
  // does not come up.
  bool start() {
    TLMMeasurement::TEST_setLogEventCallObserver(
        [](const TLMLogEventCall&) { progress().reached.fetch_add(1); });
    (void)platform_->application().finishLaunching();
    if (!QLFApp::configure()) return false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
      drainMain();
      if (TLMMeasurement::hasSharedInstance()) {
        engine_ = TLMMeasurement::sharedInstance();
        if (engine_ != nullptr && attachObserver()) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  void drainMain() { platform_->dispatch().drainMainQueue(); }

  // Waits (draining the main queue) until `count` calls are durable.
  bool waitDurable(std::int64_t count) {
    const Clock::time_point deadline = Clock::now() + kDrainTimeout;
    while (progress().durable.load() < count) {
      if (Clock::now() > deadline) return false;
      drainMain();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  // Runs `block` on the worker queue and waits for it.
  template <typename T>
  T onWorker(std::function<T(TLMDatabase&)> block) {
    std::promise<T> result;
    std::shared_ptr<TLMMeasurement> engine = engine_;
    engine->workerQueue()->async([&] { result.set_value(block(*engine->database())); });
    std::future<T> future = result.get_future();
    while (future.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) drainMain();
    return future.get();
  }

 private:
  bool attachObserver() {
    return onWorker<bool>([](TLMDatabase& database) {
      database.setCommitObserver([] {
        Progress& p = progress();
        p.commits.fetch_add(1);
        const std::int64_t from = p.durable.load();
        const std::int64_t to = p.reached.load();
        p.durable.store(to);
        if (p.onDurable && to > from) p.onDurable(from, to);
      });
      return true;
    });
  }

  std::shared_ptr<Platform> platform_;
  std::shared_ptr<TLMMeasurement> engine_;
};

Object eventParameters(int i) {
  return Object::dictionary({{Object("level_name"), Object("forest")},
                             {Object("score"), Object::integer(i)},
                             {Object("ratio"), Object::floating(i * 0.5)}});
}

void print(const char* key, double value) { std::printf("%s=%.6g\n", key, value); }

// ---- Phases (in the child) ----

int runCaller(BenchApp& app, const Options& options) {
  std::vector<double> nanos;
  nanos.reserve(static_cast<std::size_t>(options.callerEvents));
  const std::int64_t before = progress().reached.load();
  for (int i = 0; i < options.callerEvents; ++i) {
    const Object parameters = eventParameters(i);
    const std::int64_t start = nowNanos();
    QLFAnalytics::logEventWithName(kEventName, parameters);
    nanos.push_back(static_cast<double>(nowNanos() - start));
    // Keeps the queues from growing without bound while measuring.
    if (i % 1000 == 999) app.drainMain();
  }
  if (!app.waitDurable(before + options.callerEvents)) return 1;
  print("caller_median_ns", percentile(nanos, 0.5));
  print("caller_p99_ns", percentile(nanos, 0.99));
  return 0;
}

// One small insert per transaction with the store's pragmas; transactions
// per second.
double bareSqliteLoop(const std::string& dir) {
  const std::string path = dir + "/bare.sql";
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return 0;
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT, value BLOB)", nullptr,
               nullptr, nullptr);
  sqlite3_stmt* begin = nullptr;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* commit = nullptr;
  sqlite3_prepare_v2(db, "BEGIN EXCLUSIVE TRANSACTION", -1, &begin, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO t (name, value) VALUES (?, ?)", -1, &insert, nullptr);
  sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
  const std::string blob(60, 'x');
  const Clock::time_point start = Clock::now();
  for (int i = 0; i < kBareLoopTransactions; ++i) {
    sqlite3_step(begin);
    sqlite3_reset(begin);
    sqlite3_bind_text(insert, 1, kEventName, -1, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
    sqlite3_step(commit);
    sqlite3_reset(commit);
  }
  const double elapsed = secondsSince(start);
  sqlite3_finalize(begin);
  sqlite3_finalize(insert);
  sqlite3_finalize(commit);
  sqlite3_close(db);
  std::filesystem::remove(path);
  std::filesystem::remove(path + "-wal");
  std::filesystem::remove(path + "-shm");
  return kBareLoopTransactions / elapsed;
}

int runBurst(BenchApp& app, const Options& options) {
  print("bare_sqlite_tx_per_s", bareSqliteLoop(options.dir));

  const std::int64_t before = progress().reached.load();
  const std::int64_t writesBefore = procValue("io", "write_bytes");
  const std::int64_t commitsBefore = progress().commits.load();
  const int perThread = options.events / kBurstThreads;
  const std::int64_t total = static_cast<std::int64_t>(perThread) * kBurstThreads;
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kBurstThreads; ++t) {
    threads.emplace_back([perThread, t] {
      for (int i = 0; i < perThread; ++i) {
        QLFAnalytics::logEventWithName(kEventName, eventParameters(t * perThread + i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double logged = secondsSince(start);
  if (!app.waitDurable(before + total)) return 1;
  const double elapsed = secondsSince(start);
  const std::int64_t written = procValue("io", "write_bytes") - writesBefore;
  print("burst_events", static_cast<double>(total));
  print("burst_log_seconds", logged);
  print("burst_durable_seconds", elapsed);
  print("burst_events_per_s", total / elapsed);
  print("burst_commits", static_cast<double>(progress().commits.load() - commitsBefore));
  print("burst_write_bytes_per_event", static_cast<double>(written) / total);
  print("peak_rss_kib", static_cast<double>(procValue("status", "VmHWM")));

  struct Sizes {
    std::int64_t rows = 0;
    std::int64_t usedBytes = 0;
  };
  const Sizes sizes = app.onWorker<Sizes>([](TLMDatabase& database) {
    Sizes result;
    TLMSqliteStore* store = database.sqliteStore();
    Error error;
    const std::optional<std::int64_t> rows = store->rowCountForTableWithName("raw_events", &error);
    result.rows = rows.value_or(0);
    sqlite3_exec(store->sqliteHandle(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr,
                 nullptr);
    auto number = [&](const char* sql) {
      const OptionalObject value = store->numberForQuery(sql, {}, &error);
      return value ? value->int64Value() : 0;
    };
    result.usedBytes = (number("PRAGMA page_count") - number("PRAGMA freelist_count")) *
                       number("PRAGMA page_size");
    return result;
  });
  print("stored_events", static_cast<double>(sizes.rows));
  print("write_bytes_per_stored_event",
        sizes.rows > 0 ? static_cast<double>(written) / sizes.rows : 0);
  print("db_bytes_per_stored_event",
        sizes.rows > 0 ? static_cast<double>(sizes.usedBytes) / sizes.rows : 0);
  return 0;
}

int runSteady(BenchApp& app, const Options& options) {
  const int count = options.rate * options.seconds;
  const std::int64_t base = progress().reached.load();
  std::vector<std::int64_t> loggedAt(static_cast<std::size_t>(count), 0);
  std::vector<std::int64_t> durableAt(static_cast<std::size_t>(count), 0);
  {
    std::lock_guard<std::mutex> lock(progress().mutex);
    progress().onDurable = [&](std::int64_t from, std::int64_t to) {
      const std::int64_t now = nowNanos();
      for (std::int64_t i = std::max(from, base); i < std::min(to, base + count); ++i) {
        durableAt[static_cast<std::size_t>(i - base)] = now;
      }
    };
  }
  const auto interval = std::chrono::nanoseconds(1000000000LL / options.rate);
  const std::int64_t writesBefore = procValue("io", "write_bytes");
  Clock::time_point next = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(next);
    next += interval;
    loggedAt[static_cast<std::size_t>(i)] = nowNanos();
    QLFAnalytics::logEventWithName(kEventName, eventParameters(i));
    app.drainMain();
  }
  if (!app.waitDurable(base + count)) return 1;
  const std::int64_t written = procValue("io", "write_bytes") - writesBefore;
  // The observer runs on the worker queue; it is idle now.
  app.onWorker<bool>([](TLMDatabase&) {
    progress().onDurable = nullptr;
    return true;
  });
  std::vector<double> latencies;
  for (int i = 0; i < count; ++i) {
    const std::size_t k = static_cast<std::size_t>(i);
    if (durableAt[k] > 0) latencies.push_back((durableAt[k] - loggedAt[k]) / 1e6);
  }
  print("steady_events", count);
  print("steady_latency_median_ms", percentile(latencies, 0.5));
  print("steady_latency_p99_ms", percentile(latencies, 0.99));
  print("steady_write_bytes_per_event", static_cast<double>(written) / count);
  return 0;
}

int runPhase(const Options& options) {
  BenchApp app(options.dir);
  if (!app.start()) {
    std::fprintf(stderr, "pipeline_bench: the library did not start\n");
    return 1;
  }
  if (options.phase == "caller") return runCaller(app, options);
  if (options.phase == "burst") return runBurst(app, options);
  if (options.phase == "steady") return runSteady(app, options);
  std::fprintf(stderr, "pipeline_bench: unknown phase %s\n", options.phase.c_str());
  return 2;
}

// ---- The parent: one child per phase, then the report ----

std::map<std::string, double> runChild(const std::string& self, const Options& options,
                                       const std::string& phase) {
  const std::string dir = options.dir + "/" + phase;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::ostringstream command;
  command << "'" << self << "' --phase " << phase << " --dir '" << dir << "' --events "
          << options.events << " --caller-events " << options.callerEvents << " --rate "
          << options.rate << " --seconds " << options.seconds << " 2>/dev/null";
  std::map<std::string, double> values;
  FILE* pipe = ::popen(command.str().c_str(), "r");
  if (pipe == nullptr) return values;
  char line[512];
  while (std::fgets(line, sizeof(line), pipe) != nullptr) {
    std::string text(line);
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    values[text.substr(0, equals)] = std::atof(text.c_str() + equals + 1);
  }
  const int status = ::pclose(pipe);
  if (status != 0) std::fprintf(stderr, "phase %s failed (status %d)\n", phase.c_str(), status);
  std::filesystem::remove_all(dir);
  return values;
}

const char* verdict(bool ok) { return ok ? "ok" : "MISSED"; }

int runAll(const std::string& self, const Options& options) {
  std::map<std::string, double> v;
  for (const char* phase : {"caller", "burst", "steady"}) {
    std::map<std::string, double> values = runChild(self, options, phase);
    if (values.empty()) return 1;
    v.insert(values.begin(), values.end());
  }
  const double ratio = v["burst_events_per_s"] / v["bare_sqlite_tx_per_s"];
  std::printf("ferrolux pipeline benchmark (production mode, WAL + synchronous=FULL)\n");
  std::printf("  caller cost, logEventWithName + 3 params: median %.0f ns, p99 %.0f ns\n",
              v["caller_median_ns"], v["caller_p99_ns"]);
  std::printf(
      "  burst: %.0f events from %d threads durable in %.2f s (logged in %.2f s), %.0f "
      "commits\n",
      v["burst_events"], kBurstThreads, v["burst_durable_seconds"], v["burst_log_seconds"],
      v["burst_commits"]);
  std::printf("    %.0f events/s [target >= 20000: %s]\n", v["burst_events_per_s"],
              verdict(v["burst_events_per_s"] >= 20000));
  std::printf("    bare SQLite loop %.0f tx/s; ratio %.2f [target >= 0.5: %s]\n",
              v["bare_sqlite_tx_per_s"], ratio, verdict(ratio >= 0.5));
  std::printf("    stored %.0f events (the rest over the day's public-event limit)\n",
              v["stored_events"]);
  std::printf(
      "    written to disk: %.0f B per event, %.0f B per stored event [target < 2048: %s]\n",
      v["burst_write_bytes_per_event"], v["write_bytes_per_stored_event"],
      verdict(v["write_bytes_per_stored_event"] < 2048));
  std::printf("    database: %.0f B per stored event [target < 200: %s]\n",
              v["db_bytes_per_stored_event"], verdict(v["db_bytes_per_stored_event"] < 200));
  std::printf("    peak RSS %.1f MiB\n", v["peak_rss_kib"] / 1024);
  std::printf(
      "  steady %d events/s, %.0f events: log-to-durable median %.2f ms, p99 %.2f ms "
      "[target p99 < 10: %s]; %.0f B written per event\n",
      options.rate, v["steady_events"], v["steady_latency_median_ms"], v["steady_latency_p99_ms"],
      verdict(v["steady_latency_p99_ms"] < 10), v["steady_write_bytes_per_event"]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--phase") {
      options.phase = value;
    } else if (key == "--dir") {
      options.dir = value;
    } else if (key == "--events") {
      options.events = std::max(kBurstThreads, std::atoi(value));
    } else if (key == "--caller-events") {
      options.callerEvents = std::max(1, std::atoi(value));
    } else if (key == "--rate") {
      options.rate = std::max(1, std::atoi(value));
    } else if (key == "--seconds") {
      options.seconds = std::max(1, std::atoi(value));
    } else {
      std::fprintf(stderr,
                   "usage: %s [--events N] [--caller-events N] [--rate R] [--seconds S] "
                   "[--dir DIR]\n",
                   argv[0]);
      return 2;
    }
  }
  if (!options.phase.empty()) return runPhase(options);

  bool ownDir = false;
  if (options.dir.empty()) {
    char pattern[] = "/tmp/ferrolux-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    options.dir = pattern;
    ownDir = true;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const int result = runAll(self, options);
  if (ownDir) std::filesystem::remove_all(options.dir);
  return result;
}
