// Failing SQLite's own allocations on purpose: while a FaultSqliteMemory
// lives, SQLite allocates through a shim over the allocator it had, which
// counts every allocation (malloc and realloc) and can make the nth, counted
// from when it was armed, fail once or from then on.
//
// SQLite takes a new allocator only while it is shut down, so the shim must
// be made and destroyed with no connection open, and before any fault VFS
// (restarting SQLite makes the system's VFS the default again).
#pragma once

#include <cstdint>

namespace vddb::test {

class FaultSqliteMemory {
 public:
  FaultSqliteMemory();
  ~FaultSqliteMemory();
  FaultSqliteMemory(const FaultSqliteMemory&) = delete;
  FaultSqliteMemory& operator=(const FaultSqliteMemory&) = delete;

  void arm(std::uint64_t nth, bool persistent);
  // Clears the fault; returns whether it failed an allocation.
  bool disarm();
  // Allocations since the shim was made, failed ones included.
  std::uint64_t allocations() const;
};

}  // namespace vddb::test
