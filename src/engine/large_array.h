// Containers for the engine's large in-memory tables: blocks of 2 MB and
// more come from platform::allocateLarge (large pages where the system has
// them), smaller ones from the heap.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/large_memory.h"

namespace vddb::engine {

namespace large_array_detail {

constexpr std::size_t kLargeBlock = std::size_t{2} << 20;

// Null when the memory cannot be had. A large block is always zeroed, a
// small one when asked.
inline void* allocate(std::size_t bytes, bool zeroed) noexcept {
  if (bytes >= kLargeBlock) return platform::allocateLarge(bytes);
  if (bytes == 0) bytes = 1;
  return zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
}

inline void release(void* block, std::size_t bytes) noexcept {
  if (bytes >= kLargeBlock) {
    platform::freeLarge(block, bytes);
  } else {
    std::free(block);
  }
}

}  // namespace large_array_detail

// For std::vector: throws std::bad_alloc as std::allocator does.
template <class T>
struct LargeAllocator {
  using value_type = T;

  LargeAllocator() noexcept = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    void* block = large_array_detail::allocate(count * sizeof(T), false);
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t count) noexcept {
    large_array_detail::release(block, count * sizeof(T));
  }

  friend bool operator==(const LargeAllocator& /*a*/, const LargeAllocator& /*b*/) noexcept {
    return true;
  }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// A fixed number of entries, all bytes zero to begin with: a hash table's
// empty slots cost nothing until they are touched. Like unique_ptr<T[]>, a
// const array gives out its entries for writing.
template <class T>
class LargeArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  LargeArray() noexcept = default;
  LargeArray(LargeArray&& other) noexcept
      : _entries(std::exchange(other._entries, nullptr)), _count(std::exchange(other._count, 0)) {}
  LargeArray& operator=(LargeArray&& other) noexcept {
    LargeArray(std::move(other)).swap(*this);
    return *this;
  }
  ~LargeArray() { large_array_detail::release(_entries, _count * sizeof(T)); }

  // Replaces the entries with `count` zeroed ones. False, and the array
  // empty, when the memory cannot be had.
  bool allocate(std::size_t count) noexcept {
    reset();
    if (count == 0 || count > std::numeric_limits<std::size_t>::max() / sizeof(T)) return false;
    _entries = static_cast<T*>(large_array_detail::allocate(count * sizeof(T), true));
    if (_entries != nullptr) _count = count;
    return _entries != nullptr;
  }
  void reset() noexcept { LargeArray().swap(*this); }
  void swap(LargeArray& other) noexcept {
    std::swap(_entries, other._entries);
    std::swap(_count, other._count);
  }

  explicit operator bool() const noexcept { return _entries != nullptr; }
  T& operator[](std::size_t i) const noexcept { return _entries[i]; }

 private:
  T* _entries = nullptr;
  std::size_t _count = 0;
};

}  // namespace vddb::engine
