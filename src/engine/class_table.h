// The class of every object of the store, read in one scan and held in
// memory for the rest of a write transaction.
//
// A repair asks for the class of an object at every openObject and at every
// reference or list entry it reads: about two lookups per object of the
// store, each a search of the objects B-tree at a random place. Once a
// transaction has made about one lookup for every ten objects the file can
// hold, reading the whole table in key order costs less than the lookups
// still to come, and each later lookup is one probe of a flat hash table.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

#include <cstddef>

#include "engine/large_array.h"
#include "store/guid.h"

struct sqlite3;

namespace vddb::engine {

class Catalog;
struct ClassDef;

class ClassTable {
 public:
  enum class Found { kMissing, kClass, kUnknownClass };

  // Reads every row of the objects table. False, and the table left empty,
  // when the rows could not be read or the memory could not be had: the
  // caller goes on with its lookups, which meet the same fault if it is in
  // their way.
  bool build(sqlite3* db, const Catalog& catalog) noexcept;
  bool built() const noexcept { return static_cast<bool>(_slots); }
  // kClass with the object's class; kUnknownClass for a row naming a class
  // the catalog lacks (damage); kMissing for no such object.
  Found find(const GUID& object, const ClassDef*& cls) const noexcept;
  // The object is gone (deleted in this transaction).
  void erase(const GUID& object) noexcept;
  void clear() noexcept;

 private:
  struct Slot {
    GUID key;
    const ClassDef* cls;  // null: empty
  };

  Slot* slotOf(const GUID& object) const noexcept;
  bool insert(const GUID& object, const ClassDef* cls) noexcept;
  bool grow(std::size_t capacity) noexcept;

  LargeArray<Slot> _slots;
  std::size_t _mask = 0;  // capacity - 1; the capacity is a power of two
  std::size_t _used = 0;
};

}  // namespace vddb::engine
