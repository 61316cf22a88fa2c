// The detached Trelix / Mordan passes and the shared purgeUnreferencedObjects
// (its four variants: the companion phases and the sixth and ninth rows of
// the sequence), against the real engine behind the fault-injecting
// decorator. The order of class tests, writes and deletions is read from the
// decorator's journal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "repair/pass_sequence.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "support/allocation_fault_sweep.h"
#include "support/store_fixture.h"

namespace vddb::test::passes {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using tUpgradeDowngradeMgr::tStoragePass;

constexpr const char* kTrelix = "642eaeb9-aa16-3a36-a6e3-f7abee2fd50d";
constexpr const char* kMordan = "291a27e9-f917-3e4c-7a86-e006a9eb67c9";
constexpr const char* kSlotEntry = "fd0cec60-8263-383f-d0af-c3369715499c";
constexpr const char* kKeptEntry = "f39b43ad-97ef-3afc-6a55-a74ae9a6b459";
constexpr const char* kTrelixCompanion = "ef389d48-09e3-3fe8-d3d6-b558427a533c";
constexpr const char* kMordanCompanion = "50b1b30a-5a5f-3fc8-1c7a-f6cad548e37f";
constexpr const char* kSixthClass = "08e33cd6-13dc-3a39-16cb-e1215a713fb9";
constexpr const char* kNinthClass = "dc48bd6a-84b5-3e1e-7094-e6be17b7b290";
// Our own classes: a Trelix chassis that owns one more object, and a plain one.
constexpr const char* kOwningTrelix = "d1000000-0000-4000-8000-000000000001";
constexpr const char* kPlain = "d1000000-0000-4000-8000-000000000002";
constexpr std::uint32_t kExtraOwned = 0x20C0F0A0;

const std::vector<ExtraClass> kExtraClasses = {
    {kOwningTrelix, kTrelix, {{kExtraOwned, "ref"}}},
    {kPlain, nullptr, {}},
};

constexpr HRESULT kFailure = static_cast<HRESULT>(0x80040A99U);
const std::string kClassTest = "isOfClass(1, f39b43ad-97ef-3afc-6a55-a74ae9a6b459)";

tStoragePass sequenceRow(std::uint32_t order) {
  for (const auto& row : tUpgradeDowngradeMgr::repairPassTable()) {
    if (row.order == order) return std::get<tStoragePass>(row.pass);
  }
  ADD_FAILURE() << "no row " << order;
  return nullptr;
}

class DetachedObjects : public StoreTest {
 protected:
  tStatus2 run(tStoragePass pass) {
    tStatus2 status;
    injector().clearJournal();
    pass(storage(), status);
    return status;
  }

  // Which call of `operation` (1-based) is the one on object n with
  // `arguments`, in a run of `pass` over `objects` without faults.
  std::uint64_t callNumber(const std::vector<Obj>& objects, tStoragePass pass,
                           const std::string& operation, unsigned n, const std::string& arguments) {
    open(objects, kExtraClasses);
    run(pass);
    std::uint64_t count = 0;
    for (const JournalEntry& e : injector().journal()) {
      if (e.operation != operation) continue;
      ++count;
      if (e.target == objectId(n) && e.arguments == arguments) return count;
    }
    ADD_FAILURE() << operation << " on #" << n << " not found";
    return 0;
  }
};

// --- phase 1 ---------------------------------------------------------------

TEST_F(DetachedObjects, TrelixTakesADetachedObjectApartAndDeletesItWithWhatItStillOwns) {
  // #1 is detached (no 0x20C00021): A=#2 and C=#4 fail the class test, B=#3
  // passes it. #5 is named by 0x20C00023, #6 is in 0xEEC0000C, #7 refers to
  // #1, #9 is owned through an attribute no step clears. #8 is attached.
  open({{1,
         kOwningTrelix,
         {{attributeText(0xEEC00022), refsTo({2, 3})},
          {attributeText(0xEEC00025), refsTo({4})},
          {attributeText(0xEEC00024), refsTo({})},
          {attributeText(0x20C00023), refTo(5)},
          {attributeText(0xEEC0000C), refsTo({6})},
          {attributeText(0xEEC001A4), refsTo({7})},
          {attributeText(kExtraOwned), refTo(9)}}},
        {2, kSlotEntry},
        {3, kKeptEntry},
        {4, kSlotEntry},
        {5, kPlain},
        {6, kPlain},
        {7, kPlain},
        {8,
         kTrelix,
         {{attributeText(0x20C00021), refTo(7)}, {attributeText(0xEEC00022), refsTo({10})}}},
        {9, kPlain},
        {10, kSlotEntry}},
       kExtraClasses);

  const tStatus2 status = run(&tUpgradeDowngradeMgr::purgeDetachedTrelixChassisObjects);

  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(changes(),
              ElementsAre("#2 " + kClassTest, "delete #2", "#3 " + kClassTest, "#4 " + kClassTest,
                          "delete #4", "#1 setObjectList(0xEEC00022, 0)",
                          "#1 setObjectList(0xEEC00024, 0)", "#1 setObjectList(0xEEC00025, 0)",
                          "#1 setObjectList(0xEEC001A4, 0)", "#1 setObjectList(0xEEC0000C, 0)",
                          "#1 setReference(0x20C00023, null)", "delete #1", "delete #9"));
  EXPECT_EQ(remaining(), (std::set<unsigned>{3, 5, 6, 7, 8, 10}));
}

TEST_F(DetachedObjects, MordanWithAnEmptySlotListDeletesNothingIndividually) {
  open({{1,
         kMordan,
         {{attributeText(0xEEC00021), refsTo({})},
          {attributeText(0x20C00020), refTo(5)},
          {attributeText(0xEEC0000C), refsTo({6})},
          {attributeText(0xEEC001A4), refsTo({7})}}},
        {5, kPlain},
        {6, kPlain},
        {7, kPlain}},
       kExtraClasses);

  const tStatus2 status = run(&tUpgradeDowngradeMgr::purgeDetachedMordanConnectorBlockObjects);

  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(changes(),
              ElementsAre("#1 setObjectList(0xEEC001A4, 0)", "#1 setObjectList(0xEEC0000C, 0)",
                          "#1 setObjectList(0xEEC00021, 0)", "#1 setReference(0x20C00020, null)",
                          "delete #1"));
  EXPECT_EQ(remaining(), (std::set<unsigned>{5, 6, 7}));
}

TEST_F(DetachedObjects, MordanDeletesTheFailingEntriesOfItsOneSlotList) {
  open({{1, kMordan, {{attributeText(0xEEC00021), refsTo({2, 3, 4})}}},
        {2, kKeptEntry},
        {3, kSlotEntry},
        {4, kPlain}},  // not of the slot-list kind: the kind-filtered read leaves it out
       kExtraClasses);

  run(&tUpgradeDowngradeMgr::purgeDetachedMordanConnectorBlockObjects);

  EXPECT_THAT(changes(),
              ElementsAre("#2 " + kClassTest, "#3 " + kClassTest, "delete #3",
                          "#1 setObjectList(0xEEC001A4, 0)", "#1 setObjectList(0xEEC0000C, 0)",
                          "#1 setObjectList(0xEEC00021, 0)", "#1 setReference(0x20C00020, null)",
                          "delete #1"));
  EXPECT_EQ(remaining(), (std::set<unsigned>{2, 4}));
}

struct PassCase {
  const char* name;
  tStoragePass pass;
  const char* mainClass;
  std::uint32_t requiredReference;
  std::uint32_t slotList;
  const char* companionClass;
};
const PassCase kPasses[] = {
    {"Trelix", &tUpgradeDowngradeMgr::purgeDetachedTrelixChassisObjects, kTrelix, 0x20C00021,
     0xEEC00022, kTrelixCompanion},
    {"Mordan", &tUpgradeDowngradeMgr::purgeDetachedMordanConnectorBlockObjects, kMordan, 0x20C0001F,
     0xEEC00021, kMordanCompanion},
};

TEST_F(DetachedObjects, AnObjectWithItsRequiredReferenceIsLeftWhateverItsSlotListsHold) {
  for (const PassCase& c : kPasses) {
    SCOPED_TRACE(c.name);
    open({{1,
           c.mainClass,
           {{attributeText(c.requiredReference), refTo(3)},
            {attributeText(c.slotList), refsTo({2})}}},
          {2, kSlotEntry},
          {3, kPlain}},
         kExtraClasses);
    const tStatus2 status = run(c.pass);
    EXPECT_EQ(status.code, 0);
    EXPECT_THAT(changes(), IsEmpty());
    EXPECT_EQ(remaining(), (std::set<unsigned>{1, 2, 3}));
  }
}

TEST_F(DetachedObjects, AFailingClassTestEndsAllFurtherDeletionsAndWrites) {
  // Two detached objects and one unreferenced companion; the nth class test fails.
  const struct {
    std::uint64_t nth;
    std::vector<std::string> changes;
    std::set<unsigned> remaining;
  } cases[] = {
      {1, {"#2 " + kClassTest}, {1, 2, 3, 4, 8, 10, 11}},
      {2, {"#2 " + kClassTest, "delete #2", "#3 " + kClassTest}, {1, 3, 4, 8, 10, 11}},
      {3,
       {"#2 " + kClassTest, "delete #2", "#3 " + kClassTest, "#4 " + kClassTest},
       {1, 3, 4, 8, 10, 11}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nth);
    open({{1,
           kTrelix,
           {{attributeText(0xEEC00022), refsTo({2, 3})}, {attributeText(0xEEC00025), refsTo({4})}}},
          {2, kSlotEntry},
          {3, kKeptEntry},
          {4, kSlotEntry},
          {8, kTrelix, {{attributeText(0xEEC00022), refsTo({10})}}},
          {10, kSlotEntry},
          {11, kTrelixCompanion}},
         kExtraClasses);
    injector().failCall("isOfClass", c.nth, kFailure);
    const tStatus2 status = run(&tUpgradeDowngradeMgr::purgeDetachedTrelixChassisObjects);
    EXPECT_EQ(status.code, kFailure);
    EXPECT_THAT(changes(), ElementsAreArray(c.changes));
    EXPECT_EQ(remaining(), c.remaining);
  }
}

TEST_F(DetachedObjects, AFailingRequiredReferenceReadLeavesThatObjectAndEveryLaterOne) {
  for (const PassCase& c : kPasses) {
    SCOPED_TRACE(c.name);
    open({{1, c.mainClass, {{attributeText(c.slotList), refsTo({2})}}},
          {2, kSlotEntry},
          {3, c.mainClass},
          {4, c.companionClass}},
         kExtraClasses);
    injector().failCall("getReference", 1, kStorageNotFound);
    const tStatus2 status = run(c.pass);
    EXPECT_EQ(status.code, StatusNotFound);
    EXPECT_THAT(changes(), IsEmpty());
    EXPECT_EQ(remaining(), (std::set<unsigned>{1, 2, 3, 4}));
  }
}

// --- phase 2 and the shared step ---------------------------------------------

TEST_F(DetachedObjects, ACompanionWithAReferrerStaysOneWithoutIsUnlinkedAndDeleted) {
  for (const PassCase& c : kPasses) {
    SCOPED_TRACE(c.name);
    // #1 is referred to; #2 is not; #3's only referrer no longer exists.
    open({{1,
           c.companionClass,
           {{attributeText(0xEEC001A4), refsTo({7})}, {attributeText(0xEEC0000C), refsTo({5})}}},
          {2, c.companionClass, {{attributeText(0xEEC0000C), refsTo({6})}}},
          {3, c.companionClass, {{attributeText(0xEEC001A4), refsTo({20})}}},
          {5, kPlain},
          {6, kPlain},
          {7, kPlain}},
         kExtraClasses);
    const tStatus2 status = run(c.pass);
    EXPECT_EQ(status.code, 0);
    EXPECT_THAT(changes(), ElementsAre("#2 setObjectList(0xEEC0000C, 0)", "delete #2",
                                       "#3 setObjectList(0xEEC0000C, 0)", "delete #3"));
    EXPECT_EQ(remaining(), (std::set<unsigned>{1, 5, 6, 7}));
  }
}

// The four variants of purgeUnreferencedObjects as the sequence runs them.
struct VariantCase {
  const char* name;
  tStoragePass pass;
  const char* objectClass;
  bool freshStatus;         // the referrer read has a status of its own per object
  std::uint32_t unlinking;  // the list emptied or the reference cleared
  bool clearsReference;
};
const VariantCase kVariants[] = {
    {"Trelix phase 2", &tUpgradeDowngradeMgr::purgeDetachedTrelixChassisObjects, kTrelixCompanion,
     false, 0xEEC0000C, false},
    {"Mordan phase 2", &tUpgradeDowngradeMgr::purgeDetachedMordanConnectorBlockObjects,
     kMordanCompanion, true, 0xEEC0000C, false},
    {"row 6", nullptr, kSixthClass, true, 0xEEC0000C, false},
    {"row 9", nullptr, kNinthClass, false, 0x20C00036, true},
};
tStoragePass passOf(const VariantCase& v) {
  if (v.pass != nullptr) return v.pass;
  return sequenceRow(v.objectClass == std::string(kSixthClass) ? 6 : 9);
}

TEST_F(DetachedObjects, EachVariantUnlinksItsOwnWayBeforeDeleting) {
  for (const VariantCase& v : kVariants) {
    SCOPED_TRACE(v.name);
    const std::string owned = attributeText(v.unlinking);
    open({{1, v.objectClass, {{owned, v.clearsReference ? refTo(6) : refsTo({6})}}}, {6, kPlain}},
         kExtraClasses);
    const tStatus2 status = run(passOf(v));
    EXPECT_EQ(status.code, 0);
    const std::string unlink = v.clearsReference ? "#1 setReference(" + owned + ", null)"
                                                 : "#1 setObjectList(" + owned + ", 0)";
    EXPECT_THAT(changes(), ElementsAre(unlink, "delete #1"));
    EXPECT_EQ(remaining(), (std::set<unsigned>{6}));
  }
}

TEST_F(DetachedObjects, AnUnreadableReferrerListLeavesTheObjectOrEndsThePassByVariant) {
  for (const VariantCase& v : kVariants) {
    SCOPED_TRACE(v.name);
    const std::vector<Obj> objects = {{1, v.objectClass}, {2, v.objectClass}, {3, v.objectClass}};
    const std::uint64_t nth = callNumber(objects, passOf(v), "getObjectList", 2, "0xEEC001A4, 0");
    open(objects, kExtraClasses);
    injector().failCall("getObjectList", nth, kFailure);

    const tStatus2 status = run(passOf(v));

    if (v.freshStatus) {
      // The failure stays with #2, which is left as it is; the pass goes on.
      EXPECT_EQ(status.code, 0);
      EXPECT_EQ(remaining(), (std::set<unsigned>{2}));
      EXPECT_THAT(deletionRequests(), ElementsAre(1, 3));
    } else {
      EXPECT_EQ(status.code, kFailure);
      EXPECT_EQ(remaining(), (std::set<unsigned>{2, 3}));
      EXPECT_THAT(deletionRequests(), ElementsAre(1));
    }
  }
}

TEST_F(DetachedObjects, NoFailedAllocationDeletesAReferencedObject) {
  // #2 is referred to by #7; #1 and #3 are not. Every allocation is failed
  // in turn, until the run needs no more than were failed.
  for (const VariantCase& v : kVariants) {
    SCOPED_TRACE(v.name);
    bool sawReferrerReadFailure = false;
    for (AllocationFaultSweep sweep; sweep.next();) {
      open({{1, v.objectClass},
            {2, v.objectClass, {{attributeText(0xEEC001A4), refsTo({7})}}},
            {3, v.objectClass},
            {7, kPlain}},
           kExtraClasses);
      const std::uint64_t live = platform::liveAllocations();
      sweep.arm();
      const tStatus2 status = run(passOf(v));
      const bool fired = sweep.disarm();
      EXPECT_EQ(platform::liveAllocations(), live);
      const std::set<unsigned> left = remaining();
      EXPECT_EQ(left.count(2), 1u);
      EXPECT_EQ(left.count(7), 1u);
      EXPECT_TRUE(status.code == 0 || status.code == StatusNoMemory) << status.code;
      if (!fired) {
        EXPECT_EQ(status.code, 0);
        EXPECT_EQ(left, (std::set<unsigned>{2, 7}));
        break;
      }
      // #2's referrers were counted but the array for them could not be had.
      if (called("getObjectList", 2, "0xEEC001A4, 0") &&
          !called("getObjectList", 2, "0xEEC001A4, 1")) {
        sawReferrerReadFailure = true;
        if (v.freshStatus) {
          EXPECT_EQ(status.code, 0);
          EXPECT_EQ(left, (std::set<unsigned>{2, 7}));
        } else {
          EXPECT_EQ(status.code, StatusNoMemory);
          EXPECT_EQ(left, (std::set<unsigned>{2, 3, 7}));
        }
      }
    }
    EXPECT_TRUE(sawReferrerReadFailure);
  }
}

TEST_F(DetachedObjects, AnErrorOnEntryMakesNoCallAtAll) {
  const tStoragePass passes[] = {&tUpgradeDowngradeMgr::purgeDetachedTrelixChassisObjects,
                                 &tUpgradeDowngradeMgr::purgeDetachedMordanConnectorBlockObjects,
                                 sequenceRow(6), sequenceRow(9)};
  for (tStoragePass pass : passes) {
    open({{1, kTrelix}, {2, kMordanCompanion}, {3, kSixthClass}, {4, kNinthClass}}, kExtraClasses);
    injector().clearJournal();
    tStatus2 status;
    status.code = StatusNotFound;
    pass(storage(), status);
    EXPECT_EQ(status.code, StatusNotFound);
    EXPECT_THAT(injector().journal(), IsEmpty());
    EXPECT_EQ(remaining(), (std::set<unsigned>{1, 2, 3, 4}));
  }
}

TEST_F(DetachedObjects, AWarningDoesNotStopThePass) {
  open({{1, kMordan}, {2, kMordanCompanion}}, kExtraClasses);
  tStatus2 status;
  status.code = 5;
  tUpgradeDowngradeMgr::purgeDetachedMordanConnectorBlockObjects(storage(), status);
  EXPECT_EQ(status.code, 5);
  EXPECT_THAT(remaining(), IsEmpty());
}

}  // namespace
}  // namespace vddb::test::passes
