// The hash index of the link-record passes and the hashed duplicate search,
// the latter against the pairwise search it replaces (kept here as the
// oracle) on randomised record sets.
#include "repair/link_record_search.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "platform/memory.h"

namespace tUpgradeDowngradeMgr {
namespace {

using ::testing::IsEmpty;
namespace platform = vddb::platform;

GUID guidNumber(std::uint32_t n) {
  GUID g{};
  g.Data1 = n;
  g.Data4[7] = static_cast<std::uint8_t>(n * 7);
  return g;
}

std::vector<std::uint32_t> toVector(const tGrowableArray<std::uint32_t>& list) {
  return {list.begin(), list.end()};
}

// The pairwise search: each record not yet doomed is compared with every
// later one, and each equal pair is appended as (earlier, later).
std::vector<std::uint32_t> pairwiseDoomed(const std::vector<tLinkRecordKey>& keys) {
  std::vector<std::uint32_t> doomed;
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    if (std::find(doomed.begin(), doomed.end(), i) != doomed.end()) continue;
    for (std::uint32_t j = i + 1; j < keys.size(); ++j) {
      const tLinkRecordKey& a = keys[i];
      const tLinkRecordKey& b = keys[j];
      if (a.hasFirstObject && b.hasFirstObject && a.number == b.number &&
          a.firstObject == b.firstObject) {
        doomed.push_back(i);
        doomed.push_back(j);
      }
    }
  }
  return doomed;
}

// The pairwise search appending to a list that grows as the runtime lists do
// (doubling, one element first) and whose growth number `failingGrowth`
// (0-based) fails: that append is lost, and a position lost this way is not
// in the list when its own turn comes.
std::vector<std::uint32_t> pairwiseDoomedWithFailingGrowth(const std::vector<tLinkRecordKey>& keys,
                                                           std::size_t failingGrowth) {
  std::vector<std::uint32_t> doomed;
  std::size_t capacity = 0;
  std::size_t growths = 0;
  const auto append = [&](std::uint32_t position) {
    if (doomed.size() == capacity) {
      if (growths++ == failingGrowth) return;
      capacity = capacity == 0 ? 1 : capacity * 2;
    }
    doomed.push_back(position);
  };
  for (std::uint32_t i = 0; i < keys.size(); ++i) {
    if (std::find(doomed.begin(), doomed.end(), i) != doomed.end()) continue;
    for (std::uint32_t j = i + 1; j < keys.size(); ++j) {
      const tLinkRecordKey& a = keys[i];
      const tLinkRecordKey& b = keys[j];
      if (a.hasFirstObject && b.hasFirstObject && a.number == b.number &&
          a.firstObject == b.firstObject) {
        append(i);
        append(j);
      }
    }
  }
  return doomed;
}

std::vector<tLinkRecordKey> randomKeys(std::mt19937& random, std::size_t count,
                                       std::uint32_t objects, std::int32_t numbers) {
  std::uniform_int_distribution<std::uint32_t> object(0, objects - 1);
  std::uniform_int_distribution<std::int32_t> number(-1, numbers - 2);
  std::bernoulli_distribution present(0.85);
  std::vector<tLinkRecordKey> keys(count);
  for (tLinkRecordKey& key : keys) {
    key.hasFirstObject = present(random);
    key.number = number(random);
    // A record without a first object still carries a GUID value (zero or
    // stale); it must not be compared.
    key.firstObject = key.hasFirstObject ? guidNumber(object(random)) : guidNumber(0);
  }
  return keys;
}

class LinkRecordSearch : public ::testing::Test {
 protected:
  void SetUp() override { _live = platform::liveAllocations(); }
  void TearDown() override {
    platform::clearAllocationFault();
    EXPECT_EQ(platform::liveAllocations(), _live) << "runtime memory leaked";
  }

 private:
  std::uint64_t _live = 0;
};

TEST_F(LinkRecordSearch, IndexFindsWhatWasInsertedUnderGuidAndNumber) {
  tGuidKeyIndex index;
  EXPECT_EQ(index.find(guidNumber(1), 0), nullptr);

  constexpr std::uint32_t kKeys = 5000;  // many times the first block: growth and rehash
  for (std::uint32_t i = 0; i < kKeys; ++i) {
    bool inserted = false;
    const auto* e =
        index.findOrInsert(guidNumber(i / 2), static_cast<std::int32_t>(i % 2), i, inserted);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(inserted);
    EXPECT_EQ(e->first, i);
  }
  EXPECT_EQ(index.size(), kKeys);
  for (std::uint32_t i = 0; i < kKeys; ++i) {
    const auto* e = index.find(guidNumber(i / 2), static_cast<std::int32_t>(i % 2));
    ASSERT_NE(e, nullptr) << i;
    EXPECT_EQ(e->first, i);
  }
  EXPECT_EQ(index.find(guidNumber(1), 2), nullptr);
  EXPECT_EQ(index.find(guidNumber(kKeys), 0), nullptr);

  bool inserted = true;
  auto* again = index.findOrInsert(guidNumber(3), 1, 99999, inserted);
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(inserted);
  EXPECT_EQ(again->first, 7u);
  EXPECT_EQ(index.size(), kKeys);
  EXPECT_FALSE(index.allocationFailed());
}

TEST_F(LinkRecordSearch, IndexThatCannotGrowKeepsItsKeysAndSaysSo) {
  tGuidKeyIndex index;
  platform::failAllocationAt(1);
  EXPECT_FALSE(index.reserve(100));
  EXPECT_TRUE(index.allocationFailed());
  platform::clearAllocationFault();

  // The first block holds 8 keys at most half full; the 9th needs a larger one.
  for (std::uint32_t i = 0; i < 8; ++i) {
    bool inserted = false;
    ASSERT_NE(index.findOrInsert(guidNumber(i), 0, i, inserted), nullptr);
  }
  platform::failAllocationAt(1);
  bool inserted = true;
  EXPECT_EQ(index.findOrInsert(guidNumber(8), 0, 8, inserted), nullptr);
  EXPECT_FALSE(inserted);
  platform::clearAllocationFault();
  EXPECT_EQ(index.size(), 8u);
  for (std::uint32_t i = 0; i < 8; ++i) EXPECT_NE(index.find(guidNumber(i), 0), nullptr);
  // A key already there is still found without growing.
  EXPECT_NE(index.findOrInsert(guidNumber(2), 0, 50, inserted), nullptr);
  EXPECT_FALSE(inserted);
  EXPECT_TRUE(index.allocationFailed());  // sticky
}

TEST_F(LinkRecordSearch, HashedSearchDoomsWhatThePairwiseSearchDoomsOnRandomRecordSets) {
  std::mt19937 random(20240611);
  std::size_t nonEmpty = 0;
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE(round);
    const std::size_t count = std::uniform_int_distribution<std::size_t>(0, 300)(random);
    const std::uint32_t objects = std::uniform_int_distribution<std::uint32_t>(1, 40)(random);
    const std::int32_t numbers = std::uniform_int_distribution<std::int32_t>(1, 6)(random);
    const std::vector<tLinkRecordKey> keys = randomKeys(random, count, objects, numbers);
    tGrowableArray<std::uint32_t> doomed;
    ASSERT_TRUE(findDuplicateLinkRecords(keys.data(), keys.size(), doomed));
    const std::vector<std::uint32_t> expected = pairwiseDoomed(keys);
    ASSERT_EQ(toVector(doomed), expected);
    if (!expected.empty()) ++nonEmpty;
  }
  EXPECT_GT(nonEmpty, 300u);  // the sets do have duplicates to find
}

TEST_F(LinkRecordSearch, WithoutWorkingMemoryNothingIsDoomed) {
  std::mt19937 random(7);
  const std::vector<tLinkRecordKey> keys = randomKeys(random, 50, 3, 2);
  ASSERT_FALSE(pairwiseDoomed(keys).empty());
  for (std::uint64_t nth : {1u, 2u}) {  // the index, then the chain links
    platform::failAllocationAt(nth);
    tGrowableArray<std::uint32_t> doomed;
    EXPECT_FALSE(findDuplicateLinkRecords(keys.data(), keys.size(), doomed));
    EXPECT_TRUE(platform::allocationFaultFired());
    platform::clearAllocationFault();
    EXPECT_THAT(toVector(doomed), IsEmpty());
  }
}

// A failed growth of the doomed list loses one append; the position then
// gets its own turn, exactly as in the pairwise search (in groups of three or
// more that turn dooms it again).
TEST_F(LinkRecordSearch, AFailedGrowthOfTheDoomedListMatchesThePairwiseSearch) {
  std::mt19937 random(11);
  const std::vector<tLinkRecordKey> keys = randomKeys(random, 200, 5, 2);
  const std::vector<std::uint32_t> expected = pairwiseDoomed(keys);
  ASSERT_GT(expected.size(), 16u);
  // Allocations 1 and 2 are the search's own index and links; 3 and on are
  // the doomed list's growths.
  std::size_t failures = 0;
  std::size_t differing = 0;
  for (std::uint64_t nth = 3;; ++nth) {
    SCOPED_TRACE(nth);
    platform::failAllocationAt(nth);
    tGrowableArray<std::uint32_t> doomed;
    ASSERT_TRUE(findDuplicateLinkRecords(keys.data(), keys.size(), doomed));
    const bool fired = platform::allocationFaultFired();
    platform::clearAllocationFault();
    if (!fired) {
      EXPECT_EQ(toVector(doomed), expected);
      break;
    }
    EXPECT_TRUE(doomed.allocationFailed());
    const std::vector<std::uint32_t> oracle = pairwiseDoomedWithFailingGrowth(keys, nth - 3);
    EXPECT_EQ(toVector(doomed), oracle);
    if (oracle.size() != expected.size() - 1) ++differing;
    ++failures;
  }
  EXPECT_GT(failures, 4u);
  EXPECT_GT(differing, 0u) << "some lost append should give its position a turn of its own";
}

// Three alike records, the second append lost: record 1 gets its own turn
// and is paired with record 2, so all three are still doomed.
TEST_F(LinkRecordSearch, ALostSecondMemberIsDoomedOnItsOwnTurn) {
  std::vector<tLinkRecordKey> keys(3);
  for (tLinkRecordKey& key : keys) {
    key.hasFirstObject = true;
    key.firstObject = guidNumber(7);
    key.number = 4;
  }
  platform::failAllocationAt(4);  // index, links, growth to 1, growth to 2 fails
  tGrowableArray<std::uint32_t> doomed;
  ASSERT_TRUE(findDuplicateLinkRecords(keys.data(), keys.size(), doomed));
  ASSERT_TRUE(platform::allocationFaultFired());
  EXPECT_EQ(toVector(doomed), (std::vector<std::uint32_t>{0, 0, 2, 1, 2}));
  EXPECT_EQ(toVector(doomed), pairwiseDoomedWithFailingGrowth(keys, 1));
}

}  // namespace
}  // namespace tUpgradeDowngradeMgr
