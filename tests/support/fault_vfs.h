// A fault-injecting SQLite VFS for the tests that drive the real engine into
// storage failures: a full disk, I/O errors, a folder where no journal can
// be made, a lock that cannot be had.
//
// While a FaultVfs lives it is SQLite's default VFS, a shim that forwards
// every call to the VFS that was the default before (the operating system's)
// and counts it by kind. An armed fault makes the nth call of one kind,
// counted from the moment it was armed and optionally only on one role of
// file, return a chosen SQLite result code instead of being forwarded; once,
// or (persistent) for that call and every later one of the kind.
//
// Only connections opened while the shim is the default go through it, so
// create it before opening the store and destroy it after closing it. One
// shim at a time, used from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vddb::test {

// The kinds of call a fault can target.
enum class VfsCall {
  kOpen,    // opening a file (the store, its journal, a temporary file)
  kDelete,  // deleting a file (the journal at commit)
  kAccess,  // asking whether a file exists (a hot journal)
  kRead,
  kWrite,
  kTruncate,
  kSync,
  kFileSize,
  kLock,    // taking a lock or raising it
  kUnlock,  // lowering or releasing a lock
};
inline constexpr std::size_t kVfsCallKinds = 10;

// The file a call is about, from the flags SQLite opens it with; for the
// calls that name a file instead (delete, access), a name ending in
// "-journal" is the journal and any other is kOther.
enum class VfsFile { kAny, kMainDb, kJournal, kOther };

struct VfsFault {
  VfsCall call = VfsCall::kWrite;
  std::uint64_t nth = 1;  // 1-based
  int code = 0;           // the SQLite result code the failing call returns
  bool persistent = false;
  VfsFile file = VfsFile::kAny;
};

class FaultVfs {
 public:
  FaultVfs();
  ~FaultVfs();
  FaultVfs(const FaultVfs&) = delete;
  FaultVfs& operator=(const FaultVfs&) = delete;

  // Arms `fault`, replacing any armed before; its count starts now.
  void arm(const VfsFault& fault);
  void disarm();
  // Whether the armed fault has failed a call.
  bool fired() const;
  // Calls of `kind` (on any file) since the shim was made, failed ones too.
  std::uint64_t calls(VfsCall kind) const;

  struct State;

 private:
  std::unique_ptr<State> _state;
};

}  // namespace vddb::test
