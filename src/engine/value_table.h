// The reference values and the texts of every object of the store, each
// kind read in one scan and held in memory for the rest of a write
// transaction, beside the class table (class_table.h).
//
// A repair reads a reference or a list of nearly every object it visits,
// some lists twice, and the names of many. Each such read is two searches
// at random places, one of the key index and one of the table the value
// lives in. Once a transaction has made enough lookups to build the class
// table, reading every value of the kind in key order costs less than the
// reads still to come, and each later read is one probe of a flat hash
// table and a copy of the value's elements (a reference list's targets, a
// text's UTF-16 units).
//
// The table follows the transaction's own changes (a value written or
// removed, an object deleted). The store drops it whenever the rows may
// have changed some other way, and when the changes have made it grow too
// far past what the scan read.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/large_array.h"
#include "store/guid.h"

struct sqlite3;

namespace vddb::engine {

// How the values of one table are stored: Element is what a value is a
// list of, kBytes the size of one in the file.
template <class Element>
struct StoredElements;

template <>
struct StoredElements<GUID> {
  static constexpr std::size_t kBytes = 16;
  static constexpr const char* kScan = "SELECT object, attr, targets FROM ref_values";
  static constexpr const char* kCount = "SELECT count(*) FROM ref_values";
  static GUID decode(const unsigned char* bytes) noexcept { return guidFromKeyBytes(bytes); }
};

template <>
struct StoredElements<char16_t> {
  static constexpr std::size_t kBytes = 2;
  static constexpr const char* kScan = "SELECT object, attr, value FROM string_values";
  static constexpr const char* kCount = "SELECT count(*) FROM string_values";
  static char16_t decode(const unsigned char* bytes) noexcept {
    return static_cast<char16_t>(bytes[0] | (bytes[1] << 8));
  }
};

template <class Element>
class ValueTable {
 public:
  enum class Found { kMissing, kValue, kDamaged };

  // Reads every row of the table. False, and the table left empty, when the
  // rows could not be read or the memory could not be had.
  bool build(sqlite3* db) noexcept;
  bool built() const noexcept { return static_cast<bool>(_slots); }
  // kValue with the value's elements; kMissing when the object has no value
  // for the attribute; kDamaged for a stored value that is not a whole
  // number of elements. Throws std::bad_alloc when `elements` cannot grow.
  template <class Container>
  Found find(const GUID& object, std::uint32_t attr, Container& elements) const;
  // The value is now `elements` (set), or there is none (remove). False
  // when the memory could not be had or the table has grown well past what
  // was read: the caller drops it.
  bool set(const GUID& object, std::uint32_t attr, const Element* elements,
           std::size_t count) noexcept {
    return replace(object, attr, elements, count, true);
  }
  bool remove(const GUID& object, std::uint32_t attr) noexcept {
    return replace(object, attr, nullptr, 0, false);
  }
  // The object is gone, and its values with it.
  void erase(const GUID& object) noexcept;
  void clear() noexcept;

 private:
  // One object with values: its values are `count` entries of _values from
  // `first`. `first` 0 marks an empty slot; an object whose values all went
  // keeps its slot, with no values, so that probes pass over it.
  struct Slot {
    GUID object;
    std::uint32_t first;
    std::uint32_t count;
  };
  // One value: its elements are `count` entries of _elements from `first`.
  struct Value {
    std::uint32_t attr;
    std::uint32_t count;  // kDamagedValue: the stored value is no whole number of elements
    std::uint64_t first;
  };
  static constexpr std::uint32_t kDamagedValue = 0xFFFFFFFF;

  Slot* slotOf(const GUID& object) const noexcept;
  bool replace(const GUID& object, std::uint32_t attr, const Element* elements, std::size_t count,
               bool present) noexcept;
  bool reserve(std::size_t objects) noexcept;

  LargeArray<Slot> _slots;
  std::size_t _mask = 0;  // capacity - 1; the capacity is a power of two
  std::size_t _used = 0;
  LargeVector<Value> _values;  // entry 0 unused: `first` 0 marks a free slot
  LargeVector<Element> _elements;
  std::size_t _limit = 0;  // _values and _elements entries past which set() gives up
};

template <class Element>
template <class Container>
typename ValueTable<Element>::Found ValueTable<Element>::find(const GUID& object,
                                                              std::uint32_t attr,
                                                              Container& elements) const {
  elements.clear();
  const Slot* slot = slotOf(object);
  for (std::uint32_t i = slot->first; i < slot->first + slot->count; ++i) {
    const Value& value = _values[i];
    if (value.attr != attr) continue;
    if (value.count == kDamagedValue) return Found::kDamaged;
    const auto first = _elements.begin() + static_cast<std::ptrdiff_t>(value.first);
    elements.assign(first, first + value.count);
    return Found::kValue;
  }
  return Found::kMissing;
}

using RefTable = ValueTable<GUID>;
using StringTable = ValueTable<char16_t>;

extern template class ValueTable<GUID>;
extern template class ValueTable<char16_t>;

}  // namespace vddb::engine
