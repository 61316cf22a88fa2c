#include "engine/sqlite_memory.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/large_memory.h"

namespace vddb::engine {
namespace {

// A write session's page cache fills with one block per page of the file
// (4 KB and SQLite's header for it), up to 256 MB, and every one is fresh
// memory. Touching fresh memory page by page was a sixth of a large repair
// on the machines we measured; blocks carved from large ones with large
// pages cost about half of that. Blocks in the page range go to the carver,
// by size class; the rest, and everything when the large memory cannot be
// had, go to the heap. Freed page blocks are kept for reuse in the process
// and never go back to the system, as a cache that shrinks may grow again.
constexpr std::size_t kSmallestCarved = 4096;
constexpr std::size_t kLargestCarved = 16384;
constexpr std::size_t kClassStep = 256;
constexpr std::size_t kClasses = (kLargestCarved - kSmallestCarved) / kClassStep + 1;
constexpr std::size_t kChunk = std::size_t{32} << 20;

// Before each block: its size as asked, and whether it was carved. 16 bytes
// keep the block aligned as malloc's are.
struct Header {
  std::uint64_t size;
  std::uint64_t carved;
};
static_assert(sizeof(Header) == 16);

struct FreeBlock {
  FreeBlock* next;
};

struct Carver {
  std::mutex lock;
  std::array<FreeBlock*, kClasses> free{};
  char* next = nullptr;
  char* end = nullptr;
};

Carver& carver() {
  static Carver c;
  return c;
}

std::size_t classOf(std::size_t size) noexcept {
  return (size - kSmallestCarved + kClassStep - 1) / kClassStep;
}
std::size_t classSize(std::size_t cls) noexcept { return kSmallestCarved + cls * kClassStep; }

Header* carve(std::size_t size) noexcept {
  const std::size_t cls = classOf(size);
  Carver& c = carver();
  std::lock_guard<std::mutex> hold(c.lock);
  if (FreeBlock* block = c.free[cls]; block != nullptr) {
    c.free[cls] = block->next;
    return reinterpret_cast<Header*>(block);
  }
  const std::size_t bytes = sizeof(Header) + classSize(cls);
  if (static_cast<std::size_t>(c.end - c.next) < bytes) {
    // The rest of a used-up chunk stays unused: less than one block.
    auto* chunk = static_cast<char*>(platform::allocateLarge(kChunk));
    if (chunk == nullptr) return nullptr;
    c.next = chunk;
    c.end = chunk + kChunk;
  }
  auto* header = reinterpret_cast<Header*>(c.next);
  c.next += bytes;
  return header;
}

void uncarve(Header* header) noexcept {
  const std::size_t cls = classOf(header->size);
  Carver& c = carver();
  std::lock_guard<std::mutex> hold(c.lock);
  auto* block = reinterpret_cast<FreeBlock*>(header);
  block->next = c.free[cls];
  c.free[cls] = block;
}

void* memMalloc(int bytes) {
  if (bytes <= 0) return nullptr;
  const auto size = static_cast<std::size_t>(bytes);
  Header* header = nullptr;
  bool carved = false;
  if (size >= kSmallestCarved && size <= kLargestCarved) {
    header = carve(size);
    carved = header != nullptr;
  }
  if (header == nullptr) header = static_cast<Header*>(std::malloc(sizeof(Header) + size));
  if (header == nullptr) return nullptr;
  header->size = size;
  header->carved = carved ? 1 : 0;
  return header + 1;
}

Header* headerOf(void* block) noexcept { return static_cast<Header*>(block) - 1; }

void memFree(void* block) {
  if (block == nullptr) return;
  Header* header = headerOf(block);
  if (header->carved != 0) {
    uncarve(header);
  } else {
    std::free(header);
  }
}

int memSize(void* block) { return block == nullptr ? 0 : static_cast<int>(headerOf(block)->size); }

void* memRealloc(void* block, int bytes) {
  if (block == nullptr) return memMalloc(bytes);
  if (bytes <= 0) return nullptr;
  Header* header = headerOf(block);
  if (header->carved == 0) {
    auto* grown = static_cast<Header*>(
        std::realloc(header, sizeof(Header) + static_cast<std::size_t>(bytes)));
    if (grown == nullptr) return nullptr;
    grown->size = static_cast<std::size_t>(bytes);
    return grown + 1;
  }
  void* moved = memMalloc(bytes);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, std::min<std::size_t>(header->size, static_cast<std::size_t>(bytes)));
  memFree(block);
  return moved;
}

int memRoundup(int bytes) { return (bytes + 7) & ~7; }
int memInit(void* /*data*/) { return SQLITE_OK; }
void memShutdown(void* /*data*/) {}

}  // namespace

void useEngineSqliteMemory() noexcept {
  if constexpr (kCarvesSqliteBlocks) {
    static std::once_flag once;
    std::call_once(once, [] {
      static const sqlite3_mem_methods methods{memMalloc,  memFree, memRealloc,  memSize,
                                               memRoundup, memInit, memShutdown, nullptr};
      sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
    });
  }
}

}  // namespace vddb::engine
