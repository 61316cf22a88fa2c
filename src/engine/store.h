// The engine's core: one SQLite connection, the catalog loaded from it, the
// prepared statements every call goes through, and the open transaction.
// The COM objects (com_objects.*) are thin views over it: they validate
// arguments against the catalog and call one of these primitives, each an
// indexed lookup through a cached statement.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/catalog.h"
#include "engine/result_codes.h"
#include "store/com.h"
#include "store/guid.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vddb::engine {

class ChangeObserver;

// A prepared statement kept for the life of the connection.
class Statement {
 public:
  Statement() = default;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  struct Entry {
    Statement* statement;
    const char* sql;
  };

  int prepare(sqlite3* db, const char* sql);
  sqlite3_stmt* get() const noexcept { return _stmt; }
  void finalize() noexcept;

 private:
  sqlite3_stmt* _stmt = nullptr;
};

// Resets and clears the bindings of a statement when the use ends, so the
// next call finds it ready.
class StatementUse {
 public:
  explicit StatementUse(Statement& s) noexcept : _stmt(s.get()) {}
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  ~StatementUse();

  void bindGuid(int index, const GUID& guid) noexcept;
  void bindInt(int index, std::int64_t value) noexcept;
  void bindBlob(int index, const void* data, std::size_t size) noexcept;
  void bindText(int index, const std::string& text) noexcept;
  // SQLITE_ROW, SQLITE_DONE or an error.
  int step() noexcept;

  GUID columnGuid(int column, bool* valid = nullptr) const noexcept;
  std::int64_t columnInt(int column) const noexcept;
  const unsigned char* columnBlob(int column, std::size_t& size) const noexcept;

 private:
  sqlite3_stmt* _stmt;
};

// The result for a failing SQLite result code.
HRESULT resultFromSqlite(int rc) noexcept;

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
  bool canWrite() const noexcept { return _db != nullptr && _inWrite; }
  // kStoreClosed or kNoTransaction when a change is not possible now.
  HRESULT writeState() const noexcept;
  const Catalog& catalog() const noexcept { return _catalog; }
  sqlite3* db() const noexcept { return _db; }
  // SQLite's integrity check; kStoreDamaged with its findings when the file
  // is damaged.
  HRESULT checkIntegrity(std::string& findings);
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
  HRESULT writeInteger(const GUID& object, std::uint32_t attr, std::int32_t value);
  HRESULT writeString(const GUID& object, std::uint32_t attr, const char16_t* text,
                      std::size_t length);
  // An empty list removes the value.
  HRESULT writeReferences(const GUID& object, std::uint32_t attr, const GUID* targets,
                          std::size_t count);

  // The GUIDs of the objects of `classes` meeting every condition,
  // ascending.
  HRESULT selectObjects(const std::vector<const ClassDef*>& classes,
                        const std::vector<QueryCondition>& conditions, std::vector<GUID>& out);

  // The SQL of every cached statement, for the check that each is an
  // indexed lookup.
  std::vector<std::string> statementTexts() const;

 private:
  Store() = default;
  HRESULT prepareStatements();
  HRESULT loadCatalog(std::string* error);
  // kStoreDamaged when one of the schema's indexes is missing.
  HRESULT checkIndexes(std::string* error);
  HRESULT valueMatches(const GUID& object, const QueryCondition& condition, bool& matches);

  sqlite3* _db = nullptr;
  Catalog _catalog;
  bool _inWrite = false;
  bool _inRead = false;
  bool _loading = false;
  bool _staged = false;  // a file load: rows go to the staging tables first
  Mode _mode = Mode::kWrite;
  std::unordered_set<GUID, GuidHash> _deleted;
  ChangeObserver* _observer = nullptr;

  Statement _selectClass, _insertObject, _deleteObject;
  Statement _selectInt, _selectString, _selectRefs;
  Statement _upsertInt, _upsertString, _upsertRefs, _deleteRefs;
  Statement _deleteInts, _deleteStrings, _deleteAllRefs;
  Statement _objectsOfClass, _objectsByInt, _objectsByString;
  Statement _begin, _beginRead, _commit, _rollback;
  Statement _stageObject, _stageInt, _stageString, _stageRefs;
};

}  // namespace vddb::engine
