#include "platform/memory.h"

#include <cstdlib>

// Both platforms share this implementation: the C runtime's malloc is what
// the runtime library's allocator sits on, and the fault hook must behave
// the same everywhere.
namespace {

struct AllocationFault {
  std::uint64_t failAt = 0;  // absolute allocation number; 0 = no fault
  bool persistent = false;
  bool fired = false;
};

std::uint64_t gAllocations = 0;
std::uint64_t gLive = 0;
AllocationFault gFault;

bool shouldFail(std::uint64_t number) noexcept {
  if (gFault.failAt == 0) return false;
  const bool fail = gFault.persistent ? number >= gFault.failAt : number == gFault.failAt;
  if (fail) gFault.fired = true;
  return fail;
}

}  // namespace

void* _memNewUsingCRT(std::size_t size, std::uint32_t /*flags*/, tStatus2* /*status*/) noexcept {
  const std::uint64_t number = ++gAllocations;
  if (shouldFail(number)) return nullptr;
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block != nullptr) ++gLive;
  return block;
}

void _memDelete(void* block) noexcept {
  if (block == nullptr) return;
  --gLive;
  std::free(block);
}

namespace vddb::platform {

void failAllocationAt(std::uint64_t nth, bool persistent) noexcept {
  gFault = AllocationFault{nth == 0 ? 0 : gAllocations + nth, persistent, false};
}

void clearAllocationFault() noexcept { gFault = AllocationFault{}; }
std::uint64_t allocationCount() noexcept { return gAllocations; }
bool allocationFaultFired() noexcept { return gFault.fired; }
std::uint64_t liveAllocations() noexcept { return gLive; }

}  // namespace vddb::platform
