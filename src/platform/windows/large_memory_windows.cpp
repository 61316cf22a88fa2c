#include <windows.h>

#include "platform/large_memory.h"

namespace vddb::platform {

// Large pages need a privilege that an installation does not grant; the
// system's page allocator still keeps these blocks out of the heap.
void* allocateLarge(std::size_t bytes) noexcept {
  if (bytes == 0) return nullptr;
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freeLarge(void* block, std::size_t /*bytes*/) noexcept {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace vddb::platform
