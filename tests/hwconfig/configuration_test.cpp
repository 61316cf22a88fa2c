// tMHWConfiguration: the storage it lends, its transaction (save commits,
// revert discards, finalize closes), and initialize on the store file named
// by VARKEL_DDB_PATH.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include "../support/posix_shims.h"
#include "engine/engine.h"
#include "hwconfig/hwconfig.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "store/model_ids.h"
#include "support/store_fixture.h"

namespace vddb::hwconfig::tests {

using namespace vddb::test;  // the shared store fixtures
namespace {

using ::testing::ElementsAre;

// Any class outside the hardware items.
constexpr GUID kPlainClass = model::kLinkTargetClass;

// Saved Trelix chassis 1 and 2.
StoreJson twoChassis() {
  StoreJson store;
  store.add(90, kPlainClass);
  store.add(1, model::kTrelixChassisClass)
      .ref(model::kTrelixSavedMarker, 90)
      .integer(model::kSlotCount, 1);
  store.add(2, model::kTrelixChassisClass)
      .ref(model::kTrelixSavedMarker, 90)
      .integer(model::kSlotCount, 2);
  return store;
}

std::vector<GUID> savedChassis(tMHWConfiguration& configuration) {
  GuidList saved;
  tStatus2 status;
  configuration.getTrelixConfiguration().getSavedTrelixChassis(saved, status);
  EXPECT_EQ(status.code, 0);
  return toVector(saved);
}

TEST_F(ConfigurationTest, LendsTheStorageItWasBuiltWithAndCallsGoThroughIt) {
  open(twoChassis());
  tStatus2 status;
  EXPECT_EQ(configuration().getStorage(status), decorated());
  EXPECT_EQ(status.code, 0);

  injector().clearJournal();
  EXPECT_THAT(savedChassis(configuration()), ElementsAre(objectGuid(1), objectGuid(2)));
  const std::vector<std::string> queries = injector().calls("createQuery");
  EXPECT_THAT(queries, ElementsAre("IkorrinStorage::createQuery(" +
                                   formatGuid(model::kTrelixChassisClass) + ", 1, 0)"));

  status.code = -1;
  EXPECT_EQ(configuration().getStorage(status), nullptr) << "none on an error status";
  EXPECT_EQ(status.code, -1);
}

TEST_F(ConfigurationTest, SaveAndRevertDoNothingOnAnErrorStatus) {
  open(twoChassis());
  tStatus2 status;
  configuration().getTrelixConfiguration().removeChassis(objectGuid(1), status);
  status.code = -9;
  configuration().saveConfiguration(status);
  configuration().revertConfiguration(status);
  EXPECT_EQ(status.code, -9);
  tStatus2 fresh;
  configuration().revertConfiguration(fresh);
  EXPECT_EQ(fresh.code, 0) << "the transaction was still open";
}

TEST(ConfigurationFactoryTest, BuiltWithoutAStorageItUsesTheSessionsOwn) {
  {
    std::unique_ptr<engine::StoreSession> session;
    ASSERT_EQ(engine::StoreSession::openFromJson(twoChassis().text(), session), S_OK);
    tStatus2 status;
    tMHWConfiguration* configuration = openConfiguration(*session, nullptr, status);
    ASSERT_NE(configuration, nullptr);
    EXPECT_EQ(configuration->getStorage(status), session->storage());
    configuration->finalize(status);

    status.code = -4;
    EXPECT_EQ(openConfiguration(*session, nullptr, status), nullptr) << "none on an error status";
    EXPECT_EQ(status.code, -4);
  }
  EXPECT_EQ(engine::liveInterfaceCount(), 0U);
}

// A store file in a directory of its own, named by VARKEL_DDB_PATH for the test.
class StoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    _dir = std::filesystem::temp_directory_path() /
           ("vddb-hwconfig-" + std::to_string(::getpid()) + "-" + info->name());
    std::filesystem::remove_all(_dir);
    std::filesystem::create_directories(_dir);
    _path = (_dir / "ddb.sqlite").string();
    if (const char* old = std::getenv("VARKEL_DDB_PATH")) _oldPath = old;
    ::setenv("VARKEL_DDB_PATH", _path.c_str(), 1);
  }

  void TearDown() override {
    if (_oldPath) {
      ::setenv("VARKEL_DDB_PATH", _oldPath->c_str(), 1);
    } else {
      ::unsetenv("VARKEL_DDB_PATH");
    }
    std::filesystem::remove_all(_dir);
    EXPECT_EQ(engine::liveInterfaceCount(), 0U);
  }

  void create(const StoreJson& store) {
    std::istringstream json(store.text());
    std::string error;
    ASSERT_EQ(engine::createStoreFromJson(json, _path, false, &error), S_OK) << error;
  }

  // Opens the store as the repair tool does; fails the test when it cannot.
  tMHWConfiguration* initialize() {
    tStatus2 status;
    tMHWConfiguration* configuration = tMHWConfiguration::initialize(nullptr, 64, status);
    EXPECT_EQ(status.code, 0);
    EXPECT_NE(configuration, nullptr);
    return configuration;
  }

  static void removeFirstChassisAndFinish(tMHWConfiguration* configuration,
                                          void (tMHWConfiguration::*finish)(tStatus2&)) {
    tStatus2 status;
    configuration->getTrelixConfiguration().removeChassis(objectGuid(1), status);
    EXPECT_EQ(status.code, 0);
    if (finish != nullptr) (configuration->*finish)(status);
    EXPECT_EQ(status.code, 0);
    tStatus2 finalizeStatus;
    configuration->finalize(finalizeStatus);
  }

  std::filesystem::path _dir;
  std::string _path;
  std::optional<std::string> _oldPath;
};

TEST_F(StoreFileTest, SavedChangesAreThereWhenTheStoreIsOpenedAgain) {
  create(twoChassis());
  tMHWConfiguration* configuration = initialize();
  ASSERT_NE(configuration, nullptr);
  tStatus2 status;
  EXPECT_NE(configuration->getStorage(status), nullptr);
  removeFirstChassisAndFinish(configuration, &tMHWConfiguration::saveConfiguration);

  tMHWConfiguration* reopened = initialize();
  ASSERT_NE(reopened, nullptr);
  EXPECT_THAT(savedChassis(*reopened), ElementsAre(objectGuid(2)));
  reopened->finalize(status);
}

TEST_F(StoreFileTest, RevertedOrUnsavedChangesAreGone) {
  create(twoChassis());
  for (auto finish : {&tMHWConfiguration::revertConfiguration,
                      static_cast<void (tMHWConfiguration::*)(tStatus2&)>(nullptr)}) {
    tMHWConfiguration* configuration = initialize();
    ASSERT_NE(configuration, nullptr);
    removeFirstChassisAndFinish(configuration, finish);

    tMHWConfiguration* reopened = initialize();
    ASSERT_NE(reopened, nullptr);
    EXPECT_THAT(savedChassis(*reopened), ElementsAre(objectGuid(1), objectGuid(2)));
    tStatus2 status;
    reopened->finalize(status);
  }
}

TEST_F(StoreFileTest, AMissingStoreOrAnErrorStatusGiveNoConfiguration) {
  tStatus2 status;
  EXPECT_EQ(tMHWConfiguration::initialize(nullptr, 64, status), nullptr);
  EXPECT_EQ(status.code, engine::kStoreMissing);

  create(twoChassis());
  status.code = -2;
  EXPECT_EQ(tMHWConfiguration::initialize(nullptr, 64, status), nullptr) << "not on an error";
  EXPECT_EQ(status.code, -2);
}

TEST_F(StoreFileTest, AStoreHeldByAnotherSessionIsNotReachable) {
  create(twoChassis());
  std::unique_ptr<engine::StoreSession> holder;
  ASSERT_EQ(engine::StoreSession::open(_path, holder), S_OK);
  tStatus2 status;
  EXPECT_EQ(tMHWConfiguration::initialize(nullptr, 64, status), nullptr);
  EXPECT_EQ(status.code, engine::kStoreLocked);
  holder.reset();

  tMHWConfiguration* configuration = initialize();
  ASSERT_NE(configuration, nullptr) << "finalize and the holder's end release the lock";
  tStatus2 finalizeStatus;
  configuration->finalize(finalizeStatus);
}

}  // namespace
}  // namespace vddb::hwconfig::tests
