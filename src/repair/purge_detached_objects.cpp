// Detached Trelix chassis and Mordan connector-block objects.
//
// purgeDetachedTrelixChassisObjects, purgeDetachedMordanConnectorBlockObjects
//   Checks: each stored object of the pass's main class has its required
//   reference set; each companion object is referred to (0xEEC001A4).
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
#include "store/object_list.h"
#include "store/readers.h"
#include "store/storage_walk.h"
#include "store/wrappers.h"

namespace tUpgradeDowngradeMgr {

namespace {

using vddb::store::callStore;

constexpr GUID kSlotListKind = vddb::guidLiteral("fd0cec60-8263-383f-d0af-c3369715499c");
constexpr GUID kKeptEntryClass = vddb::guidLiteral("f39b43ad-97ef-3afc-6a55-a74ae9a6b459");
constexpr std::uint32_t kReferrerList = 0xEEC001A4;
constexpr std::uint32_t kOwnedObjectList = 0xEEC0000C;
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

constexpr std::array<std::uint32_t, 3> kTrelixSlotLists{0xEEC00022, 0xEEC00025, 0xEEC00024};
constexpr std::array<std::uint32_t, 5> kTrelixEmptiedLists{0xEEC00022, 0xEEC00024, 0xEEC00025,
                                                           0xEEC001A4, 0xEEC0000C};
constexpr std::array<std::uint32_t, 1> kMordanSlotLists{0xEEC00021};
constexpr std::array<std::uint32_t, 3> kMordanEmptiedLists{0xEEC001A4, 0xEEC0000C, 0xEEC00021};

constexpr tDetachedObjectPass kTrelixChassisPass{
    vddb::guidLiteral("642eaeb9-aa16-3a36-a6e3-f7abee2fd50d"),
    0x20C00021,
    kTrelixSlotLists,
    kTrelixEmptiedLists,
    0x20C00023,
    vddb::guidLiteral("ef389d48-09e3-3fe8-d3d6-b558427a533c"),
    tReferrerReadStatus::passStatus,
    "P0201",
};

constexpr tDetachedObjectPass kMordanConnectorBlockPass{
    vddb::guidLiteral("291a27e9-f917-3e4c-7a86-e006a9eb67c9"),
    0x20C0001F,
    kMordanSlotLists,
    kMordanEmptiedLists,
    0x20C00020,
    vddb::guidLiteral("50b1b30a-5a5f-3fc8-1c7a-f6cad548e37f"),
    tReferrerReadStatus::freshStatusPerObject,
    "P0401",
};

// Deletes the slot entries that fail the kept-entry class test, one by one.
// `working` serves every slot list of the object; each read empties it.
void deleteFailingSlotEntries(IkorrinStorage* storage, IStorageObject* object,
                              const tDetachedObjectPass& pass, ObjectList& working,
                              std::int32_t& code) {
  for (const std::uint32_t slotList : pass.testedSlotLists) {
    vddb::store::readKindObjectList(object, slotList, kSlotListKind, working, code);
    for (IStorageObject* entry : working) {
      if (!isGood(code)) return;
      std::int32_t kept = 0;
      callStore(code, [&] { return entry->isOfClass(kIsOfClassFlag, &kKeptEntryClass, &kept); });
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
