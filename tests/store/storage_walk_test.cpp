// The owned-object walk and deleteWithOwned against the real engine, behind
// the fault-injecting decorator and with the failing allocator.
#include "store/storage_walk.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/wrappers.h"
#include "support/allocation_fault_sweep.h"
#include "support/store_fixture.h"

namespace vddb::test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;

constexpr const char* kNode = "c1000000-0000-4000-8000-000000000001";
constexpr const char* kBase = "c1000000-0000-4000-8000-000000000002";
constexpr const char* kDerived = "c1000000-0000-4000-8000-000000000003";
constexpr const char* kExcluded = "c6f302b8-5260-43c3-a81d-bf741e6d3a80";
constexpr const char* kExcludedChild = "c1000000-0000-4000-8000-000000000004";
constexpr const char* kOther1A4 = "c1000000-0000-4000-8000-000000000005";

constexpr std::uint32_t kOwnRef = 0x20C00010;
constexpr std::uint32_t kLinkRef = 0x20C00011;
constexpr std::uint32_t kOwnList = 0xEEC00012;
constexpr std::uint32_t kLinkList = 0xEEC00013;
constexpr std::uint32_t kNumber = 0x58C00014;
constexpr std::uint32_t kBaseRef = 0x20C00002;     // declared at kBase
constexpr std::uint32_t kDerivedRef = 0x20C00003;  // declared at kDerived
constexpr std::uint32_t kExcludedRef = 0x20C00040;
constexpr std::uint32_t kChildRef = 0x20C00041;

constexpr HRESULT kSomeFailure = static_cast<HRESULT>(0x80040A99U);

StoreJson catalog() {
  StoreJson store;
  store
      .cls(kNode, {{kOwnRef, "ref", true},
                   {kLinkRef, "ref", false},
                   {kOwnList, "reflist", true},
                   {kLinkList, "reflist", false},
                   {kNumber, "int"}})
      .cls(kBase, {{kBaseRef, "ref", true}})
      .cls(kDerived, {{kDerivedRef, "ref", true}}, kBase)
      .cls(kExcluded, {{model::kReferrerList, "reflist", true}, {kExcludedRef, "ref", true}})
      .cls(kExcludedChild, {{kChildRef, "ref", true}}, kExcluded)
      .cls(kOther1A4, {{model::kReferrerList, "reflist", true}});
  return store;
}

std::string id(std::uint32_t attribute) { return attributeText(attribute); }

class StorageWalk : public StoreTest {
 protected:
  GuidList collect(unsigned start) {
    GuidList collected;
    store::collectOwnedObjects(object(start), collected);
    return collected;
  }
  std::vector<std::string> deleted() {
    std::vector<std::string> out;
    for (const JournalEntry& e : injector().journal()) {
      if (e.operation == "deleteObject") out.push_back(e.arguments);
    }
    return out;
  }
};

// ---------------------------------------------------------------------------
// What is collected, and in which order

TEST_F(StorageWalk, ObjectsOwningEachOtherAreEachCollectedOnceAndTheWalkEnds) {
  open(catalog()
           .object(1, kNode, {{id(kOwnRef), refTo(2)}})
           .object(2, kNode, {{id(kOwnRef), refTo(1)}, {id(kOwnList), refsTo({1, 2})}}));
  EXPECT_THAT(guidTexts(collect(1)), ElementsAreArray(objectIds({1, 2})));
  EXPECT_THAT(guidTexts(collect(2)), ElementsAreArray(objectIds({2, 1})));
}

TEST_F(StorageWalk, ObjectReachedThroughTwoAttributesIsCollectedAndDeletedOnce) {
  open(catalog()
           .object(1, kNode, {{id(kOwnRef), refTo(2)}, {id(kOwnList), refsTo({3, 2, 4})}})
           .object(2, kNode)
           .object(3, kNode)
           .object(4, kNode)
           .object(5, kNode));
  tScopedRef<IStorageObject> start = object(1);
  EXPECT_EQ(store::deleteWithOwned(decorated(), start.get()), S_OK);
  EXPECT_THAT(deleted(), UnorderedElementsAreArray(objectIds({1, 2, 3, 4})));
  EXPECT_EQ(deleted().front(), objectId(1));
  EXPECT_FALSE(exists(2));
  EXPECT_TRUE(exists(5));
}

TEST_F(StorageWalk, FollowsDepthFirstInListOrder) {
  open(catalog()
           .object(1, kNode, {{id(kOwnList), refsTo({2, 3})}})
           .object(2, kNode, {{id(kOwnList), refsTo({4})}})
           .object(3, kNode, {{id(kOwnList), refsTo({5, 6})}})
           .object(4, kNode)
           .object(5, kNode, {{id(kOwnList), refsTo({7})}})
           .object(6, kNode)
           .object(7, kNode));
  EXPECT_THAT(guidTexts(collect(1)), ElementsAreArray(objectIds({1, 2, 4, 3, 5, 7, 6})));
}

TEST_F(StorageWalk, NonOwningAttributesEmptyReferencesAndOtherTypesAddNothing) {
  open(catalog()
           .object(1, kNode,
                   {{id(kLinkRef), refTo(2)},
                    {id(kLinkList), refsTo({3})},
                    {id(kOwnRef), nullptr},
                    {id(kOwnList), refsTo({9})},  // dangles: left out
                    {id(kNumber), 4}})
           .object(2, kNode)
           .object(3, kNode));
  EXPECT_THAT(guidTexts(collect(1)), ElementsAreArray(objectIds({1})));
  // The non-owning reference was looked at, never read.
  EXPECT_EQ(injector().count("getReference"), 1u);
}

TEST_F(StorageWalk, BaseLevelAttributesFollowTheOwnLevels) {
  // kBaseRef has the lower ID, yet the own level (kDerived) comes first.
  open(catalog()
           .object(1, kDerived, {{id(kBaseRef), refTo(3)}, {id(kDerivedRef), refTo(2)}})
           .object(2, kDerived, {{id(kBaseRef), refTo(4)}})
           .object(3, kBase)
           .object(4, kNode));
  EXPECT_THAT(guidTexts(collect(1)), ElementsAreArray(objectIds({1, 2, 4, 3})));
}

struct ExclusionCase {
  const char* name;
  const char* startClass;
  std::vector<unsigned> expected;
};

class StorageWalkExclusion : public StorageWalk,
                             public ::testing::WithParamInterface<ExclusionCase> {};

TEST_P(StorageWalkExclusion, ListAttribute1A4IsSkippedOnlyAtItsOneClassLevel) {
  const ExclusionCase& c = GetParam();
  StoreJson store = catalog();
  nlohmann::json values{{id(model::kReferrerList), refsTo({2})}};
  if (std::string(c.startClass) != kOther1A4) values[id(kExcludedRef)] = refTo(3);
  if (std::string(c.startClass) == kExcludedChild) values[id(kChildRef)] = refTo(4);
  open(store.object(1, c.startClass, values).object(2, kNode).object(3, kNode).object(4, kNode));
  EXPECT_THAT(guidTexts(collect(1)), ElementsAreArray(objectIds(c.expected)));
  // The attribute's type is still read before it is skipped.
  bool typeRead = false;
  for (const JournalEntry& e : injector().journal()) {
    typeRead = typeRead || (e.operation == "getType" && e.target == id(model::kReferrerList));
  }
  EXPECT_TRUE(typeRead);
}

INSTANTIATE_TEST_SUITE_P(
    Walk, StorageWalkExclusion,
    ::testing::Values(ExclusionCase{"AtTheClass", kExcluded, {1, 3}},
                      // Declared at the excluded class as a base level: still skipped.
                      ExclusionCase{"AtTheBaseLevel", kExcludedChild, {1, 4, 3}},
                      ExclusionCase{"AtAnotherClass", kOther1A4, {1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Store failures stay in the invocation they happen in

struct WalkFailureCase {
  const char* name;
  const char* operation;  // "" for none
  std::uint64_t nth;
  std::vector<std::string> expected;
};

class StorageWalkFailure : public StorageWalk,
                           public ::testing::WithParamInterface<WalkFailureCase> {};

// 1 (kDerived) owns 2 at its own level and 3 at its base level; 2 (kNode)
// owns 4.
TEST_P(StorageWalkFailure, LimitsOnlyWhatIsFollowedFromTheFailingObject) {
  const WalkFailureCase& c = GetParam();
  open(catalog()
           .object(1, kDerived, {{id(kDerivedRef), refTo(2)}, {id(kBaseRef), refTo(3)}})
           .object(2, kNode, {{id(kOwnRef), refTo(4)}})
           .object(3, kNode)
           .object(4, kNode));
  if (*c.operation != 0) injector().failCall(c.operation, c.nth, kSomeFailure);
  EXPECT_THAT(guidTexts(collect(1)), ElementsAreArray(c.expected));
}

const std::string kZero = "00000000-0000-0000-0000-000000000000";

INSTANTIATE_TEST_SUITE_P(
    Walk, StorageWalkFailure,
    ::testing::Values(WalkFailureCase{"None", "", 0, objectIds({1, 2, 4, 3})},
                      // The child's class cannot be had: the parent goes on with its base level.
                      WalkFailureCase{"ChildClass", "getClass", 2, objectIds({1, 2, 3})},
                      // The parent's first reference read fails: nothing more from the parent.
                      WalkFailureCase{"ParentReference", "getReference", 1, objectIds({1})},
                      // getBaseClass is asked by 4, then 2, then 1.
                      WalkFailureCase{"ChildBaseClass", "getBaseClass", 2, objectIds({1, 2, 4, 3})},
                      WalkFailureCase{"ParentBaseClass", "getBaseClass", 3, objectIds({1, 2, 4})},
                      WalkFailureCase{"ParentAttribute", "getAttribute", 1, objectIds({1})},
                      WalkFailureCase{"ParentFlag", "getFlag", 1, objectIds({1})},
                      WalkFailureCase{"ParentClassGuid", "getClassGuid", 1, objectIds({1})},
                      WalkFailureCase{"ParentAttributeIds", "enumAttributeIds", 1, objectIds({1})},
                      // The child's GUID cannot be read: the zero GUID stands for it.
                      WalkFailureCase{
                          "ChildGuid", "getObjectGuid", 2, {objectId(1), kZero, objectId(3)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StorageWalk, UnreadableGuidIsDeletedAsTheZeroGuid) {
  open(catalog().object(1, kNode, {{id(kOwnRef), refTo(2)}}).object(2, kNode));
  injector().failCall("getObjectGuid", 1, kSomeFailure);
  tScopedRef<IStorageObject> start = object(1);
  EXPECT_EQ(store::deleteWithOwned(decorated(), start.get()), kStorageNotFound);
  EXPECT_THAT(deleted(), ElementsAreArray({kZero}));
  EXPECT_TRUE(exists(1));
  EXPECT_TRUE(exists(2));
}

// ---------------------------------------------------------------------------
// deleteWithOwned

struct DeletionCase {
  const char* name;
  std::vector<std::pair<std::uint64_t, HRESULT>> failures;  // nth deleteObject, result
  HRESULT expected;
};

class DeleteWithOwned : public StorageWalk, public ::testing::WithParamInterface<DeletionCase> {};

TEST_P(DeleteWithOwned, MakesEveryDeletionAndReturnsTheLastRawFailure) {
  const DeletionCase& c = GetParam();
  open(catalog()
           .object(1, kNode, {{id(kOwnList), refsTo({2, 3})}})
           .object(2, kNode)
           .object(3, kNode));
  for (const auto& [nth, result] : c.failures) injector().failCall("deleteObject", nth, result);
  tScopedRef<IStorageObject> start = object(1);
  const HRESULT result = store::deleteWithOwned(decorated(), start.get());
  EXPECT_EQ(result, c.expected);
  EXPECT_THAT(deleted(), ElementsAreArray(objectIds({1, 2, 3})));
  std::set<unsigned> failed;
  for (const auto& failure : c.failures) failed.insert(static_cast<unsigned>(failure.first));
  for (unsigned n = 1; n <= 3; ++n) EXPECT_EQ(exists(n), failed.count(n) == 1) << n;
}

INSTANTIATE_TEST_SUITE_P(
    Walk, DeleteWithOwned,
    ::testing::Values(
        DeletionCase{"AllSucceed", {}, S_OK},
        // Not mapped to StatusNotFound.
        DeletionCase{"SecondNotFound", {{2, kStorageNotFound}}, static_cast<HRESULT>(0x80040309U)},
        DeletionCase{
            "LastFailureWins", {{1, kSomeFailure}, {3, kStorageNotFound}}, kStorageNotFound},
        DeletionCase{"EarlierFailureKept", {{1, kSomeFailure}}, kSomeFailure}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StorageWalk, DeleteWithOwnedLeavesTheCallersReference) {
  open(catalog().object(1, kNode, {{id(kOwnRef), refTo(2)}}).object(2, kNode).object(3, kNode));
  tScopedRef<IStorageObject> start = object(1);
  const std::size_t wrappersBefore = injector().liveWrappers();  // the storage and object 1
  EXPECT_EQ(store::deleteWithOwned(decorated(), start.get()), S_OK);
  // Everything the walk took is given back, and the caller's reference was
  // not: its wrapper is still alive.
  EXPECT_EQ(injector().liveWrappers(), wrappersBefore);
  EXPECT_EQ(wrappersBefore, 2u);
  EXPECT_FALSE(exists(1));
  EXPECT_FALSE(exists(2));
  EXPECT_TRUE(exists(3));
}

TEST_F(StorageWalk, NullObjectCollectsNothing) {
  open(catalog());
  GuidList collected;
  store::collectOwnedObjects(tScopedRef<IStorageObject>(), collected);
  EXPECT_TRUE(collected.empty());
  EXPECT_THAT(injector().calls(), IsEmpty());
}

TEST_F(StorageWalk, ObjectsAlreadyInTheListAreNotWalkedAgain) {
  open(catalog()
           .object(1, kNode, {{id(kOwnList), refsTo({2, 3})}})
           .object(2, kNode, {{id(kOwnRef), refTo(4)}})
           .object(3, kNode)
           .object(4, kNode));
  GuidList collected;
  collected.append(objectGuid(2));
  store::collectOwnedObjects(object(1), collected);
  EXPECT_THAT(guidTexts(collected), ElementsAreArray(objectIds({2, 1, 3})));
}

// ---------------------------------------------------------------------------
// Running out of memory ends the walk

// Whether `part` appears in `whole` in the same order.
bool isSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  auto it = whole.begin();
  for (const std::string& p : part) {
    it = std::find(it, whole.end(), p);
    if (it == whole.end()) return false;
    ++it;
  }
  return true;
}

class StorageWalkOutOfMemory : public StorageWalk, public ::testing::WithParamInterface<bool> {};

// Every object owns its way back to the start, so a walk that went on
// following without recording would never end. The allocator fails at the
// 1st, 2nd, ... allocation (once, or from then on) until the walk runs clean.
TEST_P(StorageWalkOutOfMemory, EndsAndDeletesOnlyWhatWasCollected) {
  const bool persistent = GetParam();
  constexpr unsigned kObjects = 40;
  StoreJson store = catalog();
  std::vector<unsigned> ring;
  for (unsigned n = 2; n <= kObjects; ++n) ring.push_back(n);
  store.object(1, kNode, {{id(kOwnList), refsTo(ring)}});
  for (unsigned n = 2; n <= kObjects; ++n) {
    store.object(n, kNode,
                 {{id(kOwnRef), refTo(1)}, {id(kOwnList), refsTo({n, 1, n % kObjects + 1})}});
  }
  open(store);
  const std::vector<std::string> full = guidTexts(collect(1));
  ASSERT_EQ(full.size(), kObjects);

  for (AllocationFaultSweep sweep(persistent, 10000); sweep.next();) {
    GuidList collected;
    tScopedRef<IStorageObject> start = object(1);
    sweep.arm();
    store::collectOwnedObjects(std::move(start), collected);
    const bool fired = sweep.disarm();
    const std::vector<std::string> got = guidTexts(collected);
    EXPECT_TRUE(isSubsequence(got, full));
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size());
    if (!fired) {
      EXPECT_EQ(got, full);
    }
  }
}

TEST_P(StorageWalkOutOfMemory, DeleteWithOwnedDeletesThePrefixItCollected) {
  const bool persistent = GetParam();
  open(catalog()
           .object(1, kNode, {{id(kOwnList), refsTo({2, 3, 4, 5})}})
           .object(2, kNode, {{id(kOwnRef), refTo(1)}})
           .object(3, kNode)
           .object(4, kNode)
           .object(5, kNode));
  // The walk's own bookkeeping is taken first, then the list's room for one
  // GUID, two, four: the fifth GUID needs an allocation late in the walk.
  bool sawPartial = false;
  for (std::uint64_t n = 1; n < 50 && !sawPartial; ++n) {
    injector().clearJournal();
    tScopedRef<IStorageObject> start = object(1);
    platform::failAllocationAt(n, persistent);
    const HRESULT result = store::deleteWithOwned(decorated(), start.get());
    const bool fired = platform::allocationFaultFired();
    platform::clearAllocationFault();
    ASSERT_TRUE(fired) << "every allocation was survived; nothing deleted partially";
    EXPECT_EQ(result, S_OK);
    const std::vector<std::string> gone = deleted();
    EXPECT_TRUE(isSubsequence(gone, objectIds({1, 2, 3, 4, 5})));
    for (unsigned o = 1; o <= 5; ++o) {
      const bool wasDeleted = std::find(gone.begin(), gone.end(), objectId(o)) != gone.end();
      EXPECT_EQ(exists(o), !wasDeleted) << o;
    }
    sawPartial = !gone.empty() && gone.size() < 5;
    // A fresh store for the next round.
    close();
    open(catalog()
             .object(1, kNode, {{id(kOwnList), refsTo({2, 3, 4, 5})}})
             .object(2, kNode, {{id(kOwnRef), refTo(1)}})
             .object(3, kNode)
             .object(4, kNode)
             .object(5, kNode));
  }
  EXPECT_TRUE(sawPartial);
}

INSTANTIATE_TEST_SUITE_P(Walk, StorageWalkOutOfMemory, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "FromThenOn" : "Once"; });

// ---------------------------------------------------------------------------
// The same order and the same store calls as the recursive definition

// The walk as a recursion, kept literal as the reference: a linear visited
// test and one invocation per object reached.
void recursiveWalk(tScopedRef<IStorageObject> object, GuidList& collected) {
  if (!object) return;
  std::int32_t code = 0;
  GUID guid{};
  store::callStore(code, [&] { return object->getObjectGuid(&guid); });
  if (collected.contains(guid)) return;
  collected.append(guid);
  tScopedRef<IStorageClass> level = store::getClass(object.get(), code);
  if (!isGood(code) || !level) return;
  while (level) {
    GUID levelGuid{};
    store::callStore(code, [&] { return level->getClassGuid(&levelGuid); });
    tScopedRef<IAttributeIdEnumerator> ids = store::enumAttributeIds(level.get(), code);
    std::uint32_t attribute = 0;
    std::uint32_t delivered = 0;
    while (ids && isGood(code) && ids->Next(1, &attribute, &delivered) == S_OK) {
      tScopedRef<IStorageAttribute> descriptor = store::getAttribute(level.get(), attribute, code);
      std::uint32_t type = 0;
      if (descriptor) store::callStore(code, [&] { return descriptor->getType(&type); });
      if (levelGuid == model::kHardwareItemClass && attribute == model::kReferrerList) {
        continue;
      }
      if (type != kAttributeTypeReference && type != kAttributeTypeReferenceList) continue;
      std::uint32_t flag = 1;
      if (descriptor) store::callStore(code, [&] { return descriptor->getFlag(&flag); });
      if (flag != 0) continue;
      if (type == kAttributeTypeReference) {
        recursiveWalk(store::getReference(object.get(), attribute, code), collected);
      } else {
        ObjectList owned = store::readObjectList(object.get(), attribute, code);
        for (IStorageObject* o : owned) {
          recursiveWalk(tScopedRef<IStorageObject>::share(o), collected);
        }
      }
    }
    if (!isGood(code)) break;
    level = store::getBaseClass(level.get(), code);
  }
}

// A store of random objects over a class hierarchy that has owning and
// non-owning attributes on several levels, the excluded class, cycles,
// shared and dangling references.
std::string randomStore(unsigned seed, unsigned objects) {
  std::mt19937 random(seed);
  StoreJson store = catalog();
  const std::vector<const char*> classes = {kNode,     kBase,          kDerived,
                                            kExcluded, kExcludedChild, kOther1A4};
  auto pick = [&](unsigned bound) {
    return std::uniform_int_distribution<unsigned>(0, bound)(random);
  };
  auto target = [&] { return pick(objects + 2) + 1; };  // a few past the end: dangling
  auto refList = [&] {
    std::vector<unsigned> list;
    for (unsigned k = pick(4); k > 0; --k) list.push_back(target());
    return refsTo(list);
  };
  for (unsigned n = 1; n <= objects; ++n) {
    const char* cls = classes[pick(classes.size() - 1)];
    const std::string c = cls;
    nlohmann::json values = nlohmann::json::object();
    auto maybeRef = [&](std::uint32_t a) {
      if (pick(3) != 0) values[id(a)] = refTo(target());
    };
    if (c == kNode) {
      maybeRef(kOwnRef);
      maybeRef(kLinkRef);
      values[id(kOwnList)] = refList();
      values[id(kLinkList)] = refList();
    } else if (c == kBase || c == kDerived) {
      maybeRef(kBaseRef);
      if (c == kDerived) maybeRef(kDerivedRef);
    } else if (c == kOther1A4) {
      values[id(model::kReferrerList)] = refList();
    } else {
      values[id(model::kReferrerList)] = refList();
      maybeRef(kExcludedRef);
      if (c == kExcludedChild) maybeRef(kChildRef);
    }
    store.object(n, cls, values);
  }
  return store.text();
}

struct WalkRun {
  std::vector<std::string> collected;
  std::vector<std::string> calls;
};

template <class Walk>
WalkRun runWalk(engine::StoreSession& session, unsigned start, const std::string& failing,
                std::uint64_t nth, Walk&& walk) {
  FaultInjector injector;
  WalkRun run;
  {
    tScopedRef<IkorrinStorage> storage = injector.wrap(session.storage());
    std::int32_t code = 0;
    tScopedRef<IStorageObject> object = store::openObject(storage.get(), objectGuid(start), code);
    injector.clearJournal();
    if (!failing.empty()) injector.failCall(failing, nth, kSomeFailure);
    GuidList collected;
    walk(std::move(object), collected);
    run.collected = guidTexts(collected);
  }
  for (const JournalEntry& e : injector.journal()) {
    run.calls.push_back(e.text() + " -> " + std::to_string(e.result));
  }
  return run;
}

class StorageWalkMatchesRecursion : public StorageWalk,
                                    public ::testing::WithParamInterface<unsigned> {};

TEST_P(StorageWalkMatchesRecursion, SameOrderAndSameCallsOnRandomStores) {
  const unsigned seed = GetParam();
  constexpr unsigned kObjects = 60;
  open(randomStore(seed, kObjects));
  const std::vector<std::string> operations = {"",
                                               "getObjectGuid",
                                               "getClass",
                                               "getClassGuid",
                                               "enumAttributeIds",
                                               "IAttributeIdEnumerator::Next",
                                               "getAttribute",
                                               "getType",
                                               "getFlag",
                                               "getReference",
                                               "getObjectList",
                                               "getBaseClass"};
  std::mt19937 random(seed);
  std::size_t longest = 0;
  for (unsigned start = 1; start <= kObjects; start += 7) {
    for (const std::string& failing : operations) {
      const std::uint64_t nth = std::uniform_int_distribution<std::uint64_t>(1, 12)(random);
      const WalkRun expected = runWalk(session(), start, failing, nth, recursiveWalk);
      const WalkRun actual =
          runWalk(session(), start, failing, nth, [](tScopedRef<IStorageObject> o, GuidList& list) {
            store::collectOwnedObjects(std::move(o), list);
          });
      ASSERT_EQ(actual.collected, expected.collected)
          << "start " << start << " failing " << failing;
      ASSERT_EQ(actual.calls, expected.calls) << "start " << start << " failing " << failing;
      longest = std::max(longest, expected.collected.size());
    }
  }
  EXPECT_GT(longest, 5u) << "the random stores should own something";
}

INSTANTIATE_TEST_SUITE_P(Walk, StorageWalkMatchesRecursion, ::testing::Range(1u, 9u));

// ---------------------------------------------------------------------------
// A long chain of owned objects

// Object n owns object n + 1.
std::string chainStore(unsigned length) {
  std::string json = R"({"format":"vddb-store/1","classes":[{"guid":")";
  json += kNode;
  json += R"(","attributes":[{"id":"0x20C00010","type":"ref","owning":true}]}],"objects":[)";
  json.reserve(json.size() + std::size_t{length} * 140);
  for (unsigned n = 1; n <= length; ++n) {
    if (n > 1) json += ',';
    json += R"({"guid":")" + objectId(n) + R"(","class":")" + kNode + R"(","values":{)";
    if (n < length) json += R"("0x20C00010":")" + objectId(n + 1) + '"';
    json += "}}";
  }
  json += "]}";
  return json;
}

// Runs `body` on a thread with a small stack: a walk that recursed per
// object would overflow it long before the end of the chain.
template <class Body>
void onSmallStack(Body&& body) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 1024 * 1024);
  pthread_t thread;
  auto trampoline = [](void* argument) -> void* {
    (*static_cast<Body*>(argument))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attributes, trampoline, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
}

// A million objects in optimised native builds. Unoptimised builds (the
// sanitizer preset) and the 32-bit Windows build walk a tenth of that, which
// still needs far more stack than the 1 MiB thread has for a recursive walk.
#if defined(NDEBUG) && !defined(_WIN32)
constexpr unsigned kChainLength = 1000000;
#else
constexpr unsigned kChainLength = 100000;
#endif

TEST_F(StorageWalk, LongOwnershipChainIsWalkedAndDeletedWithoutRecursion) {
  using Clock = std::chrono::steady_clock;
  const auto began = Clock::now();
  open(chainStore(kChainLength));
  const auto loaded = Clock::now();
  // The engine directly: journaling millions of calls would only add time.
  IkorrinStorage* engineStorage = session().storage();
  std::int32_t code = 0;
  tScopedRef<IStorageObject> start = store::openObject(engineStorage, objectGuid(1), code);
  ASSERT_TRUE(start);
  HRESULT result = E_FAIL;
  GuidList collected;
  onSmallStack([&] {
    store::collectOwnedObjects(tScopedRef<IStorageObject>::share(start.get()), collected);
    result = store::deleteWithOwned(engineStorage, start.get());
  });
  const auto walked = Clock::now();
  ASSERT_EQ(collected.size(), kChainLength);
  for (unsigned n = 0; n < kChainLength; ++n) ASSERT_EQ(collected[n], objectGuid(n + 1)) << n;
  EXPECT_EQ(result, S_OK);
  ObjectList left;
  tStatus2 status;
  store::collectObjectsOfClass(*parseGuid(kNode), engineStorage, left, status);
  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(left.empty()) << left.size() << " objects of the chain were not deleted";
  const auto ms = [](auto d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
  };
  std::printf("chain of %u: store built in %lld ms, walked twice and deleted in %lld ms\n",
              kChainLength, static_cast<long long>(ms(loaded - began)),
              static_cast<long long>(ms(walked - loaded)));
}

}  // namespace
}  // namespace vddb::test
