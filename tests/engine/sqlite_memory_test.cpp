// SQLite's allocator as the engine sets it: blocks move between the page
// range and the heap's and keep their bytes. Its own process, so that the
// allocator is set before SQLite starts.
#include "engine/sqlite_memory.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace vddb::engine {
namespace {

TEST(SqliteMemory, BlocksKeepTheirBytesAcrossEverySizeAndAreReused) {
  sqlite3_mem_methods before{};
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_GETMALLOC, &before), SQLITE_OK);
  useEngineSqliteMemory();
  sqlite3_mem_methods after{};
  ASSERT_EQ(sqlite3_config(SQLITE_CONFIG_GETMALLOC, &after), SQLITE_OK);
  EXPECT_EQ(after.xMalloc != before.xMalloc, kCarvesSqliteBlocks);
  ASSERT_EQ(sqlite3_initialize(), SQLITE_OK);
  // Below, into, across and past the range the page blocks come from.
  const std::vector<int> sizes{100, 4096, 5000, 4200, 16384, 20000, 300, 8000, 8000, 1};
  void* block = nullptr;
  int kept = 0;  // bytes known to hold the pattern
  for (const int size : sizes) {
    SCOPED_TRACE(size);
    block = sqlite3_realloc(block, size);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(sqlite3_msize(block), static_cast<sqlite3_uint64>(size));
    auto* bytes = static_cast<unsigned char*>(block);
    int wrong = 0;
    for (int i = 0; i < std::min(kept, size); ++i)
      wrong += bytes[i] != static_cast<unsigned char>(i * 7);
    EXPECT_EQ(wrong, 0);
    for (int i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    kept = size;
  }
  sqlite3_free(block);

  // Page blocks of every size in the range hold apart from each other, and
  // a freed one is the next its size hands out.
  std::vector<void*> blocks;
  for (int size = 4096; size <= 16384; size += 191) {
    blocks.push_back(sqlite3_malloc(size));
    ASSERT_NE(blocks.back(), nullptr);
    std::memset(blocks.back(), size & 0xFF, static_cast<std::size_t>(size));
  }
  int size = 4096;
  for (void* b : blocks) {
    const auto* bytes = static_cast<const unsigned char*>(b);
    EXPECT_EQ(bytes[0], size & 0xFF);
    EXPECT_EQ(bytes[size - 1], size & 0xFF);
    size += 191;
  }
  if (kCarvesSqliteBlocks) {
    void* const freed = blocks[1];
    sqlite3_free(freed);
    blocks[1] = sqlite3_malloc(4096 + 191);
    EXPECT_EQ(blocks[1], freed);
  }
  for (void* b : blocks) sqlite3_free(b);
  EXPECT_EQ(sqlite3_malloc(0), nullptr);
}

}  // namespace
}  // namespace vddb::engine
