#include "repair_report.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "encoding/quote.h"
#include "encoding/utf.h"
#include "json_text.h"
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
    note.report.assign(1, '[');
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
  const auto guidOrNull = [&out](bool has, const GUID& guid) {
    if (has) {
      appendJsonString(formatGuid(guid), out);
    } else {
      out += "null";
    }
  };
  out += '{';
  appendKey(out, "code");
  appendJsonString(problem.kind->code, out);
  appendKey(out, "row");
  out += std::to_string(problem.kind->row);
  appendKey(out, "pass");
  appendJsonString(problem.passName, out);
  appendKey(out, "action");
  appendJsonString(tUpgradeDowngradeMgr::actionName(problem.kind->action), out);
  appendKey(out, "message");
  appendJsonString(problem.message, out);
  appendKey(out, "object");
  guidOrNull(problem.hasObject, problem.object);
  appendKey(out, "class");
  guidOrNull(problem.hasClass, problem.objectClass);
  appendKey(out, "ownedDeleted");
  out += std::to_string(problem.ownedDeleted);
  appendKey(out, "deleted");
  out += '[';
  for (const GUID& guid : problem.deleted) {
    if (out.back() != '[') out += ',';
    appendJsonString(formatGuid(guid), out);
  }
  out += ']';
  appendKey(out, "changed");
  out += '[';
  for (const ReportedValue& value : problem.changed) {
    if (out.back() != '[') out += ',';
    out += '{';
    appendKey(out, "object");
    appendJsonString(formatGuid(value.object), out);
    appendKey(out, "attribute");
    appendJsonString(hex32(value.attribute), out);
    out += '}';
  }
  out += ']';
  appendKey(out, "evidence");
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
  // Written by hand, as the journal's note is: this report comes after the
  // save, and memory running out here must leave an error, not an abort.
  using encoding::appendJsonString;
  std::string json = "{";
  appendKey(json, "format");
  appendJsonString("vddb-report/1", json);
  appendKey(json, "command");
  appendJsonString(command, json);
  appendKey(json, "store");
  appendStringJson(store, json);
  appendKey(json, "outcome");
  appendJsonString(outcome, json);
  appendKey(json, "exitCode");
  json += std::to_string(exitCode);
  appendKey(json, "runs");
  json += '[';
  for (const RepairRun& run : runs) {
    if (json.back() != '[') json += ',';
    json += '{';
    appendKey(json, "passes");
    json += '[';
    for (const ReportedPass& pass : run.passes) {
      if (json.back() != '[') json += ',';
      json += '{';
      appendKey(json, "row");
      json += std::to_string(pass.row);
      appendKey(json, "name");
      appendJsonString(pass.name, json);
      appendKey(json, "problems");
      json += std::to_string(pass.problems);
      appendKey(json, "endedEarly");
      json += pass.endedEarly ? "true" : "false";
      appendKey(json, "status");
      json += std::to_string(pass.status);
      json += '}';
    }
    json += ']';
    appendKey(json, "problems");
    json += '[';
    for (const ReportedProblem& problem : run.problems) {
      if (json.back() != '[') json += ',';
      appendProblemJson(json, problem);
    }
    json += ']';
    appendKey(json, "total");
    json += std::to_string(run.changeCount());
    json += '}';
  }
  json += "]}";
  writeIndented(out, json);
}

}  // namespace vddb::tool
