// A growable array of trivially copyable values on the runtime's memory
// calls. Appending to a full array doubles it (one element when empty); when
// the larger block cannot be had the array stays as it was and its
// allocation-failed flag is set. The flag is sticky: emptying keeps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "platform/memory.h"

template <class T>
class tGrowableArray {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  tGrowableArray() noexcept = default;
  tGrowableArray(const tGrowableArray&) = delete;
  tGrowableArray& operator=(const tGrowableArray&) = delete;
  tGrowableArray(tGrowableArray&& other) noexcept
      : _begin(std::exchange(other._begin, nullptr)),
        _end(std::exchange(other._end, nullptr)),
        _capacity(std::exchange(other._capacity, nullptr)),
        _allocationFailed(std::exchange(other._allocationFailed, false)) {}
  ~tGrowableArray() { _memDelete(_begin); }

  // Returns false (and sets the flag) when the array could not grow.
  bool append(const T& value) noexcept {
    if (_end == _capacity && !grow()) return false;
    *_end++ = value;
    return true;
  }

  // Makes room for `count` elements in one block; false and the flag on failure.
  bool reserve(std::size_t count) noexcept {
    if (count <= capacity()) return true;
    return reallocate(count);
  }

  void clear() noexcept { _end = _begin; }
  void popBack() noexcept { --_end; }

  std::size_t size() const noexcept { return static_cast<std::size_t>(_end - _begin); }
  std::size_t capacity() const noexcept { return static_cast<std::size_t>(_capacity - _begin); }
  bool empty() const noexcept { return _end == _begin; }
  bool allocationFailed() const noexcept { return _allocationFailed; }
  void markAllocationFailed() noexcept { _allocationFailed = true; }

  T* begin() noexcept { return _begin; }
  T* end() noexcept { return _end; }
  const T* begin() const noexcept { return _begin; }
  const T* end() const noexcept { return _end; }
  T* data() noexcept { return _begin; }
  const T* data() const noexcept { return _begin; }
  T& operator[](std::size_t i) noexcept { return _begin[i]; }
  const T& operator[](std::size_t i) const noexcept { return _begin[i]; }

 private:
  bool grow() noexcept {
    const std::size_t current = size();
    if (current > std::numeric_limits<std::size_t>::max() / 2) {
      _allocationFailed = true;
      return false;
    }
    return reallocate(current == 0 ? 1 : current * 2);
  }

  bool reallocate(std::size_t count) noexcept {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
      _allocationFailed = true;
      return false;
    }
    T* fresh = static_cast<T*>(_memNewUsingCRT(count * sizeof(T), 0));
    if (fresh == nullptr) {
      _allocationFailed = true;
      return false;
    }
    const std::size_t n = size();
    if (n != 0) std::memcpy(fresh, _begin, n * sizeof(T));
    _memDelete(_begin);
    _begin = fresh;
    _end = fresh + n;
    _capacity = fresh + count;
    return true;
  }

  T* _begin = nullptr;
  T* _end = nullptr;
  T* _capacity = nullptr;
  bool _allocationFailed = false;
};
