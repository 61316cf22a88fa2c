// vddb check and vddb repair: the twelve passes of the repair tool, through
// the same transaction code, with a report of every change.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "engine/engine.h"

namespace vddb::tool {

// Exit codes of check and repair, as file-system checkers use them.
inline constexpr int kExitClean = 0;         // nothing to repair
inline constexpr int kExitRepaired = 1;      // repair: repaired and saved
inline constexpr int kExitProblemsLeft = 4;  // check: problems found; repair: a pass ended early
inline constexpr int kExitOperational =
    8;  // missing, damaged, foreign or locked store; nothing saved
inline constexpr int kExitUsage = 16;

struct RepairCommand {
  std::string store;
  bool preview = false;  // check: run, report, revert
  bool json = false;
  unsigned waitSeconds = 0;  // how long to wait for a locked store
  bool untilClean = false;   // repair: repeat until a run changes nothing
  bool progress = false;     // draw the progress line on the error stream (a terminal)
};

// The most runs that --until-clean makes.
inline constexpr int kMaxCleanRuns = 8;

// Opens `store` for writing, waiting up to `waitSeconds` while another
// process holds it (saying so once on `err`, as "vddb NAME: ...", after
// clearing `line` when there is one).
class ProgressLine;
HRESULT openStoreWaiting(const std::string& store, unsigned waitSeconds, const char* name,
                         std::unique_ptr<engine::StoreSession>& session, std::ostream& err,
                         ProgressLine* line = nullptr);
// "store locked (0x80040A04)".
std::string describeResult(HRESULT hr);

// Runs the command; the report goes to `out`, errors to `err`.
int runRepairCommand(const RepairCommand& command, std::ostream& out, std::ostream& err);

}  // namespace vddb::tool
