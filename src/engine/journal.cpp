// The journal: every committed change to stored objects, recorded in the
// store by the transaction that makes it, so the record and the store can
// never disagree.
//
// From a session's first change, a recorder (change_recorder.h) keeps the
// old row of everything the session touches in the four object tables; at
// the commit it writes the difference as a changeset of SQLite's session
// extension, which goes into the journal table before the COMMIT. An undo
// has the extension invert an entry's changeset and apply it; the
// extension's conflict handler tells whether the rows are still as the
// entry left them.
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/change_recorder.h"
#include "engine/engine.h"
#include "engine/json_io.h"
#include "engine/schema.h"
#include "engine/store.h"
#include "platform/files.h"
#include "store/interfaces.h"

namespace vddb::engine {
namespace {

// How much history a store keeps: the newest entries up to this many and
// this many bytes of recorded changes; the newest entry is always kept.
constexpr std::int64_t kJournalMaxEntries = 100;
constexpr std::int64_t kJournalMaxBytes = std::int64_t{256} << 20;

std::string& originProgram() {
  static std::string program = [] {
    const std::string name = platform::programName();
    return name.empty() ? std::string("unknown") : name;
  }();
  return program;
}
bool gJournalling = true;

std::string& originCommand() {
  static std::string command;
  return command;
}

// The object tables, in the order their columns are read below.
enum class Table { kObjects, kInts, kStrings, kRefs, kOther };
constexpr const char* kTracked[] = {"objects", "int_values", "string_values", "ref_values"};

Table tableOf(const char* name) {
  for (int i = 0; i < 4; ++i) {
    if (std::strcmp(name, kTracked[i]) == 0) return static_cast<Table>(i);
  }
  return Table::kOther;
}

GUID guidOf(sqlite3_value* value, bool& valid) {
  valid = value != nullptr && sqlite3_value_type(value) == SQLITE_BLOB &&
          sqlite3_value_bytes(value) == 16;
  return valid ? guidFromKeyBytes(static_cast<const unsigned char*>(sqlite3_value_blob(value)))
               : GUID{};
}

// One change of a changeset, with the columns that concern us.
struct Change {
  Table table = Table::kOther;
  int op = 0;  // SQLITE_INSERT, SQLITE_UPDATE or SQLITE_DELETE
  GUID object{};
  std::uint32_t attribute = 0;
  sqlite3_changeset_iter* it = nullptr;
};

// Calls `onChange(const Change&)` for each change of the changeset; the
// SQLite result (SQLITE_OK at the end). A change whose key is not a GUID is
// damage.
template <class OnChange>
int forEachChange(const void* data, int size, OnChange&& onChange) {
  sqlite3_changeset_iter* it = nullptr;
  int rc = sqlite3changeset_start(&it, size, const_cast<void*>(data));
  if (rc != SQLITE_OK) return rc;
  // Finalized on every way out, also when `onChange` runs out of memory.
  struct Finalize {
    void operator()(sqlite3_changeset_iter* iterator) const noexcept {
      sqlite3changeset_finalize(iterator);
    }
  };
  std::unique_ptr<sqlite3_changeset_iter, Finalize> owned(it);
  while ((rc = sqlite3changeset_next(it)) == SQLITE_ROW) {
    const char* table = nullptr;
    int columns = 0;
    Change change;
    int indirect = 0;
    rc = sqlite3changeset_op(it, &table, &columns, &change.op, &indirect);
    if (rc != SQLITE_OK) break;
    change.table = tableOf(table);
    if (change.table == Table::kOther) continue;
    sqlite3_value* key = nullptr;
    sqlite3_value* attribute = nullptr;
    const auto column = change.op == SQLITE_INSERT ? sqlite3changeset_new : sqlite3changeset_old;
    bool valid = column(it, 0, &key) == SQLITE_OK;
    change.object = guidOf(key, valid);
    if (valid && change.table != Table::kObjects) {
      valid = column(it, 1, &attribute) == SQLITE_OK && attribute != nullptr;
      if (valid) change.attribute = static_cast<std::uint32_t>(sqlite3_value_int64(attribute));
    }
    if (!valid) {
      rc = SQLITE_CORRUPT;
      break;
    }
    change.it = it;
    onChange(change);
  }
  const int finalized = sqlite3changeset_finalize(owned.release());
  if (rc == SQLITE_DONE) rc = finalized;
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

struct Counts {
  std::int64_t deleted = 0, created = 0, changed = 0;
};

int countChanges(const void* data, int size, Counts& counts) {
  std::set<GUID, GuidLess> whole;  // objects deleted or created: their values go with them
  int rc = forEachChange(data, size, [&](const Change& c) {
    if (c.table != Table::kObjects) return;
    if (c.op == SQLITE_DELETE) ++counts.deleted;
    if (c.op == SQLITE_INSERT) ++counts.created;
    if (c.op != SQLITE_UPDATE) whole.insert(c.object);
  });
  if (rc != SQLITE_OK) return rc;
  return forEachChange(data, size, [&](const Change& c) {
    if (c.table == Table::kObjects ? c.op == SQLITE_UPDATE : whole.count(c.object) == 0) {
      ++counts.changed;
    }
  });
}

// The value of a value row's change as the dump writes it; empty when the
// row has none on that side.
std::string valueJson(const Change& c, bool after, const ClassDef* cls) {
  const auto column = after ? sqlite3changeset_new : sqlite3changeset_old;
  sqlite3_value* value = nullptr;
  const int index = c.table == Table::kStrings ? 3 : 2;
  if (column(c.it, index, &value) != SQLITE_OK || value == nullptr) return {};
  std::string out;
  switch (c.table) {
    case Table::kInts:
      out = std::to_string(static_cast<std::int32_t>(sqlite3_value_int64(value)));
      break;
    case Table::kStrings:
      appendTextJson(sqlite3_value_blob(value), static_cast<std::size_t>(sqlite3_value_bytes(value)),
                     out);
      break;
    default:
      appendReferencesJson(cls, c.attribute,
                           static_cast<const unsigned char*>(sqlite3_value_blob(value)),
                           static_cast<std::size_t>(sqlite3_value_bytes(value)), ",", "]", out);
  }
  return out;
}

struct WholeObject {
  GUID cls{};
  bool deleted = false;
  std::map<std::uint32_t, std::string> values;
};

std::string objectJson(const GUID& guid, const WholeObject& object) {
  std::string json = "{\"guid\":\"" + formatGuid(guid) + "\",\"class\":\"" +
                     formatGuid(object.cls) + "\",\"values\":{";
  bool first = true;
  for (const auto& [attribute, value] : object.values) {
    json += first ? "\"" : ",\"";
    first = false;
    json += formatAttributeId(attribute) + "\":" + value;
  }
  return json + "}}";
}

// sqlite3_free for what the session extension hands out.
struct SqliteFree {
  void operator()(void* p) const noexcept { sqlite3_free(p); }
};
using SqliteBuffer = std::unique_ptr<void, SqliteFree>;

// The entry `number` (0: the latest), its number and its changeset.
HRESULT loadChanges(Store& store, std::int64_t number, std::int64_t& found, std::string& changes,
                    std::string* error) {
  Statement select;
  const char* sql = number == 0 ? "SELECT seq, changes FROM journal ORDER BY seq DESC LIMIT 1"
                                : "SELECT seq, changes FROM journal WHERE seq = ?1";
  int rc = select.prepare(store.db(), sql);
  if (rc != SQLITE_OK) return setError(error, store.storageFailure(rc), "cannot read the journal");
  StatementUse use(select);
  if (number != 0) use.bindInt(1, number);
  rc = use.step();
  if (rc == SQLITE_DONE) {
    return setError(error, kJournalEntryMissing,
                    number == 0 ? "the journal is empty"
                                : "the journal has no entry " + std::to_string(number));
  }
  if (rc != SQLITE_ROW) return setError(error, store.storageFailure(rc), "cannot read the journal");
  found = use.columnInt(0);
  std::size_t size = 0;
  const unsigned char* bytes = use.columnBlob(1, size);
  changes.assign(reinterpret_cast<const char*>(bytes), bytes != nullptr ? size : 0);
  return S_OK;
}

// Collects what the conflict handler of an undo met.
struct ApplyConflicts {
  std::set<GUID, GuidLess> objects;
};

int onConflict(void* context, int /*kind*/, sqlite3_changeset_iter* it) {
  const char* table = nullptr;
  int columns = 0, op = 0, indirect = 0;
  sqlite3_value* key = nullptr;
  if (sqlite3changeset_op(it, &table, &columns, &op, &indirect) == SQLITE_OK &&
      (op == SQLITE_INSERT ? sqlite3changeset_new(it, 0, &key)
                           : sqlite3changeset_old(it, 0, &key)) == SQLITE_OK) {
    bool valid = false;
    const GUID object = guidOf(key, valid);
    static_cast<ApplyConflicts*>(context)->objects.insert(object);
  }
  // Every conflict is collected; the undo is then taken back whole.
  return SQLITE_CHANGESET_OMIT;
}

// What a summary reads of a journal row, first in each query that makes one.
constexpr const char* kSummaryColumns =
    "seq, time, program, command, deleted, created, changed, problems, bytes";
constexpr int kSummaryColumnCount = 9;

std::string textColumn(sqlite3_stmt* st, int column) {
  const unsigned char* t = sqlite3_column_text(st, column);
  return t != nullptr ? std::string(reinterpret_cast<const char*>(t)) : std::string();
}

JournalSummary summaryOf(sqlite3_stmt* st) {
  JournalSummary e;
  e.number = sqlite3_column_int64(st, 0);
  e.time = textColumn(st, 1);
  e.program = textColumn(st, 2);
  e.command = textColumn(st, 3);
  e.deleted = sqlite3_column_int64(st, 4);
  e.created = sqlite3_column_int64(st, 5);
  e.changed = sqlite3_column_int64(st, 6);
  e.problems = sqlite3_column_type(st, 7) == SQLITE_NULL ? -1 : sqlite3_column_int64(st, 7);
  e.bytes = sqlite3_column_int64(st, 8);
  return e;
}

// Runs `sql`, a change of the journal with one integer parameter; SQLite's
// result code, SQLITE_OK when it ran to its end.
int changeWithInt(sqlite3* db, const char* sql, std::int64_t value) {
  Statement statement;
  int rc = statement.prepare(db, sql);
  if (rc != SQLITE_OK) return rc;
  StatementUse use(statement);
  use.bindInt(1, value);
  rc = use.step();
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

}  // namespace

void setJournalling(bool on) noexcept { gJournalling = on; }

void setJournalOrigin(std::string_view program, std::string_view command) {
  originProgram().assign(program);
  originCommand().assign(command);
}

HRESULT Store::checkJournal(std::string* error) {
  Statement probe;
  const int rc = probe.prepare(_db,
                               "SELECT seq, time, program, command, deleted, created, changed,"
                               " problems, report, bytes, changes FROM journal LIMIT 0");
  if (rc == SQLITE_OK) return S_OK;
  return setError(error, (rc & 0xFF) == SQLITE_ERROR ? kStoreDamaged : resultFromSqlite(rc),
                  "the journal table is missing or malformed");
}

HRESULT Store::beforeChange() noexcept {
  ++_generation;
  const HRESULT hr = writeState();
  if (hr < 0 || _loading || _recorder != nullptr || !gJournalling) return hr;
  return startJournal();
}

HRESULT Store::startJournal() noexcept {
  if (_schemaVersion < 3) {
    // A half-done upgrade must not be written over: any failure ends the
    // session's writes, whatever SQLite did with the transaction.
    const int rc = exec(_db, schema::kUpgrade);
    if (rc != SQLITE_OK) return storageFault(storageResult(rc));
    _schemaVersion = 3;
    _upgradedHere = true;
  }
  _recorder.reset(new (std::nothrow) ChangeRecorder());
  if (_recorder == nullptr) return storageFault(E_OUTOFMEMORY);
  _recorder->attach(_db);
  return S_OK;
}

void Store::endJournal() noexcept {
  _recorder.reset();
  _journalRow = 0;
}

HRESULT Store::writeJournalEntry() {
  if (_recorder == nullptr) return S_OK;
  // Before the emptiness: a recorder whose first change could not be
  // recorded holds no rows, and its session must not be saved unjournalled.
  if (_recorder->failed()) return storageFault(E_OUTOFMEMORY);
  if (_recorder->empty()) return S_OK;
  // Memory running out anywhere below is made a storage fault by commit().
  const std::string changes = _recorder->changeset();
  if (changes.empty()) return S_OK;  // rows changed and changed back
  const int size = static_cast<int>(changes.size());
  const void* data = changes.data();
  Counts counts;
  int rc = countChanges(data, size, counts);
  if (rc != SQLITE_OK) return storageFault(storageResult(rc));
  CommitNote note;
  if (_observer != nullptr && !_observer->describeCommit(note)) return storageFault(E_OUTOFMEMORY);

  // A commit that could not get the file is retried; the entry it wrote
  // then is replaced, since the session may have changed more since.
  if (_journalRow != 0) {
    rc = changeWithInt(_db, "DELETE FROM journal WHERE seq = ?1", _journalRow);
    if (rc != SQLITE_OK) return storageFault(storageResult(rc));
    _journalRow = 0;
  }
  Statement insert;
  rc = insert.prepare(_db,
                      "INSERT INTO journal(time, program, command, deleted, created, changed,"
                      " problems, report, bytes, changes) VALUES(strftime('%Y-%m-%dT%H:%M:%SZ',"
                      " 'now'), ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
  if (rc == SQLITE_OK) {
    StatementUse use(insert);
    use.bindText(1, originProgram());
    use.bindText(2, originCommand());
    use.bindInt(3, counts.deleted);
    use.bindInt(4, counts.created);
    use.bindInt(5, counts.changed);
    if (note.problems >= 0) {
      use.bindInt(6, note.problems);
      use.bindText(7, note.report);
    }
    use.bindInt(8, size);
    use.bindBlob(9, data, static_cast<std::size_t>(size));
    rc = use.step() == SQLITE_DONE ? SQLITE_OK : sqlite3_extended_errcode(_db);
  }
  if (rc != SQLITE_OK) return storageFault(storageResult(rc));
  _journalRow = sqlite3_last_insert_rowid(_db);

  // The oldest entries beyond the bounds go now, in the same transaction.
  std::int64_t cut = 0;
  Statement sizes;
  rc = sizes.prepare(_db, "SELECT seq, bytes FROM journal ORDER BY seq DESC");
  if (rc == SQLITE_OK) {
    StatementUse use(sizes);
    std::int64_t entries = 0, bytes = 0;
    while ((rc = use.step()) == SQLITE_ROW) {
      ++entries;
      bytes += use.columnInt(1);
      if (entries > 1 && (entries > kJournalMaxEntries || bytes > kJournalMaxBytes)) {
        cut = use.columnInt(0);
        break;
      }
    }
    rc = (rc == SQLITE_ROW || rc == SQLITE_DONE) ? SQLITE_OK : rc;
  }
  if (rc == SQLITE_OK && cut != 0) {
    rc = changeWithInt(_db, "DELETE FROM journal WHERE seq <= ?1", cut);
  }
  return rc == SQLITE_OK ? S_OK : storageFault(storageResult(rc));
}

HRESULT Store::readJournal(std::vector<JournalSummary>& entries) {
  entries.clear();
  if (_db == nullptr) return kStoreClosed;
  if (_schemaVersion < 3) return S_OK;
  Statement select;
  int rc = select.prepare(_db, (std::string("SELECT ") + kSummaryColumns +
                               " FROM journal ORDER BY seq").c_str());
  if (rc != SQLITE_OK) return storageFailure(rc);
  StatementUse use(select);
  while ((rc = use.step()) == SQLITE_ROW) entries.push_back(summaryOf(select.get()));
  return rc == SQLITE_DONE ? S_OK : storageFailure(rc);
}

HRESULT Store::readJournalEntry(std::int64_t number, JournalEntry& entry, std::string* error) {
  entry = JournalEntry{};
  if (_db == nullptr) return kStoreClosed;
  if (_schemaVersion < 3) {
    return setError(error, kJournalEntryMissing, "the journal is empty");
  }
  std::string changes;
  std::int64_t found = 0;
  if (const HRESULT hr = loadChanges(*this, number, found, changes, error); hr < 0) return hr;
  {
    Statement select;
    int rc = select.prepare(_db, (std::string("SELECT ") + kSummaryColumns +
                                  ", report FROM journal WHERE seq = ?1").c_str());
    if (rc != SQLITE_OK) return storageFailure(rc);
    StatementUse use(select);
    use.bindInt(1, found);
    rc = use.step();
    if (rc == SQLITE_DONE) {
      return setError(error, kJournalEntryMissing,
                      "the journal has no entry " + std::to_string(found));
    }
    if (rc != SQLITE_ROW) return storageFailure(rc);
    entry.summary = summaryOf(select.get());
    entry.report = textColumn(select.get(), kSummaryColumnCount);
  }

  // Objects deleted or created whole, then the values of the others.
  std::map<GUID, WholeObject, GuidLess> whole;
  const int size = static_cast<int>(changes.size());
  int rc = forEachChange(changes.data(), size, [&](const Change& c) {
    if (c.table != Table::kObjects || c.op == SQLITE_UPDATE) return;
    sqlite3_value* cls = nullptr;
    (c.op == SQLITE_INSERT ? sqlite3changeset_new : sqlite3changeset_old)(c.it, 1, &cls);
    bool valid = false;
    WholeObject& object = whole[c.object];
    object.cls = guidOf(cls, valid);
    object.deleted = c.op == SQLITE_DELETE;
  });
  if (rc == SQLITE_OK) {
    rc = forEachChange(changes.data(), size, [&](const Change& c) {
      if (c.table == Table::kObjects) return;
      const auto w = whole.find(c.object);
      if (w != whole.end()) {
        const ClassDef* cls = _catalog.find(w->second.cls);
        w->second.values[c.attribute] = valueJson(c, !w->second.deleted, cls);
        return;
      }
      const ClassDef* cls = nullptr;
      objectClass(c.object, cls);  // an object that is gone since: judged by size
      entry.changed.push_back(
          {c.object, c.attribute, valueJson(c, false, cls), valueJson(c, true, cls)});
    });
  }
  if (rc != SQLITE_OK) {
    return setError(error, rc == SQLITE_CORRUPT ? kStoreDamaged : resultFromSqlite(rc),
                    "journal entry " + std::to_string(found) + " is damaged");
  }
  for (const auto& [guid, object] : whole) {
    (object.deleted ? entry.deleted : entry.created).push_back({guid, objectJson(guid, object)});
  }
  std::sort(entry.changed.begin(), entry.changed.end(),
            [](const JournalValueChange& a, const JournalValueChange& b) {
              if (!(a.object == b.object)) return GuidLess{}(a.object, b.object);
              return a.attribute < b.attribute;
            });
  return S_OK;
}

HRESULT Store::undoJournalEntry(std::int64_t number, std::int64_t& undone,
                                std::vector<JournalConflict>& conflicts, std::string* error) {
  conflicts.clear();
  undone = 0;
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  if (_recorder != nullptr && !_recorder->empty()) {
    return setError(error, kNoTransaction, "an undo must be the first change of its session");
  }
  if (_schemaVersion < 3) return setError(error, kJournalEntryMissing, "the journal is empty");
  std::string changes;
  if (const HRESULT hr = loadChanges(*this, number, undone, changes, error); hr < 0) return hr;
  const int size = static_cast<int>(changes.size());

  // The entry's objects, and the later entries that touched any of them.
  std::set<GUID, GuidLess> touched;
  int rc = forEachChange(changes.data(), size, [&](const Change& c) { touched.insert(c.object); });
  if (rc != SQLITE_OK) {
    return setError(error, kStoreDamaged, "journal entry " + std::to_string(undone) + " is damaged");
  }
  std::map<GUID, std::vector<std::int64_t>, GuidLess> later;
  {
    Statement select;
    rc = select.prepare(_db, "SELECT seq, changes FROM journal WHERE seq > ?1 ORDER BY seq");
    if (rc != SQLITE_OK) return storageFailure(rc);
    StatementUse use(select);
    use.bindInt(1, undone);
    while ((rc = use.step()) == SQLITE_ROW) {
      const std::int64_t seq = use.columnInt(0);
      std::size_t bytes = 0;
      const unsigned char* data = use.columnBlob(1, bytes);
      const int parsed = forEachChange(data, static_cast<int>(bytes), [&](const Change& c) {
        if (touched.count(c.object) == 0) return;
        std::vector<std::int64_t>& by = later[c.object];
        if (by.empty() || by.back() != seq) by.push_back(seq);
      });
      if (parsed != SQLITE_OK) {
        return setError(error, kStoreDamaged, "journal entry " + std::to_string(seq) + " is damaged");
      }
    }
    if (rc != SQLITE_DONE) return storageFailure(rc);
  }
  const auto refuse = [&](const std::string& why) {
    return setError(error, kUndoConflict,
                    "entry " + std::to_string(undone) + " cannot be undone: " + why);
  };
  if (!later.empty()) {
    for (auto& [object, entries] : later) conflicts.push_back({object, std::move(entries)});
    return refuse(std::to_string(conflicts.size()) +
                  (conflicts.size() == 1 ? " object was" : " objects were") +
                  " changed by later entries");
  }

  int invertedSize = 0;
  void* inverted = nullptr;
  rc = sqlite3changeset_invert(size, changes.data(), &invertedSize, &inverted);
  SqliteBuffer owned(inverted);
  if (rc != SQLITE_OK) return storageFailure(rc);
  if (const HRESULT hr = beforeChange(); hr < 0) return hr;
  dropMemoryTables();  // the changes go to the tables directly
  rc = exec(_db, "SAVEPOINT undo");
  if (rc != SQLITE_OK) return storageFailure(rc);
  ApplyConflicts met;
  rc = sqlite3changeset_apply(_db, invertedSize, inverted, nullptr, onConflict, &met);
  if (rc != SQLITE_OK) return storageFault(storageResult(rc));
  if (!met.objects.empty()) {
    // Rows that are no longer as the entry left them, though no entry
    // changed them: the undo is taken back whole, and the record with it
    // (it held nothing before the undo).
    rc = exec(_db, "ROLLBACK TO undo");
    if (rc == SQLITE_OK) rc = exec(_db, "RELEASE undo");
    endJournal();
    if (rc != SQLITE_OK) return storageFault(storageResult(rc));
    for (const GUID& object : met.objects) conflicts.push_back({object, {}});
    return refuse(std::to_string(conflicts.size()) +
                  (conflicts.size() == 1 ? " object is" : " objects are") +
                  " no longer as the entry left them");
  }
  rc = exec(_db, "RELEASE undo");
  return rc == SQLITE_OK ? S_OK : storageFault(storageResult(rc));
}

HRESULT Store::pruneJournal(std::size_t keep, std::int64_t& dropped) {
  dropped = 0;
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  if (_schemaVersion < 3) return S_OK;
  const int rc = changeWithInt(
      _db, "DELETE FROM journal WHERE seq NOT IN (SELECT seq FROM journal ORDER BY seq DESC LIMIT ?1)",
      static_cast<std::int64_t>(keep));
  if (rc != SQLITE_OK) return storageFailure(rc);
  dropped = sqlite3_changes(_db);
  return S_OK;
}

}  // namespace vddb::engine
