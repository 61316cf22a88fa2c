// A write session's cache holds the store: the quick check at open reads
// each page from the file once, and the session's reads in whatever order
// come from memory afterwards. With the cache set back to SQLite's default
// (setPageCacheLimit), every read of a larger store goes back to the file.
// Counted in page cache misses, not timed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/com_objects.h"
#include "engine_test_util.h"

namespace vddb::engine::test {
namespace {

constexpr const char* kNamed = "fad58bd6-7c81-3fa5-892d-f57d8d08e76c";
constexpr std::uint32_t kName = 0xB8C0001E;

std::string objectId(std::uint32_t n) {
  char text[40];
  std::snprintf(text, sizeof text, "0c000000-0000-4000-8000-%012x", n);
  return text;
}

// About 5 MB of store: more than twice SQLite's default cache.
constexpr std::uint32_t kObjects = 30000;

std::string namedObjects() {
  std::string json = R"({"objects":[)";
  for (std::uint32_t n = 0; n < kObjects; ++n) {
    json += (n > 0 ? "," : "") + std::string(R"({"guid":")") + objectId(n) + R"(","class":")" +
            kNamed + R"(","values":{"0xB8C0001E":"name )" + std::string(100, 'x') +
            std::to_string(n) + "\"}}";
  }
  return json + "]}";
}

// Both reads of a session together look up fewer objects than make a
// transaction read its classes and texts into memory (4,096 on a store of
// this size), after which its reads would not reach the page cache at all.
constexpr std::uint32_t kReads = 2000;

// Reads the names of kReads objects in a random order; the page cache
// misses of it.
std::int64_t missesOfOneRead(StoreSession& session, std::mt19937& random) {
  std::vector<std::uint32_t> order(kObjects);
  for (std::uint32_t n = 0; n < kObjects; ++n) order[n] = n;
  std::shuffle(order.begin(), order.end(), random);
  order.resize(kReads);
  sqlite3* db = storeOfRoot(session.storage())->db();
  int misses = 0;
  int highwater = 0;
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highwater, 1);
  for (const std::uint32_t n : order) {
    const auto object = openObject(session.storage(), G(objectId(n).c_str()));
    EXPECT_FALSE(readString(object.get(), kName).empty());
  }
  sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highwater, 1);
  return misses;
}

class PageCacheTest : public EngineTest {};

TEST_F(PageCacheTest, ASecondReadComesFromTheCacheWhenItMayHoldTheStore) {
  TempDir dir;
  std::istringstream json(namedObjects());
  ASSERT_EQ(createStoreFromJson(json, dir.file("store.sqlite"), false), S_OK);
  struct Limit {
    const char* what;
    std::uint64_t bytes;  // 0: the write session's own
    bool readsMiss;
  };
  for (const Limit& limit :
       {Limit{"the write session's", 0, false}, Limit{"SQLite's default 2 MB", 2 << 20, true}}) {
    SCOPED_TRACE(limit.what);
    std::unique_ptr<StoreSession> session;
    ASSERT_EQ(StoreSession::open(dir.file("store.sqlite"), session), S_OK);
    if (limit.bytes > 0) {
      EXPECT_EQ(setPageCacheLimit(*session, limit.bytes), S_OK);
    }
    std::mt19937 random(3);
    for (int read = 0; read < 2; ++read) {
      const std::int64_t misses = missesOfOneRead(*session, random);
      if (limit.readsMiss) {
        EXPECT_GT(misses, 1000);
      } else {
        EXPECT_EQ(misses, 0);
      }
    }
  }
}

}  // namespace
}  // namespace vddb::engine::test
