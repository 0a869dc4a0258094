// Commit runs of stored events.
//
// With the database's synchronous level, every commit waits for the disk;
// one commit per event would cap the rate at which events can be stored
// and write several pages per event. So each event's storing transaction
// is a savepoint (all-or-nothing on its own) inside one open transaction,
// the commit run, which is committed:
//   - by a flush block scheduled on the worker queue when the run opens:
//     the queue is FIFO, so it runs once everything queued before it has
//     been stored, and a lone event is committed at once;
//   - inline, when events keep arriving and the run has grown old or large
//     (kCommitRunMaxAgeSeconds, or the time the last commit took when that
//     is longer; kCommitRunMaxEvents);
//   - before any ordinary transaction, when the database is closed or
//     reset, and when the app resigns active.
// A crash loses only runs not yet committed, never part of an event.
#include <algorithm>
#include <cstdint>
#include <functional>

#include "engine/TLMMeasurement.h"
#include "platform/Clock.h"
#include "platform/Platform.h"
#include "storage/TLMDatabase.h"
#include "upload/TLMErrors.h"

namespace {

// Bounds a run while events keep arriving: the latency from storing to
// durable, and the WAL a single commit writes.
constexpr double kCommitRunMaxAgeSeconds = 0.005;
constexpr std::size_t kCommitRunMaxEvents = 1000;

constexpr int kLevelError = 1;
constexpr long kCodeDataLossCommit = 23224;
constexpr char kMessageDataLossCommit[] = "Data loss. Unable to commit stored events. Count, error";

constexpr long kDatabaseFailureCode = 3;
constexpr char kRunRolledBackDescription[] = "Batched transactions were rolled back";

constexpr char kFlushBlockID[] = "TLMMeasurement:commitStoredEvents";

}  // namespace

bool TLMMeasurement::writeInCommitRun(const std::function<bool()>& block) {
  if (database_ == nullptr) return false;
  // Kept alive across the block: a reset inside it must not pull the
  // database away underneath.
  const std::shared_ptr<TLMDatabase> database = database_;
  const bool wasOpen = database->hasOpenBatchedTransaction();
  const std::size_t earlierEvents = database->batchedTransactionCount();
  const double uptime = Platform::current().clock().uptime();

  // Runs after the block whether it returned or threw: a run left open
  // must always have its flush on the way.
  auto afterBlock = [&] {
    const bool isOpen = database->hasOpenBatchedTransaction();
    if (wasOpen && !isOpen && earlierEvents > 0) {
      // SQLite rolled the whole run back on a failure inside this event.
      report(kLevelError, kCodeDataLossCommit, kMessageDataLossCommit,
             {Object::integer(static_cast<std::int64_t>(earlierEvents)),
              Object::error(tlm_errorWithCode(kDatabaseFailureCode, kRunRolledBackDescription))});
    }
    if (!isOpen) return;
    if (!wasOpen) commitRunStartUptime_ = uptime;
    if (scheduler_ == nullptr) {
      // No queue to flush from: nothing may wait.
      commitStoredEvents();
      return;
    }
    if (!commitRunFlushScheduled_) {
      commitRunFlushScheduled_ = true;
      scheduleWeakly(kFlushBlockID, [](TLMMeasurement& engine) {
        engine.commitRunFlushScheduled_ = false;
        engine.commitStoredEvents();
      });
    }
    // A run is never cut shorter than the last commit took: under sustained
    // load on a slow disk, commits then take at most about half of the
    // worker's time, instead of capping the rate at a few runs per sync.
    const double age = Platform::current().clock().uptime() - commitRunStartUptime_;
    const double maxAge = std::max(kCommitRunMaxAgeSeconds, commitRunLastCommitSeconds_);
    if (database->batchedTransactionCount() >= kCommitRunMaxEvents || age >= maxAge || age < 0) {
      commitStoredEvents();
    }
  };

  bool stored = false;
  try {
    stored = database->performBatchedTransaction(block);
  } catch (...) {
    afterBlock();
    throw;
  }
  afterBlock();
  return stored;
}

void TLMMeasurement::commitStoredEvents() {
  if (database_ == nullptr || !database_->hasOpenBatchedTransaction()) return;
  const std::size_t count = database_->batchedTransactionCount();
  Error error;
  const Clock& clock = Platform::current().clock();
  const double start = clock.uptime();
  const bool committed = database_->commitBatchedTransactions(&error);
  commitRunLastCommitSeconds_ = std::max(0.0, clock.uptime() - start);
  if (committed) return;
  // SQLite has rolled the run back: its events are gone.
  report(kLevelError, kCodeDataLossCommit, kMessageDataLossCommit,
         {Object::integer(static_cast<std::int64_t>(count)), Object::error(error)});
}
