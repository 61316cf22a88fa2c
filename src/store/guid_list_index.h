// A hash index beside a GuidList: an open-addressing table of positions in
// the list, so that "is this GUID in the list already" costs a probe, not a
// scan. The list stays the one record of what is in it and in which order;
// the index only answers membership. On the runtime's memory calls; nothing
// throws: reserveOne reports when the table cannot grow.
#pragma once

#include <cstddef>
#include <limits>

#include "platform/memory.h"
#include "store/guid.h"
#include "store/guid_list.h"

class tGuidListIndex {
 public:
  explicit tGuidListIndex(const GuidList& list) noexcept : _list(list) {}
  tGuidListIndex(const tGuidListIndex&) = delete;
  tGuidListIndex& operator=(const tGuidListIndex&) = delete;
  ~tGuidListIndex() { _memDelete(_slots); }

  bool contains(const GUID& guid) const noexcept {
    if (_slots == nullptr) return false;
    for (std::size_t i = vddb::GuidHash{}(guid)&_mask;; i = (i + 1) & _mask) {
      const std::size_t entry = _slots[i];
      if (entry == 0) return false;
      if (_list[entry - 1] == guid) return true;
    }
  }

  // Makes sure the next add needs no memory; false when none can be had.
  bool reserveOne() noexcept {
    // Kept at most half full, so probes stay short.
    if (_slots != nullptr && (_used + 1) * 2 <= _mask + 1) return true;
    const std::size_t capacity = _slots == nullptr ? kInitialSlots : (_mask + 1) * 2;
    if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(std::size_t)) return false;
    auto* fresh = static_cast<std::size_t*>(_memNewUsingCRT(capacity * sizeof(std::size_t), 0));
    if (fresh == nullptr) return false;
    for (std::size_t i = 0; i < capacity; ++i) fresh[i] = 0;
    const std::size_t* old = _slots;
    const std::size_t oldCapacity = old == nullptr ? 0 : _mask + 1;
    _slots = fresh;
    _mask = capacity - 1;
    for (std::size_t i = 0; i < oldCapacity; ++i) {
      if (old[i] != 0) place(old[i]);
    }
    _memDelete(const_cast<std::size_t*>(old));
    return true;
  }

  // Records the list entry at `position`; only after reserveOne succeeded.
  void add(std::size_t position) noexcept {
    place(position + 1);
    ++_used;
  }

 private:
  static constexpr std::size_t kInitialSlots = 64;

  // `entry` is a list position plus one; 0 marks a free slot.
  void place(std::size_t entry) noexcept {
    std::size_t i = vddb::GuidHash{}(_list[entry - 1]) & _mask;
    while (_slots[i] != 0) i = (i + 1) & _mask;
    _slots[i] = entry;
  }

  const GuidList& _list;
  std::size_t* _slots = nullptr;
  std::size_t _mask = 0;
  std::size_t _used = 0;
};
