// The status rules: acting on a good status, storage-result mapping,
// no-memory recording in both forms, and the merge.
#include "status/status_rules.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005U);  // E_FAIL
constexpr std::int32_t kNotFoundResult = static_cast<std::int32_t>(0x80040309U);

TEST(StatusRules, CodesHaveTheirFixedValues) {
  EXPECT_EQ(StatusNotFound, -50401);
  EXPECT_EQ(static_cast<std::uint32_t>(StatusNotFound), 0xFFFF3B1FU);
  EXPECT_EQ(StatusNoMemory, -50352);
  EXPECT_EQ(static_cast<std::uint32_t>(StatusNoMemory), 0xFFFF3B50U);
  EXPECT_EQ(kNotFoundResult, -2147220727);
}

TEST(StatusRules, OnlyNegativeCodesAreErrors) {
  EXPECT_TRUE(isGood(0));
  EXPECT_TRUE(isGood(3));
  EXPECT_FALSE(isGood(-1));
  tStatus2 status;
  status.code = -50401;
  EXPECT_FALSE(isGood(status));
  status.code = 1;
  EXPECT_TRUE(isGood(status));
}

struct MappingCase {
  std::int32_t before;
  std::int32_t result;
  std::int32_t storage;    // after recordStorageResult
  std::int32_t interface;  // after recordInterfaceResult
};
void PrintTo(const MappingCase& c, std::ostream* os) {
  *os << "code " << c.before << ", result " << c.result;
}

class StorageResultTest : public ::testing::TestWithParam<MappingCase> {};

TEST_P(StorageResultTest, MapsFailuresAndLeavesSuccessAlone) {
  const MappingCase& c = GetParam();
  std::int32_t code = c.before;
  recordStorageResult(code, c.result);
  EXPECT_EQ(code, c.storage);
  code = c.before;
  recordInterfaceResult(code, c.result);
  EXPECT_EQ(code, c.interface);
}

INSTANTIATE_TEST_SUITE_P(Table, StorageResultTest,
                         ::testing::Values(
                             // 0x80040309 is "not found" for storage calls, but kept as it is for
                             // the extended-interface request.
                             MappingCase{0, kNotFoundResult, StatusNotFound, kNotFoundResult},
                             MappingCase{3, kNotFoundResult, StatusNotFound,
                                         kNotFoundResult},  // over a warning
                             MappingCase{0, kFail, kFail, kFail},
                             MappingCase{3, kFail, kFail, kFail}, MappingCase{0, -1, -1, -1},
                             MappingCase{0, 1, 0, 0},  // fewer items delivered: not a failure
                             MappingCase{3, 1, 3, 3}, MappingCase{3, 0, 3, 3},
                             MappingCase{0, 0x7FFFFFFF, 0, 0}, MappingCase{-5, 0, -5, -5}));

TEST(StorageResult, WritesTheCodeOnlyAndKeepsTheDescription) {
  tStatus2 status;
  status._allocateImplementationObject(2, "Pellorin", "tUpgradeDowngradeMgr", 9, nullptr);
  recordStorageResult(status.code, kNotFoundResult);
  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_STREQ(status.getComponent(), "Pellorin");
  EXPECT_EQ(status.getLine(), 9U);
}

struct NoMemoryCase {
  std::int32_t before;
  std::int32_t after;
  bool raised;
};
void PrintTo(const NoMemoryCase& c, std::ostream* os) { *os << "code " << c.before; }

class NoMemoryTest : public ::testing::TestWithParam<NoMemoryCase> {};

TEST_P(NoMemoryTest, CodeOnlyForm) {
  std::int32_t code = GetParam().before;
  recordNoMemory(code);
  EXPECT_EQ(code, GetParam().after);
}

TEST_P(NoMemoryTest, RaisedFormRecordsTheOriginOnlyOnAGoodStatus) {
  tStatus2 status;
  status.code = GetParam().before;
  raiseNoMemory(status, 657);
  EXPECT_EQ(status.code, GetParam().after);
  EXPECT_EQ(status.hasDescription(), GetParam().raised);
  if (GetParam().raised) {
    EXPECT_STREQ(status.getComponent(), "Pellorin");
    EXPECT_STREQ(status.getSourceFile(), "tUpgradeDowngradeMgr");
    EXPECT_EQ(status.getLine(), 657U);
  }
}

TEST_P(NoMemoryTest, CodeOnlyFormEqualsMergingTheNoMemoryCode) {
  tStatus2 target;
  target.code = GetParam().before;
  tStatus2 incoming;
  incoming.code = StatusNoMemory;
  mergeStatus(target, incoming);
  std::int32_t code = GetParam().before;
  recordNoMemory(code);
  EXPECT_EQ(target.code, code);
}

INSTANTIATE_TEST_SUITE_P(Table, NoMemoryTest,
                         ::testing::Values(NoMemoryCase{0, StatusNoMemory, true},
                                           NoMemoryCase{4, StatusNoMemory, true},
                                           NoMemoryCase{StatusNotFound, StatusNotFound, false},
                                           NoMemoryCase{StatusNoMemory, StatusNoMemory, false},
                                           NoMemoryCase{kFail, kFail, false}));

struct MergeCase {
  std::int32_t target;
  std::int32_t incoming;
  bool takesOver;
};
void PrintTo(const MergeCase& c, std::ostream* os) { *os << c.incoming << " into " << c.target; }

class MergeTest : public ::testing::TestWithParam<MergeCase> {};

TEST_P(MergeTest, FollowsTheTable) {
  const MergeCase& c = GetParam();
  tStatus2 target;
  target.code = c.target;
  tStatus2 incoming;
  incoming._allocateImplementationObject(c.incoming, "Pellorin", "tUpgradeDowngradeMgr", 1,
                                         nullptr);
  mergeStatus(target, incoming);
  if (c.takesOver) {
    EXPECT_EQ(target.code, c.incoming);
    EXPECT_EQ(target.getComponent(), incoming.getComponent()) << "shares the description";
  } else {
    EXPECT_EQ(target.code, c.target);
    EXPECT_FALSE(target.hasDescription());
  }
  EXPECT_EQ(incoming.code, c.incoming);
}

INSTANTIATE_TEST_SUITE_P(Table, MergeTest,
                         ::testing::Values(
                             // success never replaces anything
                             MergeCase{0, 0, false}, MergeCase{5, 0, false},
                             MergeCase{-1, 0, false},
                             // a warning replaces success only
                             MergeCase{0, 5, true}, MergeCase{7, 5, false}, MergeCase{-1, 5, false},
                             // an error replaces success and a warning; the first error stays
                             MergeCase{0, -50401, true}, MergeCase{7, -50401, true},
                             MergeCase{-1, -50401, false},
                             MergeCase{StatusNoMemory, StatusNotFound, false}));

}  // namespace
