// The whole repair run, as vddb-repair makes it (real passes, configuration
// library and engine), on a store file whose storage fails: a folder where
// no journal can be made, a damaged page. The run must report the failure
// with the storage's code and leave the file as it was.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "../support/posix_shims.h"
#include "engine/engine.h"
#include "support/fault_vfs.h"
#include "support/in_process_repair.h"

namespace vddb::app {
namespace {

using ::testing::HasSubstr;
using vddb::test::FaultVfs;
using vddb::test::repairOutput;
using vddb::test::runRepairInProcess;
using vddb::test::VfsCall;
using vddb::test::VfsFault;
using vddb::test::VfsFile;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

constexpr std::size_t kPageSize = 4096;  // the engine's (SQLite's default)

class RepairStorageFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = test::makeScratchFolder("vddb-repair-fault");
    ASSERT_FALSE(dir.empty());
    store = dir + "/ddb.sqlite";
    std::ifstream json(std::string(VDDB_E2E_CASES) + "/f_slot_counts_and_orphans/input.json");
    std::string error;
    ASSERT_EQ(engine::createStoreFromJson(json, store, false, &error), S_OK) << error;
    ::setenv("VARKEL_DDB_PATH", store.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("VARKEL_DDB_PATH");
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    std::filesystem::remove_all(dir);
    EXPECT_EQ(engine::liveInterfaceCount(), 0u);
  }

  static std::string failureLine(HRESULT code) {
    char line[160];
    std::snprintf(line, sizeof line, "Operation failed with error code %d  (hex 0x%08X).",
                  static_cast<int>(code), static_cast<unsigned>(code));
    return line;
  }

  std::string dir;
  std::string store;
};

TEST_F(RepairStorageFaultTest, TheRepairItselfSucceedsOnTheHealthyStore) {
  const std::string before = readFile(store);
  EXPECT_EQ(runRepairInProcess(), 0) << repairOutput();
  EXPECT_THAT(repairOutput(), HasSubstr("Successfully completed repair."));
  EXPECT_FALSE(readFile(store) == before) << "the store has something to repair";
}

TEST_F(RepairStorageFaultTest, ReadOnlyFolderFailsTheRunAndChangesNothing) {
  const std::string before = readFile(store);
  std::unique_ptr<FaultVfs> vfs;
#ifndef _WIN32
  const bool permissionsBind = ::geteuid() != 0;
#else
  const bool permissionsBind = false;
#endif
  if (permissionsBind) {
    std::filesystem::permissions(
        dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  } else {
    // Permissions do not stop this user: SQLite is told what it would meet,
    // a journal it cannot create in the folder.
    vfs = std::make_unique<FaultVfs>();
    vfs->arm({VfsCall::kOpen, 1, SQLITE_READONLY_DIRECTORY, true, VfsFile::kJournal});
  }
  EXPECT_EQ(runRepairInProcess(), engine::kStoreReadOnly) << repairOutput();
  EXPECT_THAT(repairOutput(), HasSubstr(failureLine(engine::kStoreReadOnly)));
  EXPECT_EQ(readFile(store), before);
}

// Every page but the first (the header, without which the file is no store)
// zeroed in turn, in the store of every end-to-end case: wherever the
// damage is met (opening, a query, a lookup a pass absorbs, a deletion),
// the run fails as damaged and the file stays as it was.
TEST_F(RepairStorageFaultTest, DamagedPageFailsTheRunAndChangesNothing) {
  for (const auto& entry : std::filesystem::directory_iterator(VDDB_E2E_CASES)) {
    const std::string input = (entry.path() / "input.json").string();
    if (!std::filesystem::exists(input)) continue;
    std::filesystem::remove(store);
    std::ifstream json(input);
    ASSERT_EQ(engine::createStoreFromJson(json, store, false), S_OK) << input;
    const std::string pristine = readFile(store);
    for (std::size_t page = 2; page <= pristine.size() / kPageSize; ++page) {
      SCOPED_TRACE(entry.path().filename().string() + ", page " + std::to_string(page));
      std::string damaged = pristine;
      damaged.replace((page - 1) * kPageSize, kPageSize, std::string(kPageSize, '\0'));
      writeFile(store, damaged);
      EXPECT_EQ(runRepairInProcess(), engine::kStoreDamaged) << repairOutput();
      EXPECT_TRUE(readFile(store) == damaged) << "the store changed";
    }
  }
}

}  // namespace
}  // namespace vddb::app
