// Storage faults in a write session, made real by a fault-injecting VFS
// under the engine: once SQLite cannot write (a full disk, an I/O error, a
// folder where no journal can be made), the session's writes are over for
// good, the save fails with that fault's code, reads go on, and the store
// file keeps the state it had before the session. And the engine's own
// allocations failing in turn (support/fault_new.h).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <new>
#include <vector>

#include "engine/engine.h"
#include "engine_test_util.h"
#include "support/fault_new.h"
#include "support/fault_vfs.h"

namespace vddb::engine::test {
namespace {

using ::testing::Each;
using vddb::test::FaultNew;
using vddb::test::FaultVfs;
using vddb::test::VfsCall;
using vddb::test::VfsFault;
using vddb::test::VfsFile;

constexpr const char* kClass = "c0000000-0000-0000-0000-0000000000f1";
constexpr std::uint32_t kCount = 0x10000001;
constexpr std::uint32_t kNext = 0x10000002;
constexpr std::uint32_t kName = 0x10000003;
constexpr unsigned kObjects = 300;

GUID objectGuid(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-0000-0000-0000-000000000000", n);
  return G(text);
}

// Objects 1..kObjects, each with a count, a reference to the next and a
// name long enough that the objects fill many pages.
std::string storeJson() {
  std::string json = R"({"classes": [{"guid": ")" + std::string(kClass) + R"(", "attributes": [
      {"id": "0x10000001", "type": "int"}, {"id": "0x10000002", "type": "ref"},
      {"id": "0x10000003", "type": "string"}]}], "objects": [)";
  for (unsigned n = 1; n <= kObjects; ++n) {
    json += (n > 1 ? "," : "") + std::string(R"({"guid": ")") + formatGuid(objectGuid(n)) +
            R"(", "class": ")" + kClass + R"(", "values": {"0x10000001": )" + std::to_string(n) +
            R"(, "0x10000002": ")" + formatGuid(objectGuid(n % kObjects + 1)) +
            R"(", "0x10000003": ")" + std::string(200, static_cast<char>('a' + n % 26)) + "\"}}";
  }
  return json + "]}";
}

class StorageFaultTest : public EngineTest {
 protected:
  // A fresh store file; `before` its dump.
  void makeStore() {
    path = dir.file("ddb.sqlite");
    std::remove(path.c_str());
    ASSERT_EQ(createStore(path, storeJson()), S_OK);
    before = dumpFile(path);
  }
  void SetUp() override { makeStore(); }
  TempDir dir;
  std::string path;
  std::string before;
};

struct FaultCase {
  const char* name;
  VfsFault fault;
  HRESULT expected;  // the code every write after the fault and the save fail with
  // Armed before the session opens: opening reads every page once (its
  // integrity check), so later reads come from the cache.
  bool beforeOpen = false;
};

const FaultCase kFaultCases[] = {
    {"disk full on one journal write",
     {VfsCall::kWrite, 3, SQLITE_FULL, false, VfsFile::kJournal},
     kStorageIo},
    {"every write fails from the fifth on",
     {VfsCall::kWrite, 5, SQLITE_IOERR_WRITE, true, VfsFile::kAny},
     kStorageIo},
    {"one read of the store fails",
     {VfsCall::kRead, 20, SQLITE_IOERR_READ, false, VfsFile::kMainDb},
     kStorageIo,
     true},
    {"no journal can be created (read-only folder)",
     {VfsCall::kOpen, 1, SQLITE_READONLY_DIRECTORY, true, VfsFile::kJournal},
     kStoreReadOnly},
    {"the journal cannot be opened",
     {VfsCall::kOpen, 1, SQLITE_CANTOPEN, false, VfsFile::kJournal},
     kStorageIo},
    {"the journal does not reach the disk at commit",
     {VfsCall::kSync, 1, SQLITE_IOERR_FSYNC, false, VfsFile::kJournal},
     kStorageIo},
};

// A run as the repair tool makes one: every change is tried whatever the
// ones before gave (a pass may absorb a failure), then the save; a failed
// save is followed by a revert.
TEST_F(StorageFaultTest, EndsTheSessionAndKeepsTheStoreAsItWas) {
  for (const FaultCase& c : kFaultCases) {
    SCOPED_TRACE(c.name);
    makeStore();
    {
      FaultVfs vfs;
      if (c.beforeOpen) vfs.arm(c.fault);
      std::unique_ptr<StoreSession> session;
      ASSERT_EQ(StoreSession::open(path, session), S_OK);
      if (!c.beforeOpen) vfs.arm(c.fault);
      IkorrinStorage* storage = session->storage();
      HRESULT first = S_OK;
      std::vector<HRESULT> later;  // what every write after the first failure gave
      for (unsigned n = 1; n < kObjects; ++n) {
        HRESULT hr = storage->deleteObject(objectGuid(n), nullptr);
        if (hr >= 0 && n % 2 == 0) {
          auto next = openObject(storage, objectGuid(n + 1));
          hr = next ? next->setReference(kNext, nullptr) : kStorageNotFound;
        }
        if (first < 0) {
          later.push_back(hr);
        } else if (hr < 0) {
          first = hr;
        }
      }
      if (first < 0) {
        EXPECT_EQ(first, c.expected) << resultName(first);
        EXPECT_THAT(later, Each(first));
      }
      // Reads go on: the last object was never touched.
      auto last = openObject(storage, objectGuid(kObjects));
      ASSERT_TRUE(last);
      std::int32_t count = 0;
      EXPECT_EQ(last->getInteger(kCount, &count), S_OK);
      EXPECT_EQ(count, static_cast<std::int32_t>(kObjects));
      last.reset();
      EXPECT_EQ(session->commit(), c.expected) << "the save";
      EXPECT_TRUE(vfs.fired());
      EXPECT_EQ(storage->deleteObject(objectGuid(kObjects), nullptr), c.expected);
      EXPECT_EQ(session->rollback(), S_OK) << "the revert";
      EXPECT_EQ(session->commit(), kNoTransaction);
      session.reset();
    }
    EXPECT_TRUE(dumpFile(path) == before) << "the store changed";
    EXPECT_EQ(liveInterfaceCount(), 0u);
  }
}

// The store's answers about objects are no storage faults: the session goes
// on and its save keeps the changes that were made.
TEST_F(StorageFaultTest, AnswersAboutObjectsLeaveTheSessionOpen) {
  std::unique_ptr<StoreSession> session;
  ASSERT_EQ(StoreSession::open(path, session), S_OK);
  IkorrinStorage* storage = session->storage();
  auto first = openObject(storage, objectGuid(1));
  ASSERT_TRUE(first);
  EXPECT_EQ(storage->deleteObject(G("ffffffff-0000-0000-0000-000000000000"), nullptr),
            kStorageNotFound);
  EXPECT_EQ(first->setReference(kCount, nullptr), kTypeMismatch);
  EXPECT_EQ(first->setReference(0x10000009, nullptr), kBadAttribute);
  EXPECT_EQ(first->setReference(kNext, nullptr), S_OK);
  first.reset();
  EXPECT_EQ(storage->deleteObject(objectGuid(2), nullptr), S_OK);
  ASSERT_EQ(session->commit(), S_OK);
  session.reset();
  const std::string after = dumpFile(path);
  EXPECT_EQ(after.find(formatGuid(objectGuid(2))), std::string::npos);
  EXPECT_NE(after, before);
}

// What the repair tool does with a session: reads, deletions and cleared
// references, a revert when any call failed, a save otherwise. The result of
// the save, or the first failure. (Too few lookups for the engine to build
// its tables in memory: those fall back to statements when they cannot get
// their memory.)
constexpr unsigned kChangedObjects = 45;
HRESULT changeAndSave(const std::string& path) {
  std::unique_ptr<StoreSession> session;
  HRESULT hr = StoreSession::open(path, session);
  if (hr < 0) return hr;
  IkorrinStorage* storage = session->storage();
  HRESULT first = S_OK;
  const auto keep = [&](HRESULT result) {
    if (result < 0 && first >= 0) first = result;
  };
  for (unsigned n = 1; n <= kChangedObjects; ++n) {
    if (n % 3 == 0) {
      keep(storage->deleteObject(objectGuid(n), nullptr));
      continue;
    }
    tScopedRef<IStorageObject> object = openObject(storage, objectGuid(n), &hr);
    keep(hr);
    if (!object) continue;
    std::int32_t count = 0;
    keep(object->getInteger(kCount, &count));
    char16_t* name = nullptr;
    keep(object->getString(kName, &name));
    CoTaskMemFree(name);
    if (n % 3 == 1) keep(object->setReference(kNext, nullptr));
  }
  hr = first >= 0 ? session->commit() : first;
  if (hr < 0) session->rollback();
  return hr;
}

// Each allocation of a session failing in turn, once: the save either holds
// every change (and the journal entry that undoes them) or fails, and then
// the store is as it was. No failure is reported as success, and no
// interface outlives its session.
TEST_F(StorageFaultTest, EveryAllocationFailingInTurnSavesAllOrNothing) {
  const std::string pristine = readFile(path);
  ASSERT_EQ(changeAndSave(path), S_OK);
  const std::string after = dumpFile(path);
  ASSERT_NE(after, before);
  const auto journalEntries = [&] {
    std::unique_ptr<StoreSession> reader;
    std::vector<JournalSummary> entries;
    if (StoreSession::openReadOnly(path, reader) >= 0) reader->journal(entries);
    return entries.size();
  };
  const std::size_t journalled = journalEntries();
  ASSERT_GE(journalled, 1u);

  std::uint64_t runs = 0;
  std::uint64_t saved = 0;
  for (std::uint64_t nth = 1;; ++nth, ++runs) {
    writeFile(path, pristine);
    HRESULT hr = E_FAIL;
    bool fired = false;
    {
      FaultNew memory;
      memory.arm(nth, false);
      try {
        hr = changeAndSave(path);
      } catch (const std::bad_alloc&) {
        FAIL() << "std::bad_alloc escaped the engine at allocation " << nth;
      }
      fired = memory.disarm();
    }
    if (!fired) {
      EXPECT_EQ(hr, S_OK) << "with no allocation failing";
      break;
    }
    SCOPED_TRACE("allocation " + std::to_string(nth));
    ASSERT_EQ(liveInterfaceCount(), 0u);
    if (hr >= 0) {
      ++saved;
      ASSERT_EQ(dumpFile(path), after) << "saved, but not every change";
      ASSERT_EQ(journalEntries(), journalled) << "saved without its journal entry";
    } else {
      ASSERT_EQ(hr, E_OUTOFMEMORY) << resultName(hr);
      ASSERT_EQ(dumpFile(path), before) << "failed, and the store changed";
    }
  }
  std::printf("[ sweep    ] %llu allocations failed in turn, %llu runs saved anyway\n",
              static_cast<unsigned long long>(runs), static_cast<unsigned long long>(saved));
  EXPECT_GT(runs, 300u);
}

}  // namespace
}  // namespace vddb::engine::test
