#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ostream>
#include <tuple>
#include <vector>

#include "encoding/quote.h"
#include "encoding/utf.h"
#include "engine/com_objects.h"
#include "engine/json_io.h"
#include "store/interfaces.h"

namespace vddb::engine {

static void appendGuid(const unsigned char* key, std::string& out) {
  out.push_back('"');
  out += formatGuid(guidFromKeyBytes(key));
  out.push_back('"');
}

void appendTextJson(const void* utf16le, std::size_t size, std::string& out) {
  std::string text8;
  encoding::appendUtf8FromUtf16Le(
      std::string_view(static_cast<const char*>(utf16le), utf16le != nullptr ? size : 0), text8);
  encoding::appendJsonString(text8, out);
}

void appendReferencesJson(const ClassDef* cls, std::uint32_t attr, const unsigned char* bytes,
                          std::size_t size, const char* separator, const char* close,
                          std::string& out) {
  const AttributeDef* a = cls != nullptr ? Catalog::resolve(cls, attr) : nullptr;
  const bool single = a != nullptr ? a->type == kAttributeTypeReference : size == 16;
  if (single && size == 16) {
    appendGuid(bytes, out);
    return;
  }
  out += "[";
  for (std::size_t i = 0; i + 16 <= size; i += 16) {
    out += i == 0 ? separator + 1 : separator;
    appendGuid(bytes + i, out);
  }
  out += size >= 16 ? close : "]";
}

namespace {

// One row cursor over a value table, in (object, attribute) order, so the
// dump is a merge of four sequential scans rather than a lookup per object.
// `byAttribute`: the second column is the attribute, part of the key.
class Cursor {
 public:
  Cursor(sqlite3* db, const char* sql, bool byAttribute) : _byAttribute(byAttribute) {
    _rc = sqlite3_prepare_v2(db, sql, -1, &_stmt, nullptr);
  }
  ~Cursor() { sqlite3_finalize(_stmt); }
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // SQLITE_OK at a row or at the end; the error otherwise. SQLite returns
  // the rows in the order its B-tree holds them; in a damaged file that may
  // not be key order, and the merge would then pass over rows of objects
  // that come later, leaving their values out of the dump without a word.
  // A row whose key is not above the one before is damage, as SQLite
  // reports damage it finds itself.
  int advance() {
    _rc = sqlite3_step(_stmt);
    if (_rc == SQLITE_ROW && !keyAscends()) _rc = SQLITE_CORRUPT;
    return failure();
  }
  bool atRow() const noexcept { return _rc == SQLITE_ROW; }
  int failure() const noexcept {
    return (_rc == SQLITE_ROW || _rc == SQLITE_DONE) ? SQLITE_OK : _rc;
  }
  // <0, 0, >0 as the row's object compares with `key`.
  int compareObject(const unsigned char* key) const {
    const void* blob = sqlite3_column_blob(_stmt, 0);
    if (blob == nullptr || sqlite3_column_bytes(_stmt, 0) != 16) return -1;
    return std::memcmp(blob, key, 16);
  }
  sqlite3_stmt* get() const noexcept { return _stmt; }

 private:
  // Whether the current row's key is above the last row's, and remembers it.
  // A row whose object is no GUID is judged where it is read.
  bool keyAscends() {
    const void* blob = sqlite3_column_blob(_stmt, 0);
    if (blob == nullptr || sqlite3_column_bytes(_stmt, 0) != 16) return true;
    std::array<unsigned char, 16> object;
    std::memcpy(object.data(), blob, object.size());
    const std::int64_t attribute = _byAttribute ? sqlite3_column_int64(_stmt, 1) : 0;
    const bool ascends =
        !_hasLast || std::tie(object, attribute) > std::tie(_lastObject, _lastAttribute);
    _hasLast = true;
    _lastObject = object;
    _lastAttribute = attribute;
    return ascends;
  }

  sqlite3_stmt* _stmt = nullptr;
  int _rc = SQLITE_OK;
  bool _byAttribute;
  bool _hasLast = false;
  std::array<unsigned char, 16> _lastObject{};
  std::int64_t _lastAttribute = 0;
};

struct Value {
  std::uint32_t attr;
  std::string text;  // the JSON of the value, ready to write
};

void writeClass(const ClassDef& c, bool last, std::string& out) {
  out += "    {\n      \"guid\": \"" + formatGuid(c.guid) + "\"";
  if (!c.name.empty()) {
    out += ",\n      \"name\": ";
    // A load writes names as UTF-8, but a damaged catalog may hold any
    // bytes: what is not UTF-8 is shown as U+FFFD (as in texts), so that the
    // dump stays JSON that a load takes.
    std::string name;
    encoding::appendUtf8(encoding::utf8ToUtf16(c.name), name);
    encoding::appendJsonString(name, out);
  }
  if (c.base) out += ",\n      \"base\": \"" + formatGuid(*c.base) + "\"";
  out += ",\n      \"attributes\": [";
  for (std::size_t i = 0; i < c.attributes.size(); ++i) {
    const AttributeDef& a = c.attributes[i];
    out += i == 0 ? "\n" : ",\n";
    out += "        { \"id\": \"" + formatAttributeId(a.id) + "\", \"type\": \"" +
           attributeTypeName(a.type) + "\"";
    if (isReferenceType(a.type)) out += a.owning ? ", \"owning\": true" : ", \"owning\": false";
    out += " }";
  }
  out += c.attributes.empty() ? "]\n" : "\n      ]\n";
  out += last ? "    }\n" : "    },\n";
}

// The store's object count for a progress display, read in the dump's read
// transaction; 0 when it cannot be read (the dump then finds out why).
std::uint64_t objectCount(sqlite3* db) {
  sqlite3_stmt* stmt = nullptr;
  std::uint64_t count = 0;
  if (sqlite3_prepare_v2(db, "SELECT count(*) FROM objects", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    count = static_cast<std::uint64_t>(std::max<sqlite3_int64>(sqlite3_column_int64(stmt, 0), 0));
  }
  sqlite3_finalize(stmt);
  return count;
}

// Objects between two reports of progress.
constexpr std::uint64_t kProgressEvery = 256;

}  // namespace

HRESULT writeJson(Store& store, std::ostream& out, bool allClasses, std::string* error,
                  DumpProgress* progress) {
  if (!store.isOpen()) return kStoreClosed;
  try {
    std::string buffer;
    buffer.reserve(1 << 17);
    const auto flush = [&](bool force) {
      if (force || buffer.size() >= (1 << 16)) {
        out.write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        buffer.clear();
      }
    };

    buffer += "{\n  \"format\": \"vddb-store/1\",\n  \"classes\": [";
    const Catalog builtin = builtinCatalog();
    std::vector<const ClassDef*> classes;
    for (const ClassDef* c : store.catalog().sorted()) {
      const ClassDef* b = builtin.find(c->guid);
      if (allClasses || b == nullptr || !sameDefinition(*b, *c)) classes.push_back(c);
    }
    buffer += classes.empty() ? "],\n" : "\n";
    for (std::size_t i = 0; i < classes.size(); ++i) {
      writeClass(*classes[i], i + 1 == classes.size(), buffer);
    }
    if (!classes.empty()) buffer += "  ],\n";
    buffer += "  \"objects\": [";

    sqlite3* db = store.db();
    Cursor objects(db, "SELECT guid, class FROM objects ORDER BY guid", false);
    Cursor ints(db, "SELECT object, attr, value FROM int_values ORDER BY object, attr", true);
    Cursor strings(db, "SELECT object, attr, value FROM string_values ORDER BY object, attr", true);
    Cursor refs(db, "SELECT object, attr, targets FROM ref_values ORDER BY object, attr", true);
    int rc = SQLITE_OK;
    for (Cursor* c : {&objects, &ints, &strings, &refs}) {
      if (rc == SQLITE_OK) rc = c->advance();
    }
    // Counted once the cursors hold the read transaction, so that the
    // total is that of the state dumped.
    const std::uint64_t total = progress != nullptr && rc == SQLITE_OK ? objectCount(db) : 0;
    std::uint64_t written = 0;
    std::vector<Value> values;
    bool first = true;
    while (rc == SQLITE_OK && objects.atRow()) {
      const auto* key = static_cast<const unsigned char*>(sqlite3_column_blob(objects.get(), 0));
      const auto* classKey =
          static_cast<const unsigned char*>(sqlite3_column_blob(objects.get(), 1));
      if (key == nullptr || classKey == nullptr || sqlite3_column_bytes(objects.get(), 0) != 16 ||
          sqlite3_column_bytes(objects.get(), 1) != 16) {
        if (error != nullptr) *error = "an object row is damaged";
        return kStoreDamaged;
      }
      const ClassDef* cls = store.catalog().find(guidFromKeyBytes(classKey));
      values.clear();
      // Rows of a value table before this object belong to no object (a
      // damaged store); they are passed over.
      for (Cursor* c : {&ints, &strings, &refs}) {
        while (rc == SQLITE_OK && c->atRow() && c->compareObject(key) < 0) rc = c->advance();
        while (rc == SQLITE_OK && c->atRow() && c->compareObject(key) == 0) {
          Value v;
          v.attr = static_cast<std::uint32_t>(sqlite3_column_int64(c->get(), 1));
          bool absent = false;
          if (c == &ints) {
            v.text = std::to_string(static_cast<std::int32_t>(sqlite3_column_int64(c->get(), 2)));
          } else {
            const void* bytes = sqlite3_column_blob(c->get(), 2);
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(c->get(), 2));
            // A text of an odd number of bytes, or a list that is not whole
            // GUIDs, is what every read of the value reports as damage; the
            // dump says so rather than show it cut to a shape a load takes.
            if (size % (c == &strings ? 2 : 16) != 0) {
              if (error != nullptr) {
                *error = "object " + formatGuid(guidFromKeyBytes(key)) + ": the value of " +
                         formatAttributeId(v.attr) + " is damaged";
              }
              return kStoreDamaged;
            }
            if (c == &strings) {
              appendTextJson(bytes, size, v.text);
            } else if (size == 0) {
              // Reads as no value, as a write of an empty list leaves it.
              absent = true;
            } else {
              appendReferencesJson(cls, v.attr, static_cast<const unsigned char*>(bytes), size,
                                   ",\n          ", "\n        ]", v.text);
            }
          }
          if (!absent) values.push_back(std::move(v));
          rc = c->advance();
        }
      }
      std::sort(values.begin(), values.end(),
                [](const Value& a, const Value& b) { return a.attr < b.attr; });
      buffer += first ? "\n    {\n      \"guid\": \"" : ",\n    {\n      \"guid\": \"";
      first = false;
      buffer += formatGuid(guidFromKeyBytes(key));
      buffer += "\",\n      \"class\": \"";
      buffer += formatGuid(guidFromKeyBytes(classKey));
      buffer += "\",\n      \"values\": {";
      for (std::size_t i = 0; i < values.size(); ++i) {
        buffer += i == 0 ? "\n        \"" : ",\n        \"";
        buffer += formatAttributeId(values[i].attr);
        buffer += "\": ";
        buffer += values[i].text;
      }
      buffer += values.empty() ? "}\n    }" : "\n      }\n    }";
      flush(false);
      if (progress != nullptr && ++written % kProgressEvery == 0) {
        progress->objectsWritten(written, total);
      }
      rc = objects.advance();
    }
    if (rc == SQLITE_OK) {
      for (Cursor* c : {&objects, &ints, &strings, &refs}) {
        if (rc == SQLITE_OK) rc = c->failure();
      }
    }
    if (rc != SQLITE_OK) {
      if (error != nullptr) *error = std::string("cannot read the store: ") + sqlite3_errstr(rc);
      return resultFromSqlite(rc);
    }
    buffer += first ? "]\n}\n" : "\n  ]\n}\n";
    flush(true);
    out.flush();
    if (!out) {
      if (error != nullptr) *error = "cannot write the dump";
      return kStorageIo;
    }
    return S_OK;
  } catch (const std::bad_alloc&) {
    if (error != nullptr) *error = "out of memory";
    return E_OUTOFMEMORY;
  }
}

HRESULT dumpJsonWithProgress(StoreSession& session, std::ostream& out, bool allClasses,
                             DumpProgress& progress, std::string* error) {
  const std::shared_ptr<Store> store = storeOfRoot(session.storage());
  if (!store) return E_INVALIDARG;
  return writeJson(*store, out, allClasses, error, &progress);
}

}  // namespace vddb::engine
