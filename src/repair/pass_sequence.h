// The repair pass sequence: runs the repair passes once per process, in one
// fixed order, over the opened configuration and its storage.
//
// What it guarantees:
//   - nothing runs when the transaction status holds an error (and such a
//     call does not count as the one run);
//   - a second call in the same process runs nothing;
//   - every row gets a fresh copy of the transaction status, made right
//     before it and dropped right after it; a row marked as sharing hands
//     its copy on to the next row (the two link-record passes);
//   - the transaction status itself is never written, so a failing pass
//     stops only itself and never prevents the save.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <variant>

#include "repair/report.h"
#include "status/tStatus2.h"
#include "store/configuration.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"

namespace tUpgradeDowngradeMgr {

using tStoragePass = void (*)(tScopedRef<IkorrinStorage>& storage, tStatus2& status);
using tConfigurationStoragePass = void (*)(tMHWConfiguration& configuration,
                                           tScopedRef<IkorrinStorage>& storage, tStatus2& status);
using tConfigurationPass = void (*)(tMHWConfiguration& configuration, tStatus2& status);

// One row of the sequence. Build rows with the three factories below, e.g.
//   storagePass(1, "name", &pass)  or  storagePass(6, "name", [](auto& s, auto& st) {...})
struct tPassRow {
  std::uint32_t order = 0;     // position in the fixed order, 1-based, ascending in a table
  const char* name = nullptr;  // the pass's name, for readers and tests
  // The pass, in one of its three shapes: what it is given is what it needs.
  std::variant<tStoragePass, tConfigurationStoragePass, tConfigurationPass> pass;
  // The pass is called only while its pass status holds no error.
  bool onlyOnGoodStatus = false;
  // The next row runs with this row's pass status instead of a fresh copy.
  bool sharesStatusWithNext = false;
};

constexpr tPassRow storagePass(std::uint32_t order, const char* name, tStoragePass pass,
                               bool sharesStatusWithNext = false) {
  return tPassRow{order, name, pass, false, sharesStatusWithNext};
}

constexpr tPassRow configurationStoragePass(std::uint32_t order, const char* name,
                                            tConfigurationStoragePass pass) {
  return tPassRow{order, name, pass};
}

constexpr tPassRow configurationPass(std::uint32_t order, const char* name, tConfigurationPass pass,
                                     bool onlyOnGoodStatus = false) {
  return tPassRow{order, name, pass, onlyOnGoodStatus};
}

// The sequence as it runs: the rows whose passes exist, in order.
std::span<const tPassRow> repairPassTable() noexcept;

// Runs the table once per process. `storage` may be empty only when
// `status` holds an error. `configuration` is used by configuration rows;
// a configuration row is skipped when it is null.
void runRepairPasses(tScopedRef<IkorrinStorage>& storage, tMHWConfiguration* configuration,
                     tStatus2& status);

// The same with given rows, under the same run-once flag. With a report,
// each row's start and end reach it, every change the passes make is
// recorded there, and a row whose pass status turned to an error adds the
// record of its "pass ended" kind (P<row>99) with that code.
void runRepairPassRows(std::span<const tPassRow> rows, tScopedRef<IkorrinStorage>& storage,
                       tMHWConfiguration* configuration, tStatus2& status,
                       tRepairReport* report = nullptr);

// Forgets that the sequence has run in this process. For tests, and for
// tools that run one repair after another, each in a transaction of its
// own, as separate processes of the repair tool would.
void resetRepairPassesRunOnce() noexcept;
// Whether the sequence has started in this process.
bool repairPassesHaveRun() noexcept;

}  // namespace tUpgradeDowngradeMgr
