// purgeIncompletelyLinkedObjects: two-way links (kTwoWayLinkClass) that lack
// one of their two ends.
//
// Checks: both ends, kTwoWayLinkFirstEnd and kTwoWayLinkSecondEnd, of each
// such object are set.
// Needs: the storage and the pass status.
// Changes: an object without a first end is deleted with what it owns. One
// with a first end but no second end has its first end cleared, so that the
// deletion's walk does not reach the object it names, and is then deleted
// with what it still owns.
// Failure: every call uses the pass status; once it holds an error no
// further object is looked at and nothing more is deleted.
//
// The sixth and ninth passes of the sequence, the unreferenced objects of
// kReferencedHolderClass and kReferencedSingleHolderClass, are
// purgeUnreferencedObjects (purge_unreferenced_objects.cpp) with the
// arguments given in the sequence.
#include <cstdint>

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

void purgeIncompletelyLinkedObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  if (!isGood(status)) return;

  ObjectList objects;
  vddb::store::collectObjectsOfClass(vddb::model::kTwoWayLinkClass, storage.get(), objects, status);
  for (IStorageObject* object : objects) {
    if (!isGood(status)) break;

    const tScopedRef<IStorageObject> first =
        vddb::store::getReference(object, vddb::model::kTwoWayLinkFirstEnd, status.code);
    if (!first) {
      if (!isGood(status)) continue;
      const GUID reported = guidForReport(object);
      vddb::store::deleteWithOwned(storage.get(), object);
      reportProblem("P0701", reported, [&](tProblemRecord& record) {
        record.reference = vddb::model::kTwoWayLinkFirstEnd;
      });
      continue;
    }
    if (vddb::store::getReference(object, vddb::model::kTwoWayLinkSecondEnd, status.code)) continue;

    vddb::store::callStore(status.code, [&] {
      return object->setReference(vddb::model::kTwoWayLinkFirstEnd, nullptr);
    });
    if (!isGood(status)) continue;
    const GUID reported = guidForReport(object);
    vddb::store::deleteWithOwned(storage.get(), object);
    reportProblem("P0702", reported, [&](tProblemRecord& record) {
      record.reference = vddb::model::kTwoWayLinkSecondEnd;
    });
  }
}

}  // namespace tUpgradeDowngradeMgr
