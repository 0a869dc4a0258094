// A SQLite VFS over the default one that fails file operations on demand,
// so that tests meet real I/O errors inside SQLite rather than faked
// return codes.
//
// While a FaultyVfs exists it is the process's default VFS: connections
// opened meanwhile (by the store or by a test) go through it. One at a
// time; switches may be flipped from the test thread between operations.
#pragma once

#include <sqlite3.h>

#include <atomic>

class FaultyVfs {
 public:
  static constexpr const char* kName = "ferrolux-faulty";

  FaultyVfs();
  ~FaultyVfs();
  FaultyVfs(const FaultyVfs&) = delete;
  FaultyVfs& operator=(const FaultyVfs&) = delete;

  // xWrite answers SQLITE_IOERR_WRITE and writes nothing.
  void setFailWrites(bool fail) { failWrites_.store(fail); }
  // xSync answers SQLITE_IOERR_FSYNC.
  void setFailSyncs(bool fail) { failSyncs_.store(fail); }
  // xRead answers SQLITE_IOERR_READ.
  void setFailReads(bool fail) { failReads_.store(fail); }
  // xOpen of a main database file answers SQLITE_CANTOPEN, as when the
  // process has no file handles left.
  void setFailOpens(bool fail) { failOpens_.store(fail); }
  void clearFaults();

  // How many calls failed on purpose so far.
  int injectedFailures() const { return injected_.load(); }

  // Used by the VFS callbacks.
  sqlite3_vfs* base() const { return base_; }
  bool failWrites() const { return failWrites_.load(); }
  bool failSyncs() const { return failSyncs_.load(); }
  bool failReads() const { return failReads_.load(); }
  bool failOpens() const { return failOpens_.load(); }
  void countFailure() { injected_.fetch_add(1); }

 private:
  sqlite3_vfs vfs_{};
  sqlite3_vfs* base_ = nullptr;
  std::atomic<bool> failWrites_{false};
  std::atomic<bool> failSyncs_{false};
  std::atomic<bool> failReads_{false};
  std::atomic<bool> failOpens_{false};
  std::atomic<int> injected_{0};
};
