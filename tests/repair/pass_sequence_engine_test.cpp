// The real pass sequence on the example store, through the configuration
// library and the fault-injecting decorator: a pass that fails stops only
// itself, and the transaction status is never written.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <span>
#include <sstream>
#include <string>

#include "engine/engine.h"
#include "hwconfig/hwconfig.h"
#include "repair/pass_sequence.h"
#include "support/fault_injection.h"

namespace tUpgradeDowngradeMgr {
namespace {

std::string exampleStore() {
  std::ifstream file(VDDB_EXAMPLE_STORE);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// One in-memory copy of the example store, opened as the repair transaction
// opens it, with every store call going through the decorator.
class SequenceRun {
 public:
  explicit SequenceRun(const std::string& json) {
    std::string error;
    EXPECT_EQ(vddb::engine::StoreSession::openFromJson(json, session_, &error), S_OK) << error;
    storage_ = injector_.wrap(session_->storage());
    tStatus2 status;
    configuration_ = vddb::hwconfig::openConfiguration(*session_, storage_.get(), status);
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(configuration_, nullptr);
  }
  ~SequenceRun() {
    tStatus2 status;
    if (configuration_ != nullptr) configuration_->finalize(status);
  }

  // Makes the first store call the sequence will make fail.
  void failCallNumber(const std::string& operation, std::uint64_t nthFromNow) {
    injector_.failCall(operation, injector_.count(operation) + nthFromNow, E_FAIL);
  }
  vddb::test::FaultInjector& injector() { return injector_; }

  void run(std::span<const tPassRow> rows, tStatus2& status) {
    resetRepairPassesRunOnce();
    injector_.clearJournal();
    tScopedRef<IkorrinStorage> holder = tScopedRef<IkorrinStorage>::share(storage_.get());
    runRepairPassRows(rows, holder, configuration_, status);
    resetRepairPassesRunOnce();
  }

  std::string dump() {
    std::string json;
    EXPECT_EQ(session_->dumpJson(json), S_OK);
    return json;
  }

 private:
  vddb::test::FaultInjector injector_;
  std::unique_ptr<vddb::engine::StoreSession> session_;
  tScopedRef<IkorrinStorage> storage_;
  tMHWConfiguration* configuration_ = nullptr;
};

class PassSequenceEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    json_ = exampleStore();
    ASSERT_FALSE(json_.empty()) << "cannot read " << VDDB_EXAMPLE_STORE;
  }
  void TearDown() override {
    EXPECT_EQ(vddb::test::liveFaultWrappers(), 0U) << "a wrapped reference was not released";
    EXPECT_EQ(vddb::engine::liveInterfaceCount(), 0U) << "an engine reference was not released";
  }
  std::string json_;
};

TEST_F(PassSequenceEngineTest, FailingFirstPassStopsOnlyItself) {
  const std::span<const tPassRow> all = repairPassTable();
  ASSERT_EQ(all.size(), 12U);

  std::string initial;
  std::string afterAllRows;
  std::string firstOperation;
  {
    SequenceRun run(json_);
    initial = run.dump();
    tStatus2 status;
    run.run(all, status);
    ASSERT_FALSE(run.injector().journal().empty());
    firstOperation = run.injector().journal().front().operation;
    EXPECT_EQ(status.code, 0);
    afterAllRows = run.dump();
  }
  std::string afterLaterRows;
  {
    SequenceRun run(json_);
    tStatus2 status;
    run.run(all.subspan(1), status);
    afterLaterRows = run.dump();
  }
  // The example gives the first row and the later rows work to do.
  ASSERT_NE(afterLaterRows, initial);
  ASSERT_NE(afterAllRows, afterLaterRows);

  SequenceRun run(json_);
  run.failCallNumber(firstOperation, 1);
  tStatus2 status;
  status.code = 4;  // a warning: copied into every pass status, never overwritten
  run.run(all, status);
  EXPECT_EQ(status.code, 4);
  EXPECT_FALSE(status.hasDescription());
  ASSERT_TRUE(run.injector().journal().front().injected);
  EXPECT_GT(run.injector().journal().size(), 1U) << "later passes made no call";
  EXPECT_EQ(run.dump(), afterLaterRows);
}

TEST_F(PassSequenceEngineTest, ErrorOnEntryTouchesNothing) {
  SequenceRun run(json_);
  const std::string before = run.dump();
  tStatus2 status;
  status.code = -50401;
  run.run(repairPassTable(), status);
  EXPECT_TRUE(run.injector().journal().empty());
  EXPECT_EQ(run.dump(), before);
}

}  // namespace
}  // namespace tUpgradeDowngradeMgr
