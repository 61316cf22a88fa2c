#include "repair_report.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "encoding/quote.h"
#include "encoding/utf.h"
#include "store/guid.h"

namespace vddb::tool {

namespace {

using tUpgradeDowngradeMgr::tProblemRecord;
using tUpgradeDowngradeMgr::tRepairAction;

std::string hex32(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string codeText(std::int32_t code) {
  return std::to_string(code) + " (" + hex32(static_cast<std::uint32_t>(code)) + ")";
}

// A text of the store in a message: quoted and escaped, so that a line
// stays one line of sane length whatever the store holds.
std::string quoted(std::u16string_view text) {
  std::string utf8;
  encoding::appendUtf8(text, utf8);
  return encoding::quoteForMessage(utf8, 200);
}

// The value of one field of the message, or nothing when the record has none.
std::optional<std::string> fieldValue(std::string_view field, const tProblemRecord& record,
                                      const ReportedProblem& problem) {
  if (field == "object") {
    if (record.hasObject) return formatGuid(record.object);
  } else if (field == "class") {
    if (problem.hasClass) return formatGuid(problem.objectClass);
  } else if (field == "slots") {
    return std::to_string(record.slots);
  } else if (field == "lists") {
    std::string lists;
    for (std::size_t i = 0; i < record.listCount; ++i) {
      if (i > 0) lists += ", ";
      lists += std::to_string(record.listLengths[i]);
    }
    return lists;
  } else if (field == "reference") {
    return hex32(record.reference);
  } else if (field == "key") {
    if (record.hasKeyGuid) return formatGuid(record.keyGuid);
    return quoted(record.key);
  } else if (field == "first") {
    if (record.hasFirst) return formatGuid(record.first);
    return std::string("(unknown)");
  } else if (field == "number") {
    return std::to_string(record.number);
  } else if (field == "name") {
    return quoted(record.name);
  } else if (field == "call") {
    return std::string(record.call != nullptr ? record.call : "a store call");
  } else if (field == "code") {
    return codeText(record.code);
  }
  return std::nullopt;
}

// Fills the message and the evidence from the kind's template.
void describe(const tProblemRecord& record, ReportedProblem& problem) {
  const std::string_view text = problem.kind->message;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find('{', at);
    if (open == std::string_view::npos) {
      problem.message.append(text.substr(at));
      break;
    }
    const std::size_t close = text.find('}', open);
    problem.message.append(text.substr(at, open - at));
    const std::string_view field = text.substr(open + 1, close - open - 1);
    const std::optional<std::string> value = fieldValue(field, record, problem);
    problem.message += value ? *value : "?";
    if (value && field != "object") problem.evidence.emplace_back(std::string(field), *value);
    at = close + 1;
  }
}

bool sameGuid(const GUID& a, const GUID& b) { return compareGuids(a, b) == 0; }

}  // namespace

std::size_t RepairRun::changeCount() const {
  return static_cast<std::size_t>(
      std::count_if(problems.begin(), problems.end(),
                    [](const auto& p) { return p.kind->action != tRepairAction::passEnded; }));
}

bool RepairRun::anyPassEndedEarly() const {
  return std::any_of(passes.begin(), passes.end(), [](const auto& p) { return p.endedEarly; });
}

void ReportCollector::passStarted(const tUpgradeDowngradeMgr::tPassRow& row) noexcept {
  _lastFailedCall = nullptr;
  try {
    ReportedPass pass;
    pass.row = row.order;
    pass.name = row.name;
    _run.passes.push_back(std::move(pass));
  } catch (const std::bad_alloc&) {
    _failed = true;
  }
}

void ReportCollector::problem(const tProblemRecord& record) noexcept {
  if (record.kind == nullptr) return;
  try {
    ReportedProblem problem;
    problem.kind = record.kind;
    problem.passName = _run.passes.empty() ? std::string() : _run.passes.back().name;
    problem.object = record.object;
    problem.hasObject = record.hasObject;
    for (const Deletion& deletion : _pendingDeleted) {
      problem.deleted.push_back(deletion.object);
      if (record.hasObject && sameGuid(deletion.object, record.object)) {
        problem.objectClass = deletion.objectClass;
        problem.hasClass = true;
      }
    }
    for (const ReportedValue& value : _pendingChanged) {
      const bool goes =
          std::any_of(_pendingDeleted.begin(), _pendingDeleted.end(),
                      [&](const Deletion& d) { return sameGuid(d.object, value.object); });
      if (!goes) problem.changed.push_back(value);
    }
    _pendingDeleted.clear();
    _pendingChanged.clear();
    // A change that did not happen (the removal or deletion failed after the
    // pass decided on it) claims nothing and is no problem repaired.
    if (record.kind->action != tRepairAction::passEnded && problem.deleted.empty() &&
        problem.changed.empty()) {
      return;
    }
    problem.ownedDeleted =
        static_cast<std::uint32_t>(problem.deleted.size()) - (problem.hasClass ? 1U : 0U);
    tProblemRecord evidence = record;
    if (record.kind->action == tRepairAction::passEnded && record.call == nullptr &&
        _lastFailedCall != nullptr && _lastFailedResult == record.code) {
      evidence.call = _lastFailedCall;
    }
    describe(evidence, problem);
    if (record.kind->action != tRepairAction::passEnded && !_run.passes.empty()) {
      ++_run.passes.back().problems;
    }
    _run.problems.push_back(std::move(problem));
  } catch (const std::bad_alloc&) {
    _failed = true;
  }
}

void ReportCollector::passEnded(const tUpgradeDowngradeMgr::tPassRow& /*row*/,
                                std::int32_t status) noexcept {
  if (!_run.passes.empty()) {
    _run.passes.back().status = status;
    _run.passes.back().endedEarly = status < 0;
  }
  claimPending();
}

bool ReportCollector::describeCommit(engine::CommitNote& note) noexcept {
  // The journal keeps the run's records as the JSON report shows them, and
  // counts the problems as its summary does. A report that ran short of
  // memory refuses the save: changes are not kept that it cannot tell.
  if (_failed) return false;
  try {
    // Written by hand: this runs inside the save, and the JSON library's
    // values cannot be cleaned up safely once an allocation of theirs failed.
    note.report = "[";
    for (const ReportedProblem& problem : _run.problems) {
      if (note.report.size() > 1) note.report += ',';
      appendProblemJson(note.report, problem);
    }
    note.report += ']';
    note.problems = static_cast<std::int64_t>(_run.changeCount());
  } catch (const std::bad_alloc&) {
    _failed = true;
    return false;
  }
  return true;
}

void ReportCollector::callFailed(const char* call, HRESULT result) noexcept {
  _lastFailedCall = call;
  _lastFailedResult = result;
}

void ReportCollector::claimPending() {
  // Changes that no record claimed: kept apart so that a report never hides
  // a change, and a test can insist there are none.
  try {
    for (const Deletion& deletion : _pendingDeleted)
      _run.unclaimedDeleted.push_back(deletion.object);
    for (const ReportedValue& value : _pendingChanged) _run.unclaimedChanged.push_back(value);
  } catch (const std::bad_alloc&) {
    _failed = true;
  }
  _pendingDeleted.clear();
  _pendingChanged.clear();
}

void ReportCollector::objectDeleted(const GUID& object, const GUID& objectClass) noexcept {
  try {
    _pendingDeleted.push_back({object, objectClass});
  } catch (const std::bad_alloc&) {
    _failed = true;
  }
}

void ReportCollector::valueChanged(const GUID& object, std::uint32_t attribute) noexcept {
  try {
    _pendingChanged.push_back({object, attribute});
  } catch (const std::bad_alloc&) {
    _failed = true;
  }
}

std::string problemLine(const ReportedProblem& problem) {
  std::string line = std::string(problem.kind->code) + " " + problem.message;
  if (problem.ownedDeleted > 0) {
    line += "; " + std::to_string(problem.ownedDeleted) +
            (problem.ownedDeleted == 1 ? " object" : " objects") + " deleted with it";
  }
  return line;
}

void writeTextReport(std::ostream& out, const std::vector<RepairRun>& runs) {
  for (std::size_t r = 0; r < runs.size(); ++r) {
    const RepairRun& run = runs[r];
    if (runs.size() > 1) out << "Run " << (r + 1) << "\n";
    std::uint32_t shownRow = 0;
    for (const ReportedProblem& problem : run.problems) {
      if (problem.kind->row != shownRow) {
        shownRow = problem.kind->row;
        out << "Pass " << shownRow << " " << problem.passName << "\n";
      }
      out << "  " << problemLine(problem) << "\n";
    }
    const std::size_t total = run.changeCount();
    out << "Summary: " << total << (total == 1 ? " problem" : " problems") << "\n";
    for (const ReportedPass& pass : run.passes) {
      char line[96];
      std::snprintf(line, sizeof line, "  %2u %-42s %u", static_cast<unsigned>(pass.row),
                    pass.name.c_str(), static_cast<unsigned>(pass.problems));
      out << line << (pass.endedEarly ? "  ended early" : "") << "\n";
    }
  }
}

void appendProblemJson(std::string& out, const ReportedProblem& problem) {
  using encoding::appendJsonString;
  const auto field = [&out](const char* name) {
    out += out.back() == '{' ? "\"" : ",\"";
    out += name;
    out += "\":";
  };
  const auto guidOrNull = [&out](bool has, const GUID& guid) {
    if (has) {
      appendJsonString(formatGuid(guid), out);
    } else {
      out += "null";
    }
  };
  out += '{';
  field("code");
  appendJsonString(problem.kind->code, out);
  field("row");
  out += std::to_string(problem.kind->row);
  field("pass");
  appendJsonString(problem.passName, out);
  field("action");
  appendJsonString(tUpgradeDowngradeMgr::actionName(problem.kind->action), out);
  field("message");
  appendJsonString(problem.message, out);
  field("object");
  guidOrNull(problem.hasObject, problem.object);
  field("class");
  guidOrNull(problem.hasClass, problem.objectClass);
  field("ownedDeleted");
  out += std::to_string(problem.ownedDeleted);
  field("deleted");
  out += '[';
  for (const GUID& guid : problem.deleted) {
    if (out.back() != '[') out += ',';
    appendJsonString(formatGuid(guid), out);
  }
  out += ']';
  field("changed");
  out += '[';
  for (const ReportedValue& value : problem.changed) {
    if (out.back() != '[') out += ',';
    out += '{';
    field("object");
    appendJsonString(formatGuid(value.object), out);
    field("attribute");
    appendJsonString(hex32(value.attribute), out);
    out += '}';
  }
  out += ']';
  field("evidence");
  out += '{';
  for (const auto& [name, value] : problem.evidence) {
    if (out.back() != '{') out += ',';
    appendJsonString(name, out);
    out += ':';
    appendJsonString(value, out);
  }
  out += "}}";
}

void writeJsonReport(std::ostream& out, const std::string& command, const std::string& store,
                     const std::vector<RepairRun>& runs, const std::string& outcome, int exitCode) {
  using nlohmann::ordered_json;
  // Objects from the start: indexing a null value makes it an object in
  // place, and an allocation failing there leaves it unsafe to destroy.
  ordered_json report = ordered_json::object();
  report["format"] = "vddb-report/1";
  report["command"] = command;
  report["store"] = store;
  report["outcome"] = outcome;
  report["exitCode"] = exitCode;
  ordered_json jsonRuns = ordered_json::array();
  for (const RepairRun& run : runs) {
    ordered_json jsonRun = ordered_json::object();
    ordered_json passes = ordered_json::array();
    for (const ReportedPass& pass : run.passes) {
      passes.push_back({{"row", pass.row},
                        {"name", pass.name},
                        {"problems", pass.problems},
                        {"endedEarly", pass.endedEarly},
                        {"status", pass.status}});
    }
    ordered_json problems = ordered_json::array();
    for (const ReportedProblem& problem : run.problems) {
      std::string record;
      appendProblemJson(record, problem);
      problems.push_back(ordered_json::parse(record));
    }
    jsonRun["passes"] = std::move(passes);
    jsonRun["problems"] = std::move(problems);
    jsonRun["total"] = run.changeCount();
    jsonRuns.push_back(std::move(jsonRun));
  }
  report["runs"] = std::move(jsonRuns);
  out << report.dump(2, ' ', false, ordered_json::error_handler_t::replace) << "\n";
}

}  // namespace vddb::tool
