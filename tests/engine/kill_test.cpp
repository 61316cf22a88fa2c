// A process killed at any moment leaves its store either as it was before
// the transaction or with all of it, its journal included: a child opens a
// file store, makes a large change (or undoes it) and is killed (SIGKILL)
// before, during and after its commit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine_test_util.h"

namespace vddb::engine::test {
namespace {

constexpr int kRecords = 3000;
constexpr const char* kLinkRecordClass = "bd95268d-8af7-3ac4-9697-9fed9a8dc51f";

std::string recordGuid(int i) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-000000000001", i);
  return text;
}
std::string targetGuid(int i) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-000000000002", i);
  return text;
}

// A class of our own with a list, so the transaction also grows the file.
constexpr const char* kHolderClass = "c0000000-0000-0000-0000-0000000000aa";
constexpr std::uint32_t kHolderList = 0x100000AA;
constexpr int kHolders = 200;
constexpr int kListLength = 400;

std::string holderGuid(int i) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-000000000003", i);
  return text;
}

std::string storeJson() {
  std::string json =
      R"({"classes": [{"guid": ")" + std::string(kHolderClass) +
      R"(", "attributes": [{"id": "0x100000AA", "type": "reflist"}]}], "objects": [)";
  for (int i = 0; i < kHolders; ++i) {
    json += R"({"guid": ")" + holderGuid(i) + R"(", "class": ")" + kHolderClass + R"("},)";
  }
  for (int i = 0; i < kRecords; ++i) {
    json += std::string(i ? "," : "") + R"({"guid": ")" + recordGuid(i) + R"(", "class": ")" +
            kLinkRecordClass + R"(", "values": {"0x58C003EA": )" + std::to_string(i) +
            R"(, "0x20C003E8": ")" + targetGuid(i) + R"(", "0x20C003E9": ")" + targetGuid(i) +
            R"("}}, {"guid": ")" + targetGuid(i) +
            R"(", "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e"})";
  }
  return json + "]}";
}

// The transaction under test: fills the holders' lists (the file grows),
// deletes every other record and its target and clears a reference of the
// rest. Returns false on the first failure.
bool change(IkorrinStorage* storage) {
  for (int h = 0; h < kHolders; ++h) {
    tScopedRef<IStorageObject> holder;
    if (storage->openObject(*parseGuid(holderGuid(h)), holder.put()) < 0) return false;
    std::vector<tScopedRef<IStorageObject>> held(kListLength);
    std::vector<IStorageObject*> list(kListLength);
    for (int k = 0; k < kListLength; ++k) {
      const int target = (h * 7 + k) % kRecords;
      if (storage->openObject(*parseGuid(targetGuid(target)), held[k].put()) < 0) return false;
      list[k] = held[k].get();
    }
    if (holder->setObjectList(kHolderList, kListLength, list.data()) < 0) return false;
  }
  for (int i = 0; i < kRecords; ++i) {
    if (i % 2 == 0) {
      if (storage->deleteObject(*parseGuid(recordGuid(i)), nullptr) < 0) return false;
      if (storage->deleteObject(*parseGuid(targetGuid(i)), nullptr) < 0) return false;
    } else {
      tScopedRef<IStorageObject> record;
      if (storage->openObject(*parseGuid(recordGuid(i)), record.put()) < 0) return false;
      if (record->setReference(0x20C003E9, nullptr) < 0) return false;
    }
  }
  return true;
}

// The undo of the store's latest journal entry.
bool undoLatest(StoreSession& s) {
  std::int64_t undone = 0;
  std::vector<JournalConflict> conflicts;
  return s.undo(0, undone, conflicts) >= 0;
}

// The store as a reader finds it: the dump, and the journal's entries.
std::string stateOf(const std::string& path) {
  std::string state = dumpFile(path);
  std::unique_ptr<StoreSession> s;
  std::vector<JournalSummary> entries;
  if (StoreSession::openReadOnly(path, s) < 0 || s->journal(entries) < 0) return state + "?";
  for (const JournalSummary& e : entries) {
    state += "\nentry " + std::to_string(e.number) + ": " + std::to_string(e.deleted) + " " +
             std::to_string(e.created) + " " + std::to_string(e.changed);
  }
  return state;
}

enum class KillPoint { kWhileChanging, kAfterChangesBeforeCommit, kDuringCommit, kAfterCommit };

// The child: never returns into the test framework.
[[noreturn]] void child(const std::string& path, int out, KillPoint point, bool undo) {
  const auto say = [out](const char* word) {
    const ssize_t ignored = ::write(out, word, 1);
    (void)ignored;
  };
  std::unique_ptr<StoreSession> s;
  if (StoreSession::open(path, s) < 0) ::_exit(2);
  say("o");  // opened
  if (!(undo ? undoLatest(*s) : change(s->storage()))) ::_exit(3);
  say("c");  // changed
  if (point == KillPoint::kAfterChangesBeforeCommit) ::pause();
  if (s->commit() < 0) ::_exit(4);
  say("d");  // done
  ::pause();
  ::_exit(0);
}

class KillTest : public EngineTest {
 public:  // for killDuringCommit, shared by the two fixtures
  void SetUp() override {
    path = dir.file("ddb.sqlite");
    makeStore(false);
    before = stateOf(path);
    // The after state: the same transaction committed on a copy.
    const std::string copy = dir.file("copy.sqlite");
    std::filesystem::copy_file(path, copy);
    {
      std::unique_ptr<StoreSession> s;
      ASSERT_EQ(StoreSession::open(copy, s), S_OK);
      ASSERT_TRUE(undo ? undoLatest(*s) : change(s->storage()));
      const auto start = std::chrono::steady_clock::now();
      ASSERT_EQ(s->commit(), S_OK);
      commitTime = std::chrono::duration_cast<std::chrono::microseconds>(
          std::chrono::steady_clock::now() - start);
    }
    after = stateOf(copy);
    std::filesystem::remove(copy);
    ASSERT_NE(before, after);
  }

  // The store the child starts from: for an undo, with the change committed.
  void makeStore(bool fresh) {
    if (fresh) {
      ASSERT_EQ(std::filesystem::remove(path), true);
    }
    ASSERT_EQ(createStore(path, storeJson()), S_OK);
    if (!undo) return;
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::open(path, s), S_OK);
    ASSERT_TRUE(change(s->storage()));
    ASSERT_EQ(s->commit(), S_OK);
  }

  // Runs one child, waits for `signal` from it, then waits `delay` and kills
  // it. Returns the store's dump afterwards.
  std::string killAt(KillPoint point, char signal, std::chrono::microseconds delay) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      child(path, fds[1], point, undo);
    }
    ::close(fds[1]);
    char got = 0;
    while (::read(fds[0], &got, 1) == 1 && got != signal) {
    }
    EXPECT_EQ(got, signal);
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(fds[0]);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the child ended on its own with " << WEXITSTATUS(status);
    return stateOf(path);
  }

  bool undo = false;  // the child undoes the change instead of making it
  TempDir dir;
  std::string path;
  std::string before;
  std::string after;
  std::chrono::microseconds commitTime{0};
};

TEST_F(KillTest, KilledWhileChangingLeavesTheStoreAsBefore) {
  for (const int us : {0, 200, 1000, 5000}) {
    SCOPED_TRACE(us);
    EXPECT_TRUE(killAt(KillPoint::kWhileChanging, 'o', std::chrono::microseconds(us)) == before);
  }
}

TEST_F(KillTest, KilledBeforeCommitLeavesTheStoreAsBefore) {
  EXPECT_TRUE(killAt(KillPoint::kAfterChangesBeforeCommit, 'c', std::chrono::microseconds(0)) ==
              before);
  // The store is usable again at once: the next writer gets the lock.
  std::unique_ptr<StoreSession> s;
  EXPECT_EQ(StoreSession::open(path, s), S_OK);
}

TEST_F(KillTest, KilledAfterCommitLeavesTheStoreAsAfter) {
  EXPECT_TRUE(killAt(KillPoint::kAfterCommit, 'd', std::chrono::microseconds(0)) == after);
}

class KillTestOfUndo : public KillTest {
 protected:
  void SetUp() override {
    undo = true;
    KillTest::SetUp();
  }
};

void killDuringCommit(KillTest& test) {
  int befores = 0;
  int afters = 0;
  // Kill points spread over twice the time a commit took here.
  for (int step = 0; step <= 12; ++step) {
    const auto us = test.commitTime.count() * step / 5;
    SCOPED_TRACE(us);
    // Each round starts from the original store.
    if (afters > 0 || befores > 0) test.makeStore(true);
    const std::string state =
        test.killAt(KillPoint::kDuringCommit, 'c', std::chrono::microseconds(us));
    const bool isBefore = state == test.before;
    const bool isAfter = state == test.after;
    EXPECT_TRUE(isBefore || isAfter) << "a mix: " << state.substr(0, 200);
    befores += isBefore ? 1 : 0;
    afters += isAfter ? 1 : 0;
  }
  ::testing::Test::RecordProperty("before", befores);
  ::testing::Test::RecordProperty("after", afters);
  ::testing::Test::RecordProperty("commit_us", static_cast<int>(test.commitTime.count()));
}

TEST_F(KillTest, KilledDuringCommitLeavesBeforeOrAfterNeverAMix) { killDuringCommit(*this); }

// The same for an undo: before, the change and its entry; after, the
// change undone and a second entry; never a mix.
TEST_F(KillTestOfUndo, KilledAnywhereLeavesBeforeOrAfterNeverAMix) {
  EXPECT_TRUE(killAt(KillPoint::kWhileChanging, 'o', std::chrono::microseconds(500)) == before);
  EXPECT_TRUE(killAt(KillPoint::kAfterChangesBeforeCommit, 'c', {}) == before);
  killDuringCommit(*this);
}

}  // namespace
}  // namespace vddb::engine::test
