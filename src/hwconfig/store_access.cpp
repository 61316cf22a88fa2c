#include "hwconfig/store_access.h"

#include <cstddef>

#include "engine/result_codes.h"
#include "hwconfig/hwconfig.h"
#include "status/status_rules.h"
#include "store/guid_list_index.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/wrappers.h"

namespace vddb::hwconfig::detail {

using store::callStore;

void collectObjectsOfClass(IkorrinStorage* storage, const GUID& classGuid, GuidList& guids,
                           std::int32_t& code) {
  const tScopedRef<IStorageQuery> query = store::createQuery(storage, classGuid, 1, code);
  if (query) store::enumerateQuery(storage, query.get(), guids, code);
}

tScopedRef<IStorageObject> openItem(IkorrinStorage* storage, const GUID& item,
                                    const GUID& classGuid, std::int32_t& code) {
  tScopedRef<IStorageObject> object;
  if (!isGood(code)) return object;
  const HRESULT opened = storage->openObject(item, object.put());
  if (opened == kStorageNotFound) {
    code = StatusItemMissing;
    return {};
  }
  recordStorageResult(code, opened);
  if (!isGood(code)) return {};
  if (!object) {
    code = StatusItemMissing;
    return object;
  }
  std::int32_t ofClass = 0;
  callStore(code, [&] { return object->isOfClass(1, &classGuid, &ofClass); });
  if (!isGood(code)) return {};
  if (ofClass == 0) {
    code = StatusItemMissing;
    return {};
  }
  return object;
}

bool hasReference(IStorageObject* object, std::uint32_t attributeId, std::int32_t& code) {
  return static_cast<bool>(store::getReference(object, attributeId, code));
}

void readReferenceGuid(IStorageObject* object, std::uint32_t attributeId, GUID& target,
                       std::int32_t& code) {
  const tScopedRef<IStorageObject> referred = store::getReference(object, attributeId, code);
  if (!isGood(code)) return;
  if (!referred) {
    code = StatusValueMissing;
    return;
  }
  GUID guid{};
  callStore(code, [&] { return referred->getObjectGuid(&guid); });
  if (isGood(code)) target = guid;
}

void readInteger(IStorageObject* object, std::uint32_t attributeId, std::int32_t& value,
                 std::int32_t& code) {
  if (!isGood(code)) return;
  std::int32_t read = 0;
  const HRESULT result = object->getInteger(attributeId, &read);
  if (result == engine::kNoValue) {
    code = StatusValueMissing;
    return;
  }
  recordStorageResult(code, result);
  if (isGood(code)) value = read;
}

namespace {

// The objects a removal reaches, in the order reached, with a hash index
// beside the list so that the "already reached" test stays a probe.
struct tReached {
  GuidList list;
  tGuidListIndex index{list};

  // Adds `guid` unless it is there already; false when memory ran out.
  bool add(const GUID& guid) noexcept {
    if (index.contains(guid)) return true;
    if (!index.reserveOne() || !list.append(guid)) return false;
    index.add(list.size() - 1);
    return true;
  }
};

// Records `target` as reached unless it already is.
void reach(IStorageObject* target, tReached& reached, std::int32_t& code) {
  GUID guid{};
  callStore(code, [&] { return target->getObjectGuid(&guid); });
  if (isGood(code) && !reached.add(guid)) recordNoMemory(code);
}

void followReference(IStorageObject* object, std::uint32_t attributeId, tReached& reached,
                     std::int32_t& code) {
  const tScopedRef<IStorageObject> target = store::getReference(object, attributeId, code);
  if (target) reach(target.get(), reached, code);
}

void followList(IStorageObject* object, std::uint32_t attributeId, tReached& reached,
                std::int32_t& code) {
  const ObjectList targets = store::readObjectList(object, attributeId, code);
  for (IStorageObject* target : targets) {
    if (!isGood(code)) break;
    reach(target, reached, code);
  }
}

void followIfOwning(IStorageClass* level, IStorageObject* object, std::uint32_t attributeId,
                    tReached& reached, std::int32_t& code) {
  const tScopedRef<IStorageAttribute> attribute = store::getAttribute(level, attributeId, code);
  if (!attribute) return;
  std::uint32_t type = 0;
  callStore(code, [&] { return attribute->getType(&type); });
  if (!isGood(code)) return;
  if (type != kAttributeTypeReference && type != kAttributeTypeReferenceList) return;
  std::uint32_t flag = 1;
  callStore(code, [&] { return attribute->getFlag(&flag); });
  if (!isGood(code) || flag != 0) return;
  if (type == kAttributeTypeReference) {
    followReference(object, attributeId, reached, code);
  } else {
    followList(object, attributeId, reached, code);
  }
}

// Adds what `object` owns, through every level of its class chain.
void followOwned(IStorageObject* object, tReached& reached, std::int32_t& code) {
  tScopedRef<IStorageClass> level = store::getClass(object, code);
  while (level && isGood(code)) {
    GUID classGuid{};
    callStore(code, [&] { return level->getClassGuid(&classGuid); });
    const tScopedRef<IAttributeIdEnumerator> ids = store::enumAttributeIds(level.get(), code);
    while (ids && isGood(code)) {
      constexpr std::uint32_t kBatch = 16;
      std::uint32_t batch[kBatch];
      std::uint32_t delivered = 0;
      const HRESULT result = ids->Next(kBatch, batch, &delivered);
      if (result < 0) {
        recordStorageResult(code, result);
        break;
      }
      for (std::uint32_t i = 0; i < delivered && i < kBatch && isGood(code); ++i) {
        if (classGuid == model::kHardwareItemClass && batch[i] == model::kReferrerList) continue;
        followIfOwning(level.get(), object, batch[i], reached, code);
      }
      if (result != S_OK) break;
    }
    if (!isGood(code)) break;
    level = store::getBaseClass(level.get(), code);
  }
}

}  // namespace

void deleteWithOwnedObjects(IkorrinStorage* storage, const GUID& itemGuid, IStorageObject* item,
                            std::int32_t& code) {
  // Breadth first over the GUIDs reached; the list is at once the visited
  // set and the deletion order, so cycles end and nothing is deleted twice.
  std::int32_t walk = 0;
  tReached reached;
  if (!reached.add(itemGuid)) recordNoMemory(walk);
  for (std::size_t i = 0; i < reached.list.size() && isGood(walk); ++i) {
    if (i == 0) {
      followOwned(item, reached, walk);
      continue;
    }
    const GUID current = reached.list[i];
    const tScopedRef<IStorageObject> object = store::openObject(storage, current, walk);
    if (object) followOwned(object.get(), reached, walk);
  }
  if (walk < 0) code = walk;
  for (const GUID& guid : reached.list) {
    recordStorageResult(code, storage->deleteObject(guid, nullptr));
  }
}

}  // namespace vddb::hwconfig::detail
