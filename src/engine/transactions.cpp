// The write transaction of a session: begin, commit, rollback, and whether a
// change is possible now.
#include <sqlite3.h>

#include <string_view>

#include "engine/store.h"

namespace vddb::engine {

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

}  // namespace vddb::engine
