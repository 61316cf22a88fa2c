// Where a repair's time goes: runs the twelve passes on the store
// $VARKEL_DDB_PATH, opened as vddb-repair opens it (the configuration
// library's initialize, its page cache included), one row at a time, and
// prints each pass's wall and CPU time. Everything is rolled back, so the
// same store can be measured again. bench/scale runs it beside vddb-repair.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <span>

#include "repair/pass_sequence.h"
#include "status/status_rules.h"
#include "store/configuration.h"
#include "store/scoped_ref.h"

int main() {
  tStatus2 status;
  tMHWConfiguration* configuration = tMHWConfiguration::initialize(nullptr, 64, status);
  if (configuration == nullptr) {
    std::fprintf(stderr, "vddb_pass_times: cannot open the store (status %d)\n",
                 static_cast<int>(status.code));
    return 1;
  }
  tScopedRef<IkorrinStorage> storage =
      tScopedRef<IkorrinStorage>::share(configuration->getStorage(status));
  const std::span<const tUpgradeDowngradeMgr::tPassRow> rows =
      tUpgradeDowngradeMgr::repairPassTable();
  double totalWall = 0;
  double totalCpu = 0;
  std::printf("%-4s %-42s %10s %10s\n", "pass", "name", "wall s", "cpu s");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    tUpgradeDowngradeMgr::resetRepairPassesRunOnce();
    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    tStatus2 passStatus(status);
    tUpgradeDowngradeMgr::runRepairPassRows(rows.subspan(i, 1), storage, configuration, passStatus);
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    totalWall += wall;
    totalCpu += cpu;
    std::printf("%-4u %-42s %10.3f %10.3f\n", rows[i].order, rows[i].name, wall, cpu);
  }
  std::printf("%-4s %-42s %10.3f %10.3f\n", "", "all passes", totalWall, totalCpu);
  configuration->revertConfiguration(status);
  storage.reset();
  configuration->finalize(status);
  return 0;
}
