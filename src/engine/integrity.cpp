// SQLite's own check of the store file: every page of every B-tree read and
// its structure verified (quick), and with `thorough` every index compared
// with its table as well. Damage that no call happens to read would
// otherwise go unnoticed; a write session that finds it ends its writes.
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "engine/store.h"

namespace vddb::engine {
namespace {

// The SQLite result code of a finding that reports a page SQLite could not
// get ("... unable to get the page. error code=266"), or 0: a page that
// cannot be read is an I/O fault, not damage.
int errorCodeOf(const std::string& finding) {
  static constexpr char kMarker[] = "error code=";
  const std::size_t at = finding.find(kMarker);
  if (at == std::string::npos) return 0;
  return static_cast<int>(std::strtol(finding.c_str() + at + std::strlen(kMarker), nullptr, 10));
}

}  // namespace

HRESULT Store::checkIntegrity(bool thorough, std::vector<std::string>& findings) {
  findings.clear();
  if (_db == nullptr) return kStoreClosed;
  // SQLite stops after this many findings; the first ones say enough.
  Statement check;
  int rc = check.prepare(_db, thorough ? "PRAGMA integrity_check(100)" : "PRAGMA quick_check(100)");
  if (rc != SQLITE_OK) return storageFailure(rc);
  {
    StatementUse use(check);
    while ((rc = use.step()) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
      const std::string_view row = text != nullptr ? text : "";
      if (row == "ok") continue;
      // A row may hold several lines; each finding is one.
      for (std::size_t start = 0; start <= row.size();) {
        const std::size_t end = std::min(row.find('\n', start), row.size());
        if (end > start) findings.emplace_back(row.substr(start, end - start));
        start = end + 1;
      }
    }
  }
  if (rc != SQLITE_DONE) {
    // A page too damaged to be reported on ends the check itself.
    findings.emplace_back(sqlite3_errstr(rc));
    return storageFailure(rc);
  }
  if (findings.empty()) return S_OK;
  for (const std::string& finding : findings) {
    if (const int code = errorCodeOf(finding); code != 0 && (code & 0xFF) != SQLITE_CORRUPT) {
      return storageFault(storageResult(code));
    }
  }
  return storageFault(kStoreDamaged);
}

}  // namespace vddb::engine
