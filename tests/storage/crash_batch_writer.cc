// The child program of the commit-run crash test. Stores numbered events
// through batched transactions of TLMSqliteStore, each event being a row
// of "crash_events" plus one added to the counter in "crash_event_count"
// (like a raw event and the day's count), and commits after a varying
// number of events. Every seventh event fails after both writes and must
// leave nothing behind. After each commit it prints the last number of the
// run on its own line. Continues after the highest stored number; runs
// until it is killed.
//
// Usage: storage_crash_batch_writer <folder for the platform> <database path>
#include <cstdio>
#include <memory>
#include <string>

#include "storage/TLMSqliteStore.h"
#include "storage/crash_batch_rows.h"
#include "storage/crash_rows.h"

namespace {

int failWith(const char* step, const Error& error) {
  std::fprintf(stderr, "crash_batch_writer: %s failed: %s\n", step, error.toString().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<TLMSqliteStore> store = crashWriterOpenStore(argc, argv);
  if (store == nullptr) return 2;
  Error error;
  if (!store->ensureTableWithName(kCrashEventsTable, crashEventsColumns(), {}, &error) ||
      !store->ensureTableWithName(kCrashCountTable, crashCountColumns(), {}, &error)) {
    return failWith("ensure tables", error);
  }
  if (!store->performTransactionWithError(&error, [&](Error* blockError) {
        return store->executeSQL(
            std::string("INSERT OR IGNORE INTO ") + kCrashCountTable + " (id, n) VALUES (1, 0)",
            blockError);
      })) {
    return failWith("counter", error);
  }
  const OptionalObject highest = store->numberForQuery(
      std::string("SELECT max(number) FROM ") + kCrashEventsTable, {}, &error);
  std::int64_t number = highest ? highest->int64Value() : 0;

  for (;;) {
    const int runLength = crashRunLength(number);
    for (int i = 0; i < runLength; ++i) {
      ++number;
      const Bytes payload = crashPayload(number);
      const TLMSqliteRecord record = {{"number", Object::integer(number)},
                                      {"payload", Object::data(payload)},
                                      {"checksum", Object::integer(crashChecksum(payload))}};
      const bool fails = crashEventFails(number);
      const bool stored = store->performBatchedTransactionWithError(&error, [&](Error* blockError) {
        return store->upsertRecord(record, kCrashEventsTable, blockError) &&
               store->increaseColumn("n", 1, kCrashCountTable, "id = ?", {Object::integer(1)},
                                     blockError) &&
               !fails;
      });
      if (stored == fails) return failWith("store", error);
    }
    if (!store->commitBatch(&error)) return failWith("commit", error);
    std::printf("%lld\n", static_cast<long long>(number));
    std::fflush(stdout);
  }
}
