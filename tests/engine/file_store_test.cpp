// Store files: creating from JSON, opening, the write lock, commit and
// rollback across sessions, loads that run out of memory, and refusing
// files that are missing, foreign or damaged without changing a byte of
// them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>

#include "engine/engine.h"
#include "engine/store.h"
#include "engine_test_util.h"
#include "support/fault_new.h"

namespace vddb::engine::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string kSmallStore = R"({"objects": [
  {"guid": "00000001-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f",
   "values": {"0x58C003EA": 1, "0x20C003E8": "00000002-0000-0000-0000-000000000000"}},
  {"guid": "00000002-0000-0000-0000-000000000000", "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e"}]})";
constexpr const char* kRecord = "00000001-0000-0000-0000-000000000000";
constexpr const char* kTarget = "00000002-0000-0000-0000-000000000000";
constexpr const char* kLinkRecordClass = "bd95268d-8af7-3ac4-9697-9fed9a8dc51f";

class FileStoreTest : public EngineTest {
 protected:
  void SetUp() override {
    store = dir.file("ddb.sqlite");
    std::string error;
    ASSERT_EQ(createStore(store, kSmallStore, &error), S_OK) << error;
  }
  TempDir dir;
  std::string store;
};

TEST_F(FileStoreTest, LoadCreatesOneFileThatOpensWithTheSameContent) {
  EXPECT_THAT(dir.names(), ElementsAre("ddb.sqlite"));
  std::unique_ptr<StoreSession> s;
  ASSERT_EQ(StoreSession::open(store, s), S_OK);
  auto record = openObject(s->storage(), G(kRecord));
  ASSERT_TRUE(record);
  tScopedRef<IStorageObject> target;
  ASSERT_EQ(record->getReference(0x20C003E8, target.put()), S_OK);
  EXPECT_EQ(formatGuid(guidOf(target.get())), kTarget);
  std::unique_ptr<StoreSession> memory = load(kSmallStore);
  std::string fromFile;
  std::string fromMemory;
  ASSERT_EQ(s->dumpJson(fromFile), S_OK);
  ASSERT_EQ(memory->dumpJson(fromMemory), S_OK);
  EXPECT_EQ(fromFile, fromMemory);
}

TEST_F(FileStoreTest, ChangesLastOnlyWhenCommitted) {
  {
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::open(store, s), S_OK);
    ASSERT_EQ(s->storage()->deleteObject(G(kTarget), nullptr), S_OK);
    // destroyed without commit: rolled back
  }
  {
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::openReadOnly(store, s), S_OK);
    EXPECT_THAT(selectGuids(s->storage(), G("c1b74069-2108-3d9c-6dbd-f106bc02ca2e"), 0),
                ElementsAre(kTarget));
  }
  {
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::open(store, s), S_OK);
    ASSERT_EQ(s->storage()->deleteObject(G(kTarget), nullptr), S_OK);
    ASSERT_EQ(s->commit(), S_OK);
  }
  std::unique_ptr<StoreSession> s;
  ASSERT_EQ(StoreSession::openReadOnly(store, s), S_OK);
  EXPECT_THAT(selectGuids(s->storage(), G("c1b74069-2108-3d9c-6dbd-f106bc02ca2e"), 0), IsEmpty());
  EXPECT_THAT(dir.names(), ElementsAre("ddb.sqlite")) << "no journal left behind";
}

TEST_F(FileStoreTest, SecondWriterIsRefusedWhileTheLockIsHeld) {
  std::unique_ptr<StoreSession> first;
  ASSERT_EQ(StoreSession::open(store, first), S_OK);
  std::unique_ptr<StoreSession> second;
  EXPECT_EQ(StoreSession::open(store, second), kStoreLocked);
  EXPECT_FALSE(second);
  // A reader is not a writer: it gets in and sees the committed state.
  std::unique_ptr<StoreSession> reader;
  ASSERT_EQ(StoreSession::openReadOnly(store, reader), S_OK);
  ASSERT_EQ(first->storage()->deleteObject(G(kTarget), nullptr), S_OK);
  EXPECT_THAT(selectGuids(reader->storage(), G("c1b74069-2108-3d9c-6dbd-f106bc02ca2e"), 0),
              ElementsAre(kTarget));
  reader.reset();
  ASSERT_EQ(first->commit(), S_OK);
  // Committing ends the transaction and releases the lock.
  EXPECT_EQ(StoreSession::open(store, second), S_OK);
}

TEST_F(FileStoreTest, ReadOnlySessionRefusesChanges) {
  std::unique_ptr<StoreSession> s;
  ASSERT_EQ(StoreSession::openReadOnly(store, s), S_OK);
  EXPECT_EQ(s->storage()->deleteObject(G(kTarget), nullptr), kNoTransaction);
  auto record = openObject(s->storage(), G(kRecord));
  EXPECT_EQ(record->setReference(0x20C003E8, nullptr), kNoTransaction);
  EXPECT_EQ(s->commit(), kNoTransaction);
}

TEST_F(FileStoreTest, LoadRefusesAnExistingFileUnlessReplacing) {
  const std::string before = readFile(store);
  std::istringstream json("{}");
  std::string error;
  EXPECT_EQ(createStoreFromJson(json, store, false, &error), kStoreExists);
  EXPECT_THAT(error, HasSubstr("exists"));
  EXPECT_EQ(readFile(store), before);

  {
    std::unique_ptr<StoreSession> busy;
    ASSERT_EQ(StoreSession::open(store, busy), S_OK);
    std::istringstream again("{}");
    EXPECT_EQ(createStoreFromJson(again, store, true, &error), kStoreLocked);
  }
  std::istringstream replacement("{}");
  ASSERT_EQ(createStoreFromJson(replacement, store, true, &error), S_OK) << error;
  EXPECT_THAT(dumpFile(store), HasSubstr("\"objects\": []"));
  EXPECT_THAT(dir.names(), ElementsAre("ddb.sqlite"));
}

void execSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
      << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

// What a forced load finds at its target: only a store of this engine is
// replaced, whatever its schema version or damage; anything else is refused
// and left exactly as it was.
struct ReplaceCase {
  const char* name;
  void (*make)(const std::string& path, const std::string& store);  // `store`: a valid store
  HRESULT expected;
  const char* message;
};

// What is at a path: its kind, and a file's bytes.
std::string lsKind(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::file_status st = fs::symlink_status(path);
  return std::to_string(static_cast<int>(st.type())) + ":" +
         (fs::is_regular_file(st) ? readFile(path) : std::string());
}

const ReplaceCase kReplaceCases[] = {
    {"a text file", [](const std::string& p, const std::string&) { writeFile(p, "notes\n"); },
     kNotAStore, "holds something other than a store; --force replaces only a store of this engine"},
    {"a foreign SQLite database",
     [](const std::string& p, const std::string&) { execSql(p, "CREATE TABLE people(name TEXT)"); },
     kNotAStore, "holds something other than a store"},
    {"a store's first 60 bytes",
     [](const std::string& p, const std::string& store) {
       writeFile(p, readFile(store).substr(0, 60));
     },
     kNotAStore, "cannot be recognised as a store"},
    {"a folder", [](const std::string& p, const std::string&) { std::filesystem::create_directory(p); },
     kNotAStore, "is a folder"},
#ifndef _WIN32
    {"a symbolic link to a store",
     [](const std::string& p, const std::string& store) {
       std::filesystem::create_symlink(store, p);
     },
     kNotAStore, "is a symbolic link"},
    {"a named pipe", [](const std::string& p, const std::string&) { ::mkfifo(p.c_str(), 0600); },
     kNotAStore, "is a device or another special file"},
#endif
    {"a store of another schema version",
     [](const std::string& p, const std::string& store) {
       std::filesystem::copy_file(store, p);
       execSql(p, "UPDATE meta SET value = '1' WHERE key = 'schema'");
     },
     S_OK, ""},
    {"a store with a zeroed page",
     [](const std::string& p, const std::string& store) {
       std::string bytes = readFile(store);
       bytes.replace(bytes.size() - 4096, 4096, std::string(4096, '\0'));
       writeFile(p, bytes);
     },
     S_OK, ""},
};

TEST_F(FileStoreTest, ForcedLoadReplacesOnlyAStoreOfThisEngine) {
  for (const ReplaceCase& c : kReplaceCases) {
    SCOPED_TRACE(c.name);
    const std::string target = dir.file("target");
    c.make(target, store);
    const std::string before = lsKind(target);
    const std::vector<std::string> names = dir.names();
    std::istringstream json(R"({"objects": [{"guid": "00000009-0000-0000-0000-000000000000",
        "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e"}]})");
    std::string error;
    EXPECT_EQ(createStoreFromJson(json, target, true, &error), c.expected) << error;
    if (c.expected < 0) {
      EXPECT_THAT(error, HasSubstr(target + " "));
      EXPECT_THAT(error, HasSubstr(c.message));
      EXPECT_TRUE(lsKind(target) == before) << "the target changed";
    } else {
      EXPECT_THAT(dumpFile(target), HasSubstr("00000009-0000-0000-0000-000000000000"));
    }
    EXPECT_EQ(dir.names(), names) << "nothing left beside it";
    std::filesystem::remove_all(target);
  }
}

TEST_F(FileStoreTest, FailedLoadLeavesNothingBehind) {
  const std::string other = dir.file("other.sqlite");
  std::string error;
  EXPECT_EQ(createStore(other, R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000",
      "class": "99999999-0000-0000-0000-000000000000"}]})",
                        &error),
            kBadJson);
  EXPECT_THAT(error, HasSubstr("unknown class"));
  EXPECT_THAT(dir.names(), ElementsAre("ddb.sqlite"));
  // Duplicates are found when the staged rows move into place.
  EXPECT_EQ(createStore(other, R"({"objects": [
      {"guid": "00000005-0000-0000-0000-000000000000", "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e"},
      {"guid": "00000001-0000-0000-0000-000000000000", "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e"},
      {"guid": "00000005-0000-0000-0000-000000000000", "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e"}]})",
                        &error),
            kBadJson);
  EXPECT_THAT(error,
              HasSubstr("object 00000005-0000-0000-0000-000000000000: the GUID appears twice"));
  EXPECT_THAT(dir.names(), ElementsAre("ddb.sqlite"));
  // A failed replacement keeps the old store.
  const std::string before = readFile(store);
  std::istringstream bad("{\"objects\": [");
  EXPECT_EQ(createStoreFromJson(bad, store, true, &error), kBadJson);
  EXPECT_EQ(readFile(store), before);
  EXPECT_THAT(dir.names(), ElementsAre("ddb.sqlite"));
}

// A stream that can be read once only, as a pipe.
class OneWayBuffer : public std::streambuf {
 public:
  explicit OneWayBuffer(std::string text) : _text(std::move(text)) {
    setg(_text.data(), _text.data(), _text.data() + _text.size());
  }

 private:
  std::string _text;
};

const std::string kObjectsBeforeClasses =
    R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000",
      "class": "c0000000-0000-0000-0000-000000000002", "values": {"0x10000001": 5}}],
      "classes": [{"guid": "c0000000-0000-0000-0000-000000000002",
                   "attributes": [{"id": "0x10000001", "type": "int"}]}]})";

TEST_F(FileStoreTest, ObjectsBeforeClassesLoadFromSeekableAndOneWayStreams) {
  const std::string& json = kObjectsBeforeClasses;
  std::istringstream seekable(json);
  ASSERT_EQ(createStoreFromJson(seekable, dir.file("a.sqlite"), false), S_OK);
  OneWayBuffer buffer(json);
  std::istream oneWay(&buffer);
  ASSERT_EQ(oneWay.tellg(), std::istream::pos_type(-1));
  ASSERT_EQ(createStoreFromJson(oneWay, dir.file("b.sqlite"), false), S_OK);
  EXPECT_THAT(dumpFile(dir.file("a.sqlite")), HasSubstr("\"0x10000001\": 5"));
  EXPECT_EQ(dumpFile(dir.file("a.sqlite")), dumpFile(dir.file("b.sqlite")));
}

// Each allocation of a load through operator new failing in turn, once or
// from then on: the load makes the whole store, or fails with "out of
// memory" and leaves no file behind; never a crash. Objects before their
// classes are read twice from a stream that can seek, and held until the
// classes come from one that cannot.
TEST_F(FileStoreTest, ALoadThatRunsOutOfMemoryMakesTheWholeStoreOrNothing) {
  struct Input {
    const char* name;
    const std::string& json;
    bool oneWay;
  };
  const Input inputs[] = {{"classes first", kSmallStore, false},
                          {"objects first", kObjectsBeforeClasses, false},
                          {"objects first, one way", kObjectsBeforeClasses, true}};
  const std::string target = dir.file("loaded.sqlite");
  for (const Input& input : inputs) {
    std::istringstream whole(input.json);
    ASSERT_EQ(createStoreFromJson(whole, target, false), S_OK);
    const std::string expected = dumpFile(target);
    std::filesystem::remove(target);
    for (const bool persistent : {false, true}) {
      std::uint64_t runs = 0;
      for (std::uint64_t nth = 1;; ++nth, ++runs) {
        SCOPED_TRACE(std::string(input.name) + ", allocation " + std::to_string(nth) +
                     (persistent ? " and on" : ""));
        std::istringstream seekable(input.json);
        OneWayBuffer buffer(input.json);
        std::istream oneWay(&buffer);
        std::string error;
        HRESULT hr = E_FAIL;
        bool fired = false;
        {
          vddb::test::FaultNew memory;
          memory.arm(nth, persistent);
          hr = createStoreFromJson(input.oneWay ? oneWay : seekable, target, false, &error);
          fired = memory.disarm();
        }
        if (hr >= 0) {
          ASSERT_EQ(dumpFile(target), expected);
          std::filesystem::remove(target);
        } else {
          ASSERT_EQ(hr, E_OUTOFMEMORY) << error;
          EXPECT_EQ(error, "out of memory");
          ASSERT_THAT(dir.names(), ElementsAre("ddb.sqlite"));
        }
        if (!fired) {
          EXPECT_EQ(hr, S_OK);
          break;
        }
      }
      EXPECT_GT(runs, 50U);
    }
  }
}

TEST_F(FileStoreTest, MissingStoreIsReportedAndNotCreated) {
  const std::string missing = dir.file("missing.sqlite");
  std::unique_ptr<StoreSession> s;
  EXPECT_EQ(StoreSession::open(missing, s), kStoreMissing);
  EXPECT_EQ(StoreSession::openReadOnly(missing, s), kStoreMissing);
  EXPECT_FALSE(s);
  EXPECT_THAT(dir.names(), ElementsAre("ddb.sqlite"));
  EXPECT_EQ(StoreSession::open(dir.path(), s), kNotAStore) << "a directory";
}

TEST_F(FileStoreTest, EveryCachedStatementIsAnIndexedLookup) {
  std::shared_ptr<Store> raw;
  ASSERT_EQ(Store::openFile(store, Store::Mode::kRead, raw), S_OK);
  const std::vector<std::string> texts = raw->statementTexts();
  EXPECT_GE(texts.size(), 16u);
  for (const std::string& sql : texts) {
    SCOPED_TRACE(sql);
    sqlite3_stmt* plan = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(raw->db(), ("EXPLAIN QUERY PLAN " + sql).c_str(), -1, &plan, nullptr),
        SQLITE_OK);
    std::string details;
    while (sqlite3_step(plan) == SQLITE_ROW) {
      details += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
      details += "; ";
    }
    sqlite3_finalize(plan);
    EXPECT_THAT(details, ::testing::Not(HasSubstr("SCAN"))) << details;
    EXPECT_THAT(details, ::testing::Not(HasSubstr("TEMP B-TREE"))) << details;
  }
}

class DefaultPath : public EngineTest {};

TEST_F(DefaultPath, ComesFromTheEnvironment) {
  ::setenv("VARKEL_DDB_PATH", "/tmp/somewhere/ddb.sqlite", 1);
  EXPECT_EQ(defaultStorePath(), "/tmp/somewhere/ddb.sqlite");
  ::unsetenv("VARKEL_DDB_PATH");
#ifdef _WIN32
  const char* programData = std::getenv("ProgramData");
  ASSERT_NE(programData, nullptr);
  EXPECT_EQ(defaultStorePath(), std::string(programData) + "\\Varkel\\ddb.sqlite");
#else
  EXPECT_EQ(defaultStorePath(), "/var/lib/varkel/ddb.sqlite");
#endif
}

// --- Files that are not usable stores -------------------------------------------


std::string randomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(gen() & 0xFF);
  return bytes;
}

struct DamageCase {
  const char* name;
  // Turns the valid store at the path into the damaged file.
  void (*damage)(const std::string& path);
  HRESULT expected;
};

const DamageCase kDamageCases[] = {
    {"random bytes", [](const std::string& p) { writeFile(p, randomBytes(8192, 1)); }, kNotAStore},
    {"empty file", [](const std::string& p) { writeFile(p, ""); }, kNotAStore},
    {"text file", [](const std::string& p) { writeFile(p, "{\"objects\": []}\n"); }, kNotAStore},
    {"truncated to half",
     [](const std::string& p) {
       const std::string bytes = readFile(p);
       writeFile(p, bytes.substr(0, bytes.size() / 2));
     },
     kStoreDamaged},
    {"truncated inside the header",
     [](const std::string& p) { writeFile(p, readFile(p).substr(0, 60)); }, kStoreDamaged},
    {"truncated at an odd size",
     [](const std::string& p) {
       const std::string bytes = readFile(p);
       writeFile(p, bytes.substr(0, bytes.size() - 100));
     },
     kStoreDamaged},
    {"header page size garbled",
     [](const std::string& p) {
       std::string bytes = readFile(p);
       bytes[16] = 0x03;
       bytes[17] = 0x01;
       writeFile(p, bytes);
     },
     kStoreDamaged},
    {"foreign SQLite database",
     [](const std::string& p) {
       std::remove(p.c_str());
       execSql(p, "CREATE TABLE people(name TEXT); INSERT INTO people VALUES('x');");
     },
     kNotAStore},
    {"wrong format marker",
     [](const std::string& p) {
       execSql(p, "UPDATE meta SET value = 'other' WHERE key = 'format'");
     },
     kNotAStore},
    {"newer schema version",
     [](const std::string& p) { execSql(p, "UPDATE meta SET value = '4' WHERE key = 'schema'"); },
     kStoreVersion},
    // Version 1 kept texts and reference lists in key-ordered tables.
    {"schema version 1 layout",
     [](const std::string& p) {
       std::remove(p.c_str());
       execSql(p,
               "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
               "INSERT INTO meta VALUES('format', 'vddb-store'), ('schema', '1');"
               "CREATE TABLE classes(guid BLOB PRIMARY KEY, base BLOB, name TEXT NOT NULL)"
               " WITHOUT ROWID;"
               "CREATE TABLE attributes(class BLOB NOT NULL, id INTEGER NOT NULL,"
               " type INTEGER NOT NULL, owning INTEGER NOT NULL, PRIMARY KEY(class, id))"
               " WITHOUT ROWID;"
               "CREATE TABLE objects(guid BLOB PRIMARY KEY, class BLOB NOT NULL) WITHOUT ROWID;"
               "CREATE TABLE int_values(object BLOB NOT NULL, attr INTEGER NOT NULL,"
               " value INTEGER NOT NULL, PRIMARY KEY(object, attr)) WITHOUT ROWID;"
               "CREATE TABLE string_values(object BLOB NOT NULL, attr INTEGER NOT NULL,"
               " value BLOB NOT NULL, PRIMARY KEY(object, attr)) WITHOUT ROWID;"
               "CREATE TABLE ref_values(object BLOB NOT NULL, attr INTEGER NOT NULL,"
               " targets BLOB NOT NULL, PRIMARY KEY(object, attr)) WITHOUT ROWID;"
               "CREATE INDEX objects_by_class ON objects(class, guid);"
               "CREATE INDEX int_values_by_value ON int_values(attr, value, object);"
               "CREATE INDEX string_values_by_value ON string_values(attr, value, object);");
     },
     kStoreVersion},
    {"catalog base class missing",
     [](const std::string& p) {
       execSql(p,
               "UPDATE classes SET base = x'99999999000000000000000000000000' "
               "WHERE guid = x'bd95268d8af73ac496979fed9a8dc51f'");
     },
     kStoreDamaged},
    {"catalog cycle",
     [](const std::string& p) {
       execSql(p,
               "UPDATE classes SET base = x'f39b43ad97ef3afc6a55a74ae9a6b459' "
               "WHERE guid = x'fd0cec608263383fd0afc3369715499c'");
     },
     kStoreDamaged},
    {"catalog attribute type invalid",
     [](const std::string& p) {
       execSql(p, "UPDATE attributes SET type = 7 WHERE id = 0x58C003EA");
     },
     kStoreDamaged},
    {"catalog ownership flag invalid",
     [](const std::string& p) { execSql(p, "UPDATE attributes SET owning = 2 WHERE type = 12"); },
     kStoreDamaged},
    {"catalog attribute of no class",
     [](const std::string& p) {
       execSql(p, "INSERT INTO attributes VALUES(x'77777777000000000000000000000000', 1, 3, 0)");
     },
     kStoreDamaged},
    {"catalog GUID malformed",
     [](const std::string& p) { execSql(p, "INSERT INTO classes VALUES(x'0102', NULL, 'short')"); },
     kStoreDamaged},
    {"value table missing", [](const std::string& p) { execSql(p, "DROP TABLE ref_values"); },
     kStoreDamaged},
    // A key index cannot be dropped; one lost from the schema is damage all the same.
    {"value key index missing",
     [](const std::string& p) {
       execSql(p, "PRAGMA writable_schema = ON; DELETE FROM sqlite_master"
                  " WHERE name = 'sqlite_autoindex_ref_values_1'");
     },
     kStoreDamaged},
    {"journal missing", [](const std::string& p) { execSql(p, "DROP TABLE journal"); },
     kStoreDamaged},
    {"text value index missing",
     [](const std::string& p) { execSql(p, "DROP INDEX string_values_by_value"); }, kStoreDamaged},
    {"write-ahead log mode", [](const std::string& p) { execSql(p, "PRAGMA journal_mode = WAL"); },
     kNotAStore},
};

TEST(DamagedStore, IsRefusedWithItsCodeAndLeftByteForByte) {
  for (const DamageCase& c : kDamageCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("ddb.sqlite");
    ASSERT_EQ(createStore(path, kSmallStore), S_OK);
    c.damage(path);
    const std::string before = readFile(path);
    const std::vector<std::string> names = dir.names();
    for (const bool write : {true, false}) {
      std::unique_ptr<StoreSession> s;
      const HRESULT hr = write ? StoreSession::open(path, s) : StoreSession::openReadOnly(path, s);
      EXPECT_EQ(hr, c.expected) << resultName(hr) << (write ? " (write)" : " (read)");
      EXPECT_FALSE(s);
    }
    EXPECT_EQ(readFile(path), before);
    EXPECT_EQ(dir.names(), names);
    EXPECT_EQ(liveInterfaceCount(), 0u);
  }
}

// A zeroed page of an index that no call of the session reads: only the
// integrity check finds it, and in a write session what it finds at open
// ends the writes.
TEST(DamagedStore, IntegrityCheckReportsWhatSQLiteFinds) {
  TempDir dir;
  const std::string path = dir.file("ddb.sqlite");
  ASSERT_EQ(createStore(path, kSmallStore), S_OK);
  std::vector<std::string> findings{"stale"};
  for (const auto depth :
       {StoreSession::IntegrityCheck::kQuick, StoreSession::IntegrityCheck::kFull}) {
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::openReadOnly(path, s), S_OK);
    EXPECT_EQ(s->checkIntegrity(depth, findings), S_OK);
    EXPECT_THAT(findings, IsEmpty());
  }
  int page = 0;
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* select = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = 'objects_by_class'",
                           -1, &select, nullptr),
        SQLITE_OK);
    ASSERT_EQ(sqlite3_step(select), SQLITE_ROW);
    page = sqlite3_column_int(select, 0);
    sqlite3_finalize(select);
    sqlite3_close(db);
  }
  std::string bytes = readFile(path);
  bytes.replace(static_cast<std::size_t>(page - 1) * 4096, 4096, std::string(4096, '\0'));
  writeFile(path, bytes);
  for (const auto depth :
       {StoreSession::IntegrityCheck::kQuick, StoreSession::IntegrityCheck::kFull}) {
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::openReadOnly(path, s), S_OK);
    EXPECT_EQ(s->checkIntegrity(depth, findings), kStoreDamaged);
    EXPECT_THAT(findings, Contains(HasSubstr("Page " + std::to_string(page))));
  }
  std::unique_ptr<StoreSession> s;
  ASSERT_EQ(StoreSession::open(path, s), S_OK);
  auto record = openObject(s->storage(), G(kRecord));
  ASSERT_TRUE(record) << "reads go on";
  EXPECT_EQ(record->setReference(0x20C003E8, nullptr), kStoreDamaged);
  record.reset();
  EXPECT_EQ(s->commit(), kStoreDamaged);
  EXPECT_EQ(s->rollback(), S_OK);
  s.reset();
  EXPECT_EQ(readFile(path), bytes);
  EXPECT_EQ(liveInterfaceCount(), 0u);
}

TEST(DamagedStore, GarbledPagesGiveErrorsNotCrashes) {
  // Overwrite every page after the first in turn: opening or reading must
  // end in a result code, whatever the page held.
  TempDir dir;
  const std::string path = dir.file("ddb.sqlite");
  ASSERT_EQ(createStore(path, kSmallStore), S_OK);
  const std::string pristine = readFile(path);
  const std::size_t pageSize = 4096;
  ASSERT_EQ(pristine.size() % pageSize, 0u);
  int refusedOrFailed = 0;
  for (std::size_t page = 1; page < pristine.size() / pageSize; ++page) {
    std::string bytes = pristine;
    const std::string noise = randomBytes(pageSize, static_cast<unsigned>(page));
    bytes.replace(page * pageSize, pageSize, noise);
    writeFile(path, bytes);
    std::unique_ptr<StoreSession> s;
    const HRESULT hr = StoreSession::openReadOnly(path, s);
    if (hr < 0) {
      ++refusedOrFailed;
      continue;
    }
    std::string text;
    if (s->dumpJson(text) < 0) ++refusedOrFailed;
  }
  EXPECT_GT(refusedOrFailed, 0);
  EXPECT_EQ(liveInterfaceCount(), 0u);
}

// A class name in a damaged catalog that is not UTF-8: the dump shows what
// is not as U+FFFD and stays JSON that loads back to the same dump.
struct NameCase {
  const char* label;
  const char* bytes;  // the name, as SQL hex
};

const NameCase kNameCases[] = {
    {"stray continuation bytes", "517592917461"},  // Qu 0x92 0x91 ta
    {"sequence cut short", "5175E282"},            // Qu and two bytes of three
    {"overlong slash", "5175C0AF"},
    {"encoded surrogate", "5175EDA080"},
};

// The dump of the store `dump` loads to, or nothing when the load refuses
// it (with the reason in `error`).
std::optional<std::string> reloadedDump(const std::string& dump, std::string* error = nullptr) {
  std::unique_ptr<StoreSession> loaded;
  if (StoreSession::openFromJson(dump, loaded, error) < 0) return std::nullopt;
  std::string again;
  EXPECT_EQ(loaded->dumpJson(again), S_OK);
  return again;
}

TEST(DamagedStore, ClassNameNotUtf8IsDumpedAsReplacementCharacters) {
  for (const NameCase& c : kNameCases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const std::string path = dir.file("ddb.sqlite");
    ASSERT_EQ(createStore(path, kSmallStore), S_OK);
    execSql(path, std::string("UPDATE classes SET name = CAST(x'") + c.bytes +
                      "' AS TEXT) WHERE guid = x'bd95268d8af73ac496979fed9a8dc51f'");
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::openReadOnly(path, s), S_OK);
    std::string dump;
    ASSERT_EQ(s->dumpJson(dump), S_OK);
    EXPECT_THAT(dump, HasSubstr("\"name\": \"Qu\xEF\xBF\xBD"));
    std::string error;
    const std::optional<std::string> again = reloadedDump(dump, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(*again, dump);
  }
  EXPECT_EQ(liveInterfaceCount(), 0u);
}

// Two objects with a value in each value table: every table the dump merges
// holds two keys.
const std::string kTwoOfEach = R"({"objects": [
  {"guid": "00000001-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f",
   "values": {"0x58C003EA": 1, "0x20C003E8": "00000003-0000-0000-0000-000000000000"}},
  {"guid": "00000002-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f",
   "values": {"0x58C003EA": 2, "0x20C003E8": "00000004-0000-0000-0000-000000000000"}},
  {"guid": "00000003-0000-0000-0000-000000000000", "class": "850f6895-31ba-4eff-b2e8-1197ff1db2e4",
   "values": {"0xB8C0F010": "rack-3"}},
  {"guid": "00000004-0000-0000-0000-000000000000", "class": "850f6895-31ba-4eff-b2e8-1197ff1db2e4",
   "values": {"0xB8C0F010": "rack-4"}}]})";

// A B-tree whose rows are out of key order, made by declaring the key
// descending over rows stored ascending: SQLite then hands the rows out
// backwards. The dump merges the tables in key order and would pass over
// the values it meets out of order; it reports the damage instead.
struct OrderCase {
  const char* table;
  const char* key;        // as the schema declares it
  const char* backwards;  // the same key declared descending
};

const OrderCase kOrderCases[] = {
    {"objects", "guid BLOB PRIMARY KEY", "guid BLOB PRIMARY KEY DESC"},
    {"int_values", "PRIMARY KEY(object, attr)", "PRIMARY KEY(object DESC, attr DESC)"},
    {"string_values", "PRIMARY KEY(object, attr)", "PRIMARY KEY(object DESC, attr DESC)"},
    {"ref_values", "PRIMARY KEY(object, attr)", "PRIMARY KEY(object DESC, attr DESC)"},
};

TEST(DamagedStore, DumpReportsRowsOutOfKeyOrder) {
  for (const OrderCase& c : kOrderCases) {
    SCOPED_TRACE(c.table);
    TempDir dir;
    const std::string path = dir.file("ddb.sqlite");
    ASSERT_EQ(createStore(path, kTwoOfEach), S_OK);
    {
      std::unique_ptr<StoreSession> s;
      ASSERT_EQ(StoreSession::openReadOnly(path, s), S_OK);
      std::string text;
      ASSERT_EQ(s->dumpJson(text), S_OK) << "intact, the store dumps";
    }
    execSql(path, std::string("PRAGMA writable_schema = ON; UPDATE sqlite_master SET sql = "
                              "replace(sql, '") +
                      c.key + "', '" + c.backwards + "') WHERE name = '" + c.table + "'");
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::openReadOnly(path, s), S_OK);
    std::string text;
    std::string error;
    EXPECT_EQ(s->dumpJson(text, &error), kStoreDamaged) << text;
    EXPECT_THAT(error, HasSubstr("malformed")) << error;
  }
  EXPECT_EQ(liveInterfaceCount(), 0u);
}

// Values no read takes end the dump as damage; an empty reference row
// reads as no value and is dumped as none. Either way what is dumped loads
// to the same dump.
struct ValueCase {
  const char* label;
  const char* sql;
  const char* error;  // null: the dump succeeds
};

const ValueCase kValueCases[] = {
    {"a reference list of three bytes of text",
     "UPDATE ref_values SET targets = 'abc' WHERE object = x'00000001000000000000000000000000'",
     "object 00000001-0000-0000-0000-000000000000: the value of 0x20C003E8 is damaged"},
    {"a reference list of 17 bytes",
     "UPDATE ref_values SET targets = zeroblob(17) WHERE object = "
     "x'00000002000000000000000000000000'",
     "object 00000002-0000-0000-0000-000000000000: the value of 0x20C003E8 is damaged"},
    {"a text of three bytes",
     "UPDATE string_values SET value = x'410042' WHERE object = "
     "x'00000003000000000000000000000000'",
     "object 00000003-0000-0000-0000-000000000000: the value of 0xB8C0F010 is damaged"},
    {"an empty reference row",
     "UPDATE ref_values SET targets = x'' WHERE object = x'00000001000000000000000000000000'",
     nullptr},
};

TEST(DamagedStore, DumpReportsValuesNoReadTakesAndLeavesOutEmptyLists) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    const std::string path = dir.file("ddb.sqlite");
    ASSERT_EQ(createStore(path, kTwoOfEach), S_OK);
    execSql(path, c.sql);
    std::unique_ptr<StoreSession> s;
    ASSERT_EQ(StoreSession::openReadOnly(path, s), S_OK);
    std::string dump;
    std::string error;
    if (c.error != nullptr) {
      EXPECT_EQ(s->dumpJson(dump, &error), kStoreDamaged) << dump;
      EXPECT_THAT(error, HasSubstr(c.error));
      continue;
    }
    ASSERT_EQ(s->dumpJson(dump, &error), S_OK) << error;
    const nlohmann::json objects = nlohmann::json::parse(dump)["objects"];
    EXPECT_FALSE(objects[0]["values"].contains("0x20C003E8")) << dump;
    EXPECT_TRUE(objects[1]["values"].contains("0x20C003E8")) << dump;
    const std::optional<std::string> again = reloadedDump(dump, &error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(*again, dump);
  }
  EXPECT_EQ(liveInterfaceCount(), 0u);
}

// Two objects with a value of each kind (a reference, a list, an integer,
// a text), each value table holding two rows.
const std::string kEveryKindTwice = R"({"objects": [
  {"guid": "00000001-0000-0000-0000-000000000000", "class": "642eaeb9-aa16-3a36-a6e3-f7abee2fd50d",
   "values": {"0x20C00021": "00000003-0000-0000-0000-000000000000", "0x58C0F001": 1,
              "0xEEC00022": ["00000003-0000-0000-0000-000000000000",
                             "00000004-0000-0000-0000-000000000000"]}},
  {"guid": "00000002-0000-0000-0000-000000000000", "class": "642eaeb9-aa16-3a36-a6e3-f7abee2fd50d",
   "values": {"0x58C0F001": 2, "0xEEC00024": ["00000004-0000-0000-0000-000000000000"]}},
  {"guid": "00000003-0000-0000-0000-000000000000", "class": "850f6895-31ba-4eff-b2e8-1197ff1db2e4",
   "values": {"0xB8C0F010": "rack-3"}},
  {"guid": "00000004-0000-0000-0000-000000000000", "class": "850f6895-31ba-4eff-b2e8-1197ff1db2e4",
   "values": {"0xB8C0F010": "rack-4"}}]})";

// Every cell of the object and value tables set, one at a time, to what a
// damaged file may hold there: another storage class, a wrong size, a number
// out of range. The store dumps or reports damage; what it dumps is JSON
// and, when it loads, loads to the same dump.
TEST(DamagedStore, AnyOneCellDamagedDumpsWhatLoadsBackToTheSameDump) {
  const char* const kTables[] = {"objects", "int_values", "string_values", "ref_values"};
  // $ is the cell's own value.
  const char* const kEdits[] = {"NULL",
                                "0",
                                "-1",
                                "1099511627776",
                                "1.5",
                                "'abc'",
                                "x''",
                                "zeroblob(17)",
                                "CAST($ AS TEXT)",
                                "CAST($ AS BLOB)",
                                "$ + 4294967296",
                                "substr($, 1, 15)",
                                "$ || $"};
  TempDir dir;
  const std::string intact = dir.file("intact.sqlite");
  const std::string path = dir.file("ddb.sqlite");
  ASSERT_EQ(createStore(intact, kEveryKindTwice), S_OK);
  const std::string intactBytes = readFile(intact);
  int dumped = 0;
  for (const char* table : kTables) {
    std::vector<std::string> columns;
    std::string key;
    int rows = 0;
    {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open_v2(intact.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, (std::string("PRAGMA table_info(") + table + ")").c_str(), -1, &st,
                         nullptr);
      while (sqlite3_step(st) == SQLITE_ROW) {
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        columns.push_back(name);
        if (sqlite3_column_int(st, 5) > 0) key += (key.empty() ? "" : ", ") + name;
      }
      sqlite3_finalize(st);
      sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &st,
                         nullptr);
      if (sqlite3_step(st) == SQLITE_ROW) rows = sqlite3_column_int(st, 0);
      sqlite3_finalize(st);
      sqlite3_close(db);
    }
    ASSERT_GT(rows, 1) << table;
    for (int row = 0; row < rows; ++row) {
      for (const std::string& column : columns) {
        for (std::string edit : kEdits) {
          for (std::size_t at; (at = edit.find('$')) != std::string::npos;) {
            edit.replace(at, 1, column);
          }
          SCOPED_TRACE(std::string(table) + " row " + std::to_string(row) + ": " + column + " = " +
                       edit);
          writeFile(path, intactBytes);
          sqlite3* db = nullptr;
          ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
          const std::string sql = std::string("UPDATE ") + table + " SET " + column + " = " + edit +
                                  " WHERE (" + key + ") IN (SELECT " + key + " FROM " + table +
                                  " LIMIT 1 OFFSET " + std::to_string(row) + ")";
          const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
          sqlite3_close(db);
          if (rc != SQLITE_OK) continue;  // a constraint the schema keeps
          std::unique_ptr<StoreSession> s;
          if (StoreSession::openReadOnly(path, s) < 0) continue;
          std::string dump;
          if (s->dumpJson(dump) < 0) continue;
          ++dumped;
          ASSERT_TRUE(nlohmann::json::accept(dump)) << dump;
          // A damaged store may dump what a load refuses.
          if (const std::optional<std::string> again = reloadedDump(dump)) {
            ASSERT_EQ(*again, dump);
          }
        }
      }
    }
  }
  EXPECT_GT(dumped, 100) << "the sweep reached the dump";
  EXPECT_EQ(liveInterfaceCount(), 0u);
}

}  // namespace
}  // namespace vddb::engine::test
