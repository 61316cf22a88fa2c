// The store file's layout (schema version 3), the class catalog's tables and
// the statements every call goes through, prepared once per connection.
#include "engine/schema.h"

#include <sqlite3.h>

#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "engine/store.h"
#include "store/interfaces.h"

namespace vddb::engine {
namespace schema {

// One row per committed change (docs/store-engine.md, "The journal").
// `changes` is a changeset of SQLite's session extension over the four
// object tables; the counts and the report are kept beside it so that the
// history is read without decoding every change.
#define JOURNAL_TABLE                                                                   \
  "CREATE TABLE journal(seq INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL,"     \
  " program TEXT NOT NULL, command TEXT NOT NULL, deleted INTEGER NOT NULL,"            \
  " created INTEGER NOT NULL, changed INTEGER NOT NULL, problems INTEGER, report TEXT," \
  " bytes INTEGER NOT NULL, changes BLOB NOT NULL);"

// The marker and schema version in the meta table of every store.
const char* const kFormatMarker = "vddb-store";
// 2: string and reference values in rowid tables (see kTables).
// 3: those tables keyed by a declared primary key, and the journal.
const char* const kVersion = "3";
const char* const kPreviousVersion = "2";

const char* const kTables =
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
    // rowid tables: their (object, attr) key index holds only keys, and a
    // large value is read only when its own row is. The value index of the
    // texts holds a hash of the text, not the text, for the same reason. The
    // key is declared as the primary key because the journal records the
    // changes of tables with one only.
    "CREATE TABLE string_values(object BLOB NOT NULL, attr INTEGER NOT NULL, hash INTEGER NOT NULL,"
    " value BLOB NOT NULL, PRIMARY KEY(object, attr));"
    "CREATE TABLE ref_values(object BLOB NOT NULL, attr INTEGER NOT NULL, targets BLOB NOT NULL,"
    " PRIMARY KEY(object, attr));"
    JOURNAL_TABLE;

// A load appends rows to these in file order and moves them into the real
// tables sorted by key at the end: inserting random GUIDs straight into a
// B-tree larger than the cache rewrites its pages over and over.
const char* const kStaging =
    "CREATE TEMP TABLE load_objects(guid BLOB, class BLOB);"
    "CREATE TEMP TABLE load_ints(object BLOB, attr INTEGER, value INTEGER);"
    "CREATE TEMP TABLE load_strings(object BLOB, attr INTEGER, hash INTEGER, value BLOB);"
    "CREATE TEMP TABLE load_refs(object BLOB, attr INTEGER, targets BLOB);";

const char* const kMoveStaged =
    "INSERT INTO int_values SELECT * FROM temp.load_ints ORDER BY object, attr;"
    "INSERT INTO string_values(object, attr, hash, value)"
    " SELECT object, attr, hash, value FROM temp.load_strings ORDER BY object, attr;"
    "INSERT INTO ref_values(object, attr, targets)"
    " SELECT object, attr, targets FROM temp.load_refs ORDER BY object, attr;"
    "DROP TABLE temp.load_objects; DROP TABLE temp.load_ints;"
    "DROP TABLE temp.load_strings; DROP TABLE temp.load_refs;";

// Built after a bulk load: cheaper than keeping them up to date row by row.
const char* const kIndexes =
    "CREATE INDEX objects_by_class ON objects(class, guid);"
    "CREATE INDEX int_values_by_value ON int_values(attr, value, object);"
    "CREATE INDEX string_values_by_value ON string_values(attr, hash, object);";

// A store of version 2 becomes one of version 3 in the transaction of its
// first change: the two rowid tables are copied into tables with a declared
// key (which SQLite names sqlite_autoindex_<table>_1, renamed with the
// table), and the journal starts empty.
const char* const kUpgrade =
    "CREATE TABLE upgraded_string_values(object BLOB NOT NULL, attr INTEGER NOT NULL,"
    " hash INTEGER NOT NULL, value BLOB NOT NULL, PRIMARY KEY(object, attr));"
    "INSERT INTO upgraded_string_values SELECT object, attr, hash, value FROM string_values"
    " ORDER BY object, attr;"
    "DROP TABLE string_values;"
    "ALTER TABLE upgraded_string_values RENAME TO string_values;"
    "CREATE INDEX string_values_by_value ON string_values(attr, hash, object);"
    "CREATE TABLE upgraded_ref_values(object BLOB NOT NULL, attr INTEGER NOT NULL,"
    " targets BLOB NOT NULL, PRIMARY KEY(object, attr));"
    "INSERT INTO upgraded_ref_values SELECT object, attr, targets FROM ref_values"
    " ORDER BY object, attr;"
    "DROP TABLE ref_values;"
    "ALTER TABLE upgraded_ref_values RENAME TO ref_values;" JOURNAL_TABLE
    "UPDATE meta SET value = '3' WHERE key = 'schema';";

// Every index a usable store has. One that is missing would not make any
// call fail, only turn its lookups into scans, so opening checks for them.
const char* const kIndexNames[5] = {"sqlite_autoindex_string_values_1",
                                    "sqlite_autoindex_ref_values_1", "objects_by_class",
                                    "int_values_by_value", "string_values_by_value"};
const char* const kPreviousIndexNames[5] = {"string_values_key", "ref_values_key",
                                            "objects_by_class", "int_values_by_value",
                                            "string_values_by_value"};

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

}  // namespace schema

// --- Statements on the schema ---------------------------------------------

HRESULT Store::prepareStatements() {
  const Statement::Entry entries[] = {
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
  for (const Statement::Entry& e : entries) {
    const int rc = e.statement->prepare(_db, e.sql);
    if (rc != SQLITE_OK) return rc == SQLITE_ERROR ? kStoreDamaged : resultFromSqlite(rc);
  }
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

// --- The class catalog -----------------------------------------------------

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
       {std::pair<std::string, std::string>{"format", schema::kFormatMarker},
        {"schema", schema::kVersion}}) {
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

// --- Checks at open ---------------------------------------------------------

HRESULT Store::checkIndexes(std::string* error) {
  const auto& expected = _schemaVersion == 2 ? schema::kPreviousIndexNames : schema::kIndexNames;
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
  for (const char* name : expected) {
    if (present.count(name) == 0) {
      return setError(error, kStoreDamaged, std::string("the index ") + name + " is missing");
    }
  }
  return S_OK;
}

}  // namespace vddb::engine
