// The containers behind the engine's in-memory tables, on both sides of the
// size from which their blocks come from the system's page allocator.
#include "engine/large_array.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vddb::engine {
namespace {

struct Entry {
  std::uint64_t key;
  const void* value;
  std::uint32_t tail;
};

constexpr std::size_t kLargeEntries = large_array_detail::kLargeBlock / sizeof(Entry);

TEST(LargeArray, ComesZeroedKeepsWhatIsWrittenAndMovesWhole) {
  for (const std::size_t count :
       {std::size_t{1}, kLargeEntries - 1, kLargeEntries + 1, 3 * kLargeEntries + 7}) {
    SCOPED_TRACE(count);
    LargeArray<Entry> array;
    EXPECT_FALSE(array);
    ASSERT_TRUE(array.allocate(count));
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < count; ++i) {
      nonzero += array[i].key != 0 || array[i].value != nullptr || array[i].tail != 0;
    }
    EXPECT_EQ(nonzero, 0U);
    for (std::size_t i = 0; i < count; i += 97)
      array[i] = {i, &array, static_cast<std::uint32_t>(i)};
    array[count - 1].tail = 0xFEEDU;

    LargeArray<Entry> moved(std::move(array));
    EXPECT_FALSE(array);  // NOLINT(bugprone-use-after-move): the move empties it
    ASSERT_TRUE(moved);
    for (std::size_t i = 0; i + 1 < count; i += 97) EXPECT_EQ(moved[i].key, i);
    EXPECT_EQ(moved[count - 1].tail, 0xFEEDU);
    // Allocating again gives zeroed entries, not the old ones.
    ASSERT_TRUE(moved.allocate(count));
    EXPECT_EQ(moved[count - 1].tail, 0U);
    moved.reset();
    EXPECT_FALSE(moved);
  }
  LargeArray<Entry> none;
  EXPECT_FALSE(none.allocate(0));
  EXPECT_FALSE(none.allocate(SIZE_MAX / sizeof(Entry) + 1));
  EXPECT_FALSE(none);
}

TEST(LargeVector, KeepsItsEntriesAsItGrowsPastTheLargeBlockSize) {
  LargeVector<std::uint64_t> values;
  const std::size_t count = 3 * large_array_detail::kLargeBlock / sizeof(std::uint64_t);
  for (std::size_t i = 0; i < count; ++i) values.push_back(i * 2654435761U);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < count; ++i) wrong += values[i] != i * 2654435761U;
  EXPECT_EQ(wrong, 0U);
  LargeVector<std::uint64_t> copy(values.begin() + 5, values.end());
  EXPECT_EQ(copy.front(), values[5]);
  EXPECT_EQ(copy.size(), count - 5);
  // A block that cannot be had is std::bad_alloc, which the tables turn into "not built".
  EXPECT_THROW(values.reserve(values.max_size()), std::bad_alloc);
}

}  // namespace
}  // namespace vddb::engine
