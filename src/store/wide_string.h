// Growable texts of 16-bit code units on the runtime's memory calls.
//
// Like the lists they never throw: a failed growth sets a sticky
// allocation-failed flag. A new text takes a small block at once, so even
// creating an empty text can fail (and says so through the flag). A text
// copied from another starts with that text's flag; a text joined from two
// starts with the flag of the left-hand one.
//
// The comparator decides ordering and equality; it must provide
//   static int compare(const char16_t* aBegin, const char16_t* aEnd,
//                      const char16_t* bBegin, const char16_t* bEnd) noexcept;
// returning -1, 0 or +1. It only has to be complete where texts are compared.
#pragma once

#include <cstddef>
#include <cstring>
#include <functional>
#include <limits>
#include <utility>

#include "platform/memory.h"

template <class Comparator>
class tBasicWideString {
 public:
  static constexpr std::size_t kInitialCapacity = 15;  // code units, plus the terminating zero

  tBasicWideString() noexcept { reserveUnits(kInitialCapacity); }
  explicit tBasicWideString(const char16_t* zeroTerminated) noexcept {
    const char16_t* end = zeroTerminated;
    while (*end != 0) ++end;
    assignUnits(zeroTerminated, end);
  }
  tBasicWideString(const char16_t* begin, const char16_t* end) noexcept { assignUnits(begin, end); }
  tBasicWideString(const tBasicWideString& other) noexcept
      : _allocationFailed(other._allocationFailed) {
    assignUnits(other.begin(), other.end());
  }
  tBasicWideString(tBasicWideString&& other) noexcept
      : _data(std::exchange(other._data, nullptr)),
        _size(std::exchange(other._size, 0)),
        _capacity(std::exchange(other._capacity, 0)),
        _allocationFailed(other._allocationFailed) {}
  tBasicWideString& operator=(const tBasicWideString& other) noexcept {
    if (this != &other) {
      _allocationFailed = _allocationFailed || other._allocationFailed;
      assignUnits(other.begin(), other.end());
    }
    return *this;
  }
  tBasicWideString& operator=(tBasicWideString&& other) noexcept {
    if (this != &other) {
      _memDelete(_data);
      _data = std::exchange(other._data, nullptr);
      _size = std::exchange(other._size, 0);
      _capacity = std::exchange(other._capacity, 0);
      _allocationFailed = _allocationFailed || other._allocationFailed;
    }
    return *this;
  }
  ~tBasicWideString() { _memDelete(_data); }

  // Replaces the text; on failure the text is left as it was and the flag set.
  void assign(const char16_t* begin, const char16_t* end) noexcept { assignUnits(begin, end); }
  void append(const char16_t* begin, const char16_t* end) noexcept {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    // The units may be this text's own (s.append(s)): growing gives their
    // block back, so they are found again by their offset in the new one.
    const std::less_equal<const char16_t*> atOrBefore;
    const bool own = _data != nullptr && atOrBefore(_data, begin) && atOrBefore(end, _data + _size);
    const std::size_t offset = own ? static_cast<std::size_t>(begin - _data) : 0;
    if (!reserveUnits(_size + n)) return;
    if (own) begin = _data + offset;
    if (n != 0) std::memcpy(_data + _size, begin, n * sizeof(char16_t));
    _size += n;
    _data[_size] = 0;
  }
  void append(const char16_t* zeroTerminated) noexcept {
    const char16_t* end = zeroTerminated;
    while (*end != 0) ++end;
    append(zeroTerminated, end);
  }
  void append(const tBasicWideString& other) noexcept { append(other.begin(), other.end()); }
  void clear() noexcept {
    _size = 0;
    if (_data != nullptr) _data[0] = 0;
  }

  friend tBasicWideString operator+(const tBasicWideString& left, const char16_t* right) noexcept {
    tBasicWideString joined(left);
    joined.append(right);
    return joined;
  }
  friend tBasicWideString operator+(const tBasicWideString& left,
                                    const tBasicWideString& right) noexcept {
    tBasicWideString joined(left);
    joined.append(right);
    return joined;
  }

  // Always zero-terminated, also for a text whose first block failed.
  const char16_t* c_str() const noexcept { return _data != nullptr ? _data : u""; }
  const char16_t* begin() const noexcept { return c_str(); }
  const char16_t* end() const noexcept { return c_str() + _size; }
  std::size_t size() const noexcept { return _size; }
  bool empty() const noexcept { return _size == 0; }
  bool allocationFailed() const noexcept { return _allocationFailed; }

  int compare(const tBasicWideString& other) const noexcept {
    return Comparator::compare(begin(), end(), other.begin(), other.end());
  }
  bool operator<(const tBasicWideString& other) const noexcept { return compare(other) < 0; }
  bool operator==(const tBasicWideString& other) const noexcept { return compare(other) == 0; }

 private:
  void assignUnits(const char16_t* begin, const char16_t* end) noexcept {
    const std::size_t n = static_cast<std::size_t>(end - begin);
    if (!reserveUnits(n)) return;
    if (n != 0) std::memmove(_data, begin, n * sizeof(char16_t));
    _size = n;
    _data[_size] = 0;
  }

  // Room for `units` code units plus the terminating zero.
  bool reserveUnits(std::size_t units) noexcept {
    if (_data != nullptr && units <= _capacity) return true;
    std::size_t wanted = _capacity == 0 ? kInitialCapacity : _capacity;
    while (wanted < units) {
      if (wanted > std::numeric_limits<std::size_t>::max() / 4 / sizeof(char16_t)) {
        _allocationFailed = true;
        return false;
      }
      wanted *= 2;
    }
    auto* fresh = static_cast<char16_t*>(_memNewUsingCRT((wanted + 1) * sizeof(char16_t), 0));
    if (fresh == nullptr) {
      _allocationFailed = true;
      return false;
    }
    if (_data != nullptr)
      std::memcpy(fresh, _data, (_size + 1) * sizeof(char16_t));
    else
      fresh[0] = 0;
    _memDelete(_data);
    _data = fresh;
    _capacity = wanted;
    return true;
  }

  char16_t* _data = nullptr;
  std::size_t _size = 0;
  std::size_t _capacity = 0;
  bool _allocationFailed = false;
};

// Ordering code unit by code unit, as unsigned 16-bit numbers.
struct tOrdinalWideStringComparitor {
  static int compare(const char16_t* aBegin, const char16_t* aEnd, const char16_t* bBegin,
                     const char16_t* bEnd) noexcept {
    for (; aBegin != aEnd && bBegin != bEnd; ++aBegin, ++bBegin) {
      if (*aBegin != *bBegin) return *aBegin < *bBegin ? -1 : 1;
    }
    if (aBegin != aEnd) return 1;
    return bBegin != bEnd ? -1 : 0;
  }
};

using tWideString = tBasicWideString<tOrdinalWideStringComparitor>;

// Case-insensitive text: ordered by Unicode case folding. The comparator is
// defined beside the accessory pass, which is the only place that compares.
class tLocaleConsideringWideStringComparitor;
using tCaseInsensitiveBasicString = tBasicWideString<tLocaleConsideringWideStringComparitor>;
