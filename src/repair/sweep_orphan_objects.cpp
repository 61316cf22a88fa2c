// The orphan sweep: sweepOrphanObjects.
//
// Checks:  every name reference (kNameReferenceClass) whose
//          kNameReferenceState is 0 names, in its kReferredName, a named
//          object (kNamedObjectClass, kNamedObjectName equal to that name).
//          An object without a name is searched for with the empty text.
// Needs:   the storage; nothing from earlier passes.
// Changes: deletes, one by one with deleteObject, each swept object for which
//          the match query finds nothing. Only one swept object, its name and
//          its match query are held at a time; no table of names is built.
// Failure: every failure (storage results, the name's memory) goes into the
//          sweep status; from then on no object is opened, searched or
//          deleted, and the enumeration of the swept class is abandoned. A
//          failing Next of a match enumeration is recorded like any other
//          storage failure, and that object stays.
#include <cstdint>

#include "repair/passes.h"
#include "repair/report.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/readers.h"
#include "store/wide_string.h"
#include "store/wrappers.h"

namespace tUpgradeDowngradeMgr {

namespace {

// Only name references whose state has this value are examined.
constexpr std::int32_t kConditionValue = 0;
// Both queries select exactly their class, not derived ones.
constexpr std::uint32_t kExactClass = 0;

// Next's result when it delivered fewer than asked: for one GUID, none.
constexpr HRESULT kNoneDelivered = 1;

// Examines one swept object and deletes it when its name matches nothing.
void sweepOne(IkorrinStorage* storage, const GUID& sweptGuid, std::int32_t& code) {
  // Released in reverse order of declaration: match enumerator, match query,
  // name, swept object.
  const tScopedRef<IStorageObject> swept = vddb::store::openObject(storage, sweptGuid, code);
  // An empty text already holds a block of its own; without it there is no
  // name to search for.
  tWideString name;
  if (name.allocationFailed()) recordNoMemory(code);
  if (swept && isGood(code)) vddb::store::readStringAttribute(swept.get(), name, code);

  const tScopedRef<IStorageQuery> match =
      vddb::store::createQuery(storage, vddb::model::kNamedObjectClass, kExactClass, code);
  if (match) vddb::store::addStringFilter(match.get(), name, code);
  const tScopedRef<IGuidEnumerator> matches = vddb::store::runQuery(storage, match.get(), code);
  if (!isGood(code) || !matches) return;

  GUID found{};
  std::uint32_t delivered = 0;
  const HRESULT next = matches->Next(1, &found, &delivered);
  if (next == kNoneDelivered) {
    tScopedRef<IUnknown> deletion = vddb::store::deleteObject(storage, sweptGuid, code);
    deletion.reset();  // handed back by the store, never used
    if (isGood(code)) {
      reportProblem("P1001", sweptGuid, [&](tProblemRecord& record) {
        record.name = std::u16string_view(name.begin(), name.size());
      });
    }
  } else {
    // A failing enumerator says nothing about the name: the object stays, and
    // the failure is kept like any other storage failure.
    recordStorageResult(code, next);
  }
}

}  // namespace

void sweepOrphanObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  if (!isGood(status)) return;
  // The pass needs the storage; a missing one can only come with an error.
  if (!storage) return;
  std::int32_t& code = status.code;

  const tScopedRef<IStorageQuery> swept =
      vddb::store::createQuery(storage.get(), vddb::model::kNameReferenceClass, kExactClass, code);
  if (swept) {
    vddb::store::callStore(code, [&] {
      return swept->addCondition(vddb::model::kNameReferenceState, kConditionValue);
    });
  }
  const tScopedRef<IGuidEnumerator> sweptObjects =
      vddb::store::runQuery(storage.get(), swept.get(), code);
  if (!isGood(code) || !sweptObjects) return;

  // The store snapshots the selection when the query runs, so deleting the
  // current object does not disturb the GUIDs still to come.
  GUID sweptGuid{};
  std::uint32_t delivered = 0;
  while (isGood(code) && sweptObjects->Next(1, &sweptGuid, &delivered) == S_OK) {
    sweepOne(storage.get(), sweptGuid, code);
  }
}

}  // namespace tUpgradeDowngradeMgr
