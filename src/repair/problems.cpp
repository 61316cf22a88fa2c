#include "repair/problems.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tUpgradeDowngradeMgr {

namespace {

using A = tRepairAction;

// clang-format off
constexpr std::array kProblems = {
    tProblemKind{"P0101", 1, A::itemRemoved, "saved Trelix chassis {object} removed: its slot count cannot be read ({call} failed with {code})"},
    tProblemKind{"P0102", 1, A::itemRemoved, "saved Trelix chassis {object} removed: slot count {slots}, but its slot lists hold {lists} slots"},
    tProblemKind{"P0199", 1, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0201", 2, A::objectDeletedWithOwned, "detached Trelix chassis object {object} deleted: reference {reference} is not set"},
    tProblemKind{"P0202", 2, A::objectDeletedWithOwned, "Trelix companion object {object} deleted: nothing refers to it ({reference} is empty)"},
    tProblemKind{"P0299", 2, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0301", 3, A::itemRemoved, "saved Mordan connector block {object} removed: its slot count cannot be read ({call} failed with {code})"},
    tProblemKind{"P0302", 3, A::itemRemoved, "saved Mordan connector block {object} removed: slot count {slots}, but its slot list holds {lists} slots"},
    tProblemKind{"P0399", 3, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0401", 4, A::objectDeletedWithOwned, "detached Mordan connector-block object {object} deleted: reference {reference} is not set"},
    tProblemKind{"P0402", 4, A::objectDeletedWithOwned, "Mordan companion object {object} deleted: nothing refers to it ({reference} is empty)"},
    tProblemKind{"P0499", 4, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0501", 5, A::itemRemoved, "saved Quenta chassis {object} removed: its slot count cannot be read ({call} failed with {code})"},
    tProblemKind{"P0502", 5, A::itemRemoved, "saved Quenta chassis {object} removed: slot count {slots}, but its slot list holds {lists} slots"},
    tProblemKind{"P0599", 5, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0601", 6, A::objectDeletedWithOwned, "unreferenced object {object} deleted: nothing refers to it ({reference} is empty)"},
    tProblemKind{"P0699", 6, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0701", 7, A::objectDeletedWithOwned, "incompletely linked object {object} deleted: reference {reference} is not set"},
    tProblemKind{"P0702", 7, A::objectDeletedWithOwned, "incompletely linked object {object} deleted: reference {reference} is not set (its other reference cleared first)"},
    tProblemKind{"P0799", 7, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0801", 8, A::accessoryDisconnected, "accessory of configuration {object} disconnected: connector {key} is already taken by configuration {first}"},
    tProblemKind{"P0899", 8, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P0901", 9, A::objectDeletedWithOwned, "unreferenced object {object} deleted: nothing refers to it ({reference} is empty)"},
    tProblemKind{"P0999", 9, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P1001", 10, A::objectDeletedAlone, "orphan object {object} deleted: no object it may name is named {name}"},
    tProblemKind{"P1099", 10, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P1101", 11, A::objectDeletedAlone, "incomplete link record {object} deleted: reference {reference} is not set"},
    tProblemKind{"P1102", 11, A::objectDeletedAlone, "incomplete link record {object} deleted: reference {reference} is not set"},
    tProblemKind{"P1103", 11, A::objectDeletedAlone, "object {object} deleted: no complete link record names it"},
    tProblemKind{"P1199", 11, A::passEnded, "pass ended early: {call} failed with {code}"},
    tProblemKind{"P1201", 12, A::objectDeletedAlone, "duplicate link record {object} deleted: first object {key} and number {number} as in record {first}"},
    tProblemKind{"P1299", 12, A::passEnded, "pass ended early: {call} failed with {code}"},
};
// clang-format on

constexpr bool codesAscend() {
  for (std::size_t i = 1; i < kProblems.size(); ++i) {
    if (!(std::string_view(kProblems[i - 1].code) < std::string_view(kProblems[i].code))) {
      return false;
    }
  }
  return true;
}
static_assert(codesAscend(), "problem codes must be unique and sorted");

}  // namespace

std::span<const tProblemKind> problemTable() noexcept { return kProblems; }

const tProblemKind* findProblem(std::string_view code) noexcept {
  const auto* it = std::lower_bound(
      kProblems.begin(), kProblems.end(), code,
      [](const tProblemKind& kind, std::string_view wanted) { return kind.code < wanted; });
  return it != kProblems.end() && it->code == code ? &*it : nullptr;
}

const char* actionName(tRepairAction action) noexcept {
  switch (action) {
    case tRepairAction::objectDeletedWithOwned:
      return "object deleted with what it owns";
    case tRepairAction::objectDeletedAlone:
      return "object deleted alone";
    case tRepairAction::itemRemoved:
      return "configuration item removed";
    case tRepairAction::accessoryDisconnected:
      return "accessory disconnected";
    case tRepairAction::passEnded:
      return "pass ended by a failure";
  }
  return "?";
}

}  // namespace tUpgradeDowngradeMgr
