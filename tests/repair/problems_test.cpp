// The problem table: stable codes, one "pass ended" code per row, and the
// document that users read kept in step with it.
#include "repair/problems.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "repair/pass_sequence.h"

namespace {

using namespace tUpgradeDowngradeMgr;

TEST(ProblemTable, CodesNameTheirRowAndEveryRowHasAnEndedCode) {
  const auto rows = repairPassTable();
  for (const tProblemKind& kind : problemTable()) {
    SCOPED_TRACE(kind.code);
    ASSERT_TRUE(std::regex_match(kind.code, std::regex("P[0-9]{4}")));
    EXPECT_EQ(std::stoul(std::string(kind.code).substr(1, 2)), kind.row);
    EXPECT_EQ(findProblem(kind.code), &kind);
    EXPECT_GE(kind.row, 1U);
    EXPECT_LE(kind.row, rows.size());
  }
  for (const tPassRow& row : rows) {
    char code[8];
    std::snprintf(code, sizeof code, "P%02u99", static_cast<unsigned>(row.order));
    const tProblemKind* ended = findProblem(code);
    ASSERT_NE(ended, nullptr) << code;
    EXPECT_EQ(ended->action, tRepairAction::passEnded);
  }
  EXPECT_EQ(findProblem("P0000"), nullptr);
}

TEST(ProblemTable, DocumentListsExactlyTheTable) {
  std::ifstream file(VDDB_PROBLEMS_DOC);
  ASSERT_TRUE(file) << VDDB_PROBLEMS_DOC;
  const std::regex line(R"(\| (P[0-9]{4}) \| ([0-9]+) \| `(\w+)` \| ([^|]+) \| (.*) \|)");
  const auto rows = repairPassTable();
  const auto table = problemTable();
  std::size_t next = 0;
  std::string text;
  while (std::getline(file, text)) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) continue;
    ASSERT_LT(next, table.size()) << "extra row: " << text;
    const tProblemKind& kind = table[next++];
    EXPECT_EQ(m[1], kind.code);
    EXPECT_EQ(std::stoul(m[2]), kind.row) << kind.code;
    EXPECT_EQ(m[3], rows[kind.row - 1].name) << kind.code;
    EXPECT_EQ(m[4], actionName(kind.action)) << kind.code;
    EXPECT_EQ(m[5], kind.message) << kind.code;
  }
  EXPECT_EQ(next, table.size()) << "docs/problems.md lacks rows";
}

// docs/passes.md has a section for every row, in the table's order: each
// pass's name appears in a heading, and a section that serves several rows
// comes where the first of them does.
TEST(PassDocument, EveryRowHasAHeadingInTableOrder) {
  std::ifstream file(VDDB_PASSES_DOC);
  ASSERT_TRUE(file) << VDDB_PASSES_DOC;
  const auto rows = repairPassTable();
  std::vector<bool> covered(rows.size(), false);
  std::uint32_t previousFirstRow = 0;
  std::string text;
  while (std::getline(file, text)) {
    if (text.rfind("##", 0) != 0) continue;
    std::uint32_t firstRow = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (text.find(std::string("`") + rows[i].name + "`") == std::string::npos) continue;
      covered[i] = true;
      if (firstRow == 0) firstRow = rows[i].order;
    }
    if (firstRow == 0) continue;
    EXPECT_GE(firstRow, previousFirstRow) << text;
    previousFirstRow = firstRow;
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_TRUE(covered[i]) << rows[i].name << " has no heading";
  }
}

}  // namespace
