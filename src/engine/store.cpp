#include "engine/store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "store/interfaces.h"

namespace vddb::engine {
namespace {

// The marker and schema version in the meta table of every store.
constexpr const char* kFormatMarker = "vddb-store";
// 2: string and reference values in rowid tables (see kSchema).
constexpr const char* kSchemaVersion = "2";

// Waiting for the write lock stays well under a second: the caller retries.
constexpr int kOpenBusyMilliseconds = 200;
// A commit waits a little longer for readers (a dump) to finish.
constexpr int kCommitBusyMilliseconds = 2000;

constexpr const char* kSchema =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE classes(guid BLOB PRIMARY KEY, base BLOB, name TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE attributes(class BLOB NOT NULL, id INTEGER NOT NULL, type INTEGER NOT NULL,"
    " owning INTEGER NOT NULL, PRIMARY KEY(class, id)) WITHOUT ROWID;"
    "CREATE TABLE objects(guid BLOB PRIMARY KEY, class BLOB NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE int_values(object BLOB NOT NULL, attr INTEGER NOT NULL, value INTEGER NOT NULL,"
    " PRIMARY KEY(object, attr)) WITHOUT ROWID;"
    // Texts and reference lists have no size bound. A search in a
    // key-ordered (WITHOUT ROWID or index) B-tree compares its key with whole
    // cells, and a cell that overflows its page is read in full first, so one
    // large value would slow every lookup of a key near it. These two are
    // rowid tables: their (object, attr) index holds only keys, and a large
    // value is read only when its own row is. The value index of the texts
    // holds a hash of the text, not the text, for the same reason.
    "CREATE TABLE string_values(object BLOB NOT NULL, attr INTEGER NOT NULL, hash INTEGER NOT NULL,"
    " value BLOB NOT NULL);"
    "CREATE UNIQUE INDEX string_values_key ON string_values(object, attr);"
    "CREATE TABLE ref_values(object BLOB NOT NULL, attr INTEGER NOT NULL, targets BLOB NOT NULL);"
    "CREATE UNIQUE INDEX ref_values_key ON ref_values(object, attr);";

// A load appends rows to these in file order and moves them into the real
// tables sorted by key at the end: inserting random GUIDs straight into a
// B-tree larger than the cache rewrites its pages over and over.
constexpr const char* kStaging =
    "CREATE TEMP TABLE load_objects(guid BLOB, class BLOB);"
    "CREATE TEMP TABLE load_ints(object BLOB, attr INTEGER, value INTEGER);"
    "CREATE TEMP TABLE load_strings(object BLOB, attr INTEGER, hash INTEGER, value BLOB);"
    "CREATE TEMP TABLE load_refs(object BLOB, attr INTEGER, targets BLOB);";

constexpr const char* kMoveStaged =
    "INSERT INTO int_values SELECT * FROM temp.load_ints ORDER BY object, attr;"
    "INSERT INTO string_values(object, attr, hash, value)"
    " SELECT object, attr, hash, value FROM temp.load_strings ORDER BY object, attr;"
    "INSERT INTO ref_values(object, attr, targets)"
    " SELECT object, attr, targets FROM temp.load_refs ORDER BY object, attr;"
    "DROP TABLE temp.load_objects; DROP TABLE temp.load_ints;"
    "DROP TABLE temp.load_strings; DROP TABLE temp.load_refs;";

// Built after a bulk load: cheaper than keeping them up to date row by row.
constexpr const char* kIndexes =
    "CREATE INDEX objects_by_class ON objects(class, guid);"
    "CREATE INDEX int_values_by_value ON int_values(attr, value, object);"
    "CREATE INDEX string_values_by_value ON string_values(attr, hash, object);";

// Every index a usable store has. One that is missing would not make any
// call fail, only turn its lookups into scans, so opening checks for them.
constexpr const char* kIndexNames[] = {"string_values_key", "ref_values_key", "objects_by_class",
                                       "int_values_by_value", "string_values_by_value"};

HRESULT setError(std::string* error, HRESULT result, const std::string& text) {
  if (error != nullptr) *error = text;
  return result;
}

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

// Looks at the file before SQLite does: SQLite would take a file of random
// bytes or a truncated file lazily and report it only on some later read.
HRESULT checkFileHeader(const std::string& path, std::string* error) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    return setError(error, kStoreMissing, "no store at " + path);
  }
  if (!S_ISREG(info.st_mode)) {
    return setError(error, kNotAStore, path + " is not a file");
  }
  unsigned char header[100];
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return setError(error, kStorageIo, "cannot read " + path);
  const std::size_t got = std::fread(header, 1, sizeof header, file);
  std::fclose(file);
  static constexpr char kMagic[] = "SQLite format 3";  // with its terminating zero: 16 bytes
  if (got < sizeof kMagic || std::memcmp(header, kMagic, sizeof kMagic) != 0) {
    return setError(error, kNotAStore, path + " is not a store");
  }
  if (got < sizeof header) return setError(error, kStoreDamaged, path + " is truncated");
  std::uint32_t pageSize = (std::uint32_t{header[16]} << 8) | header[17];
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) {
    return setError(error, kStoreDamaged, path + " has a damaged header");
  }
  if (header[18] == 2 || header[19] == 2) {
    return setError(error, kNotAStore, path + " is in write-ahead-log mode, not a store of ours");
  }
  // A process killed in the middle of a commit leaves a journal beside the
  // file and the file itself possibly short; SQLite puts it back from the
  // journal, so the sizes are only checked without one.
  struct stat journal {};
  if (::stat((path + "-journal").c_str(), &journal) == 0 && journal.st_size > 0) return S_OK;
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size % pageSize != 0) return setError(error, kStoreDamaged, path + " is truncated");
  // The page count in the header holds when the two change counters agree.
  const std::uint32_t pages = bigEndian32(header + 28);
  if (pages != 0 && bigEndian32(header + 24) == bigEndian32(header + 92) &&
      size < std::uint64_t{pages} * pageSize) {
    return setError(error, kStoreDamaged, path + " is truncated");
  }
  return S_OK;
}

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

void encodeUtf16(const char16_t* text, std::size_t length, std::string& bytes) {
  bytes.resize(length * 2);
  for (std::size_t i = 0; i < length; ++i) {
    bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
  }
}

// The key of a text in the value index: 64-bit FNV-1a of its UTF-16LE
// bytes. It is stored in the file, so it must never change for a schema
// version. Equal texts have equal hashes; the rare unequal texts with the
// same hash are told apart by comparing the values.
std::int64_t textHash(const std::string& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return static_cast<std::int64_t>(hash);
}

}  // namespace

// --- Statement -----------------------------------------------------------

Statement::~Statement() { finalize(); }

int Statement::prepare(sqlite3* db, const char* sql) {
  finalize();
  return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &_stmt, nullptr);
}

void Statement::finalize() noexcept {
  if (_stmt != nullptr) sqlite3_finalize(_stmt);
  _stmt = nullptr;
}

StatementUse::~StatementUse() {
  sqlite3_reset(_stmt);
  sqlite3_clear_bindings(_stmt);
}

void StatementUse::bindGuid(int index, const GUID& guid) noexcept {
  unsigned char key[16];
  guidToKeyBytes(guid, key);
  sqlite3_bind_blob(_stmt, index, key, 16, SQLITE_TRANSIENT);
}

void StatementUse::bindInt(int index, std::int64_t value) noexcept {
  sqlite3_bind_int64(_stmt, index, value);
}

void StatementUse::bindBlob(int index, const void* data, std::size_t size) noexcept {
  // A non-null pointer keeps an empty text a (zero-length) value, not NULL.
  static const char kEmpty = 0;
  sqlite3_bind_blob64(_stmt, index, size == 0 ? &kEmpty : data, size, SQLITE_TRANSIENT);
}

void StatementUse::bindText(int index, const std::string& text) noexcept {
  sqlite3_bind_text64(_stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

int StatementUse::step() noexcept { return sqlite3_step(_stmt); }

GUID StatementUse::columnGuid(int column, bool* valid) const noexcept {
  const void* data = sqlite3_column_blob(_stmt, column);
  const int size = sqlite3_column_bytes(_stmt, column);
  if (data == nullptr || size != 16) {
    if (valid != nullptr) *valid = false;
    return GUID{};
  }
  if (valid != nullptr) *valid = true;
  return guidFromKeyBytes(static_cast<const unsigned char*>(data));
}

std::int64_t StatementUse::columnInt(int column) const noexcept {
  return sqlite3_column_int64(_stmt, column);
}

const unsigned char* StatementUse::columnBlob(int column, std::size_t& size) const noexcept {
  const void* data = sqlite3_column_blob(_stmt, column);
  size = static_cast<std::size_t>(sqlite3_column_bytes(_stmt, column));
  return static_cast<const unsigned char*>(data);
}

HRESULT resultFromSqlite(int rc) noexcept {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
      return S_OK;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kStoreLocked;
    case SQLITE_NOMEM:
      return E_OUTOFMEMORY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return kStoreDamaged;
    case SQLITE_READONLY:
      return kStoreReadOnly;
    case SQLITE_CANTOPEN:
      return kStoreMissing;
    default:
      return kStorageIo;
  }
}

// --- Store: opening and creating -----------------------------------------

Store::~Store() { close(); }

void Store::close() noexcept {
  if (_db == nullptr) return;
  if (_inWrite || _inRead) exec(_db, "ROLLBACK");
  _inWrite = _inRead = _loading = false;
  for (Statement* s :
       {&_selectClass,     &_insertObject,  &_deleteObject,  &_selectInt,      &_selectString,
        &_selectRefs,      &_upsertInt,     &_upsertString,  &_upsertRefs,     &_deleteRefs,
        &_deleteInts,      &_deleteStrings, &_deleteAllRefs, &_objectsOfClass, &_objectsByInt,
        &_objectsByString, &_begin,         &_beginRead,     &_commit,         &_rollback,
        &_stageObject,     &_stageInt,      &_stageString,   &_stageRefs}) {
    s->finalize();
  }
  sqlite3_close_v2(_db);
  _db = nullptr;
  _deleted.clear();
}

HRESULT Store::prepareStatements() {
  struct Entry {
    Statement* statement;
    const char* sql;
  };
  const Entry entries[] = {
      {&_selectClass, "SELECT class FROM objects WHERE guid = ?1"},
      {&_insertObject, "INSERT INTO objects(guid, class) VALUES(?1, ?2)"},
      {&_deleteObject, "DELETE FROM objects WHERE guid = ?1"},
      {&_selectInt, "SELECT value FROM int_values WHERE object = ?1 AND attr = ?2"},
      {&_selectString, "SELECT value FROM string_values WHERE object = ?1 AND attr = ?2"},
      {&_selectRefs, "SELECT targets FROM ref_values WHERE object = ?1 AND attr = ?2"},
      {&_upsertInt, "INSERT OR REPLACE INTO int_values(object, attr, value) VALUES(?1, ?2, ?3)"},
      // ON CONFLICT needs the (object, attr) key index: without it the
      // statement does not prepare and the store is refused as damaged.
      {&_upsertString,
       "INSERT INTO string_values(object, attr, hash, value) VALUES(?1, ?2, ?3, ?4)"
       " ON CONFLICT(object, attr) DO UPDATE SET hash = excluded.hash, value = excluded.value"},
      {&_upsertRefs,
       "INSERT INTO ref_values(object, attr, targets) VALUES(?1, ?2, ?3)"
       " ON CONFLICT(object, attr) DO UPDATE SET targets = excluded.targets"},
      {&_deleteRefs, "DELETE FROM ref_values WHERE object = ?1 AND attr = ?2"},
      {&_deleteInts, "DELETE FROM int_values WHERE object = ?1"},
      {&_deleteStrings, "DELETE FROM string_values WHERE object = ?1"},
      {&_deleteAllRefs, "DELETE FROM ref_values WHERE object = ?1"},
      {&_objectsOfClass, "SELECT guid FROM objects WHERE class = ?1 ORDER BY guid"},
      {&_objectsByInt,
       "SELECT object FROM int_values WHERE attr = ?1 AND value = ?2 ORDER BY object"},
      {&_objectsByString,
       "SELECT object FROM string_values WHERE attr = ?1 AND hash = ?2 AND value = ?3"
       " ORDER BY object"},
      {&_begin, "BEGIN IMMEDIATE"},
      {&_beginRead, "BEGIN DEFERRED"},
      {&_commit, "COMMIT"},
      {&_rollback, "ROLLBACK"},
  };
  for (const Entry& e : entries) {
    const int rc = e.statement->prepare(_db, e.sql);
    if (rc != SQLITE_OK) return rc == SQLITE_ERROR ? kStoreDamaged : resultFromSqlite(rc);
  }
  return S_OK;
}

HRESULT Store::loadCatalog(std::string* error) {
  Catalog catalog;
  Statement classes;
  Statement attributes;
  if (classes.prepare(_db, "SELECT guid, base, name FROM classes") != SQLITE_OK ||
      attributes.prepare(_db, "SELECT class, id, type, owning FROM attributes ORDER BY class") !=
          SQLITE_OK) {
    return setError(error, kStoreDamaged, "the class catalog is missing");
  }
  std::unordered_map<GUID, ClassDef, GuidHash> defs;
  {
    StatementUse use(classes);
    int rc;
    while ((rc = use.step()) == SQLITE_ROW) {
      bool valid = false;
      ClassDef def;
      def.guid = use.columnGuid(0, &valid);
      if (!valid) return setError(error, kStoreDamaged, "a class row has a malformed GUID");
      if (sqlite3_column_type(classes.get(), 1) != SQLITE_NULL) {
        def.base = use.columnGuid(1, &valid);
        if (!valid) {
          return setError(error, kStoreDamaged,
                          "class " + formatGuid(def.guid) + " has a malformed base GUID");
        }
      }
      const unsigned char* name = sqlite3_column_text(classes.get(), 2);
      if (name != nullptr) def.name = reinterpret_cast<const char*>(name);
      if (!defs.emplace(def.guid, def).second) {
        return setError(error, kStoreDamaged, "class " + formatGuid(def.guid) + " appears twice");
      }
    }
    if (rc != SQLITE_DONE)
      return setError(error, resultFromSqlite(rc), "the class catalog is unreadable");
  }
  {
    StatementUse use(attributes);
    int rc;
    while ((rc = use.step()) == SQLITE_ROW) {
      bool valid = false;
      const GUID owner = use.columnGuid(0, &valid);
      const auto it = valid ? defs.find(owner) : defs.end();
      if (it == defs.end()) {
        return setError(error, kStoreDamaged, "an attribute row names no known class");
      }
      const std::int64_t id = use.columnInt(1);
      const std::int64_t type = use.columnInt(2);
      const std::int64_t owning = use.columnInt(3);
      if (id < 0 || id > 0xFFFFFFFFLL || type < 0 || type > 0xFFFF ||
          (owning != 0 && owning != 1)) {
        return setError(error, kStoreDamaged,
                        "class " + formatGuid(owner) + " has a malformed attribute row");
      }
      it->second.attributes.push_back(
          {static_cast<std::uint32_t>(id), static_cast<std::uint32_t>(type), owning == 1});
    }
    if (rc != SQLITE_DONE)
      return setError(error, resultFromSqlite(rc), "the class catalog is unreadable");
  }
  for (auto& [guid, def] : defs) catalog.put(std::move(def));
  std::string why;
  if (!catalog.link(why)) return setError(error, kStoreDamaged, "inconsistent catalog: " + why);
  _catalog = std::move(catalog);
  return S_OK;
}

HRESULT Store::checkIndexes(std::string* error) {
  Statement names;
  int rc = names.prepare(_db, "SELECT name FROM sqlite_master WHERE type = 'index'");
  if (rc != SQLITE_OK) return setError(error, resultFromSqlite(rc), "the schema is unreadable");
  std::unordered_set<std::string> present;
  {
    StatementUse use(names);
    while ((rc = use.step()) == SQLITE_ROW) {
      const unsigned char* name = sqlite3_column_text(names.get(), 0);
      if (name != nullptr) present.insert(reinterpret_cast<const char*>(name));
    }
    if (rc != SQLITE_DONE) return setError(error, resultFromSqlite(rc), "the schema is unreadable");
  }
  for (const char* name : kIndexNames) {
    if (present.count(name) == 0) {
      return setError(error, kStoreDamaged, std::string("the index ") + name + " is missing");
    }
  }
  return S_OK;
}

HRESULT Store::openFile(const std::string& path, Mode mode, std::shared_ptr<Store>& store,
                        std::string* error) {
  store.reset();
  HRESULT hr = checkFileHeader(path, error);
  if (hr < 0) return hr;

  std::shared_ptr<Store> s(new (std::nothrow) Store());
  if (!s) return E_OUTOFMEMORY;
  s->_mode = mode;
  // Never SQLITE_OPEN_CREATE: a missing store must stay missing.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
  int rc = sqlite3_open_v2(path.c_str(), &s->_db, flags, nullptr);
  if (rc != SQLITE_OK) {
    hr = resultFromSqlite(rc);
    s->close();
    return setError(error, hr, "cannot open " + path + ": " + sqlite3_errstr(rc));
  }
  sqlite3_busy_timeout(s->_db, kOpenBusyMilliseconds);
  exec(s->_db, "PRAGMA synchronous = FULL");
  exec(s->_db, "PRAGMA cell_size_check = ON");
  if (mode == Mode::kWrite && sqlite3_db_readonly(s->_db, "main") == 1) {
    s->close();
    return setError(error, kStoreReadOnly, path + " is read-only");
  }

  rc = exec(s->_db, mode == Mode::kWrite ? "BEGIN IMMEDIATE" : "BEGIN DEFERRED");
  if (rc != SQLITE_OK) {
    hr = resultFromSqlite(rc);
    s->close();
    return setError(error, hr,
                    hr == kStoreLocked ? path + " is locked by another process"
                                       : "cannot open " + path + ": " + sqlite3_errstr(rc));
  }
  (mode == Mode::kWrite ? s->_inWrite : s->_inRead) = true;

  // The meta table says whether this is one of ours. Its read also takes
  // the shared lock of a read session, fixing the view for the dump.
  {
    Statement meta;
    rc = meta.prepare(s->_db, "SELECT key, value FROM meta");
    if (rc != SQLITE_OK) {
      hr = (rc & 0xFF) == SQLITE_ERROR ? kNotAStore : resultFromSqlite(rc);
      s->close();
      return setError(error, hr,
                      hr == kNotAStore ? path + " is not a store" : path + " is damaged");
    }
    std::string format;
    std::string schema;
    StatementUse use(meta);
    while ((rc = use.step()) == SQLITE_ROW) {
      const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(meta.get(), 0));
      const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(meta.get(), 1));
      if (key == nullptr || value == nullptr) continue;
      if (std::strcmp(key, "format") == 0) format = value;
      if (std::strcmp(key, "schema") == 0) schema = value;
    }
    if (rc != SQLITE_DONE) {
      hr = resultFromSqlite(rc);
      s->close();
      return setError(error, hr, path + " is damaged");
    }
    if (format != kFormatMarker) {
      s->close();
      return setError(error, kNotAStore, path + " is not a store");
    }
    if (schema != kSchemaVersion) {
      s->close();
      return setError(error, kStoreVersion,
                      path + " has schema version " + schema + ", expected " + kSchemaVersion);
    }
  }
  hr = s->checkIndexes(error);
  if (hr < 0) {
    s->close();
    if (error != nullptr) *error = path + ": " + *error;
    return hr;
  }
  hr = s->loadCatalog(error);
  if (hr >= 0) hr = s->prepareStatements();
  if (hr < 0) {
    s->close();
    if (error != nullptr && error->empty()) *error = path + " is damaged";
    if (error != nullptr) *error = path + ": " + *error;
    return hr;
  }
  store = std::move(s);
  return S_OK;
}

HRESULT Store::createNew(const std::string& path, std::shared_ptr<Store>& store,
                         std::string* error) {
  store.reset();
  std::shared_ptr<Store> s(new (std::nothrow) Store());
  if (!s) return E_OUTOFMEMORY;
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
  int rc = sqlite3_open_v2(path.empty() ? ":memory:" : path.c_str(), &s->_db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const HRESULT hr = resultFromSqlite(rc);
    s->close();
    return setError(error, hr, "cannot create " + path + ": " + sqlite3_errstr(rc));
  }
  sqlite3_busy_timeout(s->_db, kOpenBusyMilliseconds);
  // The file is renamed into place only after a successful load, so the
  // load itself needs no rollback journal on disk; the commit syncs once.
  exec(s->_db, "PRAGMA journal_mode = MEMORY");
  exec(s->_db, "PRAGMA synchronous = FULL");
  exec(s->_db, "PRAGMA cache_size = -65536");
  exec(s->_db, "PRAGMA temp_store = FILE");
  rc = exec(s->_db, "BEGIN IMMEDIATE");
  if (rc == SQLITE_OK) rc = exec(s->_db, kSchema);
  if (rc == SQLITE_OK) rc = exec(s->_db, kStaging);
  if (rc != SQLITE_OK) {
    const HRESULT hr = resultFromSqlite(rc);
    const std::string why = sqlite3_errmsg(s->_db);
    s->close();
    return setError(error, hr, "cannot create " + path + ": " + why);
  }
  s->_inWrite = true;
  s->_loading = true;
  // In memory, inserting in file order costs no I/O and staging would only
  // hold every row twice.
  s->_staged = !path.empty();
  HRESULT hr = s->prepareStatements();
  const Statement::Entry staged[] = {
      {&s->_stageObject, "INSERT INTO temp.load_objects VALUES(?1, ?2)"},
      {&s->_stageInt, "INSERT INTO temp.load_ints VALUES(?1, ?2, ?3)"},
      {&s->_stageString, "INSERT INTO temp.load_strings VALUES(?1, ?2, ?3, ?4)"},
      {&s->_stageRefs, "INSERT INTO temp.load_refs VALUES(?1, ?2, ?3)"},
  };
  for (const auto& e : staged) {
    if (hr >= 0 && e.statement->prepare(s->_db, e.sql) != SQLITE_OK) hr = kStorageIo;
  }
  if (hr < 0) {
    s->close();
    return setError(error, hr, "cannot create " + path);
  }
  store = std::move(s);
  return S_OK;
}

HRESULT Store::installCatalog(Catalog catalog) {
  if (!_loading) return kNoTransaction;
  _catalog = std::move(catalog);
  if (exec(_db, "DELETE FROM classes; DELETE FROM attributes; DELETE FROM meta") != SQLITE_OK) {
    return resultFromSqlite(sqlite3_errcode(_db));
  }
  Statement meta;
  Statement cls;
  Statement attr;
  int rc = meta.prepare(_db, "INSERT INTO meta(key, value) VALUES(?1, ?2)");
  if (rc == SQLITE_OK)
    rc = cls.prepare(_db, "INSERT INTO classes(guid, base, name) VALUES(?1, ?2, ?3)");
  if (rc == SQLITE_OK) {
    rc =
        attr.prepare(_db, "INSERT INTO attributes(class, id, type, owning) VALUES(?1, ?2, ?3, ?4)");
  }
  if (rc != SQLITE_OK) return resultFromSqlite(rc);
  for (const auto& [key, value] :
       {std::pair<std::string, std::string>{"format", kFormatMarker}, {"schema", kSchemaVersion}}) {
    StatementUse use(meta);
    use.bindText(1, key);
    use.bindText(2, value);
    if ((rc = use.step()) != SQLITE_DONE) return resultFromSqlite(rc);
  }
  for (const ClassDef* c : _catalog.sorted()) {
    {
      StatementUse use(cls);
      use.bindGuid(1, c->guid);
      if (c->base) use.bindGuid(2, *c->base);
      use.bindText(3, c->name);
      if ((rc = use.step()) != SQLITE_DONE) return resultFromSqlite(rc);
    }
    for (const AttributeDef& a : c->attributes) {
      StatementUse use(attr);
      use.bindGuid(1, c->guid);
      use.bindInt(2, a.id);
      use.bindInt(3, a.type);
      use.bindInt(4, a.owning ? 1 : 0);
      if ((rc = use.step()) != SQLITE_DONE) return resultFromSqlite(rc);
    }
  }
  return S_OK;
}

HRESULT Store::finishLoad(bool commit, std::string* error) {
  if (!_loading) return kNoTransaction;
  _loading = false;
  _inWrite = false;
  for (Statement* st : {&_stageObject, &_stageInt, &_stageString, &_stageRefs}) st->finalize();
  if (!commit) {
    exec(_db, "ROLLBACK");
    return S_OK;
  }
  const bool staged = std::exchange(_staged, false);
  int rc = staged ? exec(_db, "INSERT INTO objects SELECT * FROM temp.load_objects ORDER BY guid")
                  : SQLITE_OK;
  if ((rc & 0xFF) == SQLITE_CONSTRAINT) {
    // Name the first GUID that came twice.
    Statement twice;
    std::string guid = "?";
    if (twice.prepare(_db,
                      "SELECT guid FROM temp.load_objects GROUP BY guid "
                      "HAVING count(*) > 1 ORDER BY guid LIMIT 1") == SQLITE_OK) {
      StatementUse use(twice);
      if (use.step() == SQLITE_ROW) guid = formatGuid(use.columnGuid(0));
    }
    exec(_db, "ROLLBACK");
    return setError(error, kBadJson, "object " + guid + ": the GUID appears twice");
  }
  if (rc == SQLITE_OK && staged) rc = exec(_db, kMoveStaged);
  if (rc == SQLITE_OK) rc = exec(_db, kIndexes);
  if (rc == SQLITE_OK) rc = exec(_db, "COMMIT");
  if (rc != SQLITE_OK) {
    const HRESULT hr = resultFromSqlite(rc);
    setError(error, hr, std::string("cannot write the store: ") + sqlite3_errmsg(_db));
    exec(_db, "ROLLBACK");
    return hr;
  }
  exec(_db, "PRAGMA journal_mode = DELETE");
  exec(_db, "PRAGMA cache_size = -2000");
  return S_OK;
}

std::vector<std::string> Store::statementTexts() const {
  std::vector<std::string> texts;
  for (const Statement* st :
       {&_selectClass, &_insertObject, &_deleteObject, &_selectInt, &_selectString, &_selectRefs,
        &_upsertInt, &_upsertString, &_upsertRefs, &_deleteRefs, &_deleteInts, &_deleteStrings,
        &_deleteAllRefs, &_objectsOfClass, &_objectsByInt, &_objectsByString}) {
    if (st->get() != nullptr) texts.emplace_back(sqlite3_sql(st->get()));
  }
  return texts;
}

// --- Transactions --------------------------------------------------------

HRESULT Store::begin() {
  if (_db == nullptr) return kStoreClosed;
  if (_inWrite) return S_OK;
  if (_inRead || _loading) return kNoTransaction;  // a read view cannot become a writer
  StatementUse use(_begin);
  const int rc = use.step();
  if (rc != SQLITE_DONE) return resultFromSqlite(rc);
  _inWrite = true;
  return S_OK;
}

HRESULT Store::commit() {
  if (_db == nullptr) return kStoreClosed;
  if (!_inWrite) return kNoTransaction;
  sqlite3_busy_timeout(_db, kCommitBusyMilliseconds);
  int rc;
  {
    StatementUse use(_commit);
    rc = use.step();
  }
  sqlite3_busy_timeout(_db, kOpenBusyMilliseconds);
  // A commit that could not get the file stays open: the caller may retry
  // or roll back.
  if (rc != SQLITE_DONE) return resultFromSqlite(rc);
  _inWrite = false;
  _deleted.clear();
  return S_OK;
}

HRESULT Store::rollback() {
  if (_db == nullptr) return kStoreClosed;
  if (!_inWrite) return kNoTransaction;
  int rc;
  {
    StatementUse use(_rollback);
    rc = use.step();
  }
  _inWrite = false;
  _deleted.clear();
  return rc == SQLITE_DONE ? S_OK : resultFromSqlite(rc);
}

HRESULT Store::checkIntegrity(std::string& findings) {
  findings.clear();
  if (_db == nullptr) return kStoreClosed;
  sqlite3_stmt* check = nullptr;
  int rc = sqlite3_prepare_v2(_db, "PRAGMA integrity_check(20)", -1, &check, nullptr);
  if (rc == SQLITE_OK) {
    while ((rc = sqlite3_step(check)) == SQLITE_ROW) {
      const auto* line = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
      const std::string_view text = line != nullptr ? line : "";
      if (text == "ok") continue;
      if (!findings.empty()) findings += "; ";
      findings += text;
    }
  }
  sqlite3_finalize(check);
  // A check that could not run to its end (the damage stopped it) is a
  // finding too.
  if (rc != SQLITE_DONE) {
    if (!findings.empty()) findings += "; ";
    findings += sqlite3_errstr(rc);
  }
  return findings.empty() ? S_OK : kStoreDamaged;
}

HRESULT Store::writeState() const noexcept {
  if (_db == nullptr) return kStoreClosed;
  return _inWrite ? S_OK : kNoTransaction;
}

// --- Objects and values --------------------------------------------------

HRESULT Store::objectClass(const GUID& object, const ClassDef*& cls) {
  cls = nullptr;
  if (_db == nullptr) return kStoreClosed;
  StatementUse use(_selectClass);
  use.bindGuid(1, object);
  const int rc = use.step();
  if (rc == SQLITE_DONE) return kStorageNotFound;
  if (rc != SQLITE_ROW) return resultFromSqlite(rc);
  bool valid = false;
  const GUID classGuid = use.columnGuid(0, &valid);
  cls = valid ? _catalog.find(classGuid) : nullptr;
  return cls != nullptr ? S_OK : kStoreDamaged;
}

HRESULT Store::insertObject(const GUID& object, const ClassDef& cls) {
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  StatementUse use(_staged ? _stageObject : _insertObject);
  use.bindGuid(1, object);
  use.bindGuid(2, cls.guid);
  const int rc = use.step();
  if ((rc & 0xFF) == SQLITE_CONSTRAINT) return kBadJson;
  return rc == SQLITE_DONE ? S_OK : resultFromSqlite(rc);
}

HRESULT Store::deleteObject(const GUID& object) {
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  int rc;
  {
    StatementUse use(_deleteObject);
    use.bindGuid(1, object);
    rc = use.step();
  }
  if (rc != SQLITE_DONE) return resultFromSqlite(rc);
  if (sqlite3_changes(_db) == 0) return kStorageNotFound;
  for (Statement* values : {&_deleteInts, &_deleteStrings, &_deleteAllRefs}) {
    StatementUse use(*values);
    use.bindGuid(1, object);
    rc = use.step();
    if (rc != SQLITE_DONE) return resultFromSqlite(rc);
  }
  _deleted.insert(object);
  return S_OK;
}

namespace {

// One value of one object: S_OK with `onRow` run on the row, S_FALSE when
// the object has no value for the attribute.
template <class OnRow>
HRESULT lookUpValue(Statement& select, const GUID& object, std::uint32_t attr, OnRow&& onRow) {
  StatementUse use(select);
  use.bindGuid(1, object);
  use.bindInt(2, attr);
  const int rc = use.step();
  if (rc == SQLITE_DONE) return S_FALSE;
  if (rc != SQLITE_ROW) return resultFromSqlite(rc);
  return onRow(use);
}

}  // namespace

HRESULT Store::readInteger(const GUID& object, std::uint32_t attr, std::int32_t& value) {
  if (_db == nullptr) return kStoreClosed;
  return lookUpValue(_selectInt, object, attr, [&](StatementUse& use) -> HRESULT {
    value = static_cast<std::int32_t>(use.columnInt(0));
    return S_OK;
  });
}

HRESULT Store::readString(const GUID& object, std::uint32_t attr, std::u16string& text) {
  text.clear();
  if (_db == nullptr) return kStoreClosed;
  return lookUpValue(_selectString, object, attr, [&](StatementUse& use) -> HRESULT {
    std::size_t size = 0;
    const unsigned char* bytes = use.columnBlob(0, size);
    if (size % 2 != 0) return kStoreDamaged;
    text.resize(size / 2);
    for (std::size_t i = 0; i < size / 2; ++i) {
      text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return S_OK;
  });
}

HRESULT Store::readReferences(const GUID& object, std::uint32_t attr, std::vector<GUID>& targets) {
  targets.clear();
  if (_db == nullptr) return kStoreClosed;
  return lookUpValue(_selectRefs, object, attr, [&](StatementUse& use) -> HRESULT {
    std::size_t size = 0;
    const unsigned char* bytes = use.columnBlob(0, size);
    if (size % 16 != 0) return kStoreDamaged;
    targets.reserve(size / 16);
    for (std::size_t i = 0; i < size; i += 16) targets.push_back(guidFromKeyBytes(bytes + i));
    return S_OK;
  });
}

HRESULT Store::writeInteger(const GUID& object, std::uint32_t attr, std::int32_t value) {
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  StatementUse use(_staged ? _stageInt : _upsertInt);
  use.bindGuid(1, object);
  use.bindInt(2, attr);
  use.bindInt(3, value);
  const int rc = use.step();
  return rc == SQLITE_DONE ? S_OK : resultFromSqlite(rc);
}

HRESULT Store::writeString(const GUID& object, std::uint32_t attr, const char16_t* text,
                           std::size_t length) {
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  std::string bytes;
  encodeUtf16(text, length, bytes);
  StatementUse use(_staged ? _stageString : _upsertString);
  use.bindGuid(1, object);
  use.bindInt(2, attr);
  use.bindInt(3, textHash(bytes));
  use.bindBlob(4, bytes.data(), bytes.size());
  const int rc = use.step();
  return rc == SQLITE_DONE ? S_OK : resultFromSqlite(rc);
}

HRESULT Store::writeReferences(const GUID& object, std::uint32_t attr, const GUID* targets,
                               std::size_t count) {
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  if (count == 0 && _loading) return S_OK;  // nothing staged for an empty list
  if (count == 0) {
    StatementUse use(_deleteRefs);
    use.bindGuid(1, object);
    use.bindInt(2, attr);
    const int rc = use.step();
    return rc == SQLITE_DONE ? S_OK : resultFromSqlite(rc);
  }
  std::vector<unsigned char> bytes(count * 16);
  for (std::size_t i = 0; i < count; ++i) guidToKeyBytes(targets[i], bytes.data() + 16 * i);
  StatementUse use(_staged ? _stageRefs : _upsertRefs);
  use.bindGuid(1, object);
  use.bindInt(2, attr);
  use.bindBlob(3, bytes.data(), bytes.size());
  const int rc = use.step();
  return rc == SQLITE_DONE ? S_OK : resultFromSqlite(rc);
}

// --- Queries -------------------------------------------------------------

HRESULT Store::valueMatches(const GUID& object, const QueryCondition& condition, bool& matches) {
  matches = false;
  if (condition.isString) {
    std::u16string text;
    const HRESULT hr = readString(object, condition.attributeId, text);
    if (hr < 0) return hr;
    matches = hr == S_OK && text == condition.text;
    return S_OK;
  }
  std::int32_t value = 0;
  const HRESULT hr = readInteger(object, condition.attributeId, value);
  if (hr < 0) return hr;
  matches = hr == S_OK && value == condition.integer;
  return S_OK;
}

HRESULT Store::selectObjects(const std::vector<const ClassDef*>& classes,
                             const std::vector<QueryCondition>& conditions,
                             std::vector<GUID>& out) {
  out.clear();
  if (_db == nullptr) return kStoreClosed;
  int rc;
  if (conditions.empty()) {
    for (const ClassDef* cls : classes) {
      StatementUse use(_objectsOfClass);
      use.bindGuid(1, cls->guid);
      while ((rc = use.step()) == SQLITE_ROW) out.push_back(use.columnGuid(0));
      if (rc != SQLITE_DONE) return resultFromSqlite(rc);
    }
    if (classes.size() > 1) std::sort(out.begin(), out.end(), GuidLess{});
    return S_OK;
  }
  // The first condition goes through its value index; the class and the
  // other conditions are checked per candidate by key.
  std::vector<GUID> candidates;
  {
    const QueryCondition& first = conditions.front();
    StatementUse use(first.isString ? _objectsByString : _objectsByInt);
    use.bindInt(1, first.attributeId);
    std::string bytes;
    if (first.isString) {
      encodeUtf16(first.text.data(), first.text.size(), bytes);
      use.bindInt(2, textHash(bytes));
      use.bindBlob(3, bytes.data(), bytes.size());
    } else {
      use.bindInt(2, first.integer);
    }
    while ((rc = use.step()) == SQLITE_ROW) candidates.push_back(use.columnGuid(0));
    if (rc != SQLITE_DONE) return resultFromSqlite(rc);
  }
  for (const GUID& candidate : candidates) {
    const ClassDef* cls = nullptr;
    HRESULT hr = objectClass(candidate, cls);
    if (hr == kStorageNotFound) continue;
    if (hr < 0) return hr;
    if (std::find(classes.begin(), classes.end(), cls) == classes.end()) continue;
    bool all = true;
    for (std::size_t i = 1; i < conditions.size() && all; ++i) {
      hr = valueMatches(candidate, conditions[i], all);
      if (hr < 0) return hr;
    }
    if (all) out.push_back(candidate);
  }
  return S_OK;
}

}  // namespace vddb::engine
