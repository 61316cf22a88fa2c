// A growable list of counted IStorageObject references. Appending takes a
// reference of its own; emptying or destroying the list releases them.
#pragma once

#include <cstddef>

#include "store/growable_array.h"
#include "store/interfaces.h"

class ObjectList {
 public:
  ObjectList() noexcept = default;
  ObjectList(const ObjectList&) = delete;
  ObjectList& operator=(const ObjectList&) = delete;
  ObjectList(ObjectList&&) noexcept = default;
  ~ObjectList() { clear(); }

  // Adds `object` with a reference of the list's own. When the list cannot
  // grow nothing is added or referenced, and the flag is set.
  bool append(IStorageObject* object) noexcept {
    if (!_items.append(object)) return false;
    if (object != nullptr) object->AddRef();
    return true;
  }

  // Releases every entry; the flag stays.
  void clear() noexcept {
    for (IStorageObject* object : _items) {
      if (object != nullptr) object->Release();
    }
    _items.clear();
  }

  std::size_t size() const noexcept { return _items.size(); }
  bool empty() const noexcept { return _items.empty(); }
  bool allocationFailed() const noexcept { return _items.allocationFailed(); }
  IStorageObject* operator[](std::size_t i) const noexcept { return _items[i]; }
  IStorageObject* const* begin() const noexcept { return _items.begin(); }
  IStorageObject* const* end() const noexcept { return _items.end(); }

 private:
  tGrowableArray<IStorageObject*> _items;
};
