#include "app/repair_transaction.h"

#include "status/status_rules.h"

namespace vddb::app {

void runRepairTransaction(bool& storeReached, tStatus2& status) {
  runRepairTransaction(storeReached, status, tTransactionCalls{});
}

namespace {

template <class RunPasses>
void finishTransaction(tMHWConfiguration* configuration, tStatus2& status, tTransactionEnd end,
                       RunPasses&& runPasses) {
  {
    // The configuration lends the storage; the passes run on a reference of
    // our own, given back before the configuration is saved or reverted.
    tScopedRef<IkorrinStorage> storage;
    if (IkorrinStorage* lent = configuration->getStorage(status)) {
      storage = tScopedRef<IkorrinStorage>::share(lent);
    } else if (isGood(status)) {
      status.code = kNoStorageCode;
    }
    runPasses(storage, configuration, status);
  }
  if (isGood(status) && end == tTransactionEnd::saveWhenGood) {
    configuration->saveConfiguration(status);
  }
  if (!isGood(status) || end == tTransactionEnd::alwaysRevert) {
    tStatus2 revertStatus;
    configuration->revertConfiguration(revertStatus);
  }
  tStatus2 finalizeStatus;
  configuration->finalize(finalizeStatus);
}

}  // namespace

void repairOpenedConfiguration(tMHWConfiguration& configuration, tStatus2& status,
                               tUpgradeDowngradeMgr::tRepairReport* report, tTransactionEnd end) {
  finishTransaction(&configuration, status, end,
                    [report](tScopedRef<IkorrinStorage>& storage, tMHWConfiguration* opened,
                             tStatus2& transactionStatus) {
                      tUpgradeDowngradeMgr::runRepairPassRows(
                          tUpgradeDowngradeMgr::repairPassTable(), storage, opened,
                          transactionStatus, report);
                    });
}

void runRepairTransaction(bool& storeReached, tStatus2& status, const tTransactionCalls& calls) {
  tMHWConfiguration* configuration = calls.open(nullptr, 64, status);
  if (isGood(status) && configuration == nullptr) status.code = kNoConfigurationCode;
  if (!isGood(status)) {
    // Not opened: nothing to repair, save or finalize; the loop tries again.
    storeReached = false;
    return;
  }
  storeReached = true;

  {
    // The configuration lends the storage; the passes run on a reference of
    // our own, given back before the configuration is saved or reverted.
    tScopedRef<IkorrinStorage> storage;
    if (IkorrinStorage* lent = configuration->getStorage(status)) {
      storage = tScopedRef<IkorrinStorage>::share(lent);
    } else if (isGood(status)) {
      status.code = kNoStorageCode;
    }
    calls.runPasses(storage, configuration, status);
  }

  if (isGood(status)) configuration->saveConfiguration(status);
  if (!isGood(status)) {
    tStatus2 revertStatus;
    configuration->revertConfiguration(revertStatus);
  }
  tStatus2 finalizeStatus;
  configuration->finalize(finalizeStatus);
}

}  // namespace vddb::app
