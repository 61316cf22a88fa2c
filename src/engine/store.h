// The engine's core: one SQLite connection, the catalog loaded from it, the
// prepared statements every call goes through, and the open transaction.
// The COM objects (com_objects.*) are thin views over it: they validate
// arguments against the catalog and call one of these primitives, each an
// indexed lookup through a cached statement.
//
// One file per job: statement.cpp (the statement wrapper), schema.cpp (the
// file layout, the catalog tables, the cached statements), store_open.cpp
// (opening, creating and loading), transactions.cpp, values.cpp (objects
// and their values), class_table.cpp and ref_table.cpp (the classes and
// reference values a write transaction reads from memory), queries.cpp and
// integrity.cpp.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/catalog.h"
#include "engine/change_recorder.h"
#include "engine/class_table.h"
#include "engine/result_codes.h"
#include "engine/statement.h"
#include "engine/value_table.h"
#include "store/com.h"
#include "store/guid.h"

namespace vddb::engine {

class ChangeObserver;
struct JournalSummary;
struct JournalEntry;
struct JournalConflict;

// A query's selection, fixed when the query is run.
struct QueryCondition {
  std::uint32_t attributeId = 0;
  bool isString = false;
  std::int32_t integer = 0;
  std::u16string text;
};

class Store {
 public:
  enum class Mode { kWrite, kRead };

  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // An existing store file: checked (format marker, schema version,
  // catalog), never created or changed. kWrite takes the write lock.
  static HRESULT openFile(const std::string& path, Mode mode, std::shared_ptr<Store>& store,
                          std::string* error = nullptr);
  // An existing file that carries this engine's format marker, whatever its
  // schema version or the state of its catalog and pages, with its write
  // lock held and nothing else loaded: a store that a load may replace.
  // kNotAStore for anything else, kStoreLocked when another process holds it.
  static HRESULT openToReplace(const std::string& path, std::shared_ptr<Store>& store,
                               std::string* error = nullptr);
  // A new, empty store with the schema: in memory when `path` is empty,
  // else in that file (new or empty). Bulk-load settings are on; the load
  // is one transaction: installCatalog, objects and values, finishLoad.
  static HRESULT createNew(const std::string& path, std::shared_ptr<Store>& store,
                           std::string* error = nullptr);
  // Sets the catalog of a store being loaded and writes it to the file.
  // Pointers into an earlier catalog become invalid.
  HRESULT installCatalog(Catalog catalog);
  // Moves the loaded rows into place, builds the indexes and commits; a
  // GUID that came twice is found here (kBadJson, named in `error`).
  HRESULT finishLoad(bool commit, std::string* error = nullptr);

  // The write transaction of a session.
  HRESULT begin();
  HRESULT commit();
  HRESULT rollback();
  // Ends everything; later calls fail with kStoreClosed.
  void close() noexcept;

  bool isOpen() const noexcept { return _db != nullptr; }
  // kStoreClosed or kNoTransaction when a change is not possible now, or the
  // storage fault that ended the session's writes.
  HRESULT writeState() noexcept;
  // The result for a failing SQLite call. In a write session every failure
  // but an answer about one statement (a busy file, a duplicate key, a value
  // that does not fit) is a storage fault that ends the session's writes.
  HRESULT storageFailure(int rc) noexcept;
  // Records `fault` (a damaged row the engine found itself) as the fault
  // that ends the write session's writes; returns it.
  HRESULT storageFault(HRESULT fault) noexcept;
  const Catalog& catalog() const noexcept { return _catalog; }
  sqlite3* db() const noexcept { return _db; }
  // Who is told of changes made through the interfaces (engine.h).
  ChangeObserver* changeObserver() const noexcept { return _observer; }
  void setChangeObserver(ChangeObserver* observer) noexcept { _observer = observer; }

  // Objects. A deleted object reads as missing (kStorageNotFound).
  HRESULT objectClass(const GUID& object, const ClassDef*& cls);
  bool isDeleted(const GUID& object) const noexcept {
    return !_deleted.empty() && _deleted.count(object) != 0;
  }
  HRESULT insertObject(const GUID& object, const ClassDef& cls);
  HRESULT deleteObject(const GUID& object);

  // Values. A missing value gives S_FALSE and leaves the out value empty.
  HRESULT readInteger(const GUID& object, std::uint32_t attr, std::int32_t& value);
  HRESULT readString(const GUID& object, std::uint32_t attr, std::u16string& text);
  HRESULT readReferences(const GUID& object, std::uint32_t attr, std::vector<GUID>& targets);
  // An entry of a reference list that names an existing object.
  struct ListEntry {
    GUID object;
    const ClassDef* cls;
  };
  // The entries of list `attr` of `object` that name an existing object (of
  // class `kind` or one derived from it, when given), in order; the first
  // `limit` of them when `limit` is not 0. `entries` stays valid until the
  // next call.
  HRESULT readListEntries(const GUID& object, std::uint32_t attr, const GUID* kind,
                          std::uint32_t limit, std::span<const ListEntry>& entries);
  HRESULT writeInteger(const GUID& object, std::uint32_t attr, std::int32_t value);
  HRESULT writeString(const GUID& object, std::uint32_t attr, const char16_t* text,
                      std::size_t length);
  // An empty list removes the value.
  HRESULT writeReferences(const GUID& object, std::uint32_t attr, const GUID* targets,
                          std::size_t count);

  // The journal (journal.cpp). Every change of a write session starts the
  // recording of the session's changes (upgrading a store of the previous
  // version first); the commit writes them as one entry.
  HRESULT readJournal(std::vector<JournalSummary>& entries);
  // `number` 0: the latest entry. kJournalEntryMissing when there is none.
  HRESULT readJournalEntry(std::int64_t number, JournalEntry& entry, std::string* error);
  // Reverts entry `number` (0: the latest) as the session's first change;
  // `undone` receives its number. kUndoConflict with `conflicts` when a later
  // change touched the same objects, and nothing is changed then.
  HRESULT undoJournalEntry(std::int64_t number, std::int64_t& undone,
                           std::vector<JournalConflict>& conflicts, std::string* error);
  // Keeps the newest `keep` entries; `dropped` receives how many went.
  HRESULT pruneJournal(std::size_t keep, std::int64_t& dropped);
  int schemaVersion() const noexcept { return _schemaVersion; }

  // SQLite's integrity check (quick_check, or integrity_check when
  // `thorough`): S_OK when it found nothing; kStoreDamaged with SQLite's
  // findings, one per entry, when it found damage (a storage fault's code
  // when a page could not be read), which in a write session ends the
  // session's writes; another failure when the check could not run.
  HRESULT checkIntegrity(bool thorough, std::vector<std::string>& findings);

  // The GUIDs of the objects of `classes` meeting every condition,
  // ascending.
  HRESULT selectObjects(const std::vector<const ClassDef*>& classes,
                        const std::vector<QueryCondition>& conditions, std::vector<GUID>& out);

  // The SQL of every cached statement, for the check that each is an
  // indexed lookup.
  std::vector<std::string> statementTexts() const;

 private:
  // Waiting for the write lock stays well under a second: the caller retries.
  static constexpr int kOpenBusyMilliseconds = 200;
  // A commit waits a little longer for readers (a dump) to finish.
  static constexpr int kCommitBusyMilliseconds = 2000;

  Store() = default;
  // The file opened in `mode` (write lock or read view) once it is known to
  // carry the format marker; `version` receives its schema version.
  static HRESULT openMarked(const std::string& path, Mode mode, std::shared_ptr<Store>& store,
                            std::string& version, std::string* error);
  HRESULT prepareStatements();
  HRESULT loadCatalog(std::string* error);
  // kStoreDamaged when one of the schema's indexes is missing.
  HRESULT checkIndexes(std::string* error);
  // kStoreDamaged when a store of the current version lacks its journal.
  HRESULT checkJournal(std::string* error);
  // writeState(), and the start of the journal's recording at a session's
  // first change.
  HRESULT beforeChange() noexcept;
  HRESULT startJournal() noexcept;
  // Writes the session's changes as one journal entry, before the commit.
  // Throws std::bad_alloc, which commit() makes a storage fault.
  HRESULT writeJournalEntry();
  // Drops the recording (after a commit or a rollback).
  void endJournal() noexcept;
  HRESULT valueMatches(const GUID& object, const QueryCondition& condition, bool& matches);
  // A failing SQLite result code of a write session as the fault it records.
  static HRESULT storageResult(int rc) noexcept;
  // The class, reference and text tables of a write transaction
  // (class_table.h, value_table.h): whether they answer now, building them
  // when the transaction has made enough lookups. Only the class table's
  // answer is given: the others may have failed to build or been dropped.
  bool classTableReady() noexcept;
  // One value of a kind a value table holds: from the table when it
  // answers, else by `select`.
  template <class Element, class Container>
  HRESULT readValue(const ValueTable<Element>& table, Statement& select, const GUID& object,
                    std::uint32_t attr, Container& elements);
  // Forgets them: the rows they were read from may change under them.
  void dropMemoryTables() noexcept;

  sqlite3* _db = nullptr;
  Catalog _catalog;
  bool _inWrite = false;
  HRESULT _writeFault = S_OK;  // the first storage fault of the write session
  bool _inRead = false;
  bool _loading = false;
  bool _staged = false;  // a file load: rows go to the staging tables first
  Mode _mode = Mode::kWrite;
  std::unordered_set<GUID, GuidHash> _deleted;
  ChangeObserver* _observer = nullptr;
  int _schemaVersion = 3;
  bool _upgradedHere = false;                 // this transaction upgraded the store
  std::unique_ptr<ChangeRecorder> _recorder;  // the session's changes, once it makes any
  std::int64_t _journalRow = 0;               // the entry a failed commit wrote already
  ClassTable _classTable;
  RefTable _refTable;
  StringTable _stringTable;
  std::uint64_t _classLookups = 0;     // by statement, in this transaction
  std::uint64_t _classTableAfter = 0;  // lookups worth a scan; 0: not known yet
  bool _classTableFailed = false;      // a scan failed in this transaction
  // Counts the events after which an answer read earlier may no longer
  // hold: every change, transaction boundary and storage fault.
  std::uint64_t _generation = 0;
  // The last list read whole, for the second call of the two-call protocol
  // (which asks for the same list again once it has room for it).
  struct ListMemo {
    std::uint64_t generation = 0;
    bool valid = false;
    GUID object;
    std::uint32_t attr = 0;
    bool filtered = false;
    GUID kind;
    std::vector<GUID> targets;
    std::vector<ListEntry> entries;
  } _listMemo;

  Statement _selectClass, _insertObject, _deleteObject;
  Statement _selectInt, _selectString, _selectRefs;
  Statement _upsertInt, _upsertString, _upsertRefs, _deleteRefs;
  Statement _deleteInts, _deleteStrings, _deleteAllRefs;
  Statement _objectsOfClass, _objectsByInt, _objectsByString;
  Statement _begin, _beginRead, _commit, _rollback;
  Statement _stageObject, _stageInt, _stageString, _stageRefs;
};

}  // namespace vddb::engine
