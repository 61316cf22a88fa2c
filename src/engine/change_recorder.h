// The record of one write transaction's changes to the object tables, from
// SQLite's pre-update hook, written out as a changeset of SQLite's session
// extension (so that the extension inverts, applies and reads it).
//
// The extension's own recorder finds a row's earlier change through a hash
// of the key's bytes whose low bits come from the key's last bytes only; a
// store whose GUIDs differ in their first bytes (time-ordered GUIDs do)
// then puts most rows of a large repair in one chain, and recording grows
// with the square of the change. This one hashes the whole key.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace vddb::engine {

class ChangeRecorder {
 public:
  ChangeRecorder() = default;
  ChangeRecorder(const ChangeRecorder&) = delete;
  ChangeRecorder& operator=(const ChangeRecorder&) = delete;
  ~ChangeRecorder() { detach(); }

  // Starts recording the changes of `db`'s main object tables.
  void attach(sqlite3* db) noexcept;
  void detach() noexcept;

  // Whether a change could not be recorded (no memory): the record is then
  // incomplete, and the transaction must not be committed with it.
  bool failed() const noexcept { return _failed; }
  bool empty() const noexcept { return _rows.empty(); }

  // The changeset: per table (objects, int_values, string_values,
  // ref_values), each row changed since the start, in the order first
  // touched; a row changed and changed back is left out. Throws bad_alloc.
  std::string changeset() const;

 private:
  struct Value {
    int type = 0;  // SQLITE_INTEGER, SQLITE_TEXT, SQLITE_BLOB, SQLITE_NULL (0: none)
    std::int64_t integer = 0;
    std::string bytes;
    bool operator==(const Value& other) const {
      return type == other.type && integer == other.integer && bytes == other.bytes;
    }
  };
  struct Row {
    int table = 0;
    bool existed = false;  // before the transaction
    bool present = false;  // now
    std::vector<Value> before, now;
  };

  static void onPreupdate(void* self, sqlite3* db, int op, const char* database,
                          const char* table, long long, long long);
  void record(sqlite3* db, int op, int table);

  sqlite3* _db = nullptr;
  bool _failed = false;
  // Key: the table's number, the object's 16 bytes and, for a value table,
  // the attribute's 8 bytes; std::hash mixes all of them.
  std::unordered_map<std::string, std::size_t> _index;
  std::vector<Row> _rows;
};

}  // namespace vddb::engine
