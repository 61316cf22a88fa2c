// The statement wrapper and the mapping of SQLite result codes.
#include "engine/statement.h"

#include <sqlite3.h>

namespace vddb::engine {

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
  if (index >= 1 && index <= kKeySlots) {
    unsigned char* key = _keys[index - 1];
    guidToKeyBytes(guid, key);
    bound(sqlite3_bind_blob(_stmt, index, key, 16, SQLITE_STATIC));
    return;
  }
  unsigned char key[16];
  guidToKeyBytes(guid, key);
  bound(sqlite3_bind_blob(_stmt, index, key, 16, SQLITE_TRANSIENT));
}

void StatementUse::bindInt(int index, std::int64_t value) noexcept {
  bound(sqlite3_bind_int64(_stmt, index, value));
}

void StatementUse::bindBlob(int index, const void* data, std::size_t size) noexcept {
  // A non-null pointer keeps an empty text a (zero-length) value, not NULL.
  static const char kEmpty = 0;
  bound(sqlite3_bind_blob64(_stmt, index, size == 0 ? &kEmpty : data, size, SQLITE_TRANSIENT));
}

void StatementUse::bindText(int index, const std::string& text) noexcept {
  bound(
      sqlite3_bind_text64(_stmt, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8));
}

int StatementUse::step() noexcept {
  return _bindFailure != 0 ? _bindFailure : sqlite3_step(_stmt);
}

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

int exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

std::int64_t queryInteger(sqlite3* db, const char* sql, std::int64_t otherwise) noexcept {
  sqlite3_stmt* query = nullptr;
  std::int64_t value = otherwise;
  if (sqlite3_prepare_v2(db, sql, -1, &query, nullptr) == SQLITE_OK &&
      sqlite3_step(query) == SQLITE_ROW) {
    value = sqlite3_column_int64(query, 0);
  }
  sqlite3_finalize(query);
  return value;
}

HRESULT setError(std::string* error, HRESULT result, const std::string& text) {
  if (error != nullptr) *error = text;
  return result;
}

}  // namespace vddb::engine
