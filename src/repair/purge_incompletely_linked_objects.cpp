// purgeIncompletelyLinkedObjects: objects of class 4aee07f0-... that lack one
// of their two references.
//
// Checks: both references 0x20C0001E and 0x20C0001F of each such object are
// set.
// Needs: the storage and the pass status.
// Changes: an object without 0x20C0001E is deleted with what it owns; one
// with 0x20C0001E but without 0x20C0001F first has 0x20C0001E cleared, so
// that the deletion's walk does not reach the object it names, and is then
// deleted with what it still owns.
// Failure: every call uses the pass status; once it holds an error no
// further object is looked at and nothing more is deleted.
//
// The sixth and ninth passes of the sequence, the unreferenced objects of
// classes 08e33cd6-... and dc48bd6a-..., are purgeUnreferencedObjects
// (purge_detached_objects.cpp) with the arguments given in the sequence.
#include <cstdint>

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

constexpr GUID kTwoWayLinkClass = vddb::guidLiteral("4aee07f0-608e-3fd2-7a26-b8207214f283");
constexpr std::uint32_t kFirstReference = 0x20C0001E;
constexpr std::uint32_t kSecondReference = 0x20C0001F;

}  // namespace

void purgeIncompletelyLinkedObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  if (!isGood(status)) return;

  ObjectList objects;
  vddb::store::collectObjectsOfClass(kTwoWayLinkClass, storage.get(), objects, status);
  for (IStorageObject* object : objects) {
    if (!isGood(status)) break;

    const tScopedRef<IStorageObject> first =
        vddb::store::getReference(object, kFirstReference, status.code);
    if (!first) {
      if (!isGood(status)) continue;
      const GUID reported = guidForReport(object);
      vddb::store::deleteWithOwned(storage.get(), object);
      reportProblem("P0701", reported,
                    [&](tProblemRecord& record) { record.reference = kFirstReference; });
      continue;
    }
    if (vddb::store::getReference(object, kSecondReference, status.code)) continue;

    vddb::store::callStore(status.code,
                           [&] { return object->setReference(kFirstReference, nullptr); });
    if (!isGood(status)) continue;
    const GUID reported = guidForReport(object);
    vddb::store::deleteWithOwned(storage.get(), object);
    reportProblem("P0702", reported,
                  [&](tProblemRecord& record) { record.reference = kSecondReference; });
  }
}

}  // namespace tUpgradeDowngradeMgr
