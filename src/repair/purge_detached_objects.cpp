// Detached Trelix chassis and Mordan connector-block objects.
//
// purgeDetachedTrelixChassisObjects, purgeDetachedMordanConnectorBlockObjects
//   Checks: each stored object of the pass's main class has its required
//   reference set; each companion object is referred to (kReferrerList).
//   Needs: the storage and the pass status; the identifiers come from the
//   pass's parameter row (kTrelixChassisPass, kMordanConnectorBlockPass).
//   Changes: phase 1 takes a detached object apart (slot entries failing the
//   kept-entry class test deleted one by one, the row's lists emptied, its
//   reference cleared) and deletes it with what it still owns; phase 2 runs
//   purgeUnreferencedObjects on the companion class.
//   Failure: every step uses the pass status; once it holds an error nothing
//   more is read, written or deleted. The Mordan phase 2 reads referrer
//   lists with a status of its own per object (see below).
//
#include <array>
#include <cstdint>
#include <span>

#include "repair/passes.h"
#include "repair/report.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/storage_walk.h"
#include "store/wrappers.h"

namespace tUpgradeDowngradeMgr {

namespace {

using vddb::store::callStore;

constexpr std::uint32_t kIsOfClassFlag = 1;

// One detached-object pass.
struct tDetachedObjectPass {
  GUID mainClass;
  std::uint32_t requiredReference;
  std::span<const std::uint32_t> testedSlotLists;  // in this order
  std::span<const std::uint32_t> emptiedLists;     // in this order
  std::uint32_t clearedReference;
  GUID companionClass;
  tReferrerReadStatus companionReferrerRead;
  const char* detachedProblem;
};

constexpr std::array<std::uint32_t, 3> kTrelixSlotLists{
    vddb::model::kTrelixSlotList1, vddb::model::kTrelixSlotList3, vddb::model::kTrelixSlotList2};
constexpr std::array<std::uint32_t, 5> kTrelixEmptiedLists{
    vddb::model::kTrelixSlotList1, vddb::model::kTrelixSlotList2, vddb::model::kTrelixSlotList3,
    vddb::model::kReferrerList, vddb::model::kOwnedObjectList};
constexpr std::array<std::uint32_t, 1> kMordanSlotLists{vddb::model::kMordanSlotList};
constexpr std::array<std::uint32_t, 3> kMordanEmptiedLists{
    vddb::model::kReferrerList, vddb::model::kOwnedObjectList, vddb::model::kMordanSlotList};

constexpr tDetachedObjectPass kTrelixChassisPass{
    vddb::model::kTrelixChassisClass,
    vddb::model::kTrelixSavedMarker,
    kTrelixSlotLists,
    kTrelixEmptiedLists,
    vddb::model::kTrelixCompanion,
    vddb::model::kTrelixCompanionClass,
    tReferrerReadStatus::passStatus,
    "P0201",
};

constexpr tDetachedObjectPass kMordanConnectorBlockPass{
    vddb::model::kMordanConnectorBlockClass,
    vddb::model::kMordanSavedMarker,
    kMordanSlotLists,
    kMordanEmptiedLists,
    vddb::model::kMordanCompanion,
    vddb::model::kMordanCompanionClass,
    tReferrerReadStatus::freshStatusPerObject,
    "P0401",
};

// Deletes the slot entries that fail the kept-entry class test, one by one.
// `working` serves every slot list of the object; each read empties it.
void deleteFailingSlotEntries(IkorrinStorage* storage, IStorageObject* object,
                              const tDetachedObjectPass& pass, ObjectList& working,
                              std::int32_t& code) {
  for (const std::uint32_t slotList : pass.testedSlotLists) {
    vddb::store::readKindObjectList(object, slotList, vddb::model::kSlotEntryClass, working, code);
    for (IStorageObject* entry : working) {
      if (!isGood(code)) return;
      std::int32_t kept = 0;
      callStore(code, [&] {
        return entry->isOfClass(kIsOfClassFlag, &vddb::model::kKeptSlotEntryClass, &kept);
      });
      if (!isGood(code) || kept != 0) continue;
      GUID guid{};
      callStore(code, [&] { return entry->getObjectGuid(&guid); });
      vddb::store::deleteObject(storage, guid, code);
    }
  }
}

// Phase 1 for one object of the main class.
void purgeIfDetached(IkorrinStorage* storage, IStorageObject* object,
                     const tDetachedObjectPass& pass, tStatus2& status) {
  if (vddb::store::getReference(object, pass.requiredReference, status.code)) return;
  if (!isGood(status)) return;  // the read failed: nothing more happens

  ObjectList working;
  deleteFailingSlotEntries(storage, object, pass, working, status.code);

  // Emptied before the deletion so that its walk no longer reaches the
  // kept slot entries or what the cleared reference named.
  const ObjectList empty;
  for (const std::uint32_t list : pass.emptiedLists) {
    vddb::store::writeObjectList(object, list, empty, status.code);
  }
  callStore(status.code, [&] { return object->setReference(pass.clearedReference, nullptr); });
  if (!isGood(status)) return;
  const GUID reported = guidForReport(object);
  vddb::store::deleteWithOwned(storage, object);
  reportProblem(pass.detachedProblem, reported,
                [&](tProblemRecord& record) { record.reference = pass.requiredReference; });
}

void purgeDetachedObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status,
                          const tDetachedObjectPass& pass) {
  if (!isGood(status)) return;

  {
    ObjectList objects;
    vddb::store::collectObjectsOfClass(pass.mainClass, storage.get(), objects, status);
    for (IStorageObject* object : objects) {
      if (!isGood(status)) break;
      purgeIfDetached(storage.get(), object, pass, status);
    }
  }

  purgeUnreferencedObjects(storage, status, pass.companionClass, pass.companionReferrerRead,
                           tUnlinking::emptyOwnedObjectList, 0);
}

}  // namespace

void purgeDetachedTrelixChassisObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  purgeDetachedObjects(storage, status, kTrelixChassisPass);
}

void purgeDetachedMordanConnectorBlockObjects(tScopedRef<IkorrinStorage>& storage,
                                              tStatus2& status) {
  purgeDetachedObjects(storage, status, kMordanConnectorBlockPass);
}

}  // namespace tUpgradeDowngradeMgr
