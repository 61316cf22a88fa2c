#include "engine/class_table.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "engine/catalog.h"
#include "engine/fetch_ahead.h"
#include "engine/statement.h"

namespace vddb::engine {

namespace {

// Markers in place of a class: a deleted object (kept so that probes pass
// over it) and a row whose class the catalog lacks.
const ClassDef kGone{};
const ClassDef kUnknown{};

constexpr std::size_t kFirstCapacity = 1024;

}  // namespace

ClassTable::Slot* ClassTable::slotOf(const GUID& object) const noexcept {
  const std::size_t start = GuidHash()(object) & _mask;
  for (std::size_t i = start;; i = (i + 1) & _mask) {
    Slot& slot = _slots[i];
    if (slot.cls == nullptr || slot.key == object) return &slot;
  }
}

bool ClassTable::grow(std::size_t capacity) noexcept {
  LargeArray<Slot> old;
  old.swap(_slots);
  const std::size_t oldCapacity = old ? _mask + 1 : 0;
  if (!_slots.allocate(capacity)) return false;
  _mask = capacity - 1;
  _used = 0;
  for (std::size_t i = 0; i < oldCapacity; ++i) {
    if (old[i].cls != nullptr && old[i].cls != &kGone) {
      Slot* slot = slotOf(old[i].key);
      *slot = old[i];
      ++_used;
    }
  }
  return true;
}

bool ClassTable::insert(const GUID& object, const ClassDef* cls) noexcept {
  // At most half full, so that a probe ends soon.
  if ((_used + 1) * 2 > _mask + 1 && !grow(_slots ? (_mask + 1) * 2 : kFirstCapacity)) return false;
  Slot* slot = slotOf(object);
  if (slot->cls == nullptr) ++_used;
  slot->key = object;
  slot->cls = cls;
  return true;
}

bool ClassTable::build(sqlite3* db, const Catalog& catalog) noexcept {
  clear();
  // Through the class index, which holds both columns: the rows come
  // grouped by class, so the catalog is asked once per class.
  sqlite3_stmt* scan = nullptr;
  int rc = sqlite3_prepare_v2(db, "SELECT class, guid FROM objects INDEXED BY objects_by_class", -1,
                              &scan, nullptr);
  bool complete = rc == SQLITE_OK;
  // Sized for all rows at once: growing by doubling would move every entry
  // again and touch twice the memory. Counting reads only the pages' headers.
  const auto rows = static_cast<std::size_t>(queryInteger(db, "SELECT count(*) FROM objects", 0));
  std::size_t capacity = kFirstCapacity;
  while (capacity < 2 * (rows + 1)) capacity *= 2;
  if (complete && !grow(capacity)) complete = false;
  unsigned char classKey[16] = {};
  const ClassDef* cls = nullptr;
  FetchAhead<Slot> ahead;
  const auto insertSlot = [this](const Slot& slot) { return insert(slot.key, slot.cls); };
  while (complete && (rc = sqlite3_step(scan)) == SQLITE_ROW) {
    const void* classBytes = sqlite3_column_blob(scan, 0);
    if (classBytes == nullptr || sqlite3_column_bytes(scan, 0) != 16) {
      cls = &kUnknown;  // damage, found when the object is asked for
      std::memset(classKey, 0, sizeof classKey);
    } else if (cls == nullptr || std::memcmp(classKey, classBytes, sizeof classKey) != 0) {
      std::memcpy(classKey, classBytes, sizeof classKey);
      cls = catalog.find(guidFromKeyBytes(classKey));
      if (cls == nullptr) cls = &kUnknown;
    }
    // A key that is no GUID cannot be asked for.
    const void* key = sqlite3_column_blob(scan, 1);
    if (key == nullptr || sqlite3_column_bytes(scan, 1) != 16) continue;
    const GUID object = guidFromKeyBytes(static_cast<const unsigned char*>(key));
    const std::size_t home = GuidHash()(object) & _mask;
    complete = ahead.push({object, cls}, &_slots[home], insertSlot);
  }
  if (complete) complete = ahead.finish(insertSlot);
  if (complete && rc != SQLITE_DONE) complete = false;
  sqlite3_finalize(scan);
  if (!complete) clear();
  return complete;
}

ClassTable::Found ClassTable::find(const GUID& object, const ClassDef*& cls) const noexcept {
  cls = nullptr;
  const Slot* slot = slotOf(object);
  if (slot->cls == nullptr || slot->cls == &kGone) return Found::kMissing;
  if (slot->cls == &kUnknown) return Found::kUnknownClass;
  cls = slot->cls;
  return Found::kClass;
}

void ClassTable::erase(const GUID& object) noexcept {
  if (!built()) return;
  Slot* slot = slotOf(object);
  if (slot->cls != nullptr) slot->cls = &kGone;
}

void ClassTable::clear() noexcept {
  _slots.reset();
  _mask = 0;
  _used = 0;
}

}  // namespace vddb::engine
