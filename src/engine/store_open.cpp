// Opening an existing store file (checked before and after SQLite looks at
// it, never created or changed), creating a new one, and finishing a load.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "engine/schema.h"
#include "engine/sqlite_memory.h"
#include "engine/store.h"
#include "platform/files.h"
#include "store/interfaces.h"

namespace vddb::engine {
namespace {

std::uint32_t bigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         p[3];
}

// Looks at the file before SQLite does: SQLite would take a file of random
// bytes or a truncated file lazily and report it only on some later read.
HRESULT checkFileHeader(const std::string& path, std::string* error) {
  platform::PathInfo info;
  std::string why;
  // A path that cannot be looked at is as unreachable as a missing one.
  if (!platform::inspectPath(path, true, info, &why)) return setError(error, kStoreMissing, why);
  if (info.kind == platform::PathKind::kMissing) {
    return setError(error, kStoreMissing, "no store at " + path);
  }
  if (info.kind != platform::PathKind::kFile) {
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
  platform::PathInfo journal;
  if (platform::inspectPath(path + "-journal", true, journal) &&
      journal.kind == platform::PathKind::kFile && journal.size > 0) {
    return S_OK;
  }
  const std::uint64_t size = info.size;
  if (size % pageSize != 0) return setError(error, kStoreDamaged, path + " is truncated");
  // The page count in the header holds when the two change counters agree.
  const std::uint32_t pages = bigEndian32(header + 28);
  if (pages != 0 && bigEndian32(header + 24) == bigEndian32(header + 92) &&
      size < std::uint64_t{pages} * pageSize) {
    return setError(error, kStoreDamaged, path + " is truncated");
  }
  return S_OK;
}

}  // namespace

Store::~Store() { close(); }

void Store::close() noexcept {
  if (_db == nullptr) return;
  endJournal();  // the tracker must go before its connection
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
  dropMemoryTables();
}

HRESULT Store::openMarked(const std::string& path, Mode mode, std::shared_ptr<Store>& store,
                          std::string& version, std::string* error) {
  store.reset();
  HRESULT hr = checkFileHeader(path, error);
  if (hr < 0) return hr;

  std::shared_ptr<Store> s(new (std::nothrow) Store());
  if (!s) return E_OUTOFMEMORY;
  s->_mode = mode;
  // Never SQLITE_OPEN_CREATE: a missing store must stay missing.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
  useEngineSqliteMemory();
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
  Statement meta;
  rc = meta.prepare(s->_db, "SELECT key, value FROM meta");
  if (rc != SQLITE_OK) {
    hr = (rc & 0xFF) == SQLITE_ERROR ? kNotAStore : resultFromSqlite(rc);
    s->close();
    return setError(error, hr, hr == kNotAStore ? path + " is not a store" : path + " is damaged");
  }
  std::string format;
  {
    StatementUse use(meta);
    while ((rc = use.step()) == SQLITE_ROW) {
      const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(meta.get(), 0));
      const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(meta.get(), 1));
      if (key == nullptr || value == nullptr) continue;
      if (std::strcmp(key, "format") == 0) format = value;
      if (std::strcmp(key, "schema") == 0) version = value;
    }
  }
  if (rc != SQLITE_DONE) {
    hr = resultFromSqlite(rc);
    s->close();
    return setError(error, hr, path + " is damaged");
  }
  if (format != schema::kFormatMarker) {
    s->close();
    return setError(error, kNotAStore, path + " is not a store");
  }
  store = std::move(s);
  return S_OK;
}

HRESULT Store::openFile(const std::string& path, Mode mode, std::shared_ptr<Store>& store,
                        std::string* error) {
  store.reset();
  std::shared_ptr<Store> s;
  std::string version;
  HRESULT hr = openMarked(path, mode, s, version, error);
  if (hr < 0) return hr;
  if (version == schema::kPreviousVersion) {
    s->_schemaVersion = 2;
  } else if (version != schema::kVersion) {
    s->close();
    // Versions are whole numbers; anything else is as unknown as a newer one.
    char* end = nullptr;
    const long number = std::strtol(version.c_str(), &end, 10);
    const bool older = !version.empty() && *end == '\0' && number < 2;
    return setError(error, kStoreVersion,
                    path + " has schema version " + version +
                        (older ? ", which this version of vddb cannot open"
                               : ", newer than this version of vddb knows (" +
                                     std::string(schema::kVersion) + "); use a newer vddb"));
  }
  hr = s->checkIndexes(error);
  if (hr < 0) {
    s->close();
    if (error != nullptr) *error = path + ": " + *error;
    return hr;
  }
  hr = s->loadCatalog(error);
  if (hr >= 0) hr = s->prepareStatements();
  if (hr >= 0 && s->_schemaVersion >= 3) hr = s->checkJournal(error);
  if (hr < 0) {
    s->close();
    if (error != nullptr && error->empty()) *error = path + " is damaged";
    if (error != nullptr) *error = path + ": " + *error;
    return hr;
  }
  store = std::move(s);
  return S_OK;
}

HRESULT Store::openToReplace(const std::string& path, std::shared_ptr<Store>& store,
                             std::string* error) {
  std::string version;
  return openMarked(path, Mode::kWrite, store, version, error);
}

HRESULT Store::createNew(const std::string& path, std::shared_ptr<Store>& store,
                         std::string* error) {
  store.reset();
  std::shared_ptr<Store> s(new (std::nothrow) Store());
  if (!s) return E_OUTOFMEMORY;
  const int flags =
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_PRIVATECACHE;
  useEngineSqliteMemory();
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
  if (rc == SQLITE_OK) rc = exec(s->_db, schema::kTables);
  if (rc == SQLITE_OK) rc = exec(s->_db, schema::kStaging);
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

HRESULT Store::finishLoad(bool commit, std::string* error) {
  if (!_loading) return kNoTransaction;
  const HRESULT fault = writeState();  // a load that met a storage fault is not kept
  _loading = false;
  _inWrite = false;
  _writeFault = S_OK;
  for (Statement* st : {&_stageObject, &_stageInt, &_stageString, &_stageRefs}) st->finalize();
  if (!commit || fault < 0) {
    exec(_db, "ROLLBACK");
    return commit ? setError(error, fault, "cannot write the store") : S_OK;
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
  if (rc == SQLITE_OK && staged) rc = exec(_db, schema::kMoveStaged);
  if (rc == SQLITE_OK) rc = exec(_db, schema::kIndexes);
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

}  // namespace vddb::engine
