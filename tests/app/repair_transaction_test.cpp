// The repair transaction's calls into the configuration library, in order,
// with a mock configuration, a counting storage and a recording pass runner.
#include "app/repair_transaction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "status/status_rules.h"
#include "support/mock_configuration.h"

namespace vddb::app {
namespace {

using ::testing::_;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::Return;
using ::testing::StrictMock;

constexpr std::int32_t kSaveFailed = static_cast<std::int32_t>(0x80040305U);
constexpr std::int32_t kOpenFailed = -2147024894;

// A storage that only counts references.
class CountingStorage : public IkorrinStorage {
 public:
  HRESULT VDDB_STDCALL QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG VDDB_STDCALL AddRef() override { return static_cast<ULONG>(++references); }
  ULONG VDDB_STDCALL Release() override { return static_cast<ULONG>(--references); }
  HRESULT VDDB_STDCALL createQuery(const GUID&, std::uint32_t, std::uint32_t,
                                   IStorageQuery**) override {
    return E_FAIL;
  }
  HRESULT VDDB_STDCALL deleteObject(const GUID&, IUnknown**) override { return E_FAIL; }
  HRESULT VDDB_STDCALL openObject(const GUID&, IStorageObject**) override { return E_FAIL; }
  HRESULT VDDB_STDCALL runQuery(IStorageQuery*, IGuidEnumerator**) override { return E_FAIL; }

  int references = 0;  // beyond the configuration's own, which is not counted here
};

// What the opener and the pass runner see, per test.
struct Harness {
  tMHWConfiguration* configuration = nullptr;
  std::int32_t openCode = 0;
  const wchar_t* openReserved = reinterpret_cast<const wchar_t*>(1);
  std::uint32_t openFlags = 0;
  int passRuns = 0;
  IkorrinStorage* passStorage = nullptr;
  int referencesDuringPasses = -1;
  tMHWConfiguration* passConfiguration = nullptr;
  std::int32_t passStatusCode = 1;
  const tStatus2* passStatusAddress = nullptr;
  CountingStorage* storage = nullptr;
};
Harness gHarness;

tMHWConfiguration* fakeOpen(const wchar_t* reserved, std::uint32_t flags, tStatus2& status) {
  gHarness.openReserved = reserved;
  gHarness.openFlags = flags;
  if (gHarness.openCode != 0) status.code = gHarness.openCode;
  return gHarness.configuration;
}

void fakePasses(tScopedRef<IkorrinStorage>& storage, tMHWConfiguration* configuration,
                tStatus2& status) {
  ++gHarness.passRuns;
  gHarness.passStorage = storage.get();
  gHarness.referencesDuringPasses = gHarness.storage ? gHarness.storage->references : -1;
  gHarness.passConfiguration = configuration;
  gHarness.passStatusCode = status.code;
  gHarness.passStatusAddress = &status;
}

class RepairTransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gHarness = Harness{};
    gHarness.configuration = &configuration;
    gHarness.storage = &storage;
  }

  void run(bool& storeReached, tStatus2& status) {
    tTransactionCalls calls;
    calls.open = &fakeOpen;
    calls.runPasses = &fakePasses;
    runRepairTransaction(storeReached, status, calls);
  }

  // Save and revert must come after the storage reference was given back.
  auto expectNoReferenceHeld() {
    return [this](tStatus2&) { EXPECT_EQ(storage.references, 0); };
  }

  StrictMock<vddb::testing::MockMHWConfiguration> configuration;
  CountingStorage storage;
};

TEST_F(RepairTransactionTest, OpenFailsNothingElseIsCalled) {
  gHarness.openCode = kOpenFailed;
  bool reached = true;
  tStatus2 status;
  run(reached, status);  // the strict mock fails on any call
  EXPECT_FALSE(reached);
  EXPECT_EQ(status.code, kOpenFailed);
  EXPECT_EQ(gHarness.passRuns, 0);
  EXPECT_EQ(gHarness.openReserved, nullptr);
  EXPECT_EQ(gHarness.openFlags, 64U);
}

TEST_F(RepairTransactionTest, OpenGivesNoConfigurationCountsAsNotReached) {
  gHarness.configuration = nullptr;
  bool reached = true;
  tStatus2 status;
  run(reached, status);
  EXPECT_FALSE(reached);
  EXPECT_EQ(status.code, kNoConfigurationCode);
  EXPECT_EQ(gHarness.passRuns, 0);
}

TEST_F(RepairTransactionTest, AllSucceedSavesOnceAndFinalizesOnce) {
  {
    InSequence order;
    EXPECT_CALL(configuration, getStorage(_)).WillOnce(Return(&storage));
    EXPECT_CALL(configuration, saveConfiguration(_)).WillOnce(Invoke(expectNoReferenceHeld()));
    EXPECT_CALL(configuration, finalize(_));
  }
  bool reached = false;
  tStatus2 status;
  run(reached, status);
  EXPECT_TRUE(reached);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(gHarness.passRuns, 1);
  EXPECT_EQ(gHarness.passStorage, &storage);
  EXPECT_EQ(gHarness.referencesDuringPasses, 1);
  EXPECT_EQ(gHarness.passConfiguration, &configuration);
  EXPECT_EQ(gHarness.passStatusAddress, &status);
  EXPECT_EQ(storage.references, 0);
}

TEST_F(RepairTransactionTest, WarningFromGetStorageStillSaves) {
  {
    InSequence order;
    EXPECT_CALL(configuration, getStorage(_)).WillOnce(Invoke([this](tStatus2& s) {
      s.code = 2;
      return &storage;
    }));
    EXPECT_CALL(configuration, saveConfiguration(_));
    EXPECT_CALL(configuration, finalize(_));
  }
  bool reached = false;
  tStatus2 status;
  run(reached, status);
  EXPECT_EQ(status.code, 2);
  EXPECT_EQ(gHarness.passStatusCode, 2);
}

TEST_F(RepairTransactionTest, SaveFailsRevertsThenFinalizesAndKeepsTheSaveError) {
  {
    InSequence order;
    EXPECT_CALL(configuration, getStorage(_)).WillOnce(Return(&storage));
    EXPECT_CALL(configuration, saveConfiguration(_)).WillOnce(Invoke([](tStatus2& s) {
      s.code = kSaveFailed;
    }));
    EXPECT_CALL(configuration, revertConfiguration(_)).WillOnce(Invoke([](tStatus2& s) {
      EXPECT_EQ(s.code, 0) << "revert gets a fresh status";
      s.code = E_FAIL;
    }));
    EXPECT_CALL(configuration, finalize(_)).WillOnce(Invoke([](tStatus2& s) {
      EXPECT_EQ(s.code, 0) << "finalize gets a fresh status";
    }));
  }
  bool reached = false;
  tStatus2 status;
  run(reached, status);
  EXPECT_TRUE(reached);
  EXPECT_EQ(status.code, kSaveFailed);
  EXPECT_EQ(storage.references, 0);
}

TEST_F(RepairTransactionTest, FinalizeFailureHasNoEffect) {
  {
    InSequence order;
    EXPECT_CALL(configuration, getStorage(_)).WillOnce(Return(&storage));
    EXPECT_CALL(configuration, saveConfiguration(_));
    EXPECT_CALL(configuration, finalize(_)).WillOnce(Invoke([](tStatus2& s) {
      s._allocateImplementationObject(StatusNoMemory, "x", "y", 1, nullptr);
    }));
  }
  bool reached = false;
  tStatus2 status;
  run(reached, status);
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(status.hasDescription());
}

TEST_F(RepairTransactionTest, GetStorageFailsSkipsTheSaveRevertsAndFinalizes) {
  {
    InSequence order;
    EXPECT_CALL(configuration, getStorage(_)).WillOnce(Invoke([](tStatus2& s) {
      s.code = StatusNotFound;
      return nullptr;
    }));
    EXPECT_CALL(configuration, revertConfiguration(_));
    EXPECT_CALL(configuration, finalize(_));
  }
  bool reached = false;
  tStatus2 status;
  run(reached, status);
  EXPECT_TRUE(reached);
  EXPECT_EQ(status.code, StatusNotFound);
  // The sequence is handed the error and does nothing with it.
  EXPECT_EQ(gHarness.passStatusCode, StatusNotFound);
  EXPECT_EQ(gHarness.passStorage, nullptr);
}

TEST_F(RepairTransactionTest, GetStorageGivesNothingWithoutErrorIsAFailure) {
  {
    InSequence order;
    EXPECT_CALL(configuration, getStorage(_)).WillOnce(Return(nullptr));
    EXPECT_CALL(configuration, revertConfiguration(_));
    EXPECT_CALL(configuration, finalize(_));
  }
  bool reached = false;
  tStatus2 status;
  run(reached, status);
  EXPECT_TRUE(reached);
  EXPECT_EQ(status.code, kNoStorageCode);
  EXPECT_EQ(gHarness.passStatusCode, kNoStorageCode);
}

TEST_F(RepairTransactionTest, StorageErrorWithAStorageStillBalancesTheReference) {
  {
    InSequence order;
    EXPECT_CALL(configuration, getStorage(_)).WillOnce(Invoke([this](tStatus2& s) {
      s.code = E_FAIL;
      return &storage;
    }));
    EXPECT_CALL(configuration, revertConfiguration(_)).WillOnce(Invoke(expectNoReferenceHeld()));
    EXPECT_CALL(configuration, finalize(_));
  }
  bool reached = false;
  tStatus2 status;
  run(reached, status);
  EXPECT_EQ(status.code, E_FAIL);
  EXPECT_EQ(gHarness.referencesDuringPasses, 1);
  EXPECT_EQ(storage.references, 0);
}

TEST(TransactionCalls, DefaultToTheLibraryAndTheSequence) {
  const tTransactionCalls calls;
  EXPECT_EQ(calls.open, &tMHWConfiguration::initialize);
  EXPECT_EQ(calls.runPasses, &tUpgradeDowngradeMgr::runRepairPasses);
}

}  // namespace
}  // namespace vddb::app
