// The repair pass sequence.
//
// Order of the passes (the rows of kPassTable):
//    1 checkTrelixChassisSlots                   configuration, storage
//    2 purgeDetachedTrelixChassisObjects         storage
//    3 checkMordanConnectorBlockSlots            configuration, storage
//    4 purgeDetachedMordanConnectorBlockObjects  storage
//    5 checkQuentaChassisSlots                   configuration, storage
//    6 purgeUnreferencedObjects                  storage; kReferencedHolderClass
//    7 purgeIncompletelyLinkedObjects            storage
//    8 disconnectDuplicateAccessories            configuration; only on a good pass status
//    9 purgeUnreferencedObjects                  storage; kReferencedSingleHolderClass
//   10 sweepOrphanObjects                        storage
//   11 purgeIncompleteLinkRecords                storage; shares its status with row 12
//   12 purgeDuplicateLinkRecords                 storage
//
// The passes are independent: each works on its own copy of the transaction
// status, so one failing pass neither stops the next nor reaches the
// transaction, whose status alone decides between saving and reverting.
#include "repair/pass_sequence.h"

#include <type_traits>
#include <variant>

#include "repair/passes.h"
#include "status/status_rules.h"
#include "store/model_ids.h"

namespace tUpgradeDowngradeMgr {

namespace {

// Rows 6 and 9: the shared step with the arguments of their row.
void purgeUnreferencedObjectsSixthPass(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  purgeUnreferencedObjects(storage, status, vddb::model::kReferencedHolderClass,
                           tReferrerReadStatus::freshStatusPerObject,
                           tUnlinking::emptyOwnedObjectList, 0);
}
void purgeUnreferencedObjectsNinthPass(tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  purgeUnreferencedObjects(storage, status, vddb::model::kReferencedSingleHolderClass,
                           tReferrerReadStatus::passStatus, tUnlinking::clearReference,
                           vddb::model::kSingleHolderOwnedObject);
}

// Adding a pass is one line here, at its place in the order.
// clang-format off
constexpr std::initializer_list<tPassRow> kPassTable = {
    configurationStoragePass(1, "checkTrelixChassisSlots", &checkTrelixChassisSlots),
    storagePass(2, "purgeDetachedTrelixChassisObjects", &purgeDetachedTrelixChassisObjects),
    configurationStoragePass(3, "checkMordanConnectorBlockSlots", &checkMordanConnectorBlockSlots),
    storagePass(4, "purgeDetachedMordanConnectorBlockObjects", &purgeDetachedMordanConnectorBlockObjects),
    configurationStoragePass(5, "checkQuentaChassisSlots", &checkQuentaChassisSlots),
    storagePass(6, "purgeUnreferencedObjects", &purgeUnreferencedObjectsSixthPass),
    storagePass(7, "purgeIncompletelyLinkedObjects", &purgeIncompletelyLinkedObjects),
    configurationPass(8, "disconnectDuplicateAccessories", &disconnectDuplicateAccessories, /*onlyOnGoodStatus=*/true),
    storagePass(9, "purgeUnreferencedObjects", &purgeUnreferencedObjectsNinthPass),
    storagePass(10, "sweepOrphanObjects", &sweepOrphanObjects),
    storagePass(11, "purgeIncompleteLinkRecords", &purgeIncompleteLinkRecords, /*sharesStatusWithNext=*/true),
    storagePass(12, "purgeDuplicateLinkRecords", &purgeDuplicateLinkRecords),
};
// clang-format on

constexpr bool numberedInOrder(std::initializer_list<tPassRow> rows) {
  std::uint32_t expected = 1;
  for (const tPassRow& row : rows) {
    if (row.order != expected++) return false;
  }
  return true;
}
static_assert(numberedInOrder(kPassTable), "rows must be numbered 1, 2, 3, ... in their order");

// Process-wide: the sequence runs at most once, whatever its outcome.
bool gRunOnce = false;

// The record of a row whose pass status turned to an error while it ran.
void reportPassEnded(tRepairReport& report, const tPassRow& row, std::int32_t code) noexcept {
  char problemCode[8] = "P0099";
  problemCode[1] = static_cast<char>('0' + row.order / 10 % 10);
  problemCode[2] = static_cast<char>('0' + row.order % 10);
  tProblemRecord record;
  record.kind = findProblem(problemCode);
  record.code = code;
  if (record.kind != nullptr) report.problem(record);
}

void runRow(const tPassRow& row, tScopedRef<IkorrinStorage>& storage,
            tMHWConfiguration* configuration, tStatus2& passStatus) {
  if (row.onlyOnGoodStatus && !isGood(passStatus)) return;
  std::visit(
      [&](auto pass) {
        using Pass = decltype(pass);
        if (pass == nullptr) return;
        if constexpr (std::is_same_v<Pass, tStoragePass>) {
          pass(storage, passStatus);
        } else if (configuration != nullptr) {
          if constexpr (std::is_same_v<Pass, tConfigurationStoragePass>) {
            pass(*configuration, storage, passStatus);
          } else {
            pass(*configuration, passStatus);
          }
        }
      },
      row.pass);
}

}  // namespace

std::span<const tPassRow> repairPassTable() noexcept {
  return {kPassTable.begin(), kPassTable.size()};
}

void runRepairPasses(tScopedRef<IkorrinStorage>& storage, tMHWConfiguration* configuration,
                     tStatus2& status) {
  runRepairPassRows(repairPassTable(), storage, configuration, status);
}

void runRepairPassRows(std::span<const tPassRow> rows, tScopedRef<IkorrinStorage>& storage,
                       tMHWConfiguration* configuration, tStatus2& status, tRepairReport* report) {
  // An error on entry does not count as the one run: a later, good call runs.
  if (!isGood(status)) return;
  if (gRunOnce) return;
  gRunOnce = true;
  const tActiveReportScope reporting(report);

  std::size_t next = 0;
  while (next < rows.size()) {
    tStatus2 passStatus(status);
    bool sharesWithNext = false;
    do {
      const tPassRow& row = rows[next++];
      if (report == nullptr) {
        runRow(row, storage, configuration, passStatus);
      } else {
        const bool goodBefore = isGood(passStatus);
        setActiveReportRow(row.order);
        report->passStarted(row);
        runRow(row, storage, configuration, passStatus);
        if (goodBefore && !isGood(passStatus)) reportPassEnded(*report, row, passStatus.code);
        report->passEnded(row, passStatus.code);
      }
      sharesWithNext = row.sharesStatusWithNext;
    } while (sharesWithNext && next < rows.size());
  }
}

void resetRepairPassesRunOnce() noexcept { gRunOnce = false; }
bool repairPassesHaveRun() noexcept { return gRunOnce; }

}  // namespace tUpgradeDowngradeMgr
