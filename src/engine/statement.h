// The engine's thin layer over SQLite statements: statements prepared once
// per connection, a scope that hands one back ready for its next use, and
// the translation of SQLite result codes into the engine's results.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/result_codes.h"
#include "store/com.h"
#include "store/guid.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vddb::engine {

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
// next call finds it ready. A binding that fails (SQLite could not get the
// memory for its copy) would leave the parameter NULL and the statement
// answering another question, "no such object" instead of an error: step()
// then fails with the binding's code instead of running.
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
  // SQLITE_ROW, SQLITE_DONE or an error (also a failed binding's).
  int step() noexcept;

  GUID columnGuid(int column, bool* valid = nullptr) const noexcept;
  std::int64_t columnInt(int column) const noexcept;
  const unsigned char* columnBlob(int column, std::size_t& size) const noexcept;

 private:
  void bound(int rc) noexcept {
    if (_bindFailure == 0 && rc != 0) _bindFailure = rc;
  }

  // GUID keys are bound from here, without a copy: they live as long as the
  // use, and the bindings are cleared when it ends.
  static constexpr int kKeySlots = 4;
  sqlite3_stmt* _stmt;
  int _bindFailure = 0;
  unsigned char _keys[kKeySlots][16];
};

// The result for a failing SQLite result code.
HRESULT resultFromSqlite(int rc) noexcept;

// Runs SQL text that returns no rows; the SQLite result code.
int exec(sqlite3* db, const char* sql);

// The integer in the first column of the first row of a query (a count, a
// pragma's value); `otherwise` when it gives none.
std::int64_t queryInteger(sqlite3* db, const char* sql, std::int64_t otherwise) noexcept;

// Stores `text` in `error` when one is given; returns `result`.
HRESULT setError(std::string* error, HRESULT result, const std::string& text);

}  // namespace vddb::engine
