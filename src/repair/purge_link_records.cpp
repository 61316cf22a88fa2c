// The last two passes: incomplete and duplicated link records.
//
// A link record (kLinkRecordClass) names a first object
// (kLinkRecordFirstObject), a second object (kLinkRecordSecondObject) and
// carries a number (kLinkRecordNumber).
//
// purgeIncompleteLinkRecords
//   Checks: every link record names both objects; every link target
//   (kLinkTargetClass) is named as second object by some complete record.
//   Needs: the storage; the pass status, which it shares with the next pass.
//   Changes: deletes (each object alone) the incomplete link records, then
//   the link targets that no complete record names.
//   Failure: every call uses the pass status; once it holds an error nothing
//   more is read or deleted. When the list of named second objects (or its
//   hash index) cannot grow, the status becomes StatusNoMemory after the
//   first phase, so no object is deleted for want of a recorded GUID.
//
// purgeDuplicateLinkRecords
//   Checks: no two link records agree in first object and number.
//   Needs: the storage; the status the previous pass left (an error there
//   makes this pass do nothing).
//   Changes: deletes every member of every such group, the first included.
//   Each record's first-object GUID and number are read once and the groups
//   found through a hash index; the deletion requests, repeats included, are
//   those of comparing every record with every later one (docs/passes.md).
//   Failure: the reads use the pass status; once it holds an error nothing
//   is deleted. Each deletion runs on a copy of the pass status, so one
//   failed deletion is dropped and the others still happen.
#include <cstdint>

#include "repair/link_record_search.h"
#include "repair/passes.h"
#include "repair/report.h"
#include "status/status_rules.h"
#include "store/growable_array.h"
#include "store/guid.h"
#include "store/guid_list.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/wrappers.h"

namespace tUpgradeDowngradeMgr {

namespace {

using vddb::store::callStore;

GUID objectGuidOf(IStorageObject* object, std::int32_t& code) {
  GUID guid{};
  callStore(code, [&] { return object->getObjectGuid(&guid); });
  return guid;
}

// Deletes one object by its GUID; what the store hands back is released
// unused. Returns the GUID.
GUID deleteSingle(IkorrinStorage* storage, IStorageObject* object, std::int32_t& code) {
  const GUID guid = objectGuidOf(object, code);
  vddb::store::deleteObject(storage, guid, code);
  return guid;
}

// An incomplete record deleted: the reference it lacks.
void reportIncomplete(const char* problem, const GUID& record, std::uint32_t reference,
                      std::int32_t code) noexcept {
  if (!isGood(code)) return;
  reportProblem(problem, record, [&](tProblemRecord& r) { r.reference = reference; });
}

bool refersToAnObject(IStorageObject* object, std::uint32_t reference, std::int32_t& code) {
  return static_cast<bool>(vddb::store::getReference(object, reference, code));
}

}  // namespace

void purgeIncompleteLinkRecords(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  if (!isGood(status)) return;

  ObjectList records;
  vddb::store::collectObjectsOfClass(vddb::model::kLinkRecordClass, storage.get(), records, status);

  // The GUIDs of the named second objects, with a hash index of the list's
  // distinct entries so that looking one up does not scan the list.
  GuidList named;
  tGuidKeyIndex namedIndex;
  namedIndex.reserve(records.size());  // a failure shows in the flag below
  for (IStorageObject* record : records) {
    if (!isGood(status)) break;
    if (!refersToAnObject(record, vddb::model::kLinkRecordFirstObject, status.code)) {
      if (!isGood(status)) break;
      const GUID deleted = deleteSingle(storage.get(), record, status.code);
      reportIncomplete("P1101", deleted, vddb::model::kLinkRecordFirstObject, status.code);
      continue;
    }
    tScopedRef<IStorageObject> second =
        vddb::store::getReference(record, vddb::model::kLinkRecordSecondObject, status.code);
    if (!second) {
      if (!isGood(status)) break;
      const GUID deleted = deleteSingle(storage.get(), record, status.code);
      reportIncomplete("P1102", deleted, vddb::model::kLinkRecordSecondObject, status.code);
      continue;
    }
    const GUID secondGuid = objectGuidOf(second.get(), status.code);
    if (named.append(secondGuid)) {
      bool inserted = false;
      namedIndex.findOrInsert(secondGuid, 0, static_cast<std::uint32_t>(named.size() - 1),
                              inserted);
    }
  }
  if (named.allocationFailed() || namedIndex.allocationFailed()) recordNoMemory(status.code);
  if (!isGood(status)) return;

  ObjectList namedObjects;
  vddb::store::collectObjectsOfClass(vddb::model::kLinkTargetClass, storage.get(), namedObjects,
                                     status);
  for (IStorageObject* object : namedObjects) {
    if (!isGood(status)) break;
    const GUID guid = objectGuidOf(object, status.code);
    if (isGood(status) && namedIndex.find(guid, 0) == nullptr) {
      vddb::store::deleteObject(storage.get(), guid, status.code);
      if (isGood(status)) reportProblem("P1103", guid);
    }
  }
}

void purgeDuplicateLinkRecords(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  if (!isGood(status)) return;

  ObjectList records;
  vddb::store::collectObjectsOfClass(vddb::model::kLinkRecordClass, storage.get(), records, status);
  if (!isGood(status) || records.empty()) return;

  // One read of each record, in collection order: first object, its GUID,
  // the number.
  tGrowableArray<tLinkRecordKey> keys;
  if (!keys.reserve(records.size())) {
    recordNoMemory(status.code);
    return;
  }
  for (IStorageObject* record : records) {
    tLinkRecordKey key;
    if (tScopedRef<IStorageObject> first =
            vddb::store::getReference(record, vddb::model::kLinkRecordFirstObject, status.code)) {
      key.hasFirstObject = true;
      key.firstObject = objectGuidOf(first.get(), status.code);
    }
    callStore(status.code,
              [&] { return record->getInteger(vddb::model::kLinkRecordNumber, &key.number); });
    if (!isGood(status)) return;  // a failed search deletes nothing
    keys.append(key);             // room was reserved
  }

  tGrowableArray<std::uint32_t> doomed;
  if (!findDuplicateLinkRecords(keys.data(), keys.size(), doomed)) {
    recordNoMemory(status.code);
    return;
  }

  // For the report: each doomed record's GUID, taken before any of them
  // goes, so that a record can name the one it duplicates (its partner in
  // the pair that doomed it).
  tGrowableArray<GUID> doomedGuids;
  if (activeReport() != nullptr && doomedGuids.reserve(doomed.size())) {
    for (const std::uint32_t position : doomed) {
      std::int32_t readCode = 0;
      doomedGuids.append(objectGuidOf(records[position], readCode));
    }
  }

  // A repeated request for a record already deleted fails and is dropped
  // with its own status.
  for (std::size_t k = 0; k < doomed.size(); ++k) {
    const std::uint32_t position = doomed.data()[k];
    tStatus2 deletionStatus(status);
    const GUID deleted = deleteSingle(storage.get(), records[position], deletionStatus.code);
    if (!isGood(deletionStatus)) continue;
    reportProblem("P1201", deleted, [&](tProblemRecord& record) {
      record.keyGuid = keys.data()[position].firstObject;
      record.hasKeyGuid = true;
      record.number = keys.data()[position].number;
      const std::size_t partner = k ^ 1U;
      if (partner < doomedGuids.size()) {
        record.first = doomedGuids.data()[partner];
        record.hasFirst = true;
      }
    });
  }
}

}  // namespace tUpgradeDowngradeMgr
