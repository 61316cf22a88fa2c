// The Trelix, Mordan and Quenta sub-configurations against the real engine:
// which items count as saved, slot counts, and removals with what they own.
// The three kinds behave alike, so most cases run once per kind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "hwconfig/hwconfig.h"
#include "platform/memory.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "store/model_ids.h"
#include "support/store_fixture.h"

namespace vddb::hwconfig::tests {

using namespace vddb::test;  // the shared store fixtures
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// Any class outside the hardware items.
constexpr GUID kPlainClass = model::kLinkTargetClass;
constexpr GUID kDerivedClass = guidLiteral("0d000000-0000-4000-8000-000000000001");
constexpr HRESULT kAccessDenied = static_cast<HRESULT>(0x80070005U);

// One kind of saved item and how the configuration reaches it.
struct ItemKind {
  const char* name;
  GUID itemClass;
  GUID otherItemClass;                       // a hardware item of another kind
  std::optional<std::uint32_t> savedMarker;  // none: every item counts as saved
  std::uint32_t slotList;                    // an owning slot list of the kind
  std::optional<std::uint32_t> ownedRef;     // an owning single reference of the kind
  void (*list)(tMHWConfiguration&, GuidList&, tStatus2&);
  std::uint32_t (*slots)(tMHWConfiguration&, const GUID&, tStatus2&);
  void (*remove)(tMHWConfiguration&, const GUID&, tStatus2&);
};

const ItemKind kKinds[] = {
    {"Trelix", model::kTrelixChassisClass, model::kQuentaChassisClass, model::kTrelixSavedMarker,
     model::kTrelixSlotList1, model::kTrelixCompanion,
     [](tMHWConfiguration& c, GuidList& l, tStatus2& s) {
       c.getTrelixConfiguration().getSavedTrelixChassis(l, s);
     },
     [](tMHWConfiguration& c, const GUID& g, tStatus2& s) {
       return c.getTrelixConfiguration().getNumSlots(g, s);
     },
     [](tMHWConfiguration& c, const GUID& g, tStatus2& s) {
       c.getTrelixConfiguration().removeChassis(g, s);
     }},
    {"Mordan", model::kMordanConnectorBlockClass, model::kTrelixChassisClass,
     model::kMordanSavedMarker, model::kMordanSlotList, model::kMordanCompanion,
     [](tMHWConfiguration& c, GuidList& l, tStatus2& s) {
       c.getMordanConfiguration().getSavedMordanConnectorBlocks(l, s);
     },
     [](tMHWConfiguration& c, const GUID& g, tStatus2& s) {
       std::uint32_t slots = 0xDEAD;
       c.getMordanConfiguration().getNumSlots(g, slots, s);
       return slots;
     },
     [](tMHWConfiguration& c, const GUID& g, tStatus2& s) {
       c.getMordanConfiguration().removeMordanConnectorBlock(g, s);
     }},
    {"Quenta", model::kQuentaChassisClass, model::kMordanConnectorBlockClass, std::nullopt,
     model::kQuentaSlotList, std::nullopt,
     [](tMHWConfiguration& c, GuidList& l, tStatus2& s) {
       c.getQuentaConfiguration().getSavedQuentaChassis(l, s);
     },
     [](tMHWConfiguration& c, const GUID& g, tStatus2& s) {
       std::uint32_t slots = 0xDEAD;
       c.getQuentaConfiguration().getNumSlots(g, slots, s);
       return slots;
     },
     [](tMHWConfiguration& c, const GUID& g, tStatus2& s) {
       c.getQuentaConfiguration().removeQuentaChassis(g, s);
     }},
};

void PrintTo(const ItemKind& kind, std::ostream* out) { *out << kind.name; }

class SavedItemTest : public ConfigurationTest, public ::testing::WithParamInterface<ItemKind> {
 protected:
  const ItemKind& kind() const { return GetParam(); }

  // An item of the kind; saved (its marker set to object 90) unless told otherwise.
  ObjectValues item(StoreJson& store, std::uint32_t id, bool saved = true) {
    ObjectValues built = store.add(id, kind().itemClass);
    if (kind().savedMarker && saved) built.ref(*kind().savedMarker, 90);
    return built;
  }

  bool inDump(std::uint32_t id) {
    std::string json;
    EXPECT_EQ(session().dumpJson(json), S_OK);
    return json.find(formatGuid(objectGuid(id))) != std::string::npos;
  }
};

TEST_P(SavedItemTest, ListsSavedItemsOfTheClassAndDerivedClassesInQueryOrder) {
  StoreJson store;
  store.derivedClass(kDerivedClass, kind().itemClass);
  store.add(90, kPlainClass);
  item(store, 3);
  item(store, 1);
  item(store, 2, /*saved=*/false);
  ObjectValues derived = store.add(4, kDerivedClass);
  ObjectValues dangling = item(store, 5, /*saved=*/false);
  ObjectValues cleared = item(store, 7, /*saved=*/false);
  if (kind().savedMarker) {
    derived.ref(*kind().savedMarker, 90);
    dangling.ref(*kind().savedMarker, 99);  // 99 is not in the store
    cleared.ref(*kind().savedMarker, std::nullopt);
  }
  store.add(6, kind().otherItemClass);
  open(store);

  GuidList saved;
  tStatus2 status;
  kind().list(configuration(), saved, status);

  EXPECT_EQ(status.code, 0);
  if (kind().savedMarker) {
    EXPECT_THAT(toVector(saved), ElementsAre(objectGuid(1), objectGuid(3), objectGuid(4)));
  } else {
    EXPECT_THAT(toVector(saved), ElementsAre(objectGuid(1), objectGuid(2), objectGuid(3),
                                             objectGuid(4), objectGuid(5), objectGuid(7)));
  }
}

struct SlotCase {
  std::uint32_t item;
  std::int32_t code;
  std::uint32_t slots;  // when code is 0
};

TEST_P(SavedItemTest, SlotCountIsReadFromTheItemAndFailsWhenItemOrValueIsMissing) {
  StoreJson store;
  store.derivedClass(kDerivedClass, kind().itemClass);
  store.add(90, kPlainClass);
  item(store, 1).integer(model::kSlotCount, 4);
  item(store, 2);
  item(store, 3).integer(model::kSlotCount, 4294967295);
  store.add(4, kDerivedClass).integer(model::kSlotCount, 2);
  item(store, 5, /*saved=*/false).integer(model::kSlotCount, 0);
  store.add(6, kind().otherItemClass).integer(model::kSlotCount, 8);
  open(store);

  const SlotCase cases[] = {
      {1, 0, 4}, {2, StatusValueMissing, 0}, {3, 0, 0xFFFFFFFFU},        {4, 0, 2},
      {5, 0, 0}, {6, StatusItemMissing, 0},  {99, StatusItemMissing, 0},
  };
  for (const SlotCase& c : cases) {
    SCOPED_TRACE(c.item);
    tStatus2 status;
    const std::uint32_t slots = kind().slots(configuration(), objectGuid(c.item), status);
    EXPECT_EQ(status.code, c.code);
    if (c.code == 0) {
      EXPECT_EQ(slots, c.slots);
    }
  }
}

TEST_P(SavedItemTest, ReadsDoNothingOnAnErrorStatus) {
  StoreJson store;
  store.add(90, kPlainClass);
  item(store, 1).integer(model::kSlotCount, 4);
  open(store);
  injector().clearJournal();

  GuidList saved;
  tStatus2 status;
  status.code = -7;
  kind().list(configuration(), saved, status);
  kind().slots(configuration(), objectGuid(1), status);

  EXPECT_EQ(status.code, -7);
  EXPECT_TRUE(saved.empty());
  EXPECT_THAT(injector().calls(), ElementsAre()) << "no store call on an error status";
}

// Item 1 owns 10 and 11 through its slot list and 13 through the base
// class's owned list; 10 owns 12, and 11 owns the item back (a cycle). The
// referrer list (20), the saved marker (90), a dangling entry (99) and an
// object of its own (30) are not the item's to delete.
StoreJson ownershipStore(const ItemKind& kind) {
  StoreJson store;
  store.add(90, kPlainClass);
  ObjectValues item = store.add(1, kind.itemClass);
  item.list(kind.slotList, {10, 11})
      .list(model::kOwnedObjectList, {13, 99})
      .list(model::kReferrerList, {20})
      .integer(model::kSlotCount, 2);
  if (kind.savedMarker) item.ref(*kind.savedMarker, 90);
  if (kind.ownedRef) item.ref(*kind.ownedRef, 14);
  store.add(10, model::kSlotEntryClass).list(model::kOwnedObjectList, {12});
  store.add(11, model::kSlotEntryClass).list(model::kOwnedObjectList, {1});
  for (std::uint32_t id : {12, 13, 14, 20}) store.add(id, kPlainClass);
  store.add(30, kind.itemClass).list(kind.slotList, {20});
  return store;
}

TEST_P(SavedItemTest, RemovalDeletesTheItemWithWhatItOwnsEvenOnAnErrorStatus) {
  open(ownershipStore(kind()));

  tStatus2 status;
  status.code = -7;  // as after a failed slot count
  kind().remove(configuration(), objectGuid(1), status);

  EXPECT_EQ(status.code, -7) << "a successful removal leaves the status as it was";
  for (std::uint32_t gone : {1, 10, 11, 12, 13}) EXPECT_FALSE(exists(gone)) << gone;
  if (kind().ownedRef) {
    EXPECT_FALSE(exists(14));
  }
  for (std::uint32_t kept : {20, 30, 90}) EXPECT_TRUE(exists(kept)) << kept;
  const std::vector<std::string> deletions = injector().calls("deleteObject");
  ASSERT_FALSE(deletions.empty());
  EXPECT_EQ(deletions.front(), "IkorrinStorage::deleteObject(" + formatGuid(objectGuid(1)) + ")");
  EXPECT_EQ(deletions.size(), kind().ownedRef ? 6U : 5U) << "each object deleted once";

  tStatus2 good;
  kind().remove(configuration(), objectGuid(30), good);
  EXPECT_EQ(good.code, 0) << "a good status stays good";
  EXPECT_FALSE(exists(30));
  EXPECT_FALSE(exists(20)) << "owned by 30";
}

TEST_P(SavedItemTest, RemovalFailsOnlyWhenTheItemDoesNotExist) {
  open(ownershipStore(kind()));

  tStatus2 missing;
  kind().remove(configuration(), objectGuid(99), missing);
  EXPECT_EQ(missing.code, StatusItemMissing);

  tStatus2 otherClass;
  kind().remove(configuration(), objectGuid(20), otherClass);
  EXPECT_EQ(otherClass.code, StatusItemMissing);
  EXPECT_TRUE(exists(20)) << "an object of another class is not removed";
  EXPECT_EQ(injector().count("deleteObject"), 0U);
}

TEST_P(SavedItemTest, RemovalHappensInTheOpenTransaction) {
  open(ownershipStore(kind()));
  tStatus2 status;
  kind().remove(configuration(), objectGuid(1), status);
  ASSERT_FALSE(inDump(1));

  configuration().revertConfiguration(status);

  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(inDump(1));
  EXPECT_TRUE(inDump(10));
}

INSTANTIATE_TEST_SUITE_P(Kinds, SavedItemTest, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

// Store failures, shown on the Trelix configuration (the three share the code).
class ItemFaultTest : public ConfigurationTest {};

TEST_F(ItemFaultTest, AFailingDeletionIsRecordedAndTheOtherDeletionsAreMade) {
  open(ownershipStore(kKinds[0]));
  injector().failCall("deleteObject", 2, E_FAIL);

  tStatus2 status;
  configuration().getTrelixConfiguration().removeChassis(objectGuid(1), status);

  EXPECT_EQ(status.code, E_FAIL);
  const std::vector<test::JournalEntry>& journal = injector().journal();
  std::vector<std::string> deleted;
  for (const auto& entry : journal) {
    if (entry.operation == "deleteObject") deleted.push_back(entry.arguments);
  }
  ASSERT_EQ(deleted.size(), 6U) << "the deletions go on after the failed one";
  EXPECT_TRUE(exists(parseGuid(deleted[1]).value())) << "the failed one stays";
  EXPECT_FALSE(exists(1));
  EXPECT_FALSE(exists(parseGuid(deleted[2]).value()));
}

TEST_F(ItemFaultTest, AFailingWalkIsRecordedAndWhatWasReachedIsStillDeleted) {
  open(ownershipStore(kKinds[0]));
  injector().failCall("getObjectList", 1, E_FAIL);

  tStatus2 status;
  configuration().getTrelixConfiguration().removeChassis(objectGuid(1), status);

  EXPECT_EQ(status.code, E_FAIL);
  EXPECT_FALSE(exists(1)) << "the item itself is removed";
  EXPECT_TRUE(exists(90));
}

TEST_F(ItemFaultTest, ARemovalTakesTheEntriesTheListReadDelivers) {
  open(ownershipStore(kKinds[0]));
  injector().shortenListReads("getObjectList", model::kTrelixSlotList1, 1);

  tStatus2 status;
  configuration().getTrelixConfiguration().removeChassis(objectGuid(1), status);

  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(exists(1));
  EXPECT_FALSE(exists(10)) << "the entry delivered is followed";
  EXPECT_TRUE(exists(11)) << "the entry not delivered is not reached";
}

struct ListingFault {
  const char* operation;
  HRESULT result;
  std::int32_t code;
};

TEST_F(ItemFaultTest, ListingFailuresAreRecordedByTheStorageMapping) {
  const ListingFault faults[] = {
      {"createQuery", E_FAIL, E_FAIL},        {"runQuery", kStorageNotFound, StatusNotFound},
      {"Next", E_OUTOFMEMORY, E_OUTOFMEMORY}, {"openObject", kStorageNotFound, StatusNotFound},
      {"getReference", E_FAIL, E_FAIL},
  };
  StoreJson store;
  store.add(90, kPlainClass);
  store.add(1, model::kTrelixChassisClass).ref(model::kTrelixSavedMarker, 90);
  open(store);
  for (const ListingFault& fault : faults) {
    SCOPED_TRACE(fault.operation);
    injector().clearFaults();
    injector().failCall(fault.operation, injector().count(fault.operation) + 1, fault.result);
    GuidList saved;
    tStatus2 status;
    configuration().getTrelixConfiguration().getSavedTrelixChassis(saved, status);
    EXPECT_EQ(status.code, fault.code);
    EXPECT_TRUE(saved.empty());
  }
}

TEST_F(ItemFaultTest, SlotCountFailuresOfTheStoreAreMappedAndAMissingItemIsTheLibrarys) {
  StoreJson store;
  store.add(1, model::kQuentaChassisClass).integer(model::kSlotCount, 3);
  open(store);
  const ListingFault faults[] = {
      {"openObject", kStorageNotFound, StatusItemMissing},
      {"openObject", E_FAIL, E_FAIL},
      {"isOfClass", kStorageNotFound, StatusNotFound},
      {"getInteger", kAccessDenied, kAccessDenied},
  };
  for (const ListingFault& fault : faults) {
    SCOPED_TRACE(fault.operation);
    injector().clearFaults();
    injector().failCall(fault.operation, injector().count(fault.operation) + 1, fault.result);
    std::uint32_t slots = 77;
    tStatus2 status;
    configuration().getQuentaConfiguration().getNumSlots(objectGuid(1), slots, status);
    EXPECT_EQ(status.code, fault.code);
    EXPECT_EQ(slots, 77U) << "the out value is written only on success";
  }
}

TEST_F(ItemFaultTest, AListThatCannotGrowRecordsNoMemory) {
  StoreJson store;
  store.add(1, model::kQuentaChassisClass);
  open(store);
  GuidList saved;
  tStatus2 status;
  platform::failAllocationAt(1, /*persistent=*/true);
  configuration().getQuentaConfiguration().getSavedQuentaChassis(saved, status);
  platform::clearAllocationFault();
  EXPECT_EQ(status.code, StatusNoMemory);
  EXPECT_TRUE(saved.empty());
}

}  // namespace
}  // namespace vddb::hwconfig::tests
