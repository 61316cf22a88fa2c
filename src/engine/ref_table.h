// The reference values of every object of the store, read in one scan and
// held in memory for the rest of a write transaction, beside the class
// table (class_table.h).
//
// A repair reads a reference or a list of nearly every object it visits,
// some lists twice. Each such read is two searches at random places, one of
// the key index and one of the table the value lives in. Once a transaction
// has made enough lookups to build the class table, reading every reference
// value in key order costs less than the reads still to come, and each later
// read is one probe of a flat hash table and a copy of the targets.
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
#include <vector>

#include "engine/large_array.h"
#include "store/guid.h"

struct sqlite3;

namespace vddb::engine {

class RefTable {
 public:
  enum class Found { kMissing, kValue, kDamaged };

  // Reads every row of the reference values. False, and the table left
  // empty, when the rows could not be read or the memory could not be had.
  bool build(sqlite3* db) noexcept;
  bool built() const noexcept { return static_cast<bool>(_slots); }
  // kValue with the value's targets; kMissing when the object has no value
  // for the attribute; kDamaged for a stored value that is no list of GUIDs.
  // Throws std::bad_alloc when `targets` cannot grow.
  Found find(const GUID& object, std::uint32_t attr, std::vector<GUID>& targets) const;
  // The value is now `targets` (none: removed). False when the memory
  // could not be had or the table has grown well past what was read: the
  // caller drops it.
  bool set(const GUID& object, std::uint32_t attr, const GUID* targets, std::size_t count) noexcept;
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
  // One value: its targets are `count` entries of _targets from `first`.
  struct Value {
    std::uint32_t attr;
    std::uint32_t count;  // kDamagedValue: the stored value is no list of GUIDs
    std::uint64_t first;
  };
  static constexpr std::uint32_t kDamagedValue = 0xFFFFFFFF;

  Slot* slotOf(const GUID& object) const noexcept;
  bool reserve(std::size_t objects) noexcept;

  LargeArray<Slot> _slots;
  std::size_t _mask = 0;  // capacity - 1; the capacity is a power of two
  std::size_t _used = 0;
  LargeVector<Value> _values;  // entry 0 unused: `first` 0 marks a free slot
  LargeVector<GUID> _targets;
  std::size_t _limit = 0;  // _values and _targets entries past which set() gives up
};

}  // namespace vddb::engine
