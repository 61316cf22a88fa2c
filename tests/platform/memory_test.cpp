// The runtime memory calls and their failing-allocation hook.
#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstring>

#include "status/tStatus2.h"

namespace {

using vddb::platform::allocationCount;
using vddb::platform::allocationFaultFired;
using vddb::platform::clearAllocationFault;
using vddb::platform::failAllocationAt;
using vddb::platform::liveAllocations;

class MemoryHookTest : public ::testing::Test {
 protected:
  void TearDown() override { clearAllocationFault(); }
};

TEST_F(MemoryHookTest, AllocatesUsableBlocksAndCountsThem) {
  const auto liveBefore = liveAllocations();
  const auto countBefore = allocationCount();
  void* block = _memNewUsingCRT(64, 0);
  ASSERT_NE(block, nullptr);
  std::memset(block, 0xAB, 64);
  EXPECT_EQ(liveAllocations(), liveBefore + 1);
  EXPECT_EQ(allocationCount(), countBefore + 1);
  _memDelete(block);
  _memDelete(nullptr);
  EXPECT_EQ(liveAllocations(), liveBefore);
}

TEST_F(MemoryHookTest, FailsExactlyTheNthAllocation) {
  failAllocationAt(3);
  void* first = _memNewUsingCRT(8, 0);
  void* second = _memNewUsingCRT(8, 0);
  EXPECT_FALSE(allocationFaultFired());
  void* third = _memNewUsingCRT(8, 0);
  void* fourth = _memNewUsingCRT(8, 0);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(third, nullptr);
  EXPECT_NE(fourth, nullptr);
  EXPECT_TRUE(allocationFaultFired());
  for (void* block : {first, second, third, fourth}) _memDelete(block);
}

TEST_F(MemoryHookTest, PersistentFaultFailsEveryLaterAllocationUntilCleared) {
  failAllocationAt(2, /*persistent=*/true);
  void* first = _memNewUsingCRT(8, 0);
  EXPECT_NE(first, nullptr);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(_memNewUsingCRT(8, 0), nullptr) << i;
  clearAllocationFault();
  EXPECT_FALSE(allocationFaultFired());
  void* after = _memNewUsingCRT(8, 0);
  EXPECT_NE(after, nullptr);
  _memDelete(first);
  _memDelete(after);
}

TEST_F(MemoryHookTest, FailedAllocationLeavesTheStatusAlone) {
  tStatus2 status;
  status.code = 4;
  failAllocationAt(1);
  EXPECT_EQ(_memNewUsingCRT(16, 0, &status), nullptr);
  EXPECT_EQ(status.code, 4);
  EXPECT_FALSE(status.hasDescription());
}

TEST_F(MemoryHookTest, ZeroMeansNoFault) {
  failAllocationAt(0);
  void* block = _memNewUsingCRT(8, 0);
  EXPECT_NE(block, nullptr);
  EXPECT_FALSE(allocationFaultFired());
  _memDelete(block);
}

}  // namespace
