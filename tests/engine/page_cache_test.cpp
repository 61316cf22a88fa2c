// setPageCacheLimit: a session whose cache may hold the store reads each page
// from the file once, however often and in whatever order its objects are
// read; with SQLite's default cache a second read of a larger store goes back
// to the file. Counted in page cache misses, not timed.
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

// Reads every object's name in a random order; the page cache misses of it.
std::int64_t missesOfOneRead(StoreSession& session, std::mt19937& random) {
  std::vector<std::uint32_t> order(kObjects);
  for (std::uint32_t n = 0; n < kObjects; ++n) order[n] = n;
  std::shuffle(order.begin(), order.end(), random);
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
    std::uint64_t bytes;  // 0: SQLite's default
    bool secondReadMisses;
  };
  for (const Limit& limit : {Limit{"the default", 0, true}, Limit{"64 MB", 64 << 20, false}}) {
    SCOPED_TRACE(limit.what);
    std::unique_ptr<StoreSession> session;
    ASSERT_EQ(StoreSession::open(dir.file("store.sqlite"), session), S_OK);
    if (limit.bytes > 0) {
      EXPECT_EQ(setPageCacheLimit(*session, limit.bytes), S_OK);
    }
    std::mt19937 random(3);
    EXPECT_GT(missesOfOneRead(*session, random), 1000) << "the first read fills the cache";
    const std::int64_t again = missesOfOneRead(*session, random);
    if (limit.secondReadMisses) {
      EXPECT_GT(again, 1000);
    } else {
      EXPECT_EQ(again, 0);
    }
  }
}

}  // namespace
}  // namespace vddb::engine::test
