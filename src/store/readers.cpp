#include "store/readers.h"

#include <algorithm>
#include <cstddef>
#include <limits>

#include "platform/memory.h"
#include "platform/win32.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/scoped_ref.h"
#include "store/wrappers.h"

namespace vddb::store {

namespace {

// A temporary array of object pointers from the runtime, given back on every
// path. The slots start null so that only what the store filled is touched.
class tPointerArray {
 public:
  // `count` pointers; null when the block cannot be had or its size in bytes
  // cannot be represented.
  explicit tPointerArray(std::size_t count) noexcept : _count(count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(IStorageObject*)) return;
    _slots = static_cast<IStorageObject**>(_memNewUsingCRT(count * sizeof(IStorageObject*), 0));
    if (_slots != nullptr) std::fill_n(_slots, count, nullptr);
  }
  tPointerArray(const tPointerArray&) = delete;
  tPointerArray& operator=(const tPointerArray&) = delete;
  ~tPointerArray() { _memDelete(_slots); }

  IStorageObject** get() const noexcept { return _slots; }
  std::size_t count() const noexcept { return _count; }

 private:
  IStorageObject** _slots = nullptr;
  std::size_t _count = 0;
};

// The shared body of the two-call list reads. `read(capacity, slots, count)`
// makes one store call.
template <class Read>
void readTwoCall(ObjectList& objects, std::int32_t& code, Read&& read) {
  objects.clear();

  std::uint32_t reported = 0;
  const HRESULT first = read(0, nullptr, &reported);
  recordStorageResult(code, first);
  if (first < 0 || reported == 0) return;

  tPointerArray slots(reported);
  if (slots.get() == nullptr) {
    recordNoMemory(code);
    return;
  }

  std::uint32_t delivered = 0;
  const HRESULT second = read(reported, slots.get(), &delivered);
  if (second < 0) {
    recordStorageResult(code, second);
    return;
  }

  // A store that reports more than it was given room for has still filled at
  // most the slots the array has.
  const std::size_t used = std::min<std::size_t>(delivered, slots.count());
  for (std::size_t i = 0; i < used; ++i) {
    // The slot's own reference is released once the list holds one.
    tScopedRef<IStorageObject> slot(slots.get()[i]);
    if (slot) objects.append(slot.get());
  }
  if (objects.allocationFailed()) recordNoMemory(code);
}

}  // namespace

void enumerateQuery(IkorrinStorage* storage, IStorageQuery* query, GuidList& guids,
                    std::int32_t& code) {
  guids.clear();
  const tScopedRef<IGuidEnumerator> enumerator = runQuery(storage, query, code);
  enumerateGuids(enumerator.get(), guids, code);
}

void enumerateGuids(IGuidEnumerator* enumerator, GuidList& guids, std::int32_t& code) {
  guids.clear();
  while (isGood(code) && enumerator != nullptr) {
    GUID batch[kEnumerationBatch] = {};
    std::uint32_t delivered = 0;
    recordStorageResult(code, enumerator->Next(kEnumerationBatch, batch, &delivered));
    delivered = std::min(delivered, kEnumerationBatch);
    for (std::uint32_t i = 0; i < delivered && isGood(code); ++i) guids.append(batch[i]);
    // A part batch (result 1) does not end the loop; only an empty one does.
    if (delivered == 0) break;
  }
  if (guids.allocationFailed()) recordNoMemory(code);
}

void collectObjectsOfClass(const GUID& classGuid, IkorrinStorage* storage, ObjectList& objects,
                           tStatus2& status) {
  objects.clear();
  if (!isGood(status)) return;

  const auto heldStorage = tScopedRef<IkorrinStorage>::share(storage);
  tScopedRef<IStorageQuery> query = createQuery(heldStorage.get(), classGuid, 1, status.code);
  if (!isGood(status) || !query) return;

  GuidList guids;
  enumerateQuery(heldStorage.get(), query.get(), guids, status.code);
  for (const GUID& guid : guids) {
    if (!isGood(status)) break;  // after a failure no further object is opened
    tScopedRef<IStorageObject> object = openObject(heldStorage.get(), guid, status.code);
    if (isGood(status) && object) objects.append(object.get());
  }

  if (objects.allocationFailed()) raiseNoMemory(status, kCollectObjectsRaiseLine);
}

void readObjectList(IStorageObject* object, std::uint32_t attributeId, ObjectList& objects,
                    std::int32_t& code) {
  if (!isGood(code)) return;
  readTwoCall(objects, code,
              [&](std::uint32_t capacity, IStorageObject** slots, std::uint32_t* count) {
                return object->getObjectList(attributeId, capacity, slots, count);
              });
}

ObjectList readObjectList(IStorageObject* object, std::uint32_t attributeId, std::int32_t& code) {
  ObjectList objects;
  readObjectList(object, attributeId, objects, code);
  return objects;
}

void readKindObjectList(IStorageObject* object, std::uint32_t attributeId, const GUID& kindGuid,
                        ObjectList& objects, std::int32_t& code) {
  if (!isGood(code)) return;
  tScopedRef<IStorageObjectEx> extended =
      queryExtension<IStorageObjectEx>(object, IID_IStorageObjectEx, code);
  if (!isGood(code) || !extended) return;
  readTwoCall(objects, code,
              [&](std::uint32_t capacity, IStorageObject** slots, std::uint32_t* count) {
                return extended->getKindObjectList(attributeId, capacity, kindGuid, slots, count);
              });
}

void writeObjectList(IStorageObject* object, std::uint32_t attributeId, const ObjectList& objects,
                     std::int32_t& code) {
  if (!isGood(code)) return;

  const bool countFits = objects.size() <= std::numeric_limits<std::uint32_t>::max();
  tPointerArray slots(countFits ? objects.size() : 0);
  if (!objects.empty() && (!countFits || slots.get() == nullptr)) {
    recordNoMemory(code);
    return;
  }

  // The array is lent for the call; no references pass.
  for (std::size_t i = 0; i < objects.size(); ++i) slots.get()[i] = objects[i];
  const auto count = static_cast<std::uint32_t>(objects.size());
  recordStorageResult(code, object->setObjectList(attributeId, count, slots.get()));
}

void readStringAttribute(IStorageObject* object, tWideString& text, std::int32_t& code) {
  if (!isGood(code)) return;

  char16_t* stored = nullptr;
  const HRESULT result = object->getString(model::kReferredName, &stored);
  if (result < 0) {
    recordStorageResult(code, result);
    return;
  }
  if (stored != nullptr) {
    const char16_t* end = stored;
    while (*end != 0) ++end;
    text.assign(stored, end);
    if (text.allocationFailed()) recordNoMemory(code);
  }
  CoTaskMemFree(stored);
}

void addStringFilter(IStorageQuery* query, const tWideString& text, std::int32_t& code) {
  if (!isGood(code)) return;
  tScopedRef<IStorageQueryEx> extended =
      queryExtension<IStorageQueryEx>(query, IID_IStorageQueryEx, code);
  if (!isGood(code) || !extended) return;
  recordStorageResult(code, extended->addStringCondition(model::kNamedObjectName, text.c_str()));
}

}  // namespace vddb::store
