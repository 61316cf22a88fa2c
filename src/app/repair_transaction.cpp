#include "app/repair_transaction.h"

#include "status/status_rules.h"

namespace vddb::app {

void runRepairTransaction(bool& storeReached, tStatus2& status) {
  runRepairTransaction(storeReached, status, tTransactionCalls{});
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
