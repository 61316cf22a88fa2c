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

// Runs SQL text that returns no rows; the SQLite result code.
int exec(sqlite3* db, const char* sql);

// Stores `text` in `error` when one is given; returns `result`.
HRESULT setError(std::string* error, HRESULT result, const std::string& text);

}  // namespace vddb::engine
