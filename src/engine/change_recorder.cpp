#include "engine/change_recorder.h"

#include <sqlite3.h>

#include <cstring>
#include <new>

namespace vddb::engine {
namespace {

// The tables recorded, with their columns and the place of each in the
// key (0: not in it), as the changeset's table header gives it; apply
// passes over a table whose key it finds declared otherwise.
struct TableShape {
  const char* name;
  int columns;
  unsigned char key[4];
};
constexpr TableShape kTables[] = {
    {"objects", 2, {1, 0}},
    {"int_values", 3, {1, 2, 0}},
    {"string_values", 4, {1, 2, 0, 0}},
    {"ref_values", 3, {1, 2, 0}},
};

// Codes of the changeset format (sqlite3.h, the session extension).
constexpr char kTableMarker = 'T';
constexpr unsigned char kUndefined = 0x00;

// SQLite's variable-length integer: 7 bits a byte, most significant first,
// the high bit set on all but the last (lengths never need the 9-byte form).
void putVarint(std::uint64_t n, std::string& out) {
  unsigned char bytes[10];
  int count = 0;
  do {
    bytes[count++] = static_cast<unsigned char>(n & 0x7F);
    n >>= 7;
  } while (n != 0);
  while (count > 0) {
    --count;
    out.push_back(static_cast<char>(bytes[count] | (count > 0 ? 0x80 : 0)));
  }
}

}  // namespace

void ChangeRecorder::attach(sqlite3* db) noexcept {
  _db = db;
  sqlite3_preupdate_hook(db, &ChangeRecorder::onPreupdate, this);
}

void ChangeRecorder::detach() noexcept {
  if (_db != nullptr) sqlite3_preupdate_hook(_db, nullptr, nullptr);
  _db = nullptr;
}

void ChangeRecorder::onPreupdate(void* self, sqlite3* db, int op, const char* database,
                                 const char* table, long long, long long) {
  if (std::strcmp(database, "main") != 0) return;  // the staging and index tables
  for (int t = 0; t < 4; ++t) {
    if (std::strcmp(table, kTables[t].name) != 0) continue;
    auto* recorder = static_cast<ChangeRecorder*>(self);
    try {
      recorder->record(db, op, t);
    } catch (const std::bad_alloc&) {
      recorder->_failed = true;
    }
    return;
  }
}

void ChangeRecorder::record(sqlite3* db, int op, int table) {
  if (_failed) return;
  const TableShape& shape = kTables[table];
  if (sqlite3_preupdate_count(db) != shape.columns) {
    _failed = true;  // not the layout this was written for
    return;
  }
  const auto read = [&](bool after, std::vector<Value>& values) {
    values.resize(static_cast<std::size_t>(shape.columns));
    for (int c = 0; c < shape.columns; ++c) {
      sqlite3_value* v = nullptr;
      const int rc = after ? sqlite3_preupdate_new(db, c, &v) : sqlite3_preupdate_old(db, c, &v);
      if (rc != SQLITE_OK || v == nullptr) {
        _failed = true;
        return;
      }
      Value& out = values[static_cast<std::size_t>(c)];
      out.type = sqlite3_value_type(v);
      out.integer = 0;
      out.bytes.clear();
      if (out.type == SQLITE_INTEGER) {
        out.integer = sqlite3_value_int64(v);
      } else if (out.type == SQLITE_TEXT || out.type == SQLITE_BLOB) {
        const void* data = out.type == SQLITE_TEXT ? static_cast<const void*>(sqlite3_value_text(v))
                                                   : sqlite3_value_blob(v);
        const int size = sqlite3_value_bytes(v);
        if (data != nullptr) out.bytes.assign(static_cast<const char*>(data), static_cast<std::size_t>(size));
      } else if (out.type != SQLITE_NULL) {
        _failed = true;  // a real: never written by the engine
      }
    }
  };
  std::vector<Value> values;
  read(op != SQLITE_DELETE, values);  // the key is the same on both sides
  if (_failed) return;
  std::string key(1, static_cast<char>(table));
  key += values[0].bytes;
  if (shape.key[1] != 0) key.append(reinterpret_cast<const char*>(&values[1].integer), 8);

  const auto [slot, added] = _index.try_emplace(std::move(key), _rows.size());
  if (added) {
    Row row;
    row.table = table;
    row.existed = op != SQLITE_INSERT;
    if (op == SQLITE_UPDATE) read(false, row.before);
    _rows.push_back(std::move(row));
  }
  Row& row = _rows[slot->second];
  row.present = op != SQLITE_DELETE;
  if (op != SQLITE_DELETE) {
    row.now = std::move(values);
  } else if (added) {
    row.before = std::move(values);  // a row's first change keeps what it was
  } else {
    row.now.clear();
  }
}

std::string ChangeRecorder::changeset() const {
  std::string out;
  const auto putValue = [&](const Value& v) {
    out.push_back(static_cast<char>(v.type));
    if (v.type == SQLITE_INTEGER) {
      const auto u = static_cast<std::uint64_t>(v.integer);
      for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(u >> shift));
    } else if (v.type == SQLITE_TEXT || v.type == SQLITE_BLOB) {
      putVarint(v.bytes.size(), out);
      out += v.bytes;
    }
  };
  for (int t = 0; t < 4; ++t) {
    const TableShape& shape = kTables[t];
    bool headed = false;
    for (const Row& row : _rows) {
      if (row.table != t || (!row.existed && !row.present)) continue;
      if (row.existed && row.present && row.before == row.now) continue;
      if (!headed) {
        out.push_back(kTableMarker);
        putVarint(static_cast<std::uint64_t>(shape.columns), out);
        out.append(reinterpret_cast<const char*>(shape.key), static_cast<std::size_t>(shape.columns));
        out.append(shape.name, std::strlen(shape.name) + 1);
        headed = true;
      }
      if (!row.present) {
        out.push_back(static_cast<char>(SQLITE_DELETE));
        out.push_back(0);  // not indirect
        for (const Value& v : row.before) putValue(v);
      } else if (!row.existed) {
        out.push_back(static_cast<char>(SQLITE_INSERT));
        out.push_back(0);
        for (const Value& v : row.now) putValue(v);
      } else {
        // The old side holds the key and the old values of the changed
        // columns, the new side the new values of the changed columns.
        out.push_back(static_cast<char>(SQLITE_UPDATE));
        out.push_back(0);
        for (int c = 0; c < shape.columns; ++c) {
          const bool changed = !(row.before[c] == row.now[c]);
          if (shape.key[c] != 0 || changed) {
            putValue(row.before[c]);
          } else {
            out.push_back(static_cast<char>(kUndefined));
          }
        }
        for (int c = 0; c < shape.columns; ++c) {
          const bool changed = !(row.before[c] == row.now[c]);
          if (shape.key[c] == 0 && changed) {
            putValue(row.now[c]);
          } else {
            out.push_back(static_cast<char>(kUndefined));
          }
        }
      }
    }
  }
  return out;
}

}  // namespace vddb::engine
