// One repair transaction: one attempt of the retry loop.
//
// Opens the configuration; when that fails the attempt did not reach the
// store and nothing else happens. Otherwise: obtain the storage and hold one
// reference of our own on it while the passes run, release it, save when the
// status holds no error, revert when it does (or the save failed), and
// finalize in every case. The revert and finalize outcomes are dropped.
#pragma once

#include <cstdint>

#include "repair/pass_sequence.h"
#include "status/tStatus2.h"
#include "store/com.h"
#include "store/configuration.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"

namespace vddb::app {

// Recorded when getStorage reports no error but hands out no storage: the
// passes need one, so the configuration is reverted and the run fails.
// 0x80004003 (E_POINTER).
inline constexpr std::int32_t kNoStorageCode = static_cast<std::int32_t>(0x80004003U);
// Recorded when initialize reports no error but hands out no configuration:
// the attempt counts as not having reached the store. 0x80004003 as well.
inline constexpr std::int32_t kNoConfigurationCode = static_cast<std::int32_t>(0x80004003U);

using tConfigurationOpener = tMHWConfiguration* (*)(const wchar_t* reserved, std::uint32_t flags,
                                                    tStatus2& status);
using tPassRunner = void (*)(tScopedRef<IkorrinStorage>& storage, tMHWConfiguration* configuration,
                             tStatus2& status);

// What the transaction calls out to; the defaults are the real library and
// the real pass sequence.
struct tTransactionCalls {
  tConfigurationOpener open = &tMHWConfiguration::initialize;
  tPassRunner runPasses = &tUpgradeDowngradeMgr::runRepairPasses;
};

// `storeReached` tells the loop whether the configuration could be opened;
// `status` (arriving as success) receives the outcome.
void runRepairTransaction(bool& storeReached, tStatus2& status);
void runRepairTransaction(bool& storeReached, tStatus2& status, const tTransactionCalls& calls);

// How a transaction over an open configuration ends.
enum class tTransactionEnd {
  saveWhenGood,  // the repair: save when the status holds no error, else revert
  alwaysRevert,  // a preview: the same passes, then every change reverted
};

// The transaction after the configuration is open, for tools that open it
// themselves: the same storage handling, passes and save-or-revert rule as
// the repair tool, with the passes reporting to `report` (may be null).
// Finalizes the configuration. `status` receives the outcome: the passes'
// failures never reach it; a missing storage or a failed save does.
void repairOpenedConfiguration(tMHWConfiguration& configuration, tStatus2& status,
                               tUpgradeDowngradeMgr::tRepairReport* report, tTransactionEnd end);

}  // namespace vddb::app
