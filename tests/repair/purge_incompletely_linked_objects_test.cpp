// purgeIncompletelyLinkedObjects against the real engine behind the
// fault-injecting decorator: which objects of class 4aee07f0-... go, what is
// cleared before they go, and where a failure ends the pass.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "support/allocation_fault_sweep.h"
#include "support/store_fixture.h"

namespace vddb::test::passes {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kTwoWayLink = "4aee07f0-608e-3fd2-7a26-b8207214f283";
// Our own classes: a two-way link that owns one more object, and a plain one.
constexpr const char* kOwningLink = "d2000000-0000-4000-8000-000000000001";
constexpr const char* kPlain = "d2000000-0000-4000-8000-000000000002";
constexpr std::uint32_t kExtraOwned = 0x20C0F0B0;
const std::vector<ExtraClass> kExtraClasses = {
    {kOwningLink, kTwoWayLink, {{kExtraOwned, "ref"}}},
    {kPlain, nullptr, {}},
};

constexpr HRESULT kFailure = static_cast<HRESULT>(0x80040A98U);
const std::string k1E = attributeText(0x20C0001E);
const std::string k1F = attributeText(0x20C0001F);

class IncompletelyLinked : public StoreTest {
 protected:
  tStatus2 run() {
    tStatus2 status;
    injector().clearJournal();
    tUpgradeDowngradeMgr::purgeIncompletelyLinkedObjects(storage(), status);
    return status;
  }
};

TEST_F(IncompletelyLinked, DeletesByWhichReferenceIsMissing) {
  // #1 has the references of the case and owns #9; #5 and #6 are what the
  // references name; #20 does not exist.
  const struct {
    const char* name;
    nlohmann::json values;
    std::vector<std::string> changes;
    std::set<unsigned> remaining;
    bool readsSecondReference;
  } cases[] = {
      {"both set", {{k1E, refTo(5)}, {k1F, refTo(6)}}, {}, {1, 5, 6, 9}, true},
      {"first empty", {{k1F, refTo(6)}}, {"delete #1", "delete #9"}, {5, 6}, false},
      {"first dangles",
       {{k1E, refTo(20)}, {k1F, refTo(6)}},
       {"delete #1", "delete #9"},
       {5, 6},
       false},
      {"second empty",
       {{k1E, refTo(5)}},
       {"#1 setReference(0x20C0001E, null)", "delete #1", "delete #9"},
       {5, 6},
       true},
      {"both empty", nlohmann::json::object(), {"delete #1", "delete #9"}, {5, 6}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    nlohmann::json values = c.values;
    values[attributeText(kExtraOwned)] = refTo(9);
    open({{1, kOwningLink, values}, {5, kPlain}, {6, kPlain}, {9, kPlain}}, kExtraClasses);
    const tStatus2 status = run();
    EXPECT_EQ(status.code, 0);
    EXPECT_THAT(changes(), ElementsAreArray(c.changes));
    EXPECT_EQ(remaining(), c.remaining);
    EXPECT_EQ(called("getReference", 1, k1F), c.readsSecondReference);
  }
}

TEST_F(IncompletelyLinked, EveryObjectOfTheClassIsLookedAtInCollectionOrder) {
  open({{1, kTwoWayLink, {{k1E, refTo(5)}}},
        {2, kTwoWayLink, {{k1E, refTo(5)}, {k1F, refTo(6)}}},
        {3, kTwoWayLink, {{k1F, refTo(6)}}},
        {5, kPlain},
        {6, kPlain}},
       kExtraClasses);
  const tStatus2 status = run();
  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(changes(),
              ElementsAreArray({"#1 setReference(0x20C0001E, null)", "delete #1", "delete #3"}));
  EXPECT_EQ(remaining(), (std::set<unsigned>{2, 5, 6}));
}

TEST_F(IncompletelyLinked, AFailedReferenceReadLeavesThatObjectAndEveryLaterOne) {
  // #1 is complete, #2 lacks 0x20C0001E, #3 lacks 0x20C0001F.
  const std::vector<Obj> objects = {{1, kTwoWayLink, {{k1E, refTo(5)}, {k1F, refTo(6)}}},
                                    {2, kTwoWayLink, {{k1F, refTo(6)}}},
                                    {3, kTwoWayLink, {{k1E, refTo(5)}}},
                                    {5, kPlain},
                                    {6, kPlain}};
  // Which getReference call reads #3's 0x20C0001E in a run without faults.
  open(objects, kExtraClasses);
  run();
  std::uint64_t thirdObjectsRead = 0;
  std::uint64_t count = 0;
  for (const JournalEntry& e : injector().journal()) {
    if (e.operation != "getReference") continue;
    ++count;
    if (e.target == objectId(3) && e.arguments == k1E && thirdObjectsRead == 0) {
      thirdObjectsRead = count;
    }
  }
  ASSERT_GT(thirdObjectsRead, 3u);

  const struct {
    std::uint64_t nth;
    std::set<unsigned> remaining;
  } cases[] = {
      {1, {1, 2, 3, 5, 6}},                 // #1's 0x20C0001E
      {2, {1, 2, 3, 5, 6}},                 // #1's 0x20C0001F
      {3, {1, 2, 3, 5, 6}},                 // #2's 0x20C0001E
      {thirdObjectsRead, {1, 3, 5, 6}},     // #3's 0x20C0001E, after #2 went
      {thirdObjectsRead + 1, {1, 3, 5, 6}}  // #3's 0x20C0001F: nothing is cleared
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nth);
    open(objects, kExtraClasses);
    injector().failCall("getReference", c.nth, kFailure);
    const tStatus2 status = run();
    EXPECT_EQ(status.code, kFailure);
    EXPECT_EQ(remaining(), c.remaining);
    EXPECT_THAT(journal({"setReference"}), IsEmpty());
  }
}

TEST_F(IncompletelyLinked, AFailedClearDeletesNothing) {
  open({{1, kTwoWayLink, {{k1E, refTo(5)}}}, {2, kTwoWayLink}, {5, kPlain}}, kExtraClasses);
  injector().failCall("setReference", 1, kStorageNotFound);
  const tStatus2 status = run();
  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_THAT(deletionRequests(), IsEmpty());
  EXPECT_EQ(remaining(), (std::set<unsigned>{1, 2, 5}));
}

TEST_F(IncompletelyLinked, AnErrorOnEntryOrAFailedCollectionMakesNoChange) {
  open({{1, kTwoWayLink}}, kExtraClasses);
  tStatus2 status;
  status.code = kFailure;
  injector().clearJournal();
  tUpgradeDowngradeMgr::purgeIncompletelyLinkedObjects(storage(), status);
  EXPECT_EQ(status.code, kFailure);
  EXPECT_THAT(injector().journal(), IsEmpty());

  injector().failCall("createQuery", 1, kFailure);
  EXPECT_EQ(run().code, kFailure);
  EXPECT_THAT(changes(), IsEmpty());
  EXPECT_EQ(remaining(), (std::set<unsigned>{1}));
}

TEST_F(IncompletelyLinked, NoFailedAllocationDeletesACompleteObjectOrWhatAReferenceNames) {
  for (AllocationFaultSweep sweep; sweep.next();) {
    open({{1, kTwoWayLink, {{k1F, refTo(6)}}},
          {2, kTwoWayLink, {{k1E, refTo(5)}, {k1F, refTo(6)}}},
          {3, kTwoWayLink, {{k1E, refTo(7)}}},
          {5, kPlain},
          {6, kPlain},
          {7, kPlain}},
         kExtraClasses);
    const std::uint64_t live = platform::liveAllocations();
    sweep.arm();
    const tStatus2 status = run();
    const bool fired = sweep.disarm();
    EXPECT_EQ(platform::liveAllocations(), live);
    const std::set<unsigned> left = remaining();
    for (unsigned kept : {2u, 5u, 6u, 7u}) EXPECT_EQ(left.count(kept), 1u) << kept;
    EXPECT_TRUE(status.code == 0 || status.code == StatusNoMemory) << status.code;
    if (!fired) {
      EXPECT_EQ(left, (std::set<unsigned>{2, 5, 6, 7}));
    }
  }
}

}  // namespace
}  // namespace vddb::test::passes
