// Working structures of the two link-record passes: a hash index keyed by a
// GUID and a 32-bit number, and the duplicate search built on it.
//
// Both live on the runtime's memory calls and never throw: a table that
// cannot grow sets its sticky allocation-failed flag, as the lists do, and
// the pass that owns it turns that into StatusNoMemory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "store/com.h"
#include "store/growable_array.h"

namespace tUpgradeDowngradeMgr {

// What the duplicate search knows of one link record: its first object's
// GUID and its number. A record without a first object is never a duplicate.
struct tLinkRecordKey {
  GUID firstObject{};
  std::int32_t number = 0;
  bool hasFirstObject = false;
};

// Position in a caller's array; kNoPosition marks none.
inline constexpr std::uint32_t kNoPosition = 0xFFFFFFFFU;

// An open-addressing hash table from (GUID, number) to two positions of the
// caller's choosing. Linear probing, at most half full, doubled when it would
// be fuller; keys are never removed.
class tGuidKeyIndex {
 public:
  struct Entry {
    GUID guid;
    std::int32_t number;
    std::uint32_t first;  // kNoPosition marks a free slot
    std::uint32_t last;
  };

  tGuidKeyIndex() noexcept = default;
  tGuidKeyIndex(const tGuidKeyIndex&) = delete;
  tGuidKeyIndex& operator=(const tGuidKeyIndex&) = delete;
  ~tGuidKeyIndex();

  // Makes room for `count` keys in one block. False, and the flag, on failure.
  bool reserve(std::size_t count) noexcept;

  // The entry of the key, or null.
  const Entry* find(const GUID& guid, std::int32_t number) const noexcept;

  // The entry of the key; a new one, with first and last set to `position`,
  // when the key was not there (`inserted` tells which). Null, and the flag,
  // when the table could not grow to take a new key.
  Entry* findOrInsert(const GUID& guid, std::int32_t number, std::uint32_t position,
                      bool& inserted) noexcept;

  std::size_t size() const noexcept { return _size; }
  bool allocationFailed() const noexcept { return _allocationFailed; }

 private:
  bool rehash(std::size_t slotCount) noexcept;
  std::size_t slotOf(const GUID& guid, std::int32_t number) const noexcept;

  Entry* _slots = nullptr;
  std::size_t _slotCount = 0;  // a power of two, or 0
  std::size_t _size = 0;
  bool _allocationFailed = false;
};

// Appends to `doomed` exactly the positions that the pairwise duplicate
// search appends, in its order and with its repeats: every position not yet
// in the list is paired with each later record of equal first-object GUID
// and number (records without a first object excluded), appending the
// position and then the later one. An append that fails (the list cannot
// grow) leaves that position out of the list, so it is visited in turn, as
// the pairwise search would visit it. Returns false, appending nothing, when
// its own working memory cannot be had. Linear in `count` while the list can
// grow.
bool findDuplicateLinkRecords(const tLinkRecordKey* keys, std::size_t count,
                              tGrowableArray<std::uint32_t>& doomed) noexcept;

}  // namespace tUpgradeDowngradeMgr
