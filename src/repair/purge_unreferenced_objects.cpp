// The step that deletes the objects of a class that nothing refers to, shared
// by the detached-object passes (their phase 2) and the sixth and ninth rows.
//
//   Checks: each object of the class has at least one referrer.
//   Changes: an unreferenced object is unlinked (kOwnedObjectList emptied, or
//   one reference cleared) and deleted with what it owns.
//   Failure: with the pass-status variant a failed referrer read ends all
//   further changes. With a fresh status per object, an object whose
//   referrers cannot be read is left as it is - a transient failure must not
//   destroy a referenced object - and the pass goes on with the next one.
#include <cstdint>

#include "repair/passes.h"
#include "repair/report.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/readers.h"
#include "store/storage_walk.h"
#include "store/wrappers.h"

namespace tUpgradeDowngradeMgr {

namespace {

using vddb::store::callStore;

// The code of an unreferenced object's deletion: the step serves four rows.
const char* unreferencedProblem() noexcept {
  switch (activeReportRow()) {
    case 2:
      return "P0202";
    case 4:
      return "P0402";
    case 9:
      return "P0901";
    default:
      return "P0601";
  }
}

}  // namespace

void purgeUnreferencedObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status,
                              const GUID& objectClass, tReferrerReadStatus referrerReadStatus,
                              tUnlinking unlinking, std::uint32_t clearedReference) {
  if (!isGood(status)) return;

  ObjectList objects;
  vddb::store::collectObjectsOfClass(objectClass, storage.get(), objects, status);
  for (IStorageObject* object : objects) {
    if (!isGood(status)) break;

    ObjectList referrers;
    if (referrerReadStatus == tReferrerReadStatus::freshStatusPerObject) {
      // A failed read stays with this object: it is left as it is.
      tStatus2 readStatus;
      vddb::store::readObjectList(object, vddb::model::kReferrerList, referrers, readStatus.code);
      if (!isGood(readStatus)) continue;
    } else {
      vddb::store::readObjectList(object, vddb::model::kReferrerList, referrers, status.code);
      if (!isGood(status)) break;
    }
    if (!referrers.empty()) continue;

    if (unlinking == tUnlinking::emptyOwnedObjectList) {
      const ObjectList empty;
      vddb::store::writeObjectList(object, vddb::model::kOwnedObjectList, empty, status.code);
    } else {
      callStore(status.code, [&] { return object->setReference(clearedReference, nullptr); });
    }
    if (!isGood(status)) continue;
    const GUID reported = guidForReport(object);
    vddb::store::deleteWithOwned(storage.get(), object);
    reportProblem(unreferencedProblem(), reported,
                  [&](tProblemRecord& record) { record.reference = vddb::model::kReferrerList; });
  }
}

}  // namespace tUpgradeDowngradeMgr
