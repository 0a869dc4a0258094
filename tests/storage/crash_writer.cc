// The child program of the crash-safety test. Stores numbered rows through
// TLMSqliteStore, one transaction each, continuing after the highest
// stored number, and prints each number on its own line once its commit
// has returned. Runs until it is killed.
//
// Usage: storage_crash_writer <folder for the platform> <database path>
#include <cstdio>
#include <memory>
#include <string>

#include "storage/TLMSqliteStore.h"
#include "storage/crash_rows.h"

namespace {

int failWith(const char* step, const Error& error) {
  std::fprintf(stderr, "crash_writer: %s failed: %s\n", step, error.toString().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::unique_ptr<TLMSqliteStore> store = crashWriterOpenStore(argc, argv);
  if (store == nullptr) return 2;
  Error error;
  if (!store->ensureTableWithName(kCrashTable, crashTableColumns(), {}, &error)) {
    return failWith("ensure table", error);
  }
  const OptionalObject highest =
      store->numberForQuery(std::string("SELECT max(number) FROM ") + kCrashTable, {}, &error);
  std::int64_t number = highest ? highest->int64Value() : 0;

  for (;;) {
    ++number;
    const Bytes payload = crashPayload(number);
    const TLMSqliteRecord record = {{"number", Object::integer(number)},
                                    {"name", Object(crashName(number))},
                                    {"payload", Object::data(payload)},
                                    {"checksum", Object::integer(crashChecksum(payload))}};
    const bool stored = store->performTransactionWithError(&error, [&](Error* blockError) {
      return store->upsertRecord(record, kCrashTable, blockError);
    });
    if (!stored) return failWith("store", error);
    std::printf("%lld\n", static_cast<long long>(number));
    std::fflush(stdout);
  }
}
