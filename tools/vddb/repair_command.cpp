#include "repair_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <ostream>
#include <thread>
#include <vector>

#include "app/repair_transaction.h"
#include "engine/engine.h"
#include "hwconfig/hwconfig.h"
#include "progress.h"
#include "repair/pass_sequence.h"
#include "repair_report.h"
#include "status/status_rules.h"

namespace vddb::tool {

namespace {

using engine::StoreSession;

// As the repair tool waits for its store.
constexpr unsigned kRetrySeconds = 3;

}  // namespace

HRESULT openStoreWaiting(const std::string& store, unsigned waitSeconds, const char* name,
                         std::unique_ptr<engine::StoreSession>& session, std::ostream& err,
                         ProgressLine* line) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  bool said = false;
  for (;;) {
    const HRESULT hr = StoreSession::open(store, session);
    if (hr != engine::kStoreLocked || std::chrono::steady_clock::now() >= deadline) return hr;
    if (!said) {
      if (line != nullptr) line->clear();
      err << "vddb " << name << ": " << store << " is locked by another process; waiting up to "
          << waitSeconds << " seconds" << std::endl;
      said = true;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(left, std::chrono::seconds(kRetrySeconds)));
  }
}

std::string describeResult(HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return std::string(engine::resultName(hr)) + " (" + code + ")";
}

namespace {

// Passes the report on to the collector and shows on the progress line
// which pass runs: "repair: pass 5 of 12 purgeUnreferencedObjects".
class PassProgress final : public tUpgradeDowngradeMgr::tRepairReport {
 public:
  PassProgress(tUpgradeDowngradeMgr::tRepairReport& next, ProgressLine& line, std::string prefix,
               bool preview)
      : _next(next), _line(line), _prefix(std::move(prefix)), _preview(preview) {}

  void passStarted(const tUpgradeDowngradeMgr::tPassRow& row) noexcept override {
    draw("pass " + std::to_string(row.order) + " of " + std::to_string(_rows) + " " + row.name);
    _next.passStarted(row);
  }
  void problem(const tUpgradeDowngradeMgr::tProblemRecord& record) noexcept override {
    _next.problem(record);
  }
  void passEnded(const tUpgradeDowngradeMgr::tPassRow& row, std::int32_t status) noexcept override {
    _next.passEnded(row, status);
    // The save (or the revert of a preview) follows the last pass.
    if (row.order == _rows) draw(_preview ? "reverting" : "saving");
  }

 private:
  void draw(const std::string& what) noexcept {
    try {
      _line.draw(_prefix + what);
    } catch (const std::bad_alloc&) {
      // The line is only a display: without memory for it, the repair goes on.
    }
  }

  tUpgradeDowngradeMgr::tRepairReport& _next;
  ProgressLine& _line;
  std::string _prefix;
  bool _preview;
  const std::uint32_t _rows =
      static_cast<std::uint32_t>(tUpgradeDowngradeMgr::repairPassTable().size());
};

enum class RunOutcome { done, failed };

// One run: open, the passes with the report, save or revert, close.
// `number` counts the runs of --until-clean from 1.
RunOutcome runOnce(const RepairCommand& command, const char* name, int number, RepairRun& run,
                   std::ostream& err, ProgressLine& line) {
  const std::string prefix =
      std::string(name) + ": " + (number > 1 ? "run " + std::to_string(number) + ", " : "");
  // Opening reads the whole file (SQLite's quick check).
  line.draw(prefix + "checking the store file");
  std::unique_ptr<StoreSession> session;
  HRESULT hr = openStoreWaiting(command.store, command.waitSeconds, name, session, err, &line);
  line.clear();
  if (hr < 0) {
    err << "vddb " << name << ": " << command.store << ": " << describeResult(hr)
        << (hr == engine::kStoreLocked ? " (try --wait SECONDS)" : "") << "\n";
    return RunOutcome::failed;
  }
  if (command.preview) {
    // Storage damage is told apart from damage to the configuration: a
    // damaged file is reported as such before any pass reads it.
    std::vector<std::string> findings;
    hr = session->openingCheck(findings);
    if (hr < 0) {
      std::string said;
      for (const std::string& finding : findings) said += (said.empty() ? "" : "; ") + finding;
      err << "vddb " << name << ": " << command.store
          << ": the store file is damaged: " << (said.empty() ? describeResult(hr) : said) << "\n";
      return RunOutcome::failed;
    }
  }

  ReportCollector collector(run);
  session->setChangeObserver(&collector);
  PassProgress progress(collector, line, prefix, command.preview);
  tUpgradeDowngradeMgr::tRepairReport* report = &collector;
  if (line.on()) report = &progress;
  tUpgradeDowngradeMgr::resetRepairPassesRunOnce();
  tStatus2 status;
  tMHWConfiguration* configuration = hwconfig::openConfiguration(*session, nullptr, status);
  if (configuration != nullptr) {
    app::repairOpenedConfiguration(
        *configuration, status, report,
        command.preview ? app::tTransactionEnd::alwaysRevert : app::tTransactionEnd::saveWhenGood);
  }
  session->setChangeObserver(nullptr);
  line.clear();
  if (configuration == nullptr || !isGood(status)) {
    err << "vddb " << name << ": " << command.store
        << ": the repair could not be saved: " << describeResult(status.code)
        << "; nothing was changed\n";
    return RunOutcome::failed;
  }
  if (collector.failed()) {
    // Only a run that saved nothing gets here (a save is refused while the
    // report is incomplete), and a report that misses records cannot say
    // "clean".
    err << "vddb " << name << ": " << command.store
        << ": out of memory; the report is incomplete; nothing was changed\n";
    return RunOutcome::failed;
  }
  return RunOutcome::done;
}

}  // namespace

int runRepairCommand(const RepairCommand& command, std::ostream& out, std::ostream& err) {
  const char* name = command.preview ? "check" : "repair";
  std::vector<RepairRun> runs;
  int exitCode = kExitClean;
  const int maxRuns = command.untilClean ? kMaxCleanRuns : 1;
  bool failed = false;
  ProgressLine line(command.progress ? &err : nullptr);
  for (int i = 0; i < maxRuns; ++i) {
    RunOutcome outcome = RunOutcome::failed;
    bool added = false;
    try {
      runs.emplace_back();
      added = true;
      outcome = runOnce(command, name, i + 1, runs.back(), err, line);
    } catch (const std::bad_alloc&) {
      // Only before the save or after a failed one: the session, rolled
      // back on its way out, has saved nothing of this run.
      line.clear();
      err << "vddb " << name << ": " << command.store << ": out of memory; nothing was changed\n";
    }
    if (outcome == RunOutcome::failed) {
      failed = true;
      // A run that saved nothing has nothing to report.
      if (added) runs.pop_back();
      break;
    }
    const RepairRun& run = runs.back();
    if (run.changeCount() == 0 || run.anyPassEndedEarly()) break;
  }

  std::string outcome;
  if (failed) {
    exitCode = kExitOperational;
    outcome = runs.empty() ? "failed" : "failed after " + std::to_string(runs.size()) + " runs";
  } else {
    const RepairRun& last = runs.back();
    bool anyChange = false;
    for (const RepairRun& run : runs) anyChange = anyChange || run.changeCount() > 0;
    if (command.preview) {
      exitCode = anyChange || last.anyPassEndedEarly() ? kExitProblemsLeft : kExitClean;
      outcome = exitCode == kExitClean ? "clean" : "problems found";
    } else if (last.anyPassEndedEarly()) {
      exitCode = kExitProblemsLeft;
      outcome = "a pass ended early";
    } else if (command.untilClean && last.changeCount() > 0) {
      exitCode = kExitProblemsLeft;
      outcome = "still changing after " + std::to_string(kMaxCleanRuns) + " runs";
    } else {
      exitCode = anyChange ? kExitRepaired : kExitClean;
      outcome = anyChange ? "repaired" : "clean";
    }
  }

  try {
    if (command.json) {
      writeJsonReport(out, name, command.store, runs, outcome, exitCode);
    } else if (!runs.empty()) {
      writeTextReport(out, runs);
    }
  } catch (const std::bad_alloc&) {
    // The exit code still tells what became of the store.
    err << "vddb " << name << ": out of memory writing the report\n";
  }
  return exitCode;
}

}  // namespace vddb::tool
