#include "support/fault_vfs.h"

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <string_view>

namespace vddb::test {

struct FaultVfs::State {
  sqlite3_vfs shim{};
  sqlite3_vfs* base = nullptr;
  VfsFault fault{};
  bool armed = false;
  bool fired = false;
  std::uint64_t seen = 0;  // calls the armed fault matched
  std::array<std::uint64_t, kVfsCallKinds> counts{};

  // SQLITE_OK to forward the call, or the code it fails with.
  int check(VfsCall call, VfsFile file) {
    ++counts[static_cast<std::size_t>(call)];
    if (!armed || fault.call != call) return SQLITE_OK;
    if (fault.file != VfsFile::kAny && fault.file != file) return SQLITE_OK;
    ++seen;
    if (seen < fault.nth || (seen > fault.nth && !fault.persistent)) return SQLITE_OK;
    fired = true;
    return fault.code;
  }
};

namespace {

using State = FaultVfs::State;

// An open file of the shim: SQLite allocates szOsFile bytes for it, the
// shim's part first and the real VFS's file after it.
struct ShimFile {
  sqlite3_file file;  // first: SQLite sees this
  sqlite3_file* real;
  State* state;
  VfsFile role;
};
constexpr int kShimFileSize = (sizeof(ShimFile) + 15) & ~15;

ShimFile* shimOf(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f); }
sqlite3_file* realOf(sqlite3_file* f) { return shimOf(f)->real; }
State* stateOf(sqlite3_vfs* vfs) { return static_cast<State*>(vfs->pAppData); }

VfsFile roleFromFlags(int flags) {
  if ((flags & SQLITE_OPEN_MAIN_DB) != 0) return VfsFile::kMainDb;
  if ((flags & SQLITE_OPEN_MAIN_JOURNAL) != 0) return VfsFile::kJournal;
  return VfsFile::kOther;
}

VfsFile roleFromName(const char* name) {
  constexpr std::string_view kJournalSuffix = "-journal";
  const std::string_view n = name != nullptr ? name : "";
  return n.size() >= kJournalSuffix.size() &&
                 n.substr(n.size() - kJournalSuffix.size()) == kJournalSuffix
             ? VfsFile::kJournal
             : VfsFile::kOther;
}

// A call on an open file: fails when the armed fault says so, else forwards.
template <class Forward>
int onFile(sqlite3_file* f, VfsCall call, Forward&& forward) {
  const int rc = shimOf(f)->state->check(call, shimOf(f)->role);
  return rc != SQLITE_OK ? rc : forward(realOf(f));
}

int fileClose(sqlite3_file* f) { return realOf(f)->pMethods->xClose(realOf(f)); }
int fileRead(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
  return onFile(f, VfsCall::kRead,
                [&](sqlite3_file* r) { return r->pMethods->xRead(r, data, amount, offset); });
}
int fileWrite(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  return onFile(f, VfsCall::kWrite,
                [&](sqlite3_file* r) { return r->pMethods->xWrite(r, data, amount, offset); });
}
int fileTruncate(sqlite3_file* f, sqlite3_int64 size) {
  return onFile(f, VfsCall::kTruncate,
                [&](sqlite3_file* r) { return r->pMethods->xTruncate(r, size); });
}
int fileSync(sqlite3_file* f, int flags) {
  return onFile(f, VfsCall::kSync, [&](sqlite3_file* r) { return r->pMethods->xSync(r, flags); });
}
int fileSize(sqlite3_file* f, sqlite3_int64* size) {
  return onFile(f, VfsCall::kFileSize,
                [&](sqlite3_file* r) { return r->pMethods->xFileSize(r, size); });
}
int fileLock(sqlite3_file* f, int level) {
  return onFile(f, VfsCall::kLock, [&](sqlite3_file* r) { return r->pMethods->xLock(r, level); });
}
int fileUnlock(sqlite3_file* f, int level) {
  return onFile(f, VfsCall::kUnlock,
                [&](sqlite3_file* r) { return r->pMethods->xUnlock(r, level); });
}
int fileCheckReservedLock(sqlite3_file* f, int* out) {
  return realOf(f)->pMethods->xCheckReservedLock(realOf(f), out);
}
int fileControl(sqlite3_file* f, int op, void* arg) {
  return realOf(f)->pMethods->xFileControl(realOf(f), op, arg);
}
int fileSectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int fileDeviceCharacteristics(sqlite3_file* f) {
  return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f));
}
// Shared memory and memory mapping belong to WAL and mmap, which the engine
// does not use; they are forwarded when the real file has them.
int fileShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  const sqlite3_io_methods* m = realOf(f)->pMethods;
  return m->iVersion >= 2 ? m->xShmMap(realOf(f), page, size, extend, out) : SQLITE_IOERR;
}
int fileShmLock(sqlite3_file* f, int offset, int n, int flags) {
  const sqlite3_io_methods* m = realOf(f)->pMethods;
  return m->iVersion >= 2 ? m->xShmLock(realOf(f), offset, n, flags) : SQLITE_IOERR;
}
void fileShmBarrier(sqlite3_file* f) {
  const sqlite3_io_methods* m = realOf(f)->pMethods;
  if (m->iVersion >= 2) m->xShmBarrier(realOf(f));
}
int fileShmUnmap(sqlite3_file* f, int deleteFlag) {
  const sqlite3_io_methods* m = realOf(f)->pMethods;
  return m->iVersion >= 2 ? m->xShmUnmap(realOf(f), deleteFlag) : SQLITE_OK;
}
int fileFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
  const sqlite3_io_methods* m = realOf(f)->pMethods;
  if (m->iVersion >= 3) return m->xFetch(realOf(f), offset, amount, out);
  *out = nullptr;
  return SQLITE_OK;
}
int fileUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* p) {
  const sqlite3_io_methods* m = realOf(f)->pMethods;
  return m->iVersion >= 3 ? m->xUnfetch(realOf(f), offset, p) : SQLITE_OK;
}

const sqlite3_io_methods kFileMethods = {
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
  State* state = stateOf(vfs);
  ShimFile* shim = shimOf(file);
  shim->file.pMethods = nullptr;
  shim->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + kShimFileSize);
  shim->real->pMethods = nullptr;
  shim->state = state;
  shim->role = roleFromFlags(flags);
  const int injected = state->check(VfsCall::kOpen, shim->role);
  if (injected != SQLITE_OK) return injected;
  const int rc = state->base->xOpen(state->base, name, shim->real, flags, outFlags);
  // SQLite closes a file that has methods even when its open failed.
  if (shim->real->pMethods != nullptr) shim->file.pMethods = &kFileMethods;
  return rc;
}
int vfsDelete(sqlite3_vfs* vfs, const char* name, int syncDir) {
  State* state = stateOf(vfs);
  const int injected = state->check(VfsCall::kDelete, roleFromName(name));
  return injected != SQLITE_OK ? injected : state->base->xDelete(state->base, name, syncDir);
}
int vfsAccess(sqlite3_vfs* vfs, const char* name, int flags, int* out) {
  State* state = stateOf(vfs);
  const int injected = state->check(VfsCall::kAccess, roleFromName(name));
  if (injected != SQLITE_OK) {
    *out = 0;
    return injected;
  }
  return state->base->xAccess(state->base, name, flags, out);
}

// Everything else is the real VFS's.
sqlite3_vfs* baseOf(sqlite3_vfs* vfs) { return stateOf(vfs)->base; }
int vfsFullPathname(sqlite3_vfs* vfs, const char* name, int size, char* out) {
  return baseOf(vfs)->xFullPathname(baseOf(vfs), name, size, out);
}
void* vfsDlOpen(sqlite3_vfs* vfs, const char* name) {
  return baseOf(vfs)->xDlOpen(baseOf(vfs), name);
}
void vfsDlError(sqlite3_vfs* vfs, int size, char* out) {
  baseOf(vfs)->xDlError(baseOf(vfs), size, out);
}
void (*vfsDlSym(sqlite3_vfs* vfs, void* handle, const char* symbol))(void) {
  return baseOf(vfs)->xDlSym(baseOf(vfs), handle, symbol);
}
void vfsDlClose(sqlite3_vfs* vfs, void* handle) { baseOf(vfs)->xDlClose(baseOf(vfs), handle); }
int vfsRandomness(sqlite3_vfs* vfs, int size, char* out) {
  return baseOf(vfs)->xRandomness(baseOf(vfs), size, out);
}
int vfsSleep(sqlite3_vfs* vfs, int microseconds) {
  return baseOf(vfs)->xSleep(baseOf(vfs), microseconds);
}
int vfsCurrentTime(sqlite3_vfs* vfs, double* out) {
  return baseOf(vfs)->xCurrentTime(baseOf(vfs), out);
}
int vfsGetLastError(sqlite3_vfs* vfs, int size, char* out) {
  return baseOf(vfs)->xGetLastError(baseOf(vfs), size, out);
}
int vfsCurrentTimeInt64(sqlite3_vfs* vfs, sqlite3_int64* out) {
  return baseOf(vfs)->xCurrentTimeInt64(baseOf(vfs), out);
}
int vfsSetSystemCall(sqlite3_vfs* vfs, const char* name, sqlite3_syscall_ptr call) {
  return baseOf(vfs)->xSetSystemCall(baseOf(vfs), name, call);
}
sqlite3_syscall_ptr vfsGetSystemCall(sqlite3_vfs* vfs, const char* name) {
  return baseOf(vfs)->xGetSystemCall(baseOf(vfs), name);
}
const char* vfsNextSystemCall(sqlite3_vfs* vfs, const char* name) {
  return baseOf(vfs)->xNextSystemCall(baseOf(vfs), name);
}

}  // namespace

FaultVfs::FaultVfs() : _state(std::make_unique<State>()) {
  State& s = *_state;
  s.base = sqlite3_vfs_find(nullptr);
  sqlite3_vfs& v = s.shim;
  v.iVersion = s.base->iVersion < 3 ? s.base->iVersion : 3;
  v.szOsFile = kShimFileSize + s.base->szOsFile;
  v.mxPathname = s.base->mxPathname;
  v.zName = "vddb-fault-vfs";
  v.pAppData = &s;
  v.xOpen = vfsOpen;
  v.xDelete = vfsDelete;
  v.xAccess = vfsAccess;
  v.xFullPathname = vfsFullPathname;
  v.xDlOpen = vfsDlOpen;
  v.xDlError = vfsDlError;
  v.xDlSym = vfsDlSym;
  v.xDlClose = vfsDlClose;
  v.xRandomness = vfsRandomness;
  v.xSleep = vfsSleep;
  v.xCurrentTime = vfsCurrentTime;
  v.xGetLastError = vfsGetLastError;
  if (v.iVersion >= 2) v.xCurrentTimeInt64 = vfsCurrentTimeInt64;
  if (v.iVersion >= 3) {
    v.xSetSystemCall = vfsSetSystemCall;
    v.xGetSystemCall = vfsGetSystemCall;
    v.xNextSystemCall = vfsNextSystemCall;
  }
  sqlite3_vfs_register(&v, 1);
}

FaultVfs::~FaultVfs() {
  sqlite3_vfs_unregister(&_state->shim);
  sqlite3_vfs_register(_state->base, 1);  // the default again
}

void FaultVfs::arm(const VfsFault& fault) {
  _state->fault = fault;
  _state->armed = true;
  _state->fired = false;
  _state->seen = 0;
}

void FaultVfs::disarm() { _state->armed = false; }

bool FaultVfs::fired() const { return _state->fired; }

std::uint64_t FaultVfs::calls(VfsCall kind) const {
  return _state->counts[static_cast<std::size_t>(kind)];
}

}  // namespace vddb::test
