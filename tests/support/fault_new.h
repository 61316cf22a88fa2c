// Failing allocations through operator new on purpose, as when memory runs
// out: the engine's and the configuration library's containers, which the
// runtime's allocation hook (platform/memory.h) does not see. The programs
// linked with the test support library get this global operator new, which
// behaves as the runtime's until a FaultNew lives: that counts every
// allocation and can make the nth, counted from when it was armed, throw
// std::bad_alloc once or from then on.
#pragma once

#include <cstdint>

namespace vddb::test {

class FaultNew {
 public:
  FaultNew();
  ~FaultNew();
  FaultNew(const FaultNew&) = delete;
  FaultNew& operator=(const FaultNew&) = delete;

  void arm(std::uint64_t nth, bool persistent);
  // Clears the fault; returns whether it failed an allocation.
  bool disarm();
  // Allocations since this was made, failed ones included.
  std::uint64_t allocations() const;
};

}  // namespace vddb::test
