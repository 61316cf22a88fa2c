// The key set of the accessory pass: one key per case-insensitive spelling,
// the first spelling kept, logarithmic height, and allocation failures that
// leave the set as it was.
#include "repair/text/case_insensitive_key_set.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory.h"

namespace {

using tOutcome = tCaseInsensitiveKeySet::tInsertOutcome;
namespace platform = vddb::platform;

std::vector<std::u16string> keysInOrder(const tCaseInsensitiveKeySet& set) {
  std::vector<std::u16string> keys;
  set.forEachInOrder(
      [&](const tCaseInsensitiveBasicString& key) { keys.emplace_back(key.begin(), key.end()); });
  return keys;
}

tCaseInsensitiveBasicString text(const std::u16string& units) {
  return tCaseInsensitiveBasicString(units.data(), units.data() + units.size());
}

std::u16string deviceKey(unsigned slot, unsigned device, unsigned connector) {
  std::string narrow = "PXI1Slot" + std::to_string(slot) + "/Dev" + std::to_string(device) + "/" +
                       std::to_string(connector);
  return std::u16string(narrow.begin(), narrow.end());
}

class AllocationFaultGuard {
 public:
  ~AllocationFaultGuard() { platform::clearAllocationFault(); }
};

TEST(CaseInsensitiveKeySet, StartsEmptyWithoutAllocating) {
  const std::uint64_t before = platform::allocationCount();
  tCaseInsensitiveKeySet set;
  EXPECT_EQ(platform::allocationCount(), before);
  EXPECT_TRUE(set.empty());
  EXPECT_EQ(set.height(), 0);
  EXPECT_FALSE(set.allocationFailed());
  EXPECT_FALSE(set.contains(text(u"")));
}

TEST(CaseInsensitiveKeySet, KeepsOneKeyPerFoldedSpellingAsFirstSpelled) {
  tCaseInsensitiveKeySet set;
  EXPECT_EQ(set.insert(text(u"PXI1Slot4/Dev3/0")), tOutcome::inserted);
  EXPECT_EQ(set.insert(text(u"pxi1slot4/DEV3/0")), tOutcome::alreadyPresent);
  EXPECT_EQ(set.insert(text(u"Stra\u00DFe/1")), tOutcome::inserted);
  EXPECT_EQ(set.insert(text(u"STRASSE/1")), tOutcome::alreadyPresent);
  EXPECT_EQ(set.insert(text(u"PXI1Slot4/Dev3/10")), tOutcome::inserted);
  EXPECT_EQ(set.insert(text(u"")), tOutcome::inserted);
  EXPECT_EQ(set.size(), 4u);
  EXPECT_TRUE(set.contains(text(u"pxi1slot4/dev3/10")));
  EXPECT_TRUE(set.contains(text(u"strasse/1")));
  EXPECT_FALSE(set.contains(text(u"pxi1slot4/dev3/1")));
  EXPECT_EQ(keysInOrder(set),
            (std::vector<std::u16string>{u"", u"PXI1Slot4/Dev3/0", u"PXI1Slot4/Dev3/10",
                                         u"Stra\u00DFe/1"}));
}

// Ascending, descending and interleaved insertions are the worst cases of an
// unbalanced tree; the height stays within the bound of a balanced one.
TEST(CaseInsensitiveKeySet, StaysBalancedWhateverTheInsertionOrder) {
  constexpr unsigned kKeys = 20000;
  const double bound = 1.45 * std::log2(kKeys + 2.0);
  for (int pattern = 0; pattern < 3; ++pattern) {
    SCOPED_TRACE(pattern);
    tCaseInsensitiveKeySet set;
    for (unsigned i = 0; i < kKeys; ++i) {
      const unsigned n = pattern == 0 ? i : pattern == 1 ? kKeys - 1 - i : (i % 2 ? i : kKeys - i);
      const std::u16string key = deviceKey(n / 1000, (n / 10) % 100, n % 10);
      const tOutcome outcome = set.insert(text(key));
      ASSERT_NE(outcome, tOutcome::allocationFailed);
      EXPECT_EQ(set.insert(text(key)), tOutcome::alreadyPresent);
    }
    EXPECT_LE(set.height(), bound);
    EXPECT_GE(set.height(), std::log2(double(set.size())));
    const std::vector<std::u16string> keys = keysInOrder(set);
    ASSERT_EQ(keys.size(), set.size());
    for (std::size_t i = 1; i < keys.size(); ++i) {
      ASSERT_EQ(tLocaleConsideringWideStringComparitor::compare(
                    keys[i - 1].data(), keys[i - 1].data() + keys[i - 1].size(), keys[i].data(),
                    keys[i].data() + keys[i].size()),
                -1);
    }
  }
}

// The node is allocation 1 of an insertion and its key copy allocation 2.
TEST(CaseInsensitiveKeySet, AFailedInsertionLeavesTheSetAsItWasAndMarksIt) {
  for (std::uint64_t nth : {1u, 2u}) {
    SCOPED_TRACE(nth);
    AllocationFaultGuard guard;
    const std::uint64_t live = platform::liveAllocations();
    {
      tCaseInsensitiveKeySet set;
      ASSERT_EQ(set.insert(text(u"PXI1Slot2/Dev1/0")), tOutcome::inserted);
      ASSERT_EQ(set.insert(text(u"PXI1Slot2/Dev1/1")), tOutcome::inserted);
      const tCaseInsensitiveBasicString key = text(u"PXI1Slot2/Dev1/2");
      platform::failAllocationAt(nth);
      EXPECT_EQ(set.insert(key), tOutcome::allocationFailed);
      EXPECT_TRUE(platform::allocationFaultFired());
      platform::clearAllocationFault();
      EXPECT_TRUE(set.allocationFailed());
      EXPECT_EQ(set.size(), 2u);
      EXPECT_FALSE(set.contains(key));
      EXPECT_EQ(keysInOrder(set),
                (std::vector<std::u16string>{u"PXI1Slot2/Dev1/0", u"PXI1Slot2/Dev1/1"}));
      // The flag is sticky, and a later insertion works.
      EXPECT_EQ(set.insert(key), tOutcome::inserted);
      EXPECT_TRUE(set.allocationFailed());
    }
    EXPECT_EQ(platform::liveAllocations(), live);
  }
}

TEST(CaseInsensitiveKeySet, RefusesAKeyThatFailedItsOwnAllocation) {
  AllocationFaultGuard guard;
  platform::failAllocationAt(1);
  tCaseInsensitiveBasicString broken(u"PXI1Slot2/Dev1/0");
  platform::clearAllocationFault();
  ASSERT_TRUE(broken.allocationFailed());
  tCaseInsensitiveKeySet set;
  EXPECT_EQ(set.insert(broken), tOutcome::allocationFailed);
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(set.allocationFailed());
}

TEST(CaseInsensitiveKeySet, GivesBackEveryBlock) {
  const std::uint64_t live = platform::liveAllocations();
  {
    tCaseInsensitiveKeySet set;
    for (unsigned i = 0; i < 1000; ++i) set.insert(text(deviceKey(i % 7, i, i % 13)));
    EXPECT_GT(platform::liveAllocations(), live);
  }
  EXPECT_EQ(platform::liveAllocations(), live);
}

}  // namespace
