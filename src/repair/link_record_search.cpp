#include "repair/link_record_search.h"

#include <limits>

#include "platform/memory.h"
#include "store/guid.h"

namespace tUpgradeDowngradeMgr {

namespace {

constexpr std::size_t kMinimumSlots = 16;

// The smallest power of two of at least `count` slots, or 0 when there is none.
std::size_t powerOfTwoAtLeast(std::size_t count) noexcept {
  std::size_t slots = kMinimumSlots;
  while (slots < count) {
    if (slots > std::numeric_limits<std::size_t>::max() / 2) return 0;
    slots *= 2;
  }
  return slots;
}

}  // namespace

tGuidKeyIndex::~tGuidKeyIndex() { _memDelete(_slots); }

std::size_t tGuidKeyIndex::slotOf(const GUID& guid, std::int32_t number) const noexcept {
  // GuidHash is FNV-1a, whose low bits are weak; fold the number in and mix
  // so that the masked low bits depend on every input bit.
  std::uint64_t h = static_cast<std::uint64_t>(vddb::GuidHash{}(guid));
  h ^= static_cast<std::uint64_t>(static_cast<std::uint32_t>(number)) * 0x9E3779B97F4A7C15ULL;
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDULL;
  h ^= h >> 33;
  return static_cast<std::size_t>(h) & (_slotCount - 1);
}

bool tGuidKeyIndex::rehash(std::size_t slotCount) noexcept {
  if (slotCount == 0 || slotCount > std::numeric_limits<std::size_t>::max() / sizeof(Entry)) {
    _allocationFailed = true;
    return false;
  }
  auto* fresh = static_cast<Entry*>(_memNewUsingCRT(slotCount * sizeof(Entry), 0));
  if (fresh == nullptr) {
    _allocationFailed = true;
    return false;
  }
  for (std::size_t i = 0; i < slotCount; ++i) fresh[i].first = kNoPosition;

  Entry* old = _slots;
  const std::size_t oldCount = _slotCount;
  _slots = fresh;
  _slotCount = slotCount;
  for (std::size_t i = 0; i < oldCount; ++i) {
    if (old[i].first == kNoPosition) continue;
    std::size_t s = slotOf(old[i].guid, old[i].number);
    while (_slots[s].first != kNoPosition) s = (s + 1) & (_slotCount - 1);
    _slots[s] = old[i];
  }
  _memDelete(old);
  return true;
}

bool tGuidKeyIndex::reserve(std::size_t count) noexcept {
  if (count > std::numeric_limits<std::size_t>::max() / 2) {
    _allocationFailed = true;
    return false;
  }
  const std::size_t wanted = powerOfTwoAtLeast(count * 2);
  if (wanted <= _slotCount) return true;
  return rehash(wanted);
}

const tGuidKeyIndex::Entry* tGuidKeyIndex::find(const GUID& guid,
                                                std::int32_t number) const noexcept {
  if (_slotCount == 0) return nullptr;
  for (std::size_t s = slotOf(guid, number);; s = (s + 1) & (_slotCount - 1)) {
    const Entry& e = _slots[s];
    if (e.first == kNoPosition) return nullptr;
    if (e.number == number && e.guid == guid) return &e;
  }
}

tGuidKeyIndex::Entry* tGuidKeyIndex::findOrInsert(const GUID& guid, std::int32_t number,
                                                  std::uint32_t position, bool& inserted) noexcept {
  inserted = false;
  if (const Entry* found = find(guid, number)) return const_cast<Entry*>(found);
  // At most half full, so probing always ends at a free slot.
  if ((_size + 1) * 2 > _slotCount) {
    const std::size_t grown = _slotCount == 0 ? kMinimumSlots
                              : _slotCount > std::numeric_limits<std::size_t>::max() / 2
                                  ? 0
                                  : _slotCount * 2;
    if (!rehash(grown)) return nullptr;
  }
  std::size_t s = slotOf(guid, number);
  while (_slots[s].first != kNoPosition) s = (s + 1) & (_slotCount - 1);
  _slots[s] = Entry{guid, number, position, position};
  ++_size;
  inserted = true;
  return &_slots[s];
}

bool findDuplicateLinkRecords(const tLinkRecordKey* keys, std::size_t count,
                              tGrowableArray<std::uint32_t>& doomed) noexcept {
  if (count == 0) return true;
  if (count >= kNoPosition) return false;  // positions must fit below the marker

  // Groups as chains in position order: the index holds each key's first
  // and last member, each record's link names the following member. The
  // link also says whether the record's position is in the doomed list.
  struct tLink {
    std::uint32_t next;
    bool doomed;
  };
  tGuidKeyIndex groups;
  tGrowableArray<tLink> links;
  if (!groups.reserve(count) || !links.reserve(count)) return false;
  for (std::size_t i = 0; i < count; ++i) links.append(tLink{kNoPosition, false});
  for (const std::uint32_t position : doomed) {
    if (position < count) links[position].doomed = true;
  }

  for (std::size_t i = 0; i < count; ++i) {
    const tLinkRecordKey& key = keys[i];
    if (!key.hasFirstObject) continue;
    const auto position = static_cast<std::uint32_t>(i);
    bool inserted = false;
    tGuidKeyIndex::Entry* group =
        groups.findOrInsert(key.firstObject, key.number, position, inserted);
    if (group == nullptr) return false;  // not expected: room was reserved
    if (!inserted) {
      links[group->last].next = position;
      group->last = position;
    }
  }

  // The pairwise search: every position not in the doomed list is paired
  // with each later member of its group. Once a group's first member has
  // been paired, the others are doomed and skipped, so this is linear; only
  // a position whose append failed is visited in turn, as the pairwise
  // search visits it.
  for (std::size_t i = 0; i < count; ++i) {
    if (links[i].doomed) continue;
    const auto position = static_cast<std::uint32_t>(i);
    for (std::uint32_t member = links[i].next; member != kNoPosition; member = links[member].next) {
      if (doomed.append(position)) links[i].doomed = true;
      if (doomed.append(member)) links[member].doomed = true;
    }
  }
  return true;
}

}  // namespace tUpgradeDowngradeMgr
