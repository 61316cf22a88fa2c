// Large values: a long reference list or text is read only by lookups of
// that value itself, never by lookups of keys next to it; texts are found by
// their exact value through a hash index.
//
// Costs are counted in SQLite page reads, not timed: the page cache's hit
// and miss counters, on an in-memory store (a file store may read overflow
// pages around the cache, uncounted).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <optional>
#include <span>

#include "engine/engine.h"
#include "engine/fetch_ahead.h"
#include "engine/json_io.h"
#include "engine/store.h"
#include "engine_test_util.h"

namespace vddb::engine::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kClass = "c1000000-0000-4000-8000-0000000000a1";
constexpr std::uint32_t kOwned = 0xEEC00012;
constexpr std::uint32_t kPeers = 0xEEC00013;
constexpr std::uint32_t kNote = 0xB8C00014;
constexpr std::uint32_t kCount = 0x58C00015;

std::string objectId(std::uint32_t n) {
  char text[40];
  std::snprintf(text, sizeof text, "0b000000-0000-4000-8000-%012x", n);
  return text;
}

std::string classes() {
  return std::string(R"({"classes":[{"guid":")") + kClass +
         R"(","attributes":[{"id":"0xEEC00012","type":"reflist","owning":true},)"
         R"({"id":"0xEEC00013","type":"reflist","owning":false},)"
         R"({"id":"0xB8C00014","type":"string"},{"id":"0x58C00015","type":"int"}]}],"objects":[)";
}

std::string object(std::uint32_t n, const std::string& values) {
  return R"({"guid":")" + objectId(n) + R"(","class":")" + kClass + R"(","values":{)" + values +
         "}}";
}

// Object 1 owns objects 2 .. children + 1 through one list and has a text of
// 16 bytes per child; the children hold no values (their lookups all end
// next to object 1's rows); objects 0x100000 + k, after them, have a name, a
// small list and an integer.
std::string wideStore(std::uint32_t children) {
  std::string list;
  for (std::uint32_t n = 2; n <= children + 1; ++n) {
    list += (n > 2 ? ",\"" : "\"") + objectId(n) + '"';
  }
  std::string json = classes() + object(1, R"("0xEEC00012":[)" + list + R"(],"0xB8C00014":")" +
                                               std::string(std::size_t{children} * 8, 'w') + '"');
  for (std::uint32_t n = 2; n <= children + 1; ++n) json += ',' + object(n, "");
  for (std::uint32_t k = 0; k < 20; ++k) {
    json += ',' + object(0x100000 + k, R"("0xEEC00013":[")" + objectId(1) + R"("],)" +
                                           R"("0xB8C00014":"name-)" + std::to_string(k) +
                                           R"(","0x58C00015":)" + std::to_string(k));
  }
  return json + "]}";
}

// An in-memory store straight from the engine's core, loaded and committed.
std::shared_ptr<Store> memoryStore(const std::string& json) {
  std::shared_ptr<Store> store;
  std::string error;
  EXPECT_EQ(Store::createNew("", store, &error), S_OK) << error;
  if (!store) return store;
  EXPECT_EQ(loadJson(*store, std::string_view(json), &error), S_OK) << error;
  EXPECT_EQ(store->finishLoad(true, &error), S_OK) << error;
  return store;
}

// Pages the connection has read since the last call.
std::int64_t pagesRead(sqlite3* db) {
  int hits = 0;
  int misses = 0;
  int highwater = 0;
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_HIT, &hits, &highwater, 1);
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highwater, 1);
  return std::int64_t{hits} + misses;
}

class LargeValues : public EngineTest {};

TEST_F(LargeValues, OnlyTheWideObjectsOwnLookupsReadItsValues) {
  // 8,000 entries: a 128 KB list and a 128 KB text, 32 pages each.
  constexpr std::uint32_t kChildren = 8000;
  std::shared_ptr<Store> store = memoryStore(wideStore(kChildren));
  ASSERT_TRUE(store);
  sqlite3* db = store->db();
  const GUID wide = G(objectId(1).c_str());

  std::vector<GUID> targets;
  std::u16string text;
  pagesRead(db);
  ASSERT_EQ(store->readReferences(wide, kOwned, targets), S_OK);
  ASSERT_EQ(targets.size(), kChildren);
  EXPECT_GE(pagesRead(db), 32) << "the counter sees the list's own pages";
  ASSERT_EQ(store->readString(wide, kNote, text), S_OK);
  ASSERT_EQ(text.size(), std::size_t{kChildren} * 8);
  EXPECT_GE(pagesRead(db), 32) << "the counter sees the text's own pages";

  // Every lookup of a child's values, and of the named objects' values,
  // ends next to the wide object's rows.
  std::vector<GUID> neighbours;
  for (std::uint32_t n = 2; n <= kChildren + 1; ++n) neighbours.push_back(G(objectId(n).c_str()));
  for (std::uint32_t k = 0; k < 20; ++k) neighbours.push_back(G(objectId(0x100000 + k).c_str()));
  std::int64_t most = 0;
  for (const GUID& g : neighbours) {
    const ClassDef* cls = nullptr;
    std::int32_t value = 0;
    pagesRead(db);
    ASSERT_EQ(store->objectClass(g, cls), S_OK);
    ASSERT_GE(store->readReferences(g, kPeers, targets), S_OK);
    ASSERT_GE(store->readReferences(g, kOwned, targets), S_OK);
    ASSERT_GE(store->readString(g, kNote, text), S_OK);
    ASSERT_GE(store->readInteger(g, kCount, value), S_OK);
    most = std::max(most, pagesRead(db));
  }
  EXPECT_LE(most, 20) << "five lookups of a neighbour read at most a few pages each";

  std::vector<GUID> found;
  QueryCondition byName{kNote, true, 0, u"name-7"};
  pagesRead(db);
  ASSERT_EQ(store->selectObjects({store->catalog().find(G(kClass))}, {byName}, found), S_OK);
  EXPECT_LE(pagesRead(db), 10);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(formatGuid(found[0]), objectId(0x100007));

  ASSERT_EQ(store->begin(), S_OK);
  most = 0;
  for (const GUID& g : neighbours) {
    pagesRead(db);
    ASSERT_EQ(store->deleteObject(g), S_OK);
    most = std::max(most, pagesRead(db));
  }
  EXPECT_LE(most, 30) << "deleting a neighbour and its values reads a few pages";
  ASSERT_EQ(store->readReferences(wide, kOwned, targets), S_OK);
  EXPECT_EQ(targets.size(), kChildren) << "the wide list is untouched";
  ASSERT_EQ(store->rollback(), S_OK);
  store->close();
}

TEST_F(LargeValues, TextsWithTheSameHashAreToldApartByValue) {
  std::shared_ptr<Store> store = memoryStore(wideStore(10));
  ASSERT_TRUE(store);
  // Give name-3 the hash of name-5, as a collision would.
  ASSERT_EQ(sqlite3_exec(store->db(),
                         "UPDATE string_values SET hash = (SELECT hash FROM string_values"
                         " WHERE value = CAST(x'6e0061006d0065002d003500' AS BLOB))"
                         " WHERE value = CAST(x'6e0061006d0065002d003300' AS BLOB)",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_changes(store->db()), 1);
  std::vector<GUID> found;
  ASSERT_EQ(store->selectObjects({store->catalog().find(G(kClass))},
                                 {QueryCondition{kNote, true, 0, u"name-5"}}, found),
            S_OK);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(formatGuid(found[0]), objectId(0x100005));
  store->close();
}

// Long texts that differ only at the end, and rewriting a text, keep every
// string condition exact. (Texts are written only by loads through the
// interfaces; the engine's core writes them directly here.)
TEST_F(LargeValues, LongTextsAreMatchedExactlyAndFollowRewrites) {
  std::shared_ptr<Store> store =
      memoryStore(classes() + object(1, "") + "," + object(2, "") + "," + object(3, "") + "]}");
  ASSERT_TRUE(store);
  ASSERT_EQ(store->begin(), S_OK);
  const std::vector<const ClassDef*> cls = {store->catalog().find(G(kClass))};
  const auto query = [&](const std::u16string& text) {
    std::vector<GUID> found;
    EXPECT_EQ(store->selectObjects(cls, {QueryCondition{kNote, true, 0, text}}, found), S_OK);
    std::vector<std::string> out;
    for (const GUID& g : found) out.push_back(formatGuid(g));
    return out;
  };
  const auto write = [&](std::uint32_t n, const std::u16string& text) {
    return store->writeString(G(objectId(n).c_str()), kNote, text.data(), text.size());
  };
  const std::u16string common(50000, u'x');
  const std::u16string a = common + u"a";
  const std::u16string b = common + u"b";
  ASSERT_EQ(write(1, a), S_OK);
  ASSERT_EQ(write(2, b), S_OK);
  ASSERT_EQ(write(3, a), S_OK);
  EXPECT_THAT(query(a), ElementsAre(objectId(1), objectId(3)));
  EXPECT_THAT(query(b), ElementsAre(objectId(2)));
  EXPECT_THAT(query(common), IsEmpty());

  ASSERT_EQ(write(3, u"short"), S_OK);
  EXPECT_THAT(query(a), ElementsAre(objectId(1)));
  EXPECT_THAT(query(u"short"), ElementsAre(objectId(3)));
  ASSERT_EQ(write(3, b), S_OK);
  EXPECT_THAT(query(u"short"), IsEmpty());
  EXPECT_THAT(query(b), ElementsAre(objectId(2), objectId(3)));
  ASSERT_EQ(store->deleteObject(G(objectId(2).c_str())), S_OK);
  EXPECT_THAT(query(b), ElementsAre(objectId(3)));

  std::u16string read;
  ASSERT_EQ(store->readString(G(objectId(3).c_str()), kNote, read), S_OK);
  EXPECT_TRUE(read == b);
  ASSERT_EQ(store->rollback(), S_OK);
  store->close();
}

// Files: a wide list and a long text survive the staged load and the dump
// unchanged, and a list rewritten in place reads back in its new order.
TEST_F(LargeValues, WideValuesRoundTripThroughAFile) {
  TempDir dir;
  const std::string json = wideStore(3000);
  ASSERT_EQ(createStore(dir.file("ddb.sqlite"), json), S_OK);
  std::unique_ptr<StoreSession> memory = load(json);
  ASSERT_TRUE(memory);
  std::string fromMemory;
  ASSERT_EQ(memory->dumpJson(fromMemory), S_OK);
  EXPECT_EQ(dumpFile(dir.file("ddb.sqlite")), fromMemory);

  std::unique_ptr<StoreSession> s;
  ASSERT_EQ(StoreSession::open(dir.file("ddb.sqlite"), s), S_OK);
  auto wide = openObject(s->storage(), G(objectId(1).c_str()));
  std::vector<std::string> entries = readList(wide.get(), kOwned);
  ASSERT_EQ(entries.size(), 3000u);
  std::reverse(entries.begin(), entries.end());
  std::vector<tScopedRef<IStorageObject>> held;
  std::vector<IStorageObject*> raw;
  for (const std::string& e : entries) {
    held.push_back(openObject(s->storage(), G(e.c_str())));
    raw.push_back(held.back().get());
  }
  ASSERT_EQ(wide->setObjectList(kOwned, static_cast<std::uint32_t>(raw.size()), raw.data()), S_OK);
  ASSERT_EQ(s->commit(), S_OK);
  held.clear();
  raw.clear();
  wide.reset();
  s.reset();
  ASSERT_EQ(StoreSession::openReadOnly(dir.file("ddb.sqlite"), s), S_OK);
  wide = openObject(s->storage(), G(objectId(1).c_str()));
  EXPECT_EQ(readList(wide.get(), kOwned), entries);
}

// A write transaction that has looked up many classes reads them all at once
// and answers later lookups from memory (no page read); the answers stay
// those of the file through deletions, insertions, a rollback and damage.
TEST_F(LargeValues, ClassesComeFromMemoryOnceEnoughWereLookedUpAndStayTrue) {
  constexpr std::uint32_t kObjects = 5000;  // past the 4,096 lookups of a small file
  std::string json = classes() + object(1, "");
  for (std::uint32_t n = 2; n <= kObjects; ++n) json += ',' + object(n, "");
  std::shared_ptr<Store> store = memoryStore(json + "]}");
  ASSERT_TRUE(store);
  sqlite3* db = store->db();
  const ClassDef* expected = store->catalog().find(G(kClass));
  std::vector<bool> present(kObjects + 20, false);
  for (std::uint32_t n = 1; n <= kObjects; ++n) present[n] = true;
  // Every object and a few that never were: the page reads it took.
  const auto sweep = [&](const char* when) -> std::int64_t {
    pagesRead(db);
    for (std::uint32_t n = 1; n < present.size(); ++n) {
      const ClassDef* cls = nullptr;
      const HRESULT hr = store->objectClass(G(objectId(n).c_str()), cls);
      if (hr != (present[n] ? S_OK : kStorageNotFound) ||
          cls != (present[n] ? expected : nullptr)) {
        ADD_FAILURE() << when << ": object " << n << " gave " << std::hex << hr;
        break;
      }
    }
    return pagesRead(db);
  };

  ASSERT_EQ(store->begin(), S_OK);
  EXPECT_GT(sweep("by lookups"), 0);
  EXPECT_EQ(sweep("from memory"), 0);
  for (std::uint32_t n = 1; n <= 100; ++n) {
    ASSERT_EQ(store->deleteObject(G(objectId(n).c_str())), S_OK);
    present[n] = false;
  }
  EXPECT_EQ(sweep("after deletions"), 0);
  ASSERT_EQ(store->insertObject(G(objectId(kObjects + 1).c_str()), *expected), S_OK);
  present[kObjects + 1] = true;
  EXPECT_GT(sweep("after an insertion, by lookups again"), 0);

  ASSERT_EQ(store->rollback(), S_OK);
  std::fill(present.begin(), present.end(), false);
  for (std::uint32_t n = 1; n <= kObjects; ++n) present[n] = true;
  ASSERT_EQ(store->begin(), S_OK);
  sweep("after the rollback");
  EXPECT_EQ(sweep("after the rollback, from memory"), 0);
  ASSERT_EQ(store->rollback(), S_OK);

  // A row naming a class the catalog lacks is damage either way, and the
  // fault it records sends later lookups back to the file.
  const std::string damaged = objectId(kObjects + 100);
  std::string key = damaged;  // the key's bytes are the digits in order
  std::erase(key, '-');
  ASSERT_EQ(exec(db, ("INSERT INTO objects VALUES(x'" + key + "', x'00')").c_str()), SQLITE_OK);
  ASSERT_EQ(store->begin(), S_OK);
  sweep("with damage");
  const ClassDef* cls = nullptr;
  EXPECT_EQ(store->objectClass(G(damaged.c_str()), cls), kStoreDamaged);
  EXPECT_EQ(store->writeState(), kStoreDamaged);
  EXPECT_GT(sweep("after the fault"), 0);
  EXPECT_EQ(store->rollback(), S_OK);
}

// Object n of the store below: the targets of its lists, by attribute.
using Lists = std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::uint32_t>>;

std::string listJson(const std::vector<std::uint32_t>& targets) {
  std::string json = "[";
  for (const std::uint32_t t : targets)
    json += (json.size() > 1 ? ",\"" : "\"") + objectId(t) + '"';
  return json + "]";
}

std::vector<GUID> guidsOf(const std::vector<std::uint32_t>& numbers) {
  std::vector<GUID> guids;
  for (const std::uint32_t n : numbers) guids.push_back(G(objectId(n).c_str()));
  return guids;
}

// Looks up the class of objects 1 to `objects`: enough lookups for the
// transaction to read its tables.
void lookUpClasses(Store& store, std::uint32_t objects) {
  for (std::uint32_t n = 1; n <= objects; ++n) {
    const ClassDef* cls = nullptr;
    store.objectClass(G(objectId(n).c_str()), cls);
  }
}

TEST_F(LargeValues, ReferencesComeFromMemoryWithTheClassesAndFollowEveryChange) {
  constexpr std::uint32_t kObjects = 5000;  // past the 4,096 lookups of a small file
  Lists lists;
  std::string json = classes();
  for (std::uint32_t n = 1; n <= kObjects; ++n) {
    std::string values;
    // Lists of 0 to 6 entries, some naming objects that never were; every
    // third object also owns one.
    std::vector<std::uint32_t>& peers = lists[{n, kPeers}];
    for (std::uint32_t k = 1; k <= n % 7; ++k) peers.push_back(n + k * 13);
    if (peers.empty())
      lists.erase({n, kPeers});
    else
      values += R"("0xEEC00013":)" + listJson(peers);
    if (n % 3 == 0) {
      lists[{n, kOwned}] = {n + 1};
      values += std::string(values.empty() ? "" : ",") + R"("0xEEC00012":)" + listJson({n + 1});
    }
    json += (n > 1 ? "," : "") + object(n, values);
  }
  std::shared_ptr<Store> store = memoryStore(json + "]}");
  ASSERT_TRUE(store);
  sqlite3* db = store->db();
  const Lists stored = lists;

  // Every value the model has and some it has not: the page reads it took.
  const auto sweep = [&](const std::string& when) -> std::int64_t {
    pagesRead(db);
    std::vector<GUID> targets;
    for (std::uint32_t n = 1; n <= kObjects + 10; ++n) {
      for (const std::uint32_t attr : {kPeers, kOwned}) {
        const auto it = lists.find({n, attr});
        const HRESULT hr = store->readReferences(G(objectId(n).c_str()), attr, targets);
        const std::vector<GUID> expected =
            it != lists.end() ? guidsOf(it->second) : std::vector<GUID>{};
        if (hr != (it != lists.end() ? S_OK : S_FALSE) || targets != expected) {
          ADD_FAILURE() << when << ": object " << n << " attribute " << std::hex << attr << " gave "
                        << hr << " with " << std::dec << targets.size() << " targets";
          return -1;
        }
      }
    }
    return pagesRead(db);
  };

  // Before the tables: the second call of the two-call protocol finds the
  // list it read in the first, and a change between the two is seen.
  ASSERT_EQ(store->begin(), S_OK);
  const GUID six = G(objectId(6).c_str());  // 6 entries, each a stored object
  std::span<const Store::ListEntry> entries;
  pagesRead(db);
  ASSERT_EQ(store->readListEntries(six, kPeers, nullptr, 0, entries), S_OK);
  EXPECT_GT(pagesRead(db), 0);
  EXPECT_EQ(entries.size(), 6u);
  ASSERT_EQ(store->readListEntries(six, kPeers, nullptr, 4, entries), S_OK);
  EXPECT_EQ(pagesRead(db), 0) << "the second call reads the list again";
  EXPECT_EQ(entries.size(), 4u);
  const std::vector<GUID> two = guidsOf({1, 2});
  ASSERT_EQ(store->writeReferences(six, kPeers, two.data(), two.size()), S_OK);
  lists[{6, kPeers}] = {1, 2};
  ASSERT_EQ(store->readListEntries(six, kPeers, nullptr, 0, entries), S_OK);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].object, two[1]);

  lookUpClasses(*store, kObjects);
  EXPECT_EQ(sweep("from memory"), 0);
  struct Change {
    const char* what;
    std::uint32_t object;
    std::uint32_t attr;
    std::vector<std::uint32_t> targets;  // none: removed
    bool deleteObject = false;
  };
  const Change changes[] = {
      {"a list replaced", 10, kPeers, {1, 2, 3}},
      {"a list removed", 11, kPeers, {}},
      {"a value the object had not", 14, kOwned, {5}},
      {"a value removed that was not there", 14, kPeers, {}},
      {"a list of an object that had none", 7 * 100, kPeers, {4}},
      {"an object deleted with its values", 21, 0, {}, true},
      {"a value of a deleted object's neighbour", 22, kPeers, {21}},
  };
  for (const Change& change : changes) {
    const GUID object = G(objectId(change.object).c_str());
    if (change.deleteObject) {
      ASSERT_EQ(store->deleteObject(object), S_OK);
      lists.erase({change.object, kPeers});
      lists.erase({change.object, kOwned});
    } else {
      const std::vector<GUID> targets = guidsOf(change.targets);
      ASSERT_EQ(store->writeReferences(object, change.attr, targets.data(), targets.size()), S_OK);
      if (change.targets.empty())
        lists.erase({change.object, change.attr});
      else
        lists[{change.object, change.attr}] = change.targets;
    }
    EXPECT_EQ(sweep(change.what), 0) << change.what;
  }
  // A value far larger than the table: it is dropped, and the lookups read
  // the file again.
  std::vector<std::uint32_t> many(150000);
  for (std::uint32_t i = 0; i < many.size(); ++i) many[i] = i + 1;
  const std::vector<GUID> manyGuids = guidsOf(many);
  ASSERT_EQ(store->writeReferences(G(objectId(30).c_str()), kPeers, manyGuids.data(), many.size()),
            S_OK);
  lists[{30, kPeers}] = many;
  EXPECT_GT(sweep("after a large value"), 0);
  ASSERT_EQ(store->rollback(), S_OK);

  lists = stored;
  ASSERT_EQ(store->begin(), S_OK);
  lookUpClasses(*store, kObjects);
  EXPECT_EQ(sweep("after the rollback, from memory"), 0);
  ASSERT_EQ(store->rollback(), S_OK);

  // A value that is no list of GUIDs is damage either way, and the fault it
  // records sends later reads back to the file.
  std::string key = objectId(40);  // the key's bytes are the digits in order
  std::erase(key, '-');
  ASSERT_EQ(
      exec(db, ("UPDATE ref_values SET targets = x'00' WHERE object = x'" + key + "'").c_str()),
      SQLITE_OK);
  ASSERT_EQ(store->begin(), S_OK);
  lookUpClasses(*store, kObjects);
  std::vector<GUID> targets;
  EXPECT_EQ(store->readReferences(G(objectId(40).c_str()), kPeers, targets), kStoreDamaged);
  EXPECT_EQ(store->writeState(), kStoreDamaged);
  lists.erase({40, kPeers});
  pagesRead(db);
  EXPECT_EQ(store->readReferences(G(objectId(41).c_str()), kPeers, targets), S_OK);
  EXPECT_GT(pagesRead(db), 0) << "after the fault, by lookups";
  EXPECT_EQ(store->rollback(), S_OK);
}

// Texts come from memory with the classes as references do, the empty
// text apart from no text, and follow the transaction's changes.
TEST_F(LargeValues, TextsComeFromMemoryWithTheClassesAndFollowEveryChange) {
  constexpr std::uint32_t kObjects = 5000;  // past the 4,096 lookups of a small file
  // Object n's text: none for every fourth, empty for every ninth of the
  // rest, else its number after a letter outside ASCII and one outside the
  // Basic Multilingual Plane.
  std::map<std::uint32_t, std::u16string> texts;
  std::string json = classes();
  for (std::uint32_t n = 1; n <= kObjects; ++n) {
    std::string values;
    if (n % 4 != 0) {
      const std::string number = std::to_string(n);
      const bool empty = n % 9 == 0;
      values = R"("0xB8C00014":")" + (empty ? "" : "\u00e9\U0001F600 " + number) + '"';
      texts[n] = empty ? u"" : u"\u00e9\U0001F600 " + std::u16string(number.begin(), number.end());
    }
    json += (n > 1 ? "," : "") + object(n, values);
  }
  std::shared_ptr<Store> store = memoryStore(json + "]}");
  ASSERT_TRUE(store);
  sqlite3* db = store->db();

  const auto sweep = [&](const std::string& when) -> std::int64_t {
    pagesRead(db);
    std::u16string text;
    for (std::uint32_t n = 1; n <= kObjects + 10; ++n) {
      const auto it = texts.find(n);
      const HRESULT hr = store->readString(G(objectId(n).c_str()), kNote, text);
      if (hr != (it != texts.end() ? S_OK : S_FALSE) ||
          text != (it != texts.end() ? it->second : u"")) {
        ADD_FAILURE() << when << ": object " << n << " gave " << std::hex << hr << " with "
                      << std::dec << text.size() << " units";
        return -1;
      }
    }
    return pagesRead(db);
  };

  ASSERT_EQ(store->begin(), S_OK);
  EXPECT_GT(sweep("by lookups"), 0);
  lookUpClasses(*store, kObjects);
  EXPECT_EQ(sweep("from memory"), 0);
  struct Change {
    const char* what;
    std::uint32_t object;
    std::optional<std::u16string> text;  // none: the object deleted
  };
  const Change changes[] = {
      {"a text replaced", 10, u"\U0001F601 ten"},
      {"a text emptied", 11, u""},
      {"a text for an object that had none", 12, u"twelve"},
      {"an empty text filled", 18, u"eighteen"},
      {"an object deleted with its text", 21, std::nullopt},
      {"a text of a deleted object's neighbour", 22, u"22"},
  };
  for (const Change& change : changes) {
    const GUID object = G(objectId(change.object).c_str());
    if (!change.text) {
      ASSERT_EQ(store->deleteObject(object), S_OK);
      texts.erase(change.object);
    } else {
      ASSERT_EQ(store->writeString(object, kNote, change.text->data(), change.text->size()), S_OK);
      texts[change.object] = *change.text;
    }
    EXPECT_EQ(sweep(change.what), 0) << change.what;
  }
  ASSERT_EQ(store->rollback(), S_OK);

  // A text of an odd number of bytes is damage either way.
  std::string key = objectId(41);  // the key's bytes are the digits in order
  std::erase(key, '-');
  ASSERT_EQ(
      exec(db, ("UPDATE string_values SET value = x'00' WHERE object = x'" + key + "'").c_str()),
      SQLITE_OK);
  ASSERT_EQ(store->begin(), S_OK);
  lookUpClasses(*store, kObjects);
  std::u16string text;
  pagesRead(db);
  EXPECT_EQ(store->readString(G(objectId(41).c_str()), kNote, text), kStoreDamaged);
  EXPECT_EQ(pagesRead(db), 0) << "the damage was found by a read of the file";
  EXPECT_EQ(store->writeState(), kStoreDamaged);
  EXPECT_EQ(store->rollback(), S_OK);
}

// Both memory tables are filled through FetchAhead: an entry it drops or
// writes twice is an object the table answers wrongly for.
TEST(FetchAhead, WritesEveryEntryOnceInOrderAndStopsAtTheFirstFailedWrite) {
  constexpr std::size_t kAhead = 4;
  for (const int entries : {0, 1, 3, 4, 5, 9}) {
    for (int failAt = -1; failAt < entries; ++failAt) {
      SCOPED_TRACE(testing::Message() << entries << " entries, failing write " << failAt);
      FetchAhead<int, kAhead> ahead;
      std::vector<int> written;
      const auto write = [&](int entry) {
        if (entry == failAt) return false;
        written.push_back(entry);
        return true;
      };
      bool ok = true;
      for (int entry = 0; ok && entry < entries; ++entry) ok = ahead.push(entry, &written, write);
      if (ok) ok = ahead.finish(write);
      std::vector<int> expected;
      for (int entry = 0; entry < (failAt < 0 ? entries : failAt); ++entry) {
        expected.push_back(entry);
      }
      EXPECT_EQ(ok, failAt < 0);
      EXPECT_EQ(written, expected);
    }
  }
}

}  // namespace
}  // namespace vddb::engine::test
