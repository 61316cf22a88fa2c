#include <sys/mman.h>

#include <cstdint>

#include "platform/large_memory.h"

namespace vddb::platform {
namespace {

// A large page on the systems that have them; blocks start on one so that
// none of their first and last megabytes are left to small pages.
constexpr std::size_t kLargePage = std::size_t{2} << 20;

std::size_t roundUp(std::size_t bytes) noexcept {
  return (bytes + kLargePage - 1) & ~(kLargePage - 1);
}

}  // namespace

void* allocateLarge(std::size_t bytes) noexcept {
  if (bytes == 0 || bytes > SIZE_MAX - 2 * kLargePage) return nullptr;
  const std::size_t size = roundUp(bytes);
  // Mapped with a large page's room to spare, then trimmed to start on one.
  const std::size_t mapped = size + kLargePage;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (const std::size_t tail = start + mapped - (aligned + size); tail > 0) {
    munmap(reinterpret_cast<void*>(aligned + size), tail);
  }
  void* block = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
  // Only advice: where large pages are off or used up, small ones serve.
  madvise(block, size, MADV_HUGEPAGE);
#endif
  return block;
}

void freeLarge(void* block, std::size_t bytes) noexcept {
  if (block != nullptr) munmap(block, roundUp(bytes));
}

}  // namespace vddb::platform
