// The pass sequence, driven with test rows: run-once, status copies per
// row, the shared status of the link-record pair, the good-status-only row.
#include "repair/pass_sequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status/status_rules.h"
#include "support/mock_configuration.h"

namespace tUpgradeDowngradeMgr {
namespace {

// What the test rows saw, in call order.
struct Call {
  std::string pass;
  std::int32_t codeOnEntry;
  const tStatus2* statusAddress;
};
std::vector<Call> gCalls;

void record(const char* pass, tStatus2& status) { gCalls.push_back({pass, status.code, &status}); }

// Fails with a storage error, like a pass whose saved-item call failed.
void failingStoragePass(tScopedRef<IkorrinStorage>&, tStatus2& status) {
  record("failing", status);
  status.code = -2147467259;  // E_FAIL
}
void storagePassA(tScopedRef<IkorrinStorage>&, tStatus2& status) { record("A", status); }
void storagePassB(tScopedRef<IkorrinStorage>&, tStatus2& status) { record("B", status); }
void warningStoragePass(tScopedRef<IkorrinStorage>&, tStatus2& status) {
  record("warning", status);
  status.code = 7;
}
void configurationOnly(tMHWConfiguration&, tStatus2& status) { record("configuration", status); }
void configurationAndStorage(tMHWConfiguration&, tScopedRef<IkorrinStorage>&, tStatus2& status) {
  record("configuration+storage", status);
}

class PassSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetRepairPassesRunOnce();
    gCalls.clear();
  }
  void TearDown() override { resetRepairPassesRunOnce(); }

  std::vector<std::string> passesRun() const {
    std::vector<std::string> names;
    for (const Call& call : gCalls) names.push_back(call.pass);
    return names;
  }

  void run(std::span<const tPassRow> rows, tStatus2& status,
           tMHWConfiguration* configuration = nullptr) {
    tScopedRef<IkorrinStorage> storage;
    runRepairPassRows(rows, storage, configuration, status);
  }
};

const tPassRow kTwoRows[] = {
    storagePass(1, "A", &storagePassA),
    storagePass(2, "B", &storagePassB),
};

TEST_F(PassSequenceTest, ErrorOnEntryRunsNothingAndDoesNotCountAsTheRun) {
  tStatus2 failed;
  failed.code = StatusNotFound;
  run(kTwoRows, failed);
  EXPECT_TRUE(gCalls.empty());
  EXPECT_FALSE(repairPassesHaveRun());
  EXPECT_EQ(failed.code, StatusNotFound);

  tStatus2 good;
  run(kTwoRows, good);
  EXPECT_EQ(passesRun(), (std::vector<std::string>{"A", "B"}));
}

TEST_F(PassSequenceTest, SecondCallInTheSameProcessRunsNothing) {
  tStatus2 status;
  run(kTwoRows, status);
  ASSERT_EQ(gCalls.size(), 2U);
  tStatus2 again;
  run(kTwoRows, again);
  EXPECT_EQ(gCalls.size(), 2U);
  EXPECT_TRUE(repairPassesHaveRun());
}

TEST_F(PassSequenceTest, FailingPassDoesNotStopTheNextAndLeavesTheTransactionStatus) {
  const tPassRow rows[] = {
      storagePass(1, "failing", &failingStoragePass),
      storagePass(2, "A", &storagePassA),
      storagePass(3, "warning", &warningStoragePass),
      storagePass(4, "B", &storagePassB),
  };
  tStatus2 status;
  status.code = 3;  // a warning does not stop the sequence and is what every copy starts with
  run(rows, status);
  ASSERT_EQ(passesRun(), (std::vector<std::string>{"failing", "A", "warning", "B"}));
  for (const Call& call : gCalls) {
    EXPECT_EQ(call.codeOnEntry, 3) << call.pass;
    EXPECT_NE(call.statusAddress, &status) << call.pass << " was handed the transaction status";
  }
  EXPECT_EQ(status.code, 3);
  EXPECT_FALSE(status.hasDescription());
}

TEST_F(PassSequenceTest, PassStatusIsACopySharingTheDescription) {
  tStatus2 status;
  status._allocateImplementationObject(5, "Pellorin", "tUpgradeDowngradeMgr", 12, nullptr);
  struct Seen {
    static void pass(tScopedRef<IkorrinStorage>&, tStatus2& s) {
      record(s.getComponent(), s);
      EXPECT_EQ(s.getLine(), 12U);
    }
  };
  const tPassRow described[] = {storagePass(1, "described", &Seen::pass)};
  run(described, status);
  ASSERT_EQ(gCalls.size(), 1U);
  EXPECT_EQ(gCalls[0].pass, "Pellorin");
  EXPECT_EQ(gCalls[0].codeOnEntry, 5);
}

TEST_F(PassSequenceTest, SharedRowsRunWithOneStatusAndAnErrorReachesTheSecond) {
  const tPassRow rows[] = {
      storagePass(10, "A", &storagePassA),
      storagePass(11, "failing", &failingStoragePass, /*sharesStatusWithNext=*/true),
      storagePass(12, "B", &storagePassB),
  };
  tStatus2 status;
  run(rows, status);
  ASSERT_EQ(passesRun(), (std::vector<std::string>{"A", "failing", "B"}));
  EXPECT_EQ(gCalls[1].statusAddress, gCalls[2].statusAddress);
  EXPECT_EQ(gCalls[2].codeOnEntry, -2147467259);  // row 12 sees what row 11 left
  EXPECT_EQ(status.code, 0);
}

TEST_F(PassSequenceTest, UnsharedRowsGetFreshCopies) {
  const tPassRow rows[] = {
      storagePass(1, "failing", &failingStoragePass),
      storagePass(2, "A", &storagePassA),
  };
  tStatus2 status;
  run(rows, status);
  ASSERT_EQ(gCalls.size(), 2U);
  EXPECT_EQ(gCalls[1].codeOnEntry, 0);
}

TEST_F(PassSequenceTest, GoodStatusOnlyRowIsSkippedOnAnErrorCopy) {
  // Through the sharing link a row can receive an error; a row marked for a
  // good status only must then not be called.
  const tPassRow rows[] = {
      storagePass(7, "failing", &failingStoragePass, /*sharesStatusWithNext=*/true),
      configurationPass(8, "configuration", &configurationOnly, /*onlyOnGoodStatus=*/true),
  };
  ::testing::StrictMock<vddb::testing::MockMHWConfiguration> configuration;
  tStatus2 status;
  run(rows, status, &configuration);
  EXPECT_EQ(passesRun(), (std::vector<std::string>{"failing"}));
}

TEST_F(PassSequenceTest, ConfigurationRowsGetTheConfigurationAndAreSkippedWithoutOne) {
  const tPassRow rows[] = {
      configurationStoragePass(1, "configuration+storage", &configurationAndStorage),
      configurationPass(8, "configuration", &configurationOnly, true),
  };
  tStatus2 status;
  run(rows, status, nullptr);
  EXPECT_TRUE(gCalls.empty());
  EXPECT_TRUE(repairPassesHaveRun());

  resetRepairPassesRunOnce();
  ::testing::StrictMock<vddb::testing::MockMHWConfiguration> configuration;
  run(rows, status, &configuration);
  EXPECT_EQ(passesRun(), (std::vector<std::string>{"configuration+storage", "configuration"}));
}

TEST(PassTable, KeepsTheFixedOrderAndKnownNames) {
  static const char* const kNames[] = {
      "checkTrelixChassisSlots",        "purgeDetachedTrelixChassisObjects",
      "checkMordanConnectorBlockSlots", "purgeDetachedMordanConnectorBlockObjects",
      "checkQuentaChassisSlots",        "purgeUnreferencedObjects",
      "purgeIncompletelyLinkedObjects", "disconnectDuplicateAccessories",
      "purgeUnreferencedObjects",       "sweepOrphanObjects",
      "purgeIncompleteLinkRecords",     "purgeDuplicateLinkRecords"};
  ASSERT_EQ(repairPassTable().size(), 12U);
  std::uint32_t previous = 0;
  for (const tPassRow& row : repairPassTable()) {
    ASSERT_GE(row.order, 1U);
    ASSERT_LE(row.order, 12U);
    EXPECT_GT(row.order, previous);
    previous = row.order;
    EXPECT_STREQ(row.name, kNames[row.order - 1]);
    EXPECT_EQ(row.sharesStatusWithNext, row.order == 11) << row.name;
    EXPECT_EQ(row.onlyOnGoodStatus, row.order == 8) << row.name;
    const bool needsConfiguration = row.order == 1 || row.order == 3 || row.order == 5;
    if (row.order == 8) {
      EXPECT_TRUE(std::holds_alternative<tConfigurationPass>(row.pass)) << row.name;
    } else if (needsConfiguration) {
      EXPECT_TRUE(std::holds_alternative<tConfigurationStoragePass>(row.pass)) << row.name;
    } else {
      EXPECT_TRUE(std::holds_alternative<tStoragePass>(row.pass)) << row.name;
    }
  }
}

}  // namespace
}  // namespace tUpgradeDowngradeMgr
