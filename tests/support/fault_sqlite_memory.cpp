#include "support/fault_sqlite_memory.h"

#include <sqlite3.h>

#include <cstdlib>

namespace vddb::test {
namespace {

// SQLite calls its allocator from one thread at a time in these tests; the
// state is global because the allocator's methods get no context of ours.
sqlite3_mem_methods gBase{};
std::uint64_t gCount = 0;
std::uint64_t gFailAt = 0;  // 0: not armed
bool gPersistent = false;
bool gFired = false;

bool failNow() {
  ++gCount;
  if (gFailAt == 0 || gCount < gFailAt || (gCount > gFailAt && !gPersistent)) return false;
  gFired = true;
  return true;
}

void* shimMalloc(int bytes) { return failNow() ? nullptr : gBase.xMalloc(bytes); }
void* shimRealloc(void* block, int bytes) {
  return failNow() ? nullptr : gBase.xRealloc(block, bytes);
}

// Every call must succeed: SQLite cannot be set up or taken down otherwise.
void mustSucceed(int rc) {
  if (rc != SQLITE_OK) std::abort();
}

}  // namespace

FaultSqliteMemory::FaultSqliteMemory() {
  mustSucceed(sqlite3_shutdown());
  mustSucceed(sqlite3_config(SQLITE_CONFIG_GETMALLOC, &gBase));
  sqlite3_mem_methods shim = gBase;
  shim.xMalloc = &shimMalloc;
  shim.xRealloc = &shimRealloc;
  mustSucceed(sqlite3_config(SQLITE_CONFIG_MALLOC, &shim));
  gCount = 0;
  mustSucceed(sqlite3_initialize());
}

FaultSqliteMemory::~FaultSqliteMemory() {
  disarm();
  mustSucceed(sqlite3_shutdown());
  mustSucceed(sqlite3_config(SQLITE_CONFIG_MALLOC, &gBase));
  mustSucceed(sqlite3_initialize());
}

void FaultSqliteMemory::arm(std::uint64_t nth, bool persistent) {
  gFailAt = gCount + nth;
  gPersistent = persistent;
  gFired = false;
}

bool FaultSqliteMemory::disarm() {
  gFailAt = 0;
  return gFired;
}

std::uint64_t FaultSqliteMemory::allocations() const { return gCount; }

}  // namespace vddb::test
