#include "storage/faulty_vfs.h"

#include <cstring>

namespace {

// Our file object: the io-methods header, the owner, then the real file of
// the base VFS in the same allocation.
struct FaultyFile {
  sqlite3_file base;
  FaultyVfs* owner;
  sqlite3_file* real;
};

FaultyVfs* ownerOf(sqlite3_vfs* vfs) { return static_cast<FaultyVfs*>(vfs->pAppData); }
FaultyFile* faulty(sqlite3_file* file) { return reinterpret_cast<FaultyFile*>(file); }
sqlite3_file* real(sqlite3_file* file) { return faulty(file)->real; }

int fileClose(sqlite3_file* file) {
  sqlite3_file* r = real(file);
  return r->pMethods != nullptr ? r->pMethods->xClose(r) : SQLITE_OK;
}
int fileRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  if (faulty(file)->owner->failReads()) {
    faulty(file)->owner->countFailure();
    return SQLITE_IOERR_READ;
  }
  return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}
int fileWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (faulty(file)->owner->failWrites()) {
    faulty(file)->owner->countFailure();
    return SQLITE_IOERR_WRITE;
  }
  return real(file)->pMethods->xWrite(real(file), buffer, amount, offset);
}
int fileTruncate(sqlite3_file* file, sqlite3_int64 size) {
  return real(file)->pMethods->xTruncate(real(file), size);
}
int fileSync(sqlite3_file* file, int flags) {
  if (faulty(file)->owner->failSyncs()) {
    faulty(file)->owner->countFailure();
    return SQLITE_IOERR_FSYNC;
  }
  return real(file)->pMethods->xSync(real(file), flags);
}
int fileSize(sqlite3_file* file, sqlite3_int64* size) {
  return real(file)->pMethods->xFileSize(real(file), size);
}
int fileLock(sqlite3_file* file, int lock) { return real(file)->pMethods->xLock(real(file), lock); }
int fileUnlock(sqlite3_file* file, int lock) {
  return real(file)->pMethods->xUnlock(real(file), lock);
}
int fileCheckReservedLock(sqlite3_file* file, int* out) {
  return real(file)->pMethods->xCheckReservedLock(real(file), out);
}
int fileControl(sqlite3_file* file, int op, void* arg) {
  return real(file)->pMethods->xFileControl(real(file), op, arg);
}
int fileSectorSize(sqlite3_file* file) { return real(file)->pMethods->xSectorSize(real(file)); }
int fileDeviceCharacteristics(sqlite3_file* file) {
  return real(file)->pMethods->xDeviceCharacteristics(real(file));
}
int fileShmMap(sqlite3_file* file, int page, int pageSize, int extend, void volatile** out) {
  return real(file)->pMethods->xShmMap(real(file), page, pageSize, extend, out);
}
int fileShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return real(file)->pMethods->xShmLock(real(file), offset, n, flags);
}
void fileShmBarrier(sqlite3_file* file) { real(file)->pMethods->xShmBarrier(real(file)); }
int fileShmUnmap(sqlite3_file* file, int deleteFlag) {
  return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}
int fileFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  return real(file)->pMethods->xFetch(real(file), offset, amount, out);
}
int fileUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
  return real(file)->pMethods->xUnfetch(real(file), offset, page);
}

const sqlite3_io_methods kFaultyMethods = {
    3,
    fileClose,
    fileRead,
    fileWrite,
    fileTruncate,
    fileSync,
    fileSize,
    fileLock,
    fileUnlock,
    fileCheckReservedLock,
    fileControl,
    fileSectorSize,
    fileDeviceCharacteristics,
    fileShmMap,
    fileShmLock,
    fileShmBarrier,
    fileShmUnmap,
    fileFetch,
    fileUnfetch,
};

int vfsOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
  FaultyVfs* owner = ownerOf(vfs);
  FaultyFile* wrapper = faulty(file);
  wrapper->base.pMethods = nullptr;
  wrapper->owner = owner;
  wrapper->real = reinterpret_cast<sqlite3_file*>(wrapper + 1);
  std::memset(wrapper->real, 0, owner->base()->szOsFile);
  if (owner->failOpens() && (flags & SQLITE_OPEN_MAIN_DB) != 0) {
    owner->countFailure();
    return SQLITE_CANTOPEN;
  }
  const int result = owner->base()->xOpen(owner->base(), name, wrapper->real, flags, outFlags);
  // SQLite closes a file whose methods are set, even after a failed open.
  if (wrapper->real->pMethods != nullptr) wrapper->base.pMethods = &kFaultyMethods;
  return result;
}
int vfsDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  return ownerOf(vfs)->base()->xDelete(ownerOf(vfs)->base(), name, syncDir);
}
int vfsAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  return ownerOf(vfs)->base()->xAccess(ownerOf(vfs)->base(), name, flags, out);
}
int vfsFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return ownerOf(vfs)->base()->xFullPathname(ownerOf(vfs)->base(), name, size, out);
}
void* vfsDlOpen(sqlite3_vfs* vfs, const char* name) {
  return ownerOf(vfs)->base()->xDlOpen(ownerOf(vfs)->base(), name);
}
void vfsDlError(sqlite3_vfs* vfs, int size, char* out) {
  ownerOf(vfs)->base()->xDlError(ownerOf(vfs)->base(), size, out);
}
void (*vfsDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return ownerOf(vfs)->base()->xDlSym(ownerOf(vfs)->base(), handle, symbol);
}
void vfsDlClose(sqlite3_vfs* vfs, void* handle) {
  ownerOf(vfs)->base()->xDlClose(ownerOf(vfs)->base(), handle);
}
int vfsRandomness(sqlite3_vfs* vfs, int size, char* out) {
  return ownerOf(vfs)->base()->xRandomness(ownerOf(vfs)->base(), size, out);
}
int vfsSleep(sqlite3_vfs* vfs, int microseconds) {
  return ownerOf(vfs)->base()->xSleep(ownerOf(vfs)->base(), microseconds);
}
int vfsCurrentTime(sqlite3_vfs* vfs, double* out) {
  return ownerOf(vfs)->base()->xCurrentTime(ownerOf(vfs)->base(), out);
}
int vfsGetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return ownerOf(vfs)->base()->xGetLastError(ownerOf(vfs)->base(), size, out);
}
int vfsCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return ownerOf(vfs)->base()->xCurrentTimeInt64(ownerOf(vfs)->base(), out);
}

}  // namespace

FaultyVfs::FaultyVfs() {
  base_ = sqlite3_vfs_find(nullptr);
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(FaultyFile)) + base_->szOsFile;
  vfs_.mxPathname = base_->mxPathname;
  vfs_.zName = kName;
  vfs_.pAppData = this;
  vfs_.xOpen = vfsOpen;
  vfs_.xDelete = vfsDelete;
  vfs_.xAccess = vfsAccess;
  vfs_.xFullPathname = vfsFullPathname;
  vfs_.xDlOpen = vfsDlOpen;
  vfs_.xDlError = vfsDlError;
  vfs_.xDlSym = vfsDlSym;
  vfs_.xDlClose = vfsDlClose;
  vfs_.xRandomness = vfsRandomness;
  vfs_.xSleep = vfsSleep;
  vfs_.xCurrentTime = vfsCurrentTime;
  vfs_.xGetLastError = vfsGetLastError;
  vfs_.xCurrentTimeInt64 = vfsCurrentTimeInt64;
  sqlite3_vfs_register(&vfs_, 1);
}

FaultyVfs::~FaultyVfs() { sqlite3_vfs_unregister(&vfs_); }

void FaultyVfs::clearFaults() {
  failWrites_.store(false);
  failSyncs_.store(false);
  failReads_.store(false);
  failOpens_.store(false);
}
