// The fault-injecting decorator itself, in front of the real engine: what
// the journal records, which call a fault hits, hidden interfaces, short
// second reads, identity and reference counts.
#include "support/fault_injection.h"

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "store/guid.h"
#include "store/model_ids.h"
#include "store/scoped_ref.h"
#include "support/store_fixture.h"

namespace vddb::hwconfig::tests {

using namespace vddb::test;  // the shared store fixtures
namespace {

using test::innermost;
using test::sameObject;
using ::testing::ElementsAre;

// Any class outside the hardware items.
constexpr GUID kPlainClass = model::kLinkTargetClass;

std::string text(std::uint32_t id) { return formatGuid(objectGuid(id)); }

// Chassis 1 and 2 (saved through 90), 1 with slots 10 to 12.
StoreJson smallStore() {
  StoreJson store;
  store.add(90, kPlainClass);
  store.add(1, model::kTrelixChassisClass)
      .ref(model::kTrelixSavedMarker, 90)
      .integer(model::kSlotCount, 3)
      .list(model::kTrelixSlotList1, {10, 11, 12});
  store.add(2, model::kTrelixChassisClass).ref(model::kTrelixSavedMarker, 90);
  for (std::uint32_t slot : {10, 11, 12}) store.add(slot, model::kSlotEntryClass);
  return store;
}

class DecoratorTest : public ConfigurationTest {
 protected:
  void SetUp() override {
    open(smallStore());
    injector().clearJournal();
  }

  tScopedRef<IStorageObject> openObject(std::uint32_t id, HRESULT expected = S_OK) {
    tScopedRef<IStorageObject> object;
    EXPECT_EQ(decorated()->openObject(objectGuid(id), object.put()), expected);
    return object;
  }
};

TEST_F(DecoratorTest, RecordsEveryCallWithReadableArgumentsInOrder) {
  tScopedRef<IStorageQuery> query;
  ASSERT_EQ(decorated()->createQuery(model::kTrelixChassisClass, 1, 0, query.put()), S_OK);
  tScopedRef<IGuidEnumerator> enumerator;
  ASSERT_EQ(decorated()->runQuery(query.get(), enumerator.put()), S_OK);
  GUID guids[4];
  std::uint32_t delivered = 0;
  EXPECT_EQ(enumerator->Next(4, guids, &delivered), S_FALSE);
  EXPECT_EQ(delivered, 2U);
  tScopedRef<IStorageObject> chassis = openObject(1);
  std::int32_t slots = 0;
  EXPECT_EQ(chassis->getInteger(model::kSlotCount, &slots), S_OK);
  tScopedRef<IStorageObject> marker;
  EXPECT_EQ(chassis->getReference(model::kTrelixSavedMarker, marker.put()), S_OK);
  GUID guid{};
  EXPECT_EQ(marker->getObjectGuid(&guid), S_OK);

  const std::string trelix = formatGuid(model::kTrelixChassisClass);
  EXPECT_THAT(
      injector().calls(),
      ElementsAre("IkorrinStorage::createQuery(" + trelix + ", 1, 0)",
                  "IkorrinStorage::runQuery(" + trelix + ")", "IGuidEnumerator::Next(4)",
                  "IkorrinStorage::openObject(" + text(1) + ")",
                  "IStorageObject::getInteger(0x58C0F001)",
                  "IStorageObject::getReference(0x20C00021)", "IStorageObject::getObjectGuid()"));
  const auto& journal = injector().journal();
  EXPECT_EQ(journal[2].result, S_FALSE);
  EXPECT_EQ(journal[4].target, text(1)) << "calls on an object name it";
  EXPECT_EQ(journal[6].target, text(90));
  EXPECT_FALSE(journal[4].injected);
}

TEST_F(DecoratorTest, TheNthCallOfAnOperationFailsWithoutBeingForwarded) {
  injector().failCall("openObject", 2, E_FAIL);
  EXPECT_TRUE(openObject(1));
  tScopedRef<IStorageObject> failed = openObject(1, E_FAIL);
  EXPECT_FALSE(failed) << "the out reference is left null";
  EXPECT_TRUE(openObject(2));

  const auto& journal = injector().journal();
  ASSERT_EQ(journal.size(), 3U);
  EXPECT_FALSE(journal[0].injected);
  EXPECT_TRUE(journal[1].injected);
  EXPECT_EQ(journal[1].result, E_FAIL);
  EXPECT_EQ(journal[2].result, S_OK);
}

TEST_F(DecoratorTest, EveryCallFromTheNthOnFailsWhenAsked) {
  injector().failCallsFrom("getInteger", 2, kStorageNotFound);
  tScopedRef<IStorageObject> chassis = openObject(1);
  std::int32_t value = -1;
  EXPECT_EQ(chassis->getInteger(model::kSlotCount, &value), S_OK);
  EXPECT_EQ(value, 3);
  for (int i = 0; i < 3; ++i) {
    value = -1;
    EXPECT_EQ(chassis->getInteger(model::kSlotCount, &value), kStorageNotFound);
    EXPECT_EQ(value, -1) << "plain out values are left alone";
  }
}

TEST_F(DecoratorTest, AQualifiedNameCountsOnlyThatInterfacesCalls) {
  injector().failCall("IAttributeIdEnumerator::Next", 1, E_FAIL);
  tScopedRef<IStorageQuery> query;
  ASSERT_EQ(decorated()->createQuery(model::kTrelixChassisClass, 1, 0, query.put()), S_OK);
  tScopedRef<IGuidEnumerator> guids;
  ASSERT_EQ(decorated()->runQuery(query.get(), guids.put()), S_OK);
  GUID guid{};
  std::uint32_t delivered = 0;
  EXPECT_EQ(guids->Next(1, &guid, &delivered), S_OK);

  tScopedRef<IStorageClass> storageClass;
  ASSERT_EQ(openObject(1)->getClass(storageClass.put()), S_OK);
  tScopedRef<IAttributeIdEnumerator> ids;
  ASSERT_EQ(storageClass->enumAttributeIds(ids.put()), S_OK);
  std::uint32_t id = 0;
  delivered = 7;
  EXPECT_EQ(ids->Next(1, &id, &delivered), E_FAIL);
  EXPECT_EQ(delivered, 0U) << "out counts are zero";
  EXPECT_EQ(ids->Next(1, &id, &delivered), S_OK);
}

TEST_F(DecoratorTest, AnExtensionRequestCanBeFailedOrHidden) {
  injector().failCall("QueryInterface:IStorageObjectEx", 1, kStorageNotFound);
  injector().hideInterface(objectGuid(2), IID_IStorageObjectEx);
  tScopedRef<IStorageObject> one = openObject(1);
  tScopedRef<IStorageObject> two = openObject(2);
  tScopedRef<IStorageObjectEx> ex;

  EXPECT_EQ(one->QueryInterface(IID_IStorageObjectEx, ex.putVoid()), kStorageNotFound);
  EXPECT_FALSE(ex);
  EXPECT_EQ(two->QueryInterface(IID_IStorageObjectEx, ex.putVoid()), E_NOINTERFACE);
  EXPECT_FALSE(ex);
  EXPECT_EQ(two->QueryInterface(IID_IStorageObjectEx, ex.putVoid()), E_NOINTERFACE)
      << "hidden for good";
  ASSERT_EQ(one->QueryInterface(IID_IStorageObjectEx, ex.putVoid()), S_OK);
  std::uint32_t count = 0;
  EXPECT_EQ(
      ex->getKindObjectList(model::kTrelixSlotList1, 0, model::kSlotEntryClass, nullptr, &count),
      S_OK);
  EXPECT_EQ(count, 3U);
  EXPECT_EQ(injector().calls().back(), "IStorageObjectEx::getKindObjectList(0xEEC00022, 0, " +
                                           formatGuid(model::kSlotEntryClass) + ")");
  EXPECT_EQ(injector().journal().back().target, text(1));

  injector().hideInterface(IID_IStorageQueryEx);  // on every object
  tScopedRef<IStorageQuery> query;
  ASSERT_EQ(decorated()->createQuery(model::kTrelixChassisClass, 1, 0, query.put()), S_OK);
  tScopedRef<IStorageQueryEx> queryEx;
  EXPECT_EQ(query->QueryInterface(IID_IStorageQueryEx, queryEx.putVoid()), E_NOINTERFACE);
  EXPECT_TRUE(injector().journal().back().injected);
  injector().clearFaults();
  ASSERT_EQ(query->QueryInterface(IID_IStorageQueryEx, queryEx.putVoid()), S_OK);
  EXPECT_EQ(queryEx->addStringCondition(0xB8C0001E, u"a\"b"), S_OK);
  EXPECT_EQ(injector().calls().back(),
            "IStorageQueryEx::addStringCondition(0xB8C0001E, \"a\\u0022b\")");
}

// A fault that could never fire fails the test that sets it, and is not set.
TEST_F(DecoratorTest, AFaultOnANameNoCallCarriesFailsTheTest) {
  const char* const unknown[] = {
      "opneObject",                        // misspelt
      "IStorageObject::openObject",        // an operation of another interface
      "IStorageThing::Next",               // no such interface
      "QueryInterface:IStorageThing",      // no such interface to ask for
      "IkorrinStorage::QueryInterfaceEx",  // not the form of a QueryInterface name
      "IStorageObject::",
      "",
  };
  for (const char* name : unknown) {
    SCOPED_TRACE(name);
    EXPECT_NONFATAL_FAILURE(injector().failCall(name, 1, E_FAIL), name);
    EXPECT_NONFATAL_FAILURE(injector().failCallsFrom(name, 1, E_FAIL), name);
  }
  EXPECT_NONFATAL_FAILURE(injector().shortenListReads("getReference", model::kTrelixSlotList1),
                          "getReference");
}

TEST_F(DecoratorTest, TheSecondCallOfATwoCallReadCanDeliverFewerEntries) {
  injector().shortenListReads("getObjectList", model::kTrelixSlotList1, 1);
  injector().shortenListReads("getKindObjectList", model::kTrelixSlotList1, 2);
  tScopedRef<IStorageObject> chassis = openObject(1);

  std::uint32_t count = 0;
  ASSERT_EQ(chassis->getObjectList(model::kTrelixSlotList1, 0, nullptr, &count), S_OK);
  ASSERT_EQ(count, 3U) << "the counting call is not shortened";
  IStorageObject* slots[3];
  ASSERT_EQ(chassis->getObjectList(model::kTrelixSlotList1, 3, slots, &count), S_OK);
  EXPECT_EQ(count, 2U);
  EXPECT_EQ(slots[2], nullptr);
  for (std::uint32_t i = 0; i < count; ++i) {
    GUID guid{};
    EXPECT_EQ(slots[i]->getObjectGuid(&guid), S_OK);
    EXPECT_EQ(guid, objectGuid(10 + i));
    EXPECT_EQ(injector().journal().back().interfaceName, "IStorageObject") << "slots are wrapped";
    slots[i]->Release();
  }

  tScopedRef<IStorageObjectEx> ex;
  ASSERT_EQ(chassis->QueryInterface(IID_IStorageObjectEx, ex.putVoid()), S_OK);
  ASSERT_EQ(
      ex->getKindObjectList(model::kTrelixSlotList1, 3, model::kSlotEntryClass, slots, &count),
      S_OK);
  EXPECT_EQ(count, 1U);
  slots[0]->Release();
}

TEST_F(DecoratorTest, ObjectsHandedBackAreUnwrappedForTheStore) {
  tScopedRef<IStorageObject> two = openObject(2);
  tScopedRef<IStorageObject> slot = openObject(11);
  injector().clearJournal();

  EXPECT_EQ(two->setReference(model::kTrelixSavedMarker, slot.get()), S_OK);
  IStorageObject* list[] = {slot.get()};
  EXPECT_EQ(two->setObjectList(model::kTrelixSlotList1, 1, list), S_OK);
  EXPECT_THAT(injector().calls(),
              ElementsAre("IStorageObject::setReference(0x20C00021, " + text(11) + ")",
                          "IStorageObject::setObjectList(0xEEC00022, 1)"))
      << "the store never calls back into a wrapper";

  tScopedRef<IStorageObject> marker;
  ASSERT_EQ(session().storage()->openObject(objectGuid(2), marker.put()), S_OK);
  tScopedRef<IStorageObject> target;
  ASSERT_EQ(marker->getReference(model::kTrelixSavedMarker, target.put()), S_OK);
  GUID guid{};
  ASSERT_EQ(target->getObjectGuid(&guid), S_OK);
  EXPECT_EQ(guid, objectGuid(11));
}

TEST_F(DecoratorTest, WrappersCompareAsTheObjectsTheyWrap) {
  EXPECT_EQ(innermost(decorated()), session().storage());
  EXPECT_NE(static_cast<IUnknown*>(decorated()), session().storage());
  tScopedRef<IStorageObject> chassis = openObject(1);
  tScopedRef<IStorageObject> again;
  ASSERT_EQ(chassis->QueryInterface(IID_IStorageObject, again.putVoid()), S_OK);
  EXPECT_EQ(again.get(), chassis.get()) << "one wrapper per inner interface";
  EXPECT_TRUE(sameObject(chassis.get(), again.get()));
  EXPECT_FALSE(sameObject(chassis.get(), openObject(2).get()));

  // A second decorator in front of the first: unwrapping goes through both.
  test::FaultInjector outer;
  tScopedRef<IkorrinStorage> twice = outer.wrap(decorated());
  EXPECT_EQ(innermost(twice.get()), session().storage());
  tScopedRef<IStorageObject> through;
  ASSERT_EQ(twice->openObject(objectGuid(1), through.put()), S_OK);
  EXPECT_EQ(outer.calls(), std::vector<std::string>{"IkorrinStorage::openObject(" + text(1) + ")"});
  EXPECT_EQ(injector().calls().back(), "IkorrinStorage::openObject(" + text(1) + ")");
  through.reset();
  twice.reset();
  EXPECT_EQ(outer.liveWrappers(), 0U);
}

TEST_F(DecoratorTest, ReferenceCountsBalance) {
  const std::size_t before = injector().liveWrappers();
  {
    tScopedRef<IStorageObject> chassis = openObject(1);
    EXPECT_EQ(injector().liveWrappers(), before + 1);
    EXPECT_EQ(chassis->AddRef(), 2U);
    EXPECT_EQ(chassis->Release(), 1U);
    tScopedRef<IUnknown> deleted;
    EXPECT_EQ(decorated()->deleteObject(objectGuid(12), deleted.put()), S_OK);
    EXPECT_EQ(decorated()->deleteObject(objectGuid(12), nullptr), kStorageNotFound);
    tScopedRef<IStorageClass> storageClass;
    ASSERT_EQ(chassis->getClass(storageClass.put()), S_OK);
    tScopedRef<IStorageClass> base;
    ASSERT_EQ(storageClass->getBaseClass(base.put()), S_OK);
    tScopedRef<IStorageAttribute> attribute;
    ASSERT_EQ(base->getAttribute(0xEEC0000C, attribute.put()), S_OK);
    std::uint32_t type = 0;
    EXPECT_EQ(attribute->getType(&type), S_OK);
    EXPECT_EQ(type, kAttributeTypeReferenceList);
    EXPECT_EQ(injector().journal().back().target, "0xEEC0000C");
    EXPECT_GT(injector().liveWrappers(), before + 1);
  }
  EXPECT_EQ(injector().liveWrappers(), before);
}

}  // namespace
}  // namespace vddb::hwconfig::tests
