// The journal's bounds and refusals: an undo that a later change stands in
// the way of changes nothing, as does one that runs out of memory; a repair
// that runs out of memory is saved with its report or not at all; the
// journal keeps a bounded history; a store of the previous schema version
// opens as it is and is upgraded by its first change; a newer one is
// refused.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "journal_command.h"
#include "repair_command.h"
#include "store/guid.h"
#include "store/scoped_ref.h"
#include "support/fault_new.h"

namespace {

namespace fs = std::filesystem;
using vddb::engine::JournalSummary;
using vddb::engine::StoreSession;
using vddb::tool::JournalCommand;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    _dir = fs::temp_directory_path() /
           ("vddb-journal-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(_dir);
    fs::create_directories(_dir);
    store = (_dir / "ddb.sqlite").string();
  }
  void TearDown() override { fs::remove_all(_dir); }

  void loadExample() {
    std::ifstream in(VDDB_EXAMPLE_STORE, std::ios::binary);
    std::string error;
    ASSERT_GE(vddb::engine::createStoreFromJson(in, store, false, &error), 0) << error;
  }
  int repair() {
    vddb::tool::RepairCommand command;
    command.store = store;
    std::ostringstream out, err;
    return vddb::tool::runRepairCommand(command, out, err);
  }
  int journal(int (*run)(const JournalCommand&, std::ostream&, std::ostream&),
              std::int64_t entry = 0, std::optional<std::size_t> prune = {}, bool json = false) {
    JournalCommand command;
    command.store = store;
    command.entry = entry;
    command.prune = prune;
    command.json = json;
    std::ostringstream out, err;
    const int exitCode = run(command, out, err);
    said = out.str() + err.str();
    return exitCode;
  }
  std::string dump() {
    std::unique_ptr<StoreSession> s;
    EXPECT_GE(StoreSession::openReadOnly(store, s), 0);
    std::string text;
    EXPECT_GE(s->dumpJson(text), 0);
    return text;
  }
  std::vector<JournalSummary> entries() {
    std::unique_ptr<StoreSession> s;
    std::vector<JournalSummary> list;
    EXPECT_GE(StoreSession::openReadOnly(store, s), 0);
    EXPECT_GE(s->journal(list), 0);
    return list;
  }
  // The store file's bytes, for a sweep to put back before each run.
  std::string storeBytes() const {
    std::ifstream in(store, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void putBack(const std::string& bytes) const {
    std::ofstream(store, std::ios::binary | std::ios::trunc) << bytes;
  }

  struct Faulted {
    int exitCode = -1;
    bool escaped = false;  // std::bad_alloc came out of the command
    bool fired = false;    // the fault was met: the sweep is not past its end
  };
  // Runs `run` with allocation `nth` through operator new failing, and every
  // one after it when `persistent`.
  template <class Run>
  static Faulted withFailingAllocation(std::uint64_t nth, bool persistent, Run&& run) {
    Faulted result;
    vddb::test::FaultNew memory;
    memory.arm(nth, persistent);
    try {
      result.exitCode = run();
    } catch (const std::bad_alloc&) {
      result.escaped = true;
    }
    result.fired = memory.disarm();
    return result;
  }

  // Commits one changed value (a reference of the example's first chassis)
  // with `report` as the entry's report, as a repair's would be.
  void commitWithReport(std::string report) {
    struct Report final : vddb::engine::ChangeObserver {
      std::string text;
      void objectDeleted(const GUID&, const GUID&) noexcept override {}
      void valueChanged(const GUID&, std::uint32_t) noexcept override {}
      bool describeCommit(vddb::engine::CommitNote& note) noexcept override {
        note.report = text;
        note.problems = 1;
        return true;
      }
    } observer;
    observer.text = std::move(report);
    std::unique_ptr<StoreSession> s;
    ASSERT_GE(StoreSession::open(store, s), 0);
    s->setChangeObserver(&observer);
    tScopedRef<IStorageObject> object;
    ASSERT_GE(s->storage()->openObject(*vddb::parseGuid("01000001-0000-4000-8000-000000000001"),
                                       object.put()),
              0);
    ASSERT_GE(object->setReference(0x20C00021, object.get()), 0);
    ASSERT_GE(s->commit(), 0);
  }
  void sql(const char* text) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, text, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
  }

  fs::path _dir;
  std::string store;
  std::string said;
};

// Entry 1 repairs; entry 2 undoes it. Entry 1 cannot be undone again (entry
// 2 touched its objects), nor, after entry 2 is undone, when a row it left
// was changed where no entry saw it. Each refusal changes nothing.
TEST_F(JournalTest, AnUndoThatALaterChangeStandsInTheWayOfChangesNothing) {
  loadExample();
  ASSERT_EQ(repair(), 1);
  ASSERT_EQ(journal(&vddb::tool::runUndo, 1), 0) << said;
  const std::string undone = dump();
  EXPECT_EQ(journal(&vddb::tool::runUndo, 1), 8);
  EXPECT_NE(said.find("entry 1 cannot be undone"), std::string::npos) << said;
  EXPECT_NE(said.find(": entry 2\n"), std::string::npos) << said;
  EXPECT_EQ(dump(), undone);
  EXPECT_EQ(entries().size(), 2U);

  // An object entry 2 put back, changed outside the journal.
  sql("UPDATE int_values SET value = value + 1 WHERE object = "
      "(SELECT object FROM int_values ORDER BY object LIMIT 1)");
  const std::string touched = dump();
  EXPECT_EQ(journal(&vddb::tool::runUndo, 2), 8);
  EXPECT_NE(said.find("no longer as the entry left them"), std::string::npos) << said;
  EXPECT_NE(said.find("changed outside the journal"), std::string::npos) << said;
  EXPECT_EQ(dump(), touched);
  EXPECT_EQ(entries().size(), 2U);
  EXPECT_EQ(journal(&vddb::tool::runUndo, 7), 8) << "no entry 7";
}

// Each allocation of an undo through operator new failing in turn: the undo
// is saved whole with its own entry and says so, or fails, says so and
// leaves the store as it was.
TEST_F(JournalTest, AnUndoThatRunsOutOfMemoryIsSavedWholeOrNotAtAll) {
  loadExample();
  ASSERT_EQ(repair(), 1);
  const std::string repaired = dump();
  const std::string bytes = storeBytes();
  JournalCommand command;
  command.store = store;
  command.entry = 1;
  std::uint64_t runs = 0;
  for (std::uint64_t nth = 1;; ++nth, ++runs) {
    putBack(bytes);
    SCOPED_TRACE("allocation " + std::to_string(nth));
    // Room for what the undo says, made before the fault is armed: the
    // streams' own growth is no allocation of the undo's.
    std::ostringstream out(std::string(4096, ' ')), err(std::string(4096, ' '));
    const auto [exitCode, escaped, fired] =
        withFailingAllocation(nth, false, [&] { return vddb::tool::runUndo(command, out, err); });
    EXPECT_FALSE(escaped) << "std::bad_alloc escaped the undo";
    said = out.str().substr(0, static_cast<std::size_t>(out.tellp())) +
           err.str().substr(0, static_cast<std::size_t>(err.tellp()));
    if (exitCode == 0) {
      ASSERT_EQ(entries().size(), 2U) << said;
      ASSERT_TRUE(dump() != repaired) << "exit 0, but nothing undone: " << said;
      ASSERT_NE(said.find("undid entry 1"), std::string::npos) << said;
    } else {
      ASSERT_EQ(exitCode, 8) << said;
      ASSERT_TRUE(dump() == repaired) << "exit 8, but the store changed: " << said;
      ASSERT_EQ(entries().size(), 1U) << said;
    }
    if (!fired) {
      EXPECT_EQ(exitCode, 0) << said;
      break;
    }
  }
  EXPECT_GT(runs, 100U);
}

// Every commit that changes something adds an entry; past 100 the oldest
// go; --prune keeps the newest KEEP. The undo of a changed value puts the
// old one back.
TEST_F(JournalTest, HistoryIsBoundedAndPrunedByHand) {
  loadExample();
  std::string beforeLast;
  for (int i = 0; i < 103; ++i) {
    if (i == 102) beforeLast = dump();
    std::unique_ptr<StoreSession> s;
    ASSERT_GE(StoreSession::open(store, s), 0);
    tScopedRef<IStorageObject> object;
    ASSERT_GE(s->storage()->openObject(*vddb::parseGuid("01000001-0000-4000-8000-000000000001"),
                                       object.put()),
              0);
    ASSERT_GE(object->setReference(0x20C00021, i % 2 == 0 ? nullptr : object.get()), 0);
    ASSERT_GE(s->commit(), 0);
  }
  std::vector<JournalSummary> list = entries();
  ASSERT_EQ(list.size(), 100U);
  EXPECT_EQ(list.front().number, 4);
  EXPECT_EQ(list.back().number, 103);
  EXPECT_EQ(list.back().changed, 1);
  EXPECT_EQ(journal(&vddb::tool::runHistory, 0, 3), 0);
  EXPECT_EQ(said, "dropped 97 entries\n");
  list = entries();
  ASSERT_EQ(list.size(), 3U);
  EXPECT_EQ(list.front().number, 101);
  ASSERT_EQ(journal(&vddb::tool::runUndo), 0) << said;
  EXPECT_EQ(dump(), beforeLast);
}

// A report of any shape, as a damaged or foreign store may hold, is shown
// as far as it has the shape of records, never fails show, and leaves show
// --json's document JSON.
TEST_F(JournalTest, ShowReadsAReportOfAnyShape) {
  const struct {
    const char* report;
    const char* shown;  // a line show prints
  } cases[] = {
      {R"({"a": {"code": "P1", "message": "m", "deleted": ["x"]}})", "Changed values:\n"},
      {R"([["x"], 7, {"code": "P2", "message": "m", "deleted": [1, ["y"], {"z": 2}],)"
       R"( "changed": ["s", {"object": 3}, [{"object": "x"}]]}])",
       "P2 m\nChanged values:\n"},
      {R"([1, "two", null])", "1 problem in the repair's report\n"},
      {R"("a string")", "Changed values:\n"},
      {"not JSON [", "Changed values:\n"},
      {"\xEF\xBB\xBF[1]", "Changed values:\n"},  // JSON after a byte-order mark
  };
  for (const auto& c : cases) {
    loadExample();
    commitWithReport(c.report);
    EXPECT_EQ(journal(&vddb::tool::runShow, 1), 0) << c.report;
    EXPECT_NE(said.find(c.shown), std::string::npos) << c.report << "\n" << said;
    EXPECT_EQ(journal(&vddb::tool::runShow, 1, {}, true), 0) << c.report;
    EXPECT_TRUE(nlohmann::json::accept(said)) << c.report << "\n" << said;
    std::filesystem::remove(store);
  }
}

// A value change that a record of the entry's report claims is shown under
// that record. And each allocation of history, show and show --json failing
// in turn, once or from then on: the output is whole, or the command fails
// (exit 8, as vddb ends when memory runs out); never an abort. The JSON
// output is laid out as the JSON library lays out the same values.
TEST_F(JournalTest, ShowAndHistoryAreWholeOrFailWhenMemoryRunsOut) {
  loadExample();
  commitWithReport(
      R"([{"code":"P0000","message":"a record","deleted":[],"changed":[)"
      R"({"object":"01000001-0000-4000-8000-000000000001","attribute":"0x20C00021"}]}])");
  ASSERT_EQ(repair(), 1);
  ASSERT_EQ(journal(&vddb::tool::runShow, 1), 0) << said;
  EXPECT_NE(said.find("P0000 a record\n  changed 01000001-0000-4000-8000-000000000001 "
                      "0x20C00021: \"08000001-0000-4000-8000-000000000001\" -> "
                      "\"01000001-0000-4000-8000-000000000001\"\n"),
            std::string::npos)
      << said;

  struct Command {
    const char* name;
    int (*run)(const JournalCommand&, std::ostream&, std::ostream&);
    std::int64_t entry;
    bool json;
  };
  const Command commands[] = {{"history --json", &vddb::tool::runHistory, 0, true},
                              {"show 1", &vddb::tool::runShow, 1, false},
                              {"show 2", &vddb::tool::runShow, 2, false},
                              {"show --json 2", &vddb::tool::runShow, 2, true}};
  for (const Command& c : commands) {
    JournalCommand command;
    command.store = store;
    command.entry = c.entry;
    command.json = c.json;
    std::ostringstream whole;
    ASSERT_EQ(c.run(command, whole, whole), 0) << whole.str();
    if (c.json) {
      EXPECT_EQ(whole.str(), nlohmann::ordered_json::parse(whole.str()).dump(2) + "\n") << c.name;
    }
    for (const bool persistent : {false, true}) {
      std::uint64_t runs = 0;
      for (std::uint64_t nth = 1;; nth += 7, ++runs) {
        SCOPED_TRACE(std::string(c.name) + ", allocation " + std::to_string(nth) +
                     (persistent ? " and on" : ""));
        std::ostringstream out(std::string(1 << 16, ' ')), err(std::string(4096, ' '));
        const Faulted faulted =
            withFailingAllocation(nth, persistent, [&] { return c.run(command, out, err); });
        const bool fired = faulted.fired;
        const int exitCode = faulted.escaped ? 8 : faulted.exitCode;  // "vddb: out of memory"
        if (exitCode != 8) {
          ASSERT_EQ(exitCode, 0);
          ASSERT_TRUE(out.str().substr(0, static_cast<std::size_t>(out.tellp())) == whole.str());
        }
        if (!fired) {
          EXPECT_EQ(exitCode, 0);
          break;
        }
      }
      EXPECT_GT(runs, 20U);
    }
  }
}

// The previous release's store (schema 2, the example store as it wrote
// it): read as it is, left at version 2 by a check, upgraded with the
// first repair, whose undo then gives back the same objects.
TEST_F(JournalTest, PreviousSchemaIsUpgradedByItsFirstChangeAndNewerIsRefused) {
  fs::copy_file(VDDB_SCHEMA2_STORE, store);
  const std::string original = dump();
  EXPECT_TRUE(entries().empty());
  vddb::tool::RepairCommand check;
  check.store = store;
  check.preview = true;
  std::ostringstream out, err;
  EXPECT_EQ(vddb::tool::runRepairCommand(check, out, err), 4) << err.str();
  std::ifstream fixture(VDDB_SCHEMA2_STORE, std::ios::binary), copy(store, std::ios::binary);
  EXPECT_TRUE(std::equal(std::istreambuf_iterator<char>(fixture), {},
                         std::istreambuf_iterator<char>(copy), {}))
      << "a check must leave the previous version's file as it was";

  ASSERT_EQ(repair(), 1);
  EXPECT_EQ(entries().size(), 1U);
  ASSERT_EQ(journal(&vddb::tool::runUndo), 0) << said;
  EXPECT_EQ(dump(), original);

  sql("UPDATE meta SET value = '4' WHERE key = 'schema'");
  std::unique_ptr<StoreSession> s;
  EXPECT_EQ(StoreSession::open(store, s), vddb::engine::kStoreVersion);
  EXPECT_EQ(journal(&vddb::tool::runHistory), 8);
  EXPECT_NE(said.find("unsupported store version"), std::string::npos) << said;
}

// Each third allocation of a repair through operator new failing, once
// (text report) or from then on (JSON report): the repair is saved whole
// with its report in the journal (and undoes back to the store as it was),
// or fails, says so and leaves the store as it was. Never "clean", never a
// crash.
TEST_F(JournalTest, ARepairThatRunsOutOfMemoryIsSavedWithItsReportOrNotAtAll) {
  loadExample();
  const std::string original = dump();
  const std::string bytes = storeBytes();
  vddb::tool::RepairCommand command;
  command.store = store;
  for (const bool persistent : {false, true}) {
    command.json = persistent;
    std::uint64_t runs = 0;
    for (std::uint64_t nth = 1;; nth += 3, ++runs) {
      putBack(bytes);
      SCOPED_TRACE("allocation " + std::to_string(nth) + (persistent ? " on" : ""));
      std::ostringstream out(std::string(1 << 16, ' ')), err(std::string(4096, ' '));
      const auto [exitCode, escaped, fired] = withFailingAllocation(
          nth, persistent, [&] { return vddb::tool::runRepairCommand(command, out, err); });
      EXPECT_FALSE(escaped) << "std::bad_alloc escaped the repair";
      said = err.str().substr(0, static_cast<std::size_t>(err.tellp()));
      const std::vector<JournalSummary> list = entries();
      if (exitCode == 8) {
        ASSERT_TRUE(list.empty()) << said;
        ASSERT_TRUE(dump() == original) << "exit 8, but the store changed: " << said;
      } else {
        ASSERT_TRUE(exitCode == 1 || exitCode == 4) << exitCode << ": " << said;
        ASSERT_EQ(list.size(), 1U) << said;
        ASSERT_GT(list[0].problems, 0) << "saved without its report: " << said;
        ASSERT_EQ(journal(&vddb::tool::runUndo, 1), 0) << said;
        ASSERT_TRUE(dump() == original) << "the undo did not restore the store";
      }
      if (!fired) {
        EXPECT_EQ(exitCode, 1) << said;
        break;
      }
    }
    EXPECT_GT(runs, 100U);
  }
}

}  // namespace
