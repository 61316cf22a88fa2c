// The whole repair run, as vddb-repair makes it, with one fault injected at
// every point in turn: each file call of SQLite (open, read, write, sync,
// lock), each of SQLite's own allocations, each of the runtime's and each
// through operator new (the engine's and the library's containers), once
// and from then on. Whatever fails, the run must not crash or leak, the
// store must hold the state before the repair or the whole repair, and the
// run must say it succeeded exactly when the store holds the whole repair.
//
// Allocations, the runtime's and those through operator new, are the
// exception by design: a pass that runs out of memory ends by itself and
// the passes after it still run, so the run saves what the others repaired,
// and an item whose slot lists could not be read is removed as any
// unreadable item is. There the store must still open and dump, hold no
// object it did not hold before, and the printed line must agree with the
// exit code.
//
// A clean run first counts the points of each kind. CI visits every point
// up to a budget per sweep and spreads the budget evenly over longer ones;
// VDDB_FULL_FAULT_SWEEP=1 (the full-sweep test preset) visits them all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "../support/posix_shims.h"
#include "engine/engine.h"
#include "generate/generate_store.h"
#include "platform/memory.h"
#include "support/fault_new.h"
#include "support/fault_sqlite_memory.h"
#include "support/fault_vfs.h"
#include "support/in_process_repair.h"

namespace vddb::app {
namespace {

using vddb::test::FaultNew;
using vddb::test::FaultSqliteMemory;
using vddb::test::FaultVfs;
using vddb::test::repairOutput;
using vddb::test::repairSucceeded;
using vddb::test::runRepairInProcess;
using vddb::test::VfsCall;
using vddb::test::VfsFault;
using vddb::test::VfsFile;

// The store as the next user of it finds it: opened for writing (which
// also rolls back what a failed run left in a journal), dumped, put back.
std::string storeState(const std::string& path) {
  std::unique_ptr<engine::StoreSession> session;
  HRESULT hr = engine::StoreSession::open(path, session);
  if (hr < 0) return "cannot be opened: " + std::to_string(hr);
  std::string json;
  hr = session->dumpJson(json);
  session->rollback();
  return hr < 0 ? "cannot be dumped: " + std::to_string(hr) : json;
}

// The GUIDs of the objects of a dump.
std::set<std::string> objectsOf(const std::string& dump) {
  std::set<std::string> guids;
  const nlohmann::json store = nlohmann::json::parse(dump, nullptr, false);
  if (!store.is_object() || !store.contains("objects")) return guids;
  for (const auto& object : store["objects"]) guids.insert(object.value("guid", ""));
  return guids;
}

bool includes(const std::set<std::string>& all, const std::set<std::string>& part) {
  return std::includes(all.begin(), all.end(), part.begin(), part.end());
}

// One kind of fault point: arm the nth point of the kind (counted from the
// arming), disarm, and count the points a run passes.
struct Injector {
  std::string name;
  std::function<void(std::uint64_t nth, bool persistent)> arm;
  std::function<bool()> disarm;  // whether the fault fired
  std::function<std::uint64_t()> count;
  bool partialRepairs = false;  // a pass may end alone and the rest be saved
};

class RepairFaultSweepTest : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    dir = test::makeScratchFolder("vddb-fault-sweep");
    ASSERT_FALSE(dir.empty());
    store = dir + "/ddb.sqlite";
    pristine = dir + "/pristine.sqlite";
    ::setenv("VARKEL_DDB_PATH", store.c_str(), 1);
    std::string error;
    if (std::string(GetParam()) == "generated") {
      // A few thousand objects with every kind of damage.
      const generate::StoreRecipe recipe{3000, 11, 0.05};
      ASSERT_EQ(generate::generateStoreFile(recipe, pristine, false, &error), S_OK) << error;
    } else {
      std::ifstream json(std::string(VDDB_SOURCE_DIR) + "/examples/damaged-store.json");
      ASSERT_EQ(engine::createStoreFromJson(json, pristine, false, &error), S_OK) << error;
    }
    before = storeState(pristine);
    restore();
    ASSERT_EQ(runRepairInProcess(), 0) << repairOutput();
    ASSERT_TRUE(repairSucceeded());
    after = storeState(store);
    ASSERT_NE(after, before) << "the store has something to repair";
  }
  void TearDown() override {
    ::unsetenv("VARKEL_DDB_PATH");
    std::filesystem::remove_all(dir);
  }

  // Copied by streams: MinGW's copy_file refuses to overwrite.
  void restore() {
    std::filesystem::remove(store + "-journal");
    std::ifstream in(pristine, std::ios::binary);
    std::ofstream(store, std::ios::binary | std::ios::trunc) << in.rdbuf();
  }

  // Every point of the injector's kind (or an even spread of them), once and
  // from then on; returns how many runs were made.
  std::uint64_t sweep(const Injector& injector) {
    restore();
    injector.disarm();
    const std::uint64_t start = injector.count();
    runRepairInProcess();
    const std::uint64_t points = injector.count() - start;
    EXPECT_GT(points, 0u) << injector.name << ": a clean run passes no point";
    static const bool full = std::getenv("VDDB_FULL_FAULT_SWEEP") != nullptr;
#ifdef VDDB_FEWER_SWEEP_RUNS
    constexpr std::uint64_t kBudget = 30;  // per kind and mode, sanitized or under Wine
#else
    constexpr std::uint64_t kBudget = 60;  // runs per kind and mode in CI
#endif
    const std::uint64_t stride = full ? 1 : (points + kBudget - 1) / kBudget;
    std::uint64_t runs = 0;
    for (const bool persistent : {false, true}) {
      for (std::uint64_t nth = 1; nth <= points; nth += stride) {
        SCOPED_TRACE(injector.name + (persistent ? ", from point " : ", point ") +
                     std::to_string(nth) + " of " + std::to_string(points));
        restore();
        const std::uint64_t liveBlocks = platform::liveAllocations();
        injector.arm(nth, persistent);
        std::int32_t code = -1;
        try {
          code = runRepairInProcess();
        } catch (const std::bad_alloc&) {
          injector.disarm();
          ADD_FAILURE() << "std::bad_alloc escaped the repair";
          return runs;
        }
        const bool fired = injector.disarm();
        ++runs;
        EXPECT_EQ(engine::liveInterfaceCount(), 0u);
        EXPECT_EQ(platform::liveAllocations(), liveBlocks) << "runtime blocks leaked";
        const std::string state = storeState(store);
        const bool whole = state == after;
        if (!fired && !persistent) {
          EXPECT_TRUE(whole) << "no fault, yet " << repairOutput();
        }
        if (injector.partialRepairs) {
          const std::set<std::string> objects = objectsOf(state);
          EXPECT_FALSE(objects.empty()) << state.substr(0, 200);
          EXPECT_TRUE(includes(objectsOf(before), objects)) << "objects made: " << repairOutput();
          EXPECT_EQ(repairSucceeded(), code == 0) << repairOutput();
        } else {
          EXPECT_TRUE(whole || state == before) << "a mixed store: " << state.substr(0, 200);
          EXPECT_EQ(repairSucceeded(), whole) << "exit " << code << ", printed: " << repairOutput();
          EXPECT_EQ(code == 0, whole) << repairOutput();
        }
        if (::testing::Test::HasFailure()) return runs;
      }
    }
    return runs;
  }

  std::string dir;
  std::string store;
  std::string pristine;
  std::string before;
  std::string after;
};

struct VfsKind {
  const char* name;
  VfsCall call;
  int code;
};

const VfsKind kVfsKinds[] = {
    {"open", VfsCall::kOpen, SQLITE_CANTOPEN},   {"read", VfsCall::kRead, SQLITE_IOERR_READ},
    {"write", VfsCall::kWrite, SQLITE_FULL},     {"sync", VfsCall::kSync, SQLITE_IOERR_FSYNC},
    {"lock", VfsCall::kLock, SQLITE_IOERR_LOCK},
};

TEST_P(RepairFaultSweepTest, EveryFileCallOfSqliteFailingInTurn) {
  for (const VfsKind& kind : kVfsKinds) {
    FaultVfs vfs;
    const Injector injector{
        std::string("SQLite ") + kind.name + " call",
        [&](std::uint64_t nth, bool persistent) {
          vfs.arm(VfsFault{kind.call, nth, kind.code, persistent, VfsFile::kAny});
        },
        [&] {
          const bool fired = vfs.fired();
          vfs.disarm();
          return fired;
        },
        [&] { return vfs.calls(kind.call); }};
    const std::uint64_t runs = sweep(injector);
    std::printf("[ sweep    ] %s %s: %llu runs\n", GetParam(), injector.name.c_str(),
                static_cast<unsigned long long>(runs));
    if (HasFailure()) return;
  }
}

TEST_P(RepairFaultSweepTest, EveryAllocationFailingInTurn) {
  {
    FaultSqliteMemory memory;
    const Injector injector{
        "SQLite allocation", [&](std::uint64_t nth, bool persistent) { memory.arm(nth, persistent); },
        [&] { return memory.disarm(); }, [&] { return memory.allocations(); }};
    std::printf("[ sweep    ] %s SQLite allocation: %llu runs\n", GetParam(),
                static_cast<unsigned long long>(sweep(injector)));
  }
  if (HasFailure()) return;
  const Injector runtime{"runtime allocation",
                         [](std::uint64_t nth, bool persistent) {
                           platform::failAllocationAt(nth, persistent);
                         },
                         [] {
                           const bool fired = platform::allocationFaultFired();
                           platform::clearAllocationFault();
                           return fired;
                         },
                         [] { return platform::allocationCount(); },
                         true};
  std::printf("[ sweep    ] %s runtime allocation: %llu runs\n", GetParam(),
              static_cast<unsigned long long>(sweep(runtime)));
  if (HasFailure()) return;
#ifdef VDDB_FEWER_SWEEP_RUNS
  // Only the example store's under the sanitizers and Wine: the generated
  // store's took a minute there, and the native build sweeps it.
  if (std::string(GetParam()) == "generated") return;
#endif
  FaultNew memory;
  const Injector containers{"operator new",
                            [&](std::uint64_t nth, bool persistent) { memory.arm(nth, persistent); },
                            [&] { return memory.disarm(); }, [&] { return memory.allocations(); },
                            true};
  std::printf("[ sweep    ] %s operator new: %llu runs\n", GetParam(),
              static_cast<unsigned long long>(sweep(containers)));
}

INSTANTIATE_TEST_SUITE_P(Stores, RepairFaultSweepTest, ::testing::Values("example", "generated"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace vddb::app
