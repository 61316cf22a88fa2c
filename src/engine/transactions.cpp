// The write transaction of a session: begin, commit, rollback, whether a
// change is possible now, and the storage faults that end a session's writes.
//
// SQLite ends a transaction by itself on some errors (a full disk, an I/O
// error, a damaged page, no memory) and keeps it open on others; either way
// the changes made so far may be only part of what the caller made. Going on
// would let later statements autocommit one by one, or commit the rest
// without the part that failed, so the first such fault ends the session's
// writes for good: every later change and the commit fail with it, and only
// a rollback ends the session. Reads go on.
#include <sqlite3.h>

#include <new>
#include <utility>

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
  _writeFault = S_OK;
  dropMemoryTables();  // another writer may have changed the file since
  return S_OK;
}

HRESULT Store::commit() {
  if (_db == nullptr) return kStoreClosed;
  if (const HRESULT hr = writeState(); hr < 0) return hr;
  // The entry goes in with the changes it records, or neither does: a
  // session whose entry could not be made for want of memory is not saved.
  HRESULT journalled;
  try {
    journalled = writeJournalEntry();
  } catch (const std::bad_alloc&) {
    journalled = storageFault(E_OUTOFMEMORY);
  }
  if (journalled < 0) return journalled;
  sqlite3_busy_timeout(_db, kCommitBusyMilliseconds);
  int rc;
  {
    StatementUse use(_commit);
    rc = use.step();
  }
  sqlite3_busy_timeout(_db, kOpenBusyMilliseconds);
  // A commit that could not get the file stays open: the caller may retry
  // or roll back. Any other failure is a storage fault.
  if (rc != SQLITE_DONE) return storageFailure(rc);
  _inWrite = false;
  _deleted.clear();
  dropMemoryTables();
  endJournal();
  _upgradedHere = false;
  return S_OK;
}

HRESULT Store::rollback() {
  if (_db == nullptr) return kStoreClosed;
  if (!_inWrite) return kNoTransaction;
  int rc = SQLITE_DONE;
  if (sqlite3_get_autocommit(_db) == 0) {  // else SQLite has rolled back already
    StatementUse use(_rollback);
    rc = use.step();
  }
  _inWrite = false;
  _writeFault = S_OK;
  _deleted.clear();
  dropMemoryTables();
  endJournal();
  if (std::exchange(_upgradedHere, false)) _schemaVersion = 2;
  return rc == SQLITE_DONE ? S_OK : resultFromSqlite(rc);
}

HRESULT Store::writeState() noexcept {
  if (_db == nullptr) return kStoreClosed;
  if (!_inWrite) return kNoTransaction;
  // A transaction that SQLite ended without a failure reaching us (a
  // statement's reset reports it only there) ends the session all the same.
  if (_writeFault >= 0 && sqlite3_get_autocommit(_db) != 0) {
    _writeFault = storageResult(sqlite3_extended_errcode(_db));
  }
  return _writeFault;
}

namespace {

// The answers that concern one statement only: SQLite keeps the transaction
// whole, so the session may go on.
bool keepsTransaction(int rc) noexcept {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:  // a commit that could not get the file; retried
    case SQLITE_LOCKED:
    case SQLITE_CONSTRAINT:  // a duplicate key of a load
    case SQLITE_TOOBIG:      // a value that does not fit
    case SQLITE_MISMATCH:
    case SQLITE_RANGE:
      return true;
    default:
      return false;
  }
}

}  // namespace

HRESULT Store::storageResult(int rc) noexcept {
  const HRESULT hr = resultFromSqlite(rc);
  // The store file exists while it is open: a file that cannot be opened now
  // is its journal or a temporary file.
  if (hr == kStoreMissing || hr >= 0) return kStorageIo;
  return hr;
}

HRESULT Store::storageFailure(int rc) noexcept {
  if (!_inWrite) return resultFromSqlite(rc);
  if (keepsTransaction(rc) && sqlite3_get_autocommit(_db) == 0) return resultFromSqlite(rc);
  return storageFault(storageResult(rc));
}

HRESULT Store::storageFault(HRESULT fault) noexcept {
  ++_generation;
  if (_inWrite && _writeFault >= 0) _writeFault = fault;
  return fault;
}

}  // namespace vddb::engine
