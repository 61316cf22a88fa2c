#include "repair/report.h"

namespace tUpgradeDowngradeMgr {

namespace {
// One run at a time, on the one thread that runs the passes.
tRepairReport* gActiveReport = nullptr;
std::uint32_t gActiveRow = 0;
}  // namespace

tRepairReport* activeReport() noexcept { return gActiveReport; }
std::uint32_t activeReportRow() noexcept { return gActiveRow; }
void setActiveReportRow(std::uint32_t row) noexcept { gActiveRow = row; }

tActiveReportScope::tActiveReportScope(tRepairReport* report) noexcept
    : _previous(gActiveReport), _previousRow(gActiveRow) {
  gActiveReport = report;
  gActiveRow = 0;
}

tActiveReportScope::~tActiveReportScope() {
  gActiveReport = _previous;
  gActiveRow = _previousRow;
}

}  // namespace tUpgradeDowngradeMgr
