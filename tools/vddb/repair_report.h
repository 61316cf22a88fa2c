// The report of a repair or a preview as vddb shows it: what each pass did
// and one record per change, with the evidence and the objects it removed.
//
// The collector is the passes' report sink and the engine's change observer
// at once: the engine tells it every object deleted and every value
// changed, and each record the passes make claims the changes since the
// record before it. So a record says exactly which objects went with it,
// a record whose change did not happen (a removal that failed) is dropped,
// and changes that no record claims show up in `unclaimed`.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "repair/pass_sequence.h"
#include "repair/report.h"

namespace vddb::tool {

struct ReportedValue {
  GUID object{};
  std::uint32_t attribute = 0;
};

struct ReportedProblem {
  const tUpgradeDowngradeMgr::tProblemKind* kind = nullptr;
  std::string passName;
  std::string message;  // the kind's message with the record's fields
  GUID object{};
  bool hasObject = false;
  GUID objectClass{};
  bool hasClass = false;
  std::vector<GUID> deleted;           // the objects that went with this change, in order
  std::vector<ReportedValue> changed;  // values changed on objects that stay
  std::uint32_t ownedDeleted = 0;      // deleted besides the object itself
  // The evidence, as text, in a fixed order of names (slots, lists,
  // reference, key, first, number, name, call, code); only those the kind uses.
  std::vector<std::pair<std::string, std::string>> evidence;
};

struct ReportedPass {
  std::uint32_t row = 0;
  std::string name;
  std::uint32_t problems = 0;  // change records, not counting a "pass ended" one
  bool endedEarly = false;
  std::int32_t status = 0;
};

struct RepairRun {
  std::vector<ReportedPass> passes;
  std::vector<ReportedProblem> problems;
  std::vector<GUID> unclaimedDeleted;
  std::vector<ReportedValue> unclaimedChanged;

  std::size_t changeCount() const;  // records that changed something
  bool anyPassEndedEarly() const;
};

class ReportCollector final : public tUpgradeDowngradeMgr::tRepairReport,
                              public engine::ChangeObserver {
 public:
  // Records into `run`, which must outlive the collector's use.
  explicit ReportCollector(RepairRun& run) : _run(run) {}

  void passStarted(const tUpgradeDowngradeMgr::tPassRow& row) noexcept override;
  void problem(const tUpgradeDowngradeMgr::tProblemRecord& record) noexcept override;
  void passEnded(const tUpgradeDowngradeMgr::tPassRow& row, std::int32_t status) noexcept override;

  void objectDeleted(const GUID& object, const GUID& objectClass) noexcept override;
  void valueChanged(const GUID& object, std::uint32_t attribute) noexcept override;
  void callFailed(const char* call, HRESULT result) noexcept override;
  bool describeCommit(engine::CommitNote& note) noexcept override;

  // Memory ran out for a record: the run's report is incomplete.
  bool failed() const noexcept { return _failed; }

 private:
  void claimPending();

  RepairRun& _run;
  struct Deletion {
    GUID object;
    GUID objectClass;
  };
  std::vector<Deletion> _pendingDeleted;
  std::vector<ReportedValue> _pendingChanged;
  // The pass's last failing store call: named in a "pass ended" record when
  // the pass ended with its result.
  const char* _lastFailedCall = nullptr;
  HRESULT _lastFailedResult = S_OK;
  bool _failed = false;  // the collector ran out of memory: the report is incomplete
};

// "P0102 saved Trelix chassis {…} removed: …": one line of a text report.
std::string problemLine(const ReportedProblem& problem);

// The text report: runs, each with its problems grouped by pass and a summary.
void writeTextReport(std::ostream& out, const std::vector<RepairRun>& runs);

// Appends one problem record as the JSON report and the journal hold it,
// without the JSON library (see appendJsonString).
void appendProblemJson(std::string& out, const ReportedProblem& problem);

// The JSON report (format "vddb-report/1", docs/vddb.md).
void writeJsonReport(std::ostream& out, const std::string& command, const std::string& store,
                     const std::vector<RepairRun>& runs, const std::string& outcome, int exitCode);

}  // namespace vddb::tool
