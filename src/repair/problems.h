// The problem table: every kind of change a repair pass can make, with a
// stable code that reports, scripts and the journal refer to.
//
// A code is "P" and four digits: the pass row (01..12) and a number within
// the row; 99 is the row's "pass ended by a failure". Codes are never reused
// or renumbered: a change of meaning gets a new code. docs/problems.md lists
// the table, and a test keeps the two in step.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tUpgradeDowngradeMgr {

enum class tRepairAction {
  objectDeletedWithOwned,  // the object and everything it owns
  objectDeletedAlone,      // the object only (deleteObject)
  itemRemoved,             // a saved item removed through the configuration library
  accessoryDisconnected,   // an accessory disconnected from its device
  passEnded,               // the pass stopped at a failure; the rest of it did not run
};

struct tProblemKind {
  const char* code;   // "P0101"
  std::uint32_t row;  // the pass row that makes this change
  tRepairAction action;
  // The message, with the record's fields in braces: {object}, {class},
  // {slots}, {lists}, {reference}, {key}, {first}, {name}, {number},
  // {call}, {code}.
  const char* message;
};

// Every kind, sorted by code.
std::span<const tProblemKind> problemTable() noexcept;

// The kind of `code`, or null.
const tProblemKind* findProblem(std::string_view code) noexcept;

// "object deleted with what it owns", ...: the action as a report says it.
const char* actionName(tRepairAction action) noexcept;

}  // namespace tUpgradeDowngradeMgr
