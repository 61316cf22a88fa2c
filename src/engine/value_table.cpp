#include "engine/value_table.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>
#include <new>

#include "engine/fetch_ahead.h"
#include "engine/statement.h"

namespace vddb::engine {

namespace {

constexpr std::size_t kFirstCapacity = 1024;
// Room for the transaction's changes beyond twice what the scan read.
constexpr std::size_t kSlack = 1 << 16;

}  // namespace

template <class Element>
typename ValueTable<Element>::Slot* ValueTable<Element>::slotOf(const GUID& object) const noexcept {
  const std::size_t start = GuidHash()(object) & _mask;
  for (std::size_t i = start;; i = (i + 1) & _mask) {
    Slot& slot = _slots[i];
    if (slot.first == 0 || slot.object == object) return &slot;
  }
}

template <class Element>
bool ValueTable<Element>::reserve(std::size_t objects) noexcept {
  // At most half full, so that a probe ends soon.
  std::size_t capacity = kFirstCapacity;
  while (capacity < 2 * (objects + 1)) capacity *= 2;
  if (_slots && capacity <= _mask + 1) return true;
  LargeArray<Slot> old;
  old.swap(_slots);
  const std::size_t oldCapacity = old ? _mask + 1 : 0;
  if (!_slots.allocate(capacity)) return false;
  _mask = capacity - 1;
  _used = 0;
  for (std::size_t i = 0; i < oldCapacity; ++i) {
    // Objects whose values all went need no slot any more.
    if (old[i].first != 0 && old[i].count != 0) {
      *slotOf(old[i].object) = old[i];
      ++_used;
    }
  }
  return true;
}

template <class Element>
bool ValueTable<Element>::build(sqlite3* db) noexcept {
  using Stored = StoredElements<Element>;
  clear();
  sqlite3_stmt* scan = nullptr;
  // In the table's own order, not through the key index, which would cost
  // a search of the table per row. A store as loaded holds its rows in key
  // order; the values written since come after them, and are sorted in.
  int rc = sqlite3_prepare_v2(db, Stored::kScan, -1, &scan, nullptr);
  bool complete = rc == SQLITE_OK;
  try {
    struct Row {
      GUID object;
      Value value;
    };
    LargeVector<Row> rows;
    // Counting reads only the pages' headers; growing by doubling would
    // copy the rows again and touch twice the memory.
    rows.reserve(static_cast<std::size_t>(queryInteger(db, Stored::kCount, 0)));
    bool sorted = true;
    while (complete && (rc = sqlite3_step(scan)) == SQLITE_ROW) {
      // A row that no lookup can ask for is left out, as a lookup would
      // leave it.
      const void* key = sqlite3_column_blob(scan, 0);
      const std::int64_t attr = sqlite3_column_int64(scan, 1);
      if (key == nullptr || sqlite3_column_bytes(scan, 0) != 16 ||
          sqlite3_column_type(scan, 1) != SQLITE_INTEGER || attr < 0 ||
          attr > std::numeric_limits<std::uint32_t>::max()) {
        continue;
      }
      const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(scan, 2));
      const auto size = static_cast<std::size_t>(sqlite3_column_bytes(scan, 2));
      Row row{guidFromKeyBytes(static_cast<const unsigned char*>(key)),
              {static_cast<std::uint32_t>(attr), kDamagedValue, _elements.size()}};
      if (size % Stored::kBytes == 0 && size / Stored::kBytes < kDamagedValue) {
        row.value.count = static_cast<std::uint32_t>(size / Stored::kBytes);
        for (std::size_t i = 0; i < size; i += Stored::kBytes) {
          _elements.push_back(Stored::decode(bytes + i));
        }
      }
      if (!rows.empty() && compareGuids(row.object, rows.back().object) < 0) sorted = false;
      rows.push_back(row);
    }
    if (complete && rc != SQLITE_DONE) complete = false;
    if (complete && rows.size() >= std::numeric_limits<std::uint32_t>::max()) complete = false;
    if (complete && !sorted) {
      std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return compareGuids(a.object, b.object) < 0;
      });
    }
    // Each object's values next to each other, and one slot per object.
    std::size_t objects = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (i == 0 || !(rows[i].object == rows[i - 1].object)) ++objects;
    }
    if (complete && !reserve(objects)) complete = false;
    _values.reserve(complete ? rows.size() + 1 : 0);
    _values.assign(1, Value{});
    FetchAhead<Slot> ahead;
    const auto place = [this](const Slot& slot) {
      *slotOf(slot.object) = slot;
      ++_used;
      return true;
    };
    for (std::size_t i = 0; complete && i < rows.size();) {
      // One object's values.
      Slot slot{rows[i].object, static_cast<std::uint32_t>(_values.size()), 0};
      for (; i < rows.size() && rows[i].object == slot.object; ++i, ++slot.count) {
        _values.push_back(rows[i].value);
      }
      ahead.push(slot, &_slots[GuidHash()(slot.object) & _mask], place);
    }
    if (complete) ahead.finish(place);
  } catch (const std::bad_alloc&) {
    complete = false;
  }
  sqlite3_finalize(scan);
  if (!complete) {
    clear();
    return false;
  }
  _limit = 2 * (_values.size() + _elements.size()) + kSlack;
  return true;
}

template <class Element>
bool ValueTable<Element>::replace(const GUID& object, std::uint32_t attr, const Element* elements,
                                  std::size_t count, bool present) noexcept {
  if (!built()) return true;
  if (count >= kDamagedValue) return false;
  try {
    if (slotOf(object)->first == 0) {
      if (!present) return true;  // nothing to remove
      if ((_used + 1) * 2 > _mask + 1 && !reserve(_used + 1)) return false;
      ++_used;
    }
    Slot* slot = slotOf(object);
    // The object's values are written again at the end, without the old
    // value of `attr` and with its new one.
    const auto first = static_cast<std::uint32_t>(_values.size());
    for (std::uint32_t i = slot->first; i < slot->first + slot->count; ++i) {
      if (_values[i].attr != attr) _values.push_back(_values[i]);
    }
    if (present) {
      _values.push_back({attr, static_cast<std::uint32_t>(count), _elements.size()});
      _elements.insert(_elements.end(), elements, elements + count);
    }
    slot->object = object;
    slot->first = first;
    slot->count = static_cast<std::uint32_t>(_values.size() - first);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return _values.size() + _elements.size() <= _limit &&
         _values.size() < std::numeric_limits<std::uint32_t>::max();
}

template <class Element>
void ValueTable<Element>::erase(const GUID& object) noexcept {
  if (!built()) return;
  Slot* slot = slotOf(object);
  if (slot->first != 0) slot->count = 0;
}

template <class Element>
void ValueTable<Element>::clear() noexcept {
  _slots.reset();
  _mask = 0;
  _used = 0;
  // Their memory goes back too: a dropped table may not be built again.
  LargeVector<Value>().swap(_values);
  LargeVector<Element>().swap(_elements);
  _limit = 0;
}

template class ValueTable<GUID>;
template class ValueTable<char16_t>;

}  // namespace vddb::engine
