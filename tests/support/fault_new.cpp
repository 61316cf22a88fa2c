#include "support/fault_new.h"

#include <cstdlib>
#include <new>
#include <utility>

namespace {

// One test thread arms and counts; the state is plain.
bool gCounting = false;
bool gPersistent = false;
bool gFired = false;
std::uint64_t gAllocations = 0;
std::uint64_t gFailAt = 0;  // 0: no fault

}  // namespace

void* operator new(std::size_t size) {
  if (gCounting) {
    ++gAllocations;
    if (gFailAt != 0 && (gAllocations == gFailAt || (gPersistent && gAllocations > gFailAt))) {
      gFired = true;
      throw std::bad_alloc();
    }
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
// Every form, so that no block reaches another allocator's release.
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace vddb::test {

FaultNew::FaultNew() {
  gAllocations = 0;
  gFailAt = 0;
  gFired = false;
  gCounting = true;
}

FaultNew::~FaultNew() {
  gCounting = false;
  gFailAt = 0;
}

void FaultNew::arm(std::uint64_t nth, bool persistent) {
  gFailAt = gAllocations + nth;
  gPersistent = persistent;
  gFired = false;
}

bool FaultNew::disarm() {
  gFailAt = 0;
  return std::exchange(gFired, false);
}

std::uint64_t FaultNew::allocations() const { return gAllocations; }

}  // namespace vddb::test
