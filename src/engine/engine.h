// The store engine: the store interfaces implemented on one SQLite database
// file per store. See docs/store-engine.md for the contract and the result
// codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result_codes.h"
#include "store/interfaces.h"

namespace vddb::engine {

// The store file: $VARKEL_DDB_PATH, or the platform default.
std::string defaultStorePath();

// The journal (docs/store-engine.md): every committed write transaction that
// changes stored objects is recorded in the store as one entry, in that same
// transaction.

// Who makes this process's journal entries, e.g. "vddb" and "repair". A
// program that never says is named by its file name, with no command.
void setJournalOrigin(std::string_view program, std::string_view command);

// Whether write sessions keep the journal (they do unless turned off). Off
// is for measuring what the journal costs, never for a store in use: a
// change made without it is missing from the history.
void setJournalling(bool on) noexcept;

// What a commit adds to its entry beside the changes: the records of a
// repair's report, as a JSON array, and how many there are.
struct CommitNote {
  std::int64_t problems = -1;  // -1: the change was not a repair with a report
  std::string report;
};

// One entry as the history lists it.
struct JournalSummary {
  std::int64_t number = 0;
  std::string time;  // UTC, e.g. "2026-12-08T11:24:11Z"
  std::string program;
  std::string command;
  std::int64_t deleted = 0;   // objects deleted
  std::int64_t created = 0;   // objects created (an undo puts deleted ones back)
  std::int64_t changed = 0;   // values set, changed or removed on other objects
  std::int64_t problems = -1;
  std::int64_t bytes = 0;  // the size of the recorded change
};

// One object as the entry holds it, in the store's JSON format (an object of
// its "objects" array, compact).
struct JournalObject {
  GUID guid{};
  std::string json;
};

// A value of an object that the entry kept: before and after as JSON values
// (empty: there was none).
struct JournalValueChange {
  GUID object{};
  std::uint32_t attribute = 0;
  std::string before;
  std::string after;
};

struct JournalEntry {
  JournalSummary summary;
  std::vector<JournalObject> deleted;  // ascending GUID
  std::vector<JournalObject> created;
  std::vector<JournalValueChange> changed;  // ascending object, attribute
  std::string report;                       // the CommitNote's report, or empty
};

// An object that an undo would put back but a later change touched.
struct JournalConflict {
  GUID object{};
  std::vector<std::int64_t> entries;  // the later entries that touched it
};

// Told of every change made through a session's interfaces, as it is made.
// For reports that must say exactly what a repair changed; an observer only
// watches and never fails the change.
class ChangeObserver {
 public:
  virtual void objectDeleted(const GUID& object, const GUID& objectClass) noexcept = 0;
  virtual void valueChanged(const GUID& object, std::uint32_t attribute) noexcept = 0;
  // A call of the store interfaces that failed (by its interface name, e.g.
  // "getReference"), with its result.
  virtual void callFailed(const char* /*call*/, HRESULT /*result*/) noexcept {}
  // Asked as the session commits: what its journal entry says beside the
  // changes. False when the note could not be made in full (memory ran
  // out): the commit then fails with E_OUTOFMEMORY and saves nothing,
  // rather than save changes that their report does not tell.
  virtual bool describeCommit(CommitNote& /*note*/) noexcept { return true; }

 protected:
  ~ChangeObserver() = default;
};

// An open store with one write transaction. Everything done through
// storage() between open and commit/rollback is one transaction; the store
// file holds either the state before it or all of it.
class StoreSession {
 public:
  // Opens an existing store file and takes its write lock, waiting for the
  // lock well under a second. Fails with a negative code when the file is
  // missing, is not a store of this engine, is damaged, or another process
  // holds the lock; the file is not changed then. Runs SQLite's quick check
  // in the new session: damage it finds ends the session's writes at once
  // (every change and the commit fail with kStoreDamaged), as any storage
  // fault met later in the session does.
  static HRESULT open(const std::string& path, std::unique_ptr<StoreSession>& session);

  // A store in memory, built from JSON text in the vddb-store/1 format. For
  // tests and previews. On malformed input returns a negative code and, when
  // `error` is given, a message naming the object and attribute.
  static HRESULT openFromJson(std::string_view json, std::unique_ptr<StoreSession>& session,
                              std::string* error = nullptr);

  // Opens an existing store file for reading only, without its write lock:
  // a consistent view of the last committed state. Changes through storage()
  // fail with kNoTransaction. For dumps and previews.
  static HRESULT openReadOnly(const std::string& path, std::unique_ptr<StoreSession>& session);

  virtual ~StoreSession() = default;  // rolls back what was not committed, releases the lock

  // The store's root interface, lent: valid while the session lives.
  virtual IkorrinStorage* storage() noexcept = 0;

  // Makes the changes permanent / discards them. Either ends the transaction;
  // further changes through storage() then fail.
  virtual HRESULT commit() = 0;
  virtual HRESULT rollback() = 0;

  // Reports every later change to `observer` (null: to nobody). The
  // observer must outlive its use.
  virtual void setChangeObserver(ChangeObserver* observer) noexcept = 0;

  // The journal's entries, oldest first (none for a store of the previous
  // schema version that no change has upgraded yet).
  virtual HRESULT journal(std::vector<JournalSummary>& entries) = 0;
  // Entry `number` (0: the latest); kJournalEntryMissing when there is none.
  virtual HRESULT journalEntry(std::int64_t number, JournalEntry& entry,
                               std::string* error = nullptr) = 0;
  // Reverts entry `number` (0: the latest) in this write session, which
  // must not have changed anything yet; the commit records the undo as an
  // entry of its own. `undone` receives the entry's number. When a later
  // entry touched one of its objects: kUndoConflict, with each such object
  // and the entries that touched it (none named: a change outside the
  // journal), and nothing changed.
  virtual HRESULT undo(std::int64_t number, std::int64_t& undone,
                       std::vector<JournalConflict>& conflicts, std::string* error = nullptr) = 0;
  // Drops all but the newest `keep` entries in this write session.
  virtual HRESULT pruneJournal(std::size_t keep, std::int64_t& dropped) = 0;

  // SQLite's check of the store file. kQuick reads every page of every
  // table and index and checks its structure; kFull also checks that every
  // index agrees with its table (slower: several seconds for a large
  // store). S_OK when nothing was found; kStoreDamaged with SQLite's
  // findings (at most 100 lines) when the file is damaged, which also ends
  // a write session's writes; another negative code when the check could
  // not run.
  enum class IntegrityCheck { kQuick, kFull };
  virtual HRESULT checkIntegrity(IntegrityCheck depth, std::vector<std::string>& findings) = 0;
  // What the quick check that open() ran found, as checkIntegrity reports
  // it (S_OK, and nothing, for a session that open() did not make): a
  // caller that must know before any change need not read the file again.
  virtual HRESULT openingCheck(std::vector<std::string>& findings) const = 0;

  // Canonical JSON (vddb-store/1) of the store as this session sees it.
  virtual HRESULT dumpJson(std::string& json, std::string* error = nullptr) = 0;
  // The same, written to `out` as it is produced (memory stays flat for big
  // stores). With `allClasses` the built-in classes are written too;
  // otherwise only the classes the store defines differently.
  virtual HRESULT dumpJson(std::ostream& out, bool allClasses, std::string* error = nullptr) = 0;
};

// Creates the store file `path` from JSON (vddb-store/1) read from `json`.
// The store is built in a temporary file beside `path` and renamed into
// place, so a failed load leaves nothing behind. Anything at `path` is
// refused with kStoreExists unless `replace` is set; with it, only a store
// of this engine (its format marker readable, whatever its schema version
// or damage) is replaced, and not while another process holds its lock
// (kStoreLocked). Anything else (another file, a folder, a link, a device)
// is refused with kNotAStore and left as it is. On failure `error`
// receives a message naming the object and attribute, or the path.
HRESULT createStoreFromJson(std::istream& json, const std::string& path, bool replace,
                            std::string* error = nullptr);

// Lets the page cache of `session`'s connection hold up to `bytes` (a session
// that `open` made starts at 256 MB, any other at SQLite's default of 2 MB).
// Pages enter the cache as they are read, so memory grows only with what the
// session reads. A session that reads objects at random, as the repair does,
// otherwise reads most pages again from the file.
HRESULT setPageCacheLimit(StoreSession& session, std::uint64_t bytes) noexcept;

// Engine interface objects currently alive (storage, queries, enumerators,
// objects, classes, attributes). Tests end by checking it is 0.
std::size_t liveInterfaceCount() noexcept;

// Told how far a dump has come. A progress display only watches: it never
// fails the dump.
class DumpProgress {
 public:
  // `written` of the store's `total` objects are written (`total` is 0 when
  // the store could not count them).
  virtual void objectsWritten(std::uint64_t written, std::uint64_t total) noexcept = 0;

 protected:
  ~DumpProgress() = default;
};

// StoreSession::dumpJson to `out`, telling `progress` every few hundred
// objects. Counts the store's objects first (one more pass over the object
// table, for the total); the dump is the same as without progress.
HRESULT dumpJsonWithProgress(StoreSession& session, std::ostream& out, bool allClasses,
                             DumpProgress& progress, std::string* error = nullptr);

}  // namespace vddb::engine
