// The readers against the real engine, behind the fault-injecting decorator
// and with the failing allocator.
#include "store/readers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/memory.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/wrappers.h"
#include "support/allocation_fault_sweep.h"
#include "support/store_fixture.h"

namespace vddb::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kItem = "a1000000-0000-4000-8000-000000000001";
constexpr const char* kDerivedItem = "a1000000-0000-4000-8000-000000000002";
constexpr const char* kSlot = "a1000000-0000-4000-8000-000000000003";
constexpr const char* kSlotVariant = "a1000000-0000-4000-8000-000000000004";
constexpr const char* kPlain = "a1000000-0000-4000-8000-000000000005";

constexpr std::uint32_t kList = 0xEEC00001;
constexpr std::uint32_t kRef = 0x20C00001;

constexpr HRESULT kSomeFailure = static_cast<HRESULT>(0x80040A99U);

StoreJson catalog() {
  StoreJson store;
  store
      .cls(kItem, {{kList, "reflist"},
                   {kRef, "ref"},
                   {model::kReferredName, "string"},
                   {model::kNamedObjectName, "string"}})
      .cls(kDerivedItem, {}, kItem)
      .cls(kSlot, {})
      .cls(kSlotVariant, {}, kSlot)
      .cls(kPlain, {});
  return store;
}

GUID classGuid(const char* text) { return *parseGuid(text); }

// Objects 1..n of kItem.
StoreJson items(unsigned n) {
  StoreJson store = catalog();
  for (unsigned i = 1; i <= n; ++i) store.object(i, kItem);
  return store;
}

std::vector<std::string> listIds(const ObjectList& objects) {
  std::vector<std::string> ids;
  for (IStorageObject* o : objects) {
    GUID g{};
    o->getObjectGuid(&g);
    ids.push_back(formatGuid(g));
  }
  return ids;
}

std::vector<HRESULT> results(const FaultInjector& injector, const std::string& operation) {
  std::vector<HRESULT> out;
  for (const JournalEntry& e : injector.journal()) {
    if (e.operation == operation) out.push_back(e.result);
  }
  return out;
}

// ---------------------------------------------------------------------------
// enumerateQuery

struct BatchCase {
  unsigned objects;
  std::vector<HRESULT> nextResults;  // 16 per call: 0 for a full batch, 1 for less
};

class EnumerateBatching : public StoreTest, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(EnumerateBatching, AsksForSixteenAtATimeAndStopsAfterAnEmptyBatch) {
  const BatchCase& c = GetParam();
  open(items(c.objects));
  std::int32_t code = 0;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  injector().clearJournal();

  GuidList guids;
  store::enumerateQuery(decorated(), query.get(), guids, code);

  EXPECT_EQ(code, 0);
  EXPECT_EQ(results(injector(), "Next"), c.nextResults);
  std::vector<unsigned> expected;
  for (unsigned i = 1; i <= c.objects; ++i) expected.push_back(i);
  EXPECT_EQ(guidTexts(guids), objectIds(expected));
}

// 40 objects: 16, 16, 8 (result 1) and an empty batch; 32: 16, 16, empty.
INSTANTIATE_TEST_SUITE_P(Readers, EnumerateBatching,
                         ::testing::Values(BatchCase{40, {0, 0, 1, 1}}, BatchCase{32, {0, 0, 1}},
                                           BatchCase{0, {1}}, BatchCase{16, {0, 1}},
                                           BatchCase{1, {1, 1}}));

class EnumerateQuery : public StoreTest {};

TEST_F(EnumerateQuery, KeepsWhatCameBeforeAFailingBatch) {
  open(items(20));
  std::int32_t code = 0;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  injector().failCall("IGuidEnumerator::Next", 2, kStorageNotFound);

  GuidList guids;
  guids.append(objectGuid(99));  // emptied first
  store::enumerateQuery(decorated(), query.get(), guids, code);

  EXPECT_EQ(code, StatusNotFound);
  EXPECT_EQ(guids.size(), 16u);
  EXPECT_EQ(injector().count("Next"), 2u);
}

TEST_F(EnumerateQuery, MakesNoCallOnABadCodeButEmptiesTheList) {
  open(items(3));
  std::int32_t code = 0;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  injector().clearJournal();
  code = -7;
  GuidList guids;
  guids.append(objectGuid(99));
  store::enumerateQuery(decorated(), query.get(), guids, code);
  EXPECT_EQ(code, -7);
  EXPECT_TRUE(guids.empty());
  EXPECT_THAT(injector().calls(), IsEmpty());
}

TEST_F(EnumerateQuery, ListThatCannotGrowReplacesAWarning) {
  open(items(3));
  std::int32_t code = 0;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  code = 3;
  GuidList guids;
  platform::failAllocationAt(1, true);
  store::enumerateQuery(decorated(), query.get(), guids, code);
  platform::clearAllocationFault();
  EXPECT_EQ(code, StatusNoMemory);
  EXPECT_TRUE(guids.allocationFailed());
}

TEST_F(EnumerateQuery, ListThatCannotGrowKeepsAnEarlierError) {
  open(items(20));
  std::int32_t code = 0;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  injector().failCall("IGuidEnumerator::Next", 2, kSomeFailure);
  GuidList guids;
  platform::failAllocationAt(1, true);
  store::enumerateQuery(decorated(), query.get(), guids, code);
  platform::clearAllocationFault();
  EXPECT_EQ(code, kSomeFailure);
}

// ---------------------------------------------------------------------------
// collectObjectsOfClass

class CollectObjectsOfClass : public StoreTest {};

TEST_F(CollectObjectsOfClass, OpensTheClassAndItsDerivedClassesInEnumerationOrder) {
  open(catalog().object(3, kItem).object(1, kDerivedItem).object(2, kPlain).object(4, kItem));
  tStatus2 status;
  ObjectList objects;
  store::collectObjectsOfClass(classGuid(kItem), decorated(), objects, status);

  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({1, 3, 4})));
  // The query selects derived classes too: flag 1, reserved 0.
  ASSERT_EQ(injector().calls("createQuery").size(), 1u);
  EXPECT_THAT(injector().calls("createQuery")[0], ::testing::HasSubstr(", 1"));
  EXPECT_EQ(injector().count("openObject"), 3u);
}

TEST_F(CollectObjectsOfClass, EnteredWithAnErrorEmptiesTheListAndMakesNoCall) {
  open(items(2));
  ObjectList objects;
  {
    tScopedRef<IStorageObject> first = object(1);
    objects.append(first.get());
  }
  tStatus2 status;
  status.code = StatusNotFound;
  store::collectObjectsOfClass(classGuid(kItem), decorated(), objects, status);
  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_TRUE(objects.empty());
  EXPECT_THAT(injector().calls(), IsEmpty());
}

TEST_F(CollectObjectsOfClass, KeepsTheObjectsOpenedBeforeAFailureAndOpensNoMore) {
  open(items(4));
  injector().failCall("openObject", 3, kSomeFailure);
  tStatus2 status;
  ObjectList objects;
  store::collectObjectsOfClass(classGuid(kItem), decorated(), objects, status);
  EXPECT_EQ(status.code, kSomeFailure);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({1, 2})));
  EXPECT_EQ(injector().count("openObject"), 3u);
  EXPECT_FALSE(status.hasDescription());
}

TEST_F(CollectObjectsOfClass, FailedQueryMakesNoFurtherCall) {
  open(items(2));
  injector().failCall("createQuery", 1, kStorageNotFound);
  tStatus2 status;
  ObjectList objects;
  store::collectObjectsOfClass(classGuid(kItem), decorated(), objects, status);
  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_TRUE(objects.empty());
  EXPECT_EQ(injector().calls().size(), 1u);
}

// Fails the 1st, 2nd, ... allocation until the collection runs clean. A
// failure of the GUID list shows as the code alone (from the enumeration)
// with nothing opened; a failure of the object list is raised at line 57.
TEST_F(CollectObjectsOfClass, AllocationFailuresBecomeNoMemoryAndTheListFailureIsRaisedAtLine57) {
  open(items(5));
  bool sawRaise = false;
  bool sawCodeOnly = false;
  for (AllocationFaultSweep sweep(false, 100); sweep.next();) {
    tStatus2 status;
    status.code = 2;  // a warning does not stop the collection and is replaced
    ObjectList objects;
    injector().clearJournal();
    sweep.arm();
    store::collectObjectsOfClass(classGuid(kItem), decorated(), objects, status);
    if (!sweep.disarm()) {
      EXPECT_EQ(status.code, 2);
      EXPECT_EQ(objects.size(), 5u);
      break;
    }
    EXPECT_EQ(status.code, StatusNoMemory);
    if (objects.allocationFailed()) {
      sawRaise = true;
      EXPECT_TRUE(status.hasDescription());
      EXPECT_STREQ(status.getComponent(), "Pellorin");
      EXPECT_STREQ(status.getSourceFile(), "tUpgradeDowngradeMgr");
      EXPECT_EQ(status.getLine(), 57u);
      EXPECT_EQ(injector().count("openObject"), 5u);
      EXPECT_LT(objects.size(), 5u);
    } else {
      sawCodeOnly = true;
      EXPECT_FALSE(status.hasDescription());
      EXPECT_EQ(injector().count("openObject"), 0u);
      EXPECT_TRUE(objects.empty());
    }
  }
  EXPECT_TRUE(sawRaise);
  EXPECT_TRUE(sawCodeOnly);
}

TEST_F(CollectObjectsOfClass, RaiseIsNotMadeOverAnError) {
  open(items(3));
  injector().failCall("openObject", 3, kSomeFailure);
  tStatus2 status;
  ObjectList objects;
  // The GUID list takes allocations 1 and 2 (one, then two entries' room,
  // then four); the object list's first block is the next one.
  platform::failAllocationAt(4, true);
  store::collectObjectsOfClass(classGuid(kItem), decorated(), objects, status);
  platform::clearAllocationFault();
  EXPECT_TRUE(objects.allocationFailed());
  EXPECT_EQ(status.code, kSomeFailure);
  EXPECT_FALSE(status.hasDescription());
}

// ---------------------------------------------------------------------------
// readObjectList and readKindObjectList

class ReadObjectList : public StoreTest {
 protected:
  // Object 1 lists 2, 3 and 4 (mixed kinds) and, in kRef, nothing.
  void SetUp() override {
    StoreTest::SetUp();
    open(catalog()
             .object(1, kItem, {{attributeText(kList), refsTo({4, 2, 3, 5})}})
             .object(2, kSlot)
             .object(3, kPlain)
             .object(4, kSlotVariant)
             .object(5, kSlot)
             .object(6, kItem));
  }
};

TEST_F(ReadObjectList, ReadsTheEntriesInStoredOrderWithTwoCalls) {
  tScopedRef<IStorageObject> owner = object(1);
  std::int32_t code = 0;
  ObjectList objects;
  store::readObjectList(owner.get(), kList, objects, code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({4, 2, 3, 5})));
  EXPECT_EQ(injector().count("getObjectList"), 2u);
}

TEST_F(ReadObjectList, NewListFormReturnsTheEntries) {
  tScopedRef<IStorageObject> owner = object(1);
  std::int32_t code = 0;
  ObjectList objects = store::readObjectList(owner.get(), kList, code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({4, 2, 3, 5})));
}

TEST_F(ReadObjectList, EmptyAttributeMakesOneCall) {
  tScopedRef<IStorageObject> owner = object(6);
  std::int32_t code = 4;
  ObjectList objects;
  store::readObjectList(owner.get(), kList, objects, code);
  EXPECT_EQ(code, 4);
  EXPECT_TRUE(objects.empty());
  EXPECT_EQ(injector().calls().size(), 1u);
}

TEST_F(ReadObjectList, ShortSecondCallAppendsOnlyWhatWasDelivered) {
  tScopedRef<IStorageObject> owner = object(1);
  injector().shortenListReads("getObjectList", kList, 2);
  std::int32_t code = 0;
  ObjectList objects;
  store::readObjectList(owner.get(), kList, objects, code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({4, 2})));
}

TEST_F(ReadObjectList, EnteredWithAnErrorLeavesTheListAndMakesNoCall) {
  tScopedRef<IStorageObject> owner = object(1);
  tScopedRef<IStorageObject> other = object(6);
  ObjectList objects;
  objects.append(other.get());
  std::int32_t code = -1;
  store::readObjectList(owner.get(), kList, objects, code);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(objects.size(), 1u);
  EXPECT_THAT(injector().calls(), IsEmpty());
}

struct ListFailureCase {
  const char* name;
  std::uint64_t failingCall;  // 1: the counting call, 2: the filling call
  HRESULT result;
  std::int32_t expectedCode;
};

class ReadObjectListFailure : public ReadObjectList,
                              public ::testing::WithParamInterface<ListFailureCase> {};

TEST_P(ReadObjectListFailure, EndsWithAnEmptyListAndTheMappedResult) {
  const ListFailureCase& c = GetParam();
  tScopedRef<IStorageObject> owner = object(1);
  tScopedRef<IStorageObject> other = object(6);
  injector().failCall("getObjectList", c.failingCall, c.result);
  ObjectList objects;
  objects.append(other.get());
  std::int32_t code = 5;
  store::readObjectList(owner.get(), kList, objects, code);
  EXPECT_EQ(code, c.expectedCode);
  EXPECT_TRUE(objects.empty());
  EXPECT_EQ(injector().count("getObjectList"), c.failingCall);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ReadObjectListFailure,
    ::testing::Values(ListFailureCase{"CountingNotFound", 1, kStorageNotFound, StatusNotFound},
                      ListFailureCase{"CountingOther", 1, kSomeFailure, kSomeFailure},
                      ListFailureCase{"FillingNotFound", 2, kStorageNotFound, StatusNotFound},
                      ListFailureCase{"FillingOther", 2, kSomeFailure, kSomeFailure}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadObjectList, ArrayThatCannotBeHadGivesNoMemoryWithoutTheSecondCall) {
  tScopedRef<IStorageObject> owner = object(1);
  std::int32_t code = 1;
  ObjectList objects;
  platform::failAllocationAt(1);  // the temporary array is the first allocation
  store::readObjectList(owner.get(), kList, objects, code);
  platform::clearAllocationFault();
  EXPECT_EQ(code, StatusNoMemory);
  EXPECT_TRUE(objects.empty());
  EXPECT_EQ(injector().count("getObjectList"), 1u);
}

TEST_F(ReadObjectList, ListThatCannotGrowReplacesAWarning) {
  tScopedRef<IStorageObject> owner = object(1);
  std::int32_t code = 3;
  ObjectList objects;
  platform::failAllocationAt(3, true);  // array, room for one entry, room for two
  store::readObjectList(owner.get(), kList, objects, code);
  platform::clearAllocationFault();
  EXPECT_EQ(code, StatusNoMemory);
  EXPECT_TRUE(objects.allocationFailed());
  // The slot whose entry could not be appended was released all the same
  // (checked by the tear-down's reference count).
  EXPECT_EQ(objects.size(), 1u);
}

// An object in front of a real one whose filling call reports more entries
// than it was given room for, as a store does when entries were added
// between the two calls.
class OverReportingObject final : public IStorageObject {
 public:
  explicit OverReportingObject(IStorageObject* inner)
      : _inner(tScopedRef<IStorageObject>::share(inner)) {}

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** out) override {
    return _inner->QueryInterface(iid, out);
  }
  ULONG VDDB_STDCALL AddRef() override { return ++_refs; }
  ULONG VDDB_STDCALL Release() override { return --_refs; }  // lives on the test's stack
  HRESULT VDDB_STDCALL getObjectGuid(GUID* g) override { return _inner->getObjectGuid(g); }
  HRESULT VDDB_STDCALL getClass(IStorageClass** c) override { return _inner->getClass(c); }
  HRESULT VDDB_STDCALL isOfClass(std::uint32_t f, const GUID* g, std::int32_t* r) override {
    return _inner->isOfClass(f, g, r);
  }
  HRESULT VDDB_STDCALL setReference(std::uint32_t a, IStorageObject* t) override {
    return _inner->setReference(a, t);
  }
  HRESULT VDDB_STDCALL setObjectList(std::uint32_t a, std::uint32_t n,
                                     IStorageObject** o) override {
    return _inner->setObjectList(a, n, o);
  }
  HRESULT VDDB_STDCALL getInteger(std::uint32_t a, std::int32_t* v) override {
    return _inner->getInteger(a, v);
  }
  HRESULT VDDB_STDCALL getString(std::uint32_t a, char16_t** t) override {
    return _inner->getString(a, t);
  }
  HRESULT VDDB_STDCALL getReference(std::uint32_t a, IStorageObject** t) override {
    return _inner->getReference(a, t);
  }
  // The counting call reports one entry less than there are; the filling
  // call fills what it was given room for and reports them all.
  HRESULT VDDB_STDCALL getObjectList(std::uint32_t a, std::uint32_t capacity,
                                     IStorageObject** slots, std::uint32_t* count) override {
    std::uint32_t all = 0;
    const HRESULT counted = _inner->getObjectList(a, 0, nullptr, &all);
    if (capacity == 0) {
      *count = all - 1;
      return counted;
    }
    std::uint32_t filled = 0;
    const HRESULT result = _inner->getObjectList(a, capacity, slots, &filled);
    *count = all;
    return result;
  }
  ULONG refs() const { return _refs; }

 private:
  tScopedRef<IStorageObject> _inner;
  ULONG _refs = 1;
};

TEST_F(ReadObjectList, SecondCallReportingMoreThanTheArrayHoldsUsesOnlyTheArray) {
  tScopedRef<IStorageObject> owner = object(1);
  OverReportingObject overReporting(owner.get());
  std::int32_t code = 0;
  ObjectList objects;
  store::readObjectList(&overReporting, kList, objects, code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({4, 2, 3})));
  EXPECT_EQ(overReporting.refs(), 1u);
}

TEST_F(ReadObjectList, KindListKeepsTheEntriesOfTheKindAndPassesItOnBothCalls) {
  tScopedRef<IStorageObject> owner = object(1);
  std::int32_t code = 0;
  ObjectList objects;
  store::readKindObjectList(owner.get(), kList, classGuid(kSlot), objects, code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({4, 2, 5})));
  const std::vector<std::string> calls = injector().calls("getKindObjectList");
  ASSERT_EQ(calls.size(), 2u);
  for (const std::string& call : calls) EXPECT_THAT(call, ::testing::HasSubstr(kSlot));
}

struct InterfaceFailureCase {
  const char* name;
  bool hide;       // the object has no extension interface at all
  HRESULT result;  // otherwise the request fails with this
  std::int32_t expectedCode;
};

class ReadKindObjectListWithoutExtension
    : public ReadObjectList,
      public ::testing::WithParamInterface<InterfaceFailureCase> {};

TEST_P(ReadKindObjectListWithoutExtension, RecordsTheRequestFailureAsItStands) {
  const InterfaceFailureCase& c = GetParam();
  if (c.hide) {
    injector().hideInterface(IID_IStorageObjectEx);
  } else {
    injector().failCall("QueryInterface:IStorageObjectEx", 1, c.result);
  }
  tScopedRef<IStorageObject> owner = object(1);
  tScopedRef<IStorageObject> other = object(6);
  ObjectList objects;
  objects.append(other.get());
  std::int32_t code = 6;
  store::readKindObjectList(owner.get(), kList, classGuid(kSlot), objects, code);
  EXPECT_EQ(code, c.expectedCode);
  EXPECT_EQ(objects.size(), 1u) << "the list is untouched";
  EXPECT_EQ(injector().count("getKindObjectList"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, ReadKindObjectListWithoutExtension,
    ::testing::Values(InterfaceFailureCase{"Hidden", true, 0, E_NOINTERFACE},
                      // Not mapped to StatusNotFound: -2147220727 stays.
                      InterfaceFailureCase{"NotFound", false, kStorageNotFound, -2147220727},
                      InterfaceFailureCase{"Other", false, kSomeFailure, kSomeFailure}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReadObjectList, KindListShortSecondCallAndFailure) {
  tScopedRef<IStorageObject> owner = object(1);
  injector().shortenListReads("getKindObjectList", kList, 1);
  std::int32_t code = 0;
  ObjectList objects;
  store::readKindObjectList(owner.get(), kList, classGuid(kSlot), objects, code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(listIds(objects), ElementsAreArray(objectIds({4, 2})));

  injector().failCall("getKindObjectList", 4, kStorageNotFound);
  store::readKindObjectList(owner.get(), kList, classGuid(kSlot), objects, code);
  EXPECT_EQ(code, StatusNotFound);
  EXPECT_TRUE(objects.empty());
}

// ---------------------------------------------------------------------------
// writeObjectList

class WriteObjectList : public ReadObjectList {};

TEST_F(WriteObjectList, EmptyListClearsTheAttributeWithCountZero) {
  tScopedRef<IStorageObject> owner = object(1);
  std::int32_t code = 0;
  ObjectList empty;
  store::writeObjectList(owner.get(), kList, empty, code);
  EXPECT_EQ(code, 0);
  const std::vector<std::string> calls = injector().calls("setObjectList");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_THAT(calls[0], ::testing::HasSubstr("0xEEC00001, 0"));
  ObjectList after = store::readObjectList(owner.get(), kList, code);
  EXPECT_TRUE(after.empty());
}

TEST_F(WriteObjectList, EmptyListIsWrittenEvenWhenNoArrayCanBeHad) {
  tScopedRef<IStorageObject> owner = object(1);
  std::int32_t code = 0;
  ObjectList empty;
  platform::failAllocationAt(1);
  store::writeObjectList(owner.get(), kList, empty, code);
  platform::clearAllocationFault();
  EXPECT_EQ(code, 0);
  EXPECT_EQ(injector().count("setObjectList"), 1u);
}

TEST_F(WriteObjectList, WritesTheEntriesInOrder) {
  tScopedRef<IStorageObject> owner = object(6);
  tScopedRef<IStorageObject> a = object(3);
  tScopedRef<IStorageObject> b = object(2);
  ObjectList objects;
  objects.append(a.get());
  objects.append(b.get());
  std::int32_t code = 0;
  store::writeObjectList(owner.get(), kList, objects, code);
  EXPECT_EQ(code, 0);
  ObjectList after = store::readObjectList(owner.get(), kList, code);
  EXPECT_THAT(listIds(after), ElementsAreArray(objectIds({3, 2})));
}

TEST_F(WriteObjectList, NonEmptyListWithoutArrayMakesNoWrite) {
  tScopedRef<IStorageObject> owner = object(6);
  tScopedRef<IStorageObject> a = object(3);
  ObjectList objects;
  objects.append(a.get());
  std::int32_t code = 9;
  platform::failAllocationAt(1);
  store::writeObjectList(owner.get(), kList, objects, code);
  platform::clearAllocationFault();
  EXPECT_EQ(code, StatusNoMemory);
  EXPECT_EQ(injector().count("setObjectList"), 0u);
}

TEST_F(WriteObjectList, FailureIsMappedAndABadCodeMakesNoCall) {
  tScopedRef<IStorageObject> owner = object(1);
  ObjectList empty;
  std::int32_t code = 0;
  injector().failCall("setObjectList", 1, kStorageNotFound);
  store::writeObjectList(owner.get(), kList, empty, code);
  EXPECT_EQ(code, StatusNotFound);
  store::writeObjectList(owner.get(), kList, empty, code);
  EXPECT_EQ(code, StatusNotFound);
  EXPECT_EQ(injector().count("setObjectList"), 1u);
}

// ---------------------------------------------------------------------------
// readStringAttribute and addStringFilter

class StringReaders : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    open(catalog()
             .object(1, kItem,
                     {{attributeText(model::kReferredName), "Quenta Chassis 7 (left bay)"}})
             .object(2, kItem)
             .object(3, kItem, {{attributeText(model::kNamedObjectName), "bay"}})
             .object(4, kItem, {{attributeText(model::kNamedObjectName), "Bay"}})
             .object(5, kItem, {{attributeText(model::kNamedObjectName), "bay"}}));
  }

  std::u16string text(const tWideString& t) { return std::u16string(t.begin(), t.end()); }
};

TEST_F(StringReaders, ReadsTheNameAttribute) {
  tScopedRef<IStorageObject> o = object(1);
  tWideString name;
  std::int32_t code = 0;
  store::readStringAttribute(o.get(), name, code);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(text(name), u"Quenta Chassis 7 (left bay)");
  EXPECT_THAT(injector().calls("getString"), ElementsAre(::testing::HasSubstr("0xB8C00021")));
}

TEST_F(StringReaders, NoTextLeavesTheTextEmptyAndTheCodeAlone) {
  tScopedRef<IStorageObject> o = object(2);
  tWideString name;
  std::int32_t code = 8;
  store::readStringAttribute(o.get(), name, code);
  EXPECT_EQ(code, 8);
  EXPECT_TRUE(name.empty());
  EXPECT_EQ(injector().count("getString"), 1u);
}

TEST_F(StringReaders, FailureIsMappedAndTheTextStays) {
  tScopedRef<IStorageObject> o = object(1);
  tWideString name(u"before");
  std::int32_t code = 0;
  injector().failCall("getString", 1, kStorageNotFound);
  store::readStringAttribute(o.get(), name, code);
  EXPECT_EQ(code, StatusNotFound);
  EXPECT_EQ(text(name), u"before");
  store::readStringAttribute(o.get(), name, code);  // a bad code makes no call
  EXPECT_EQ(injector().count("getString"), 1u);
}

TEST_F(StringReaders, TextThatCannotGrowReplacesAWarning) {
  tScopedRef<IStorageObject> o = object(1);
  tWideString name;  // room for 15 units; the name has 27
  std::int32_t code = 2;
  platform::failAllocationAt(1, true);
  store::readStringAttribute(o.get(), name, code);
  platform::clearAllocationFault();
  EXPECT_EQ(code, StatusNoMemory);
  EXPECT_TRUE(name.allocationFailed());
}

TEST_F(StringReaders, FilterRestrictsTheQueryToEqualTexts) {
  std::int32_t code = 0;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  store::addStringFilter(query.get(), tWideString(u"bay"), code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(injector().calls("addStringCondition"),
              ElementsAre(::testing::HasSubstr("0xB8C0001E")));
  GuidList guids;
  store::enumerateQuery(decorated(), query.get(), guids, code);
  EXPECT_THAT(guidTexts(guids), ElementsAreArray(objectIds({3, 5})));
}

TEST_F(StringReaders, FilterRecordsAMissingExtensionAsItStands) {
  injector().failCall("QueryInterface:IStorageQueryEx", 1, kStorageNotFound);
  std::int32_t code = 0;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  store::addStringFilter(query.get(), tWideString(u"bay"), code);
  EXPECT_EQ(code, -2147220727);
  EXPECT_EQ(injector().count("addStringCondition"), 0u);
}

TEST_F(StringReaders, FilterConditionFailureIsMapped) {
  injector().failCall("addStringCondition", 1, kStorageNotFound);
  std::int32_t code = 1;
  tScopedRef<IStorageQuery> query = store::createQuery(decorated(), classGuid(kItem), 0, code);
  store::addStringFilter(query.get(), tWideString(u"bay"), code);
  EXPECT_EQ(code, StatusNotFound);
  code = -3;
  store::addStringFilter(query.get(), tWideString(u"bay"), code);
  EXPECT_EQ(code, -3);
  EXPECT_EQ(injector().count("addStringCondition"), 1u);
  EXPECT_EQ(injector().count("QueryInterface"), 1u);
}

}  // namespace
}  // namespace vddb::test
