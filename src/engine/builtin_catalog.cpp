// The built-in catalog: every class and attribute that the repair passes
// and the configuration library rely on, by their names in store/model_ids.h.
// docs/store-model.md explains each entry; a test keeps the three in step.
//
// Ownership is chosen so that the repair's deletions mean something: slot
// lists, owned-object lists (kOwnedObjectList) and the references a pass
// clears before deleting (kMordanCompanion, kTrelixCompanion,
// kSingleHolderOwnedObject, kTwoWayLinkFirstEnd) own their targets; the
// "saved" markers, referrer lists (kReferrerList) and link-record references
// do not. The one exception is kReferrerList at kHardwareItemClass, declared
// owning: the owned-object walk never follows that one attribute there.
#include "engine/catalog.h"
#include "store/interfaces.h"
#include "store/model_ids.h"

namespace vddb::engine {
namespace {

struct AttributeRow {
  std::uint32_t id;
  std::uint32_t type;
  bool owning;
};

constexpr std::uint32_t kRef = kAttributeTypeReference;
constexpr std::uint32_t kList = kAttributeTypeReferenceList;
constexpr std::uint32_t kInt = kAttributeTypeInteger;
constexpr std::uint32_t kString = kAttributeTypeString;
constexpr bool kOwning = true;
constexpr bool kNotOwning = false;

void add(Catalog& catalog, const GUID& guid, const GUID* base, const char* name,
         std::initializer_list<AttributeRow> rows) {
  ClassDef def;
  def.guid = guid;
  if (base != nullptr) def.base = *base;
  def.name = name;
  for (const AttributeRow& row : rows) def.attributes.push_back({row.id, row.type, row.owning});
  catalog.put(std::move(def));
}

}  // namespace

Catalog builtinCatalog() {
  using namespace model;
  Catalog c;

  // Hardware items and their slot lists.
  add(c, kHardwareItemClass, nullptr, "hardware item",
      {{kReferrerList, kList, kOwning}, {kOwnedObjectList, kList, kOwning}});
  add(c, kTrelixChassisClass, &kHardwareItemClass, "Trelix chassis",
      {{kTrelixSavedMarker, kRef, kNotOwning},
       {kTrelixCompanion, kRef, kOwning},
       {kTrelixSlotList1, kList, kOwning},
       {kTrelixSlotList2, kList, kOwning},
       {kTrelixSlotList3, kList, kOwning},
       {kSlotCount, kInt, kNotOwning}});
  add(c, kMordanConnectorBlockClass, &kHardwareItemClass, "Mordan connector block",
      {{kMordanSavedMarker, kRef, kNotOwning},
       {kMordanCompanion, kRef, kOwning},
       {kMordanSlotList, kList, kOwning},
       {kSlotCount, kInt, kNotOwning}});
  add(c, kQuentaChassisClass, &kHardwareItemClass, "Quenta chassis",
      {{kQuentaSlotList, kList, kOwning}, {kSlotCount, kInt, kNotOwning}});
  add(c, kSlotEntryClass, nullptr, "slot entry", {{kOwnedObjectList, kList, kOwning}});
  add(c, kKeptSlotEntryClass, &kSlotEntryClass, "kept slot entry", {});

  // Companions and other objects that must be referred to.
  add(c, kTrelixCompanionClass, nullptr, "Trelix chassis companion",
      {{kReferrerList, kList, kNotOwning}, {kOwnedObjectList, kList, kOwning}});
  add(c, kMordanCompanionClass, nullptr, "Mordan connector block companion",
      {{kReferrerList, kList, kNotOwning}, {kOwnedObjectList, kList, kOwning}});
  add(c, kReferencedHolderClass, nullptr, "referenced holder",
      {{kReferrerList, kList, kNotOwning}, {kOwnedObjectList, kList, kOwning}});
  add(c, kReferencedSingleHolderClass, nullptr, "referenced single holder",
      {{kReferrerList, kList, kNotOwning}, {kSingleHolderOwnedObject, kRef, kOwning}});
  add(c, kTwoWayLinkClass, nullptr, "two-way link",
      {{kTwoWayLinkFirstEnd, kRef, kOwning}, {kTwoWayLinkSecondEnd, kRef, kNotOwning}});

  // Link records and the objects they must name.
  add(c, kLinkRecordClass, nullptr, "link record",
      {{kLinkRecordFirstObject, kRef, kNotOwning},
       {kLinkRecordSecondObject, kRef, kNotOwning},
       {kLinkRecordNumber, kInt, kNotOwning}});
  add(c, kLinkTargetClass, nullptr, "link target", {});

  // Objects that name another object by text.
  add(c, kNameReferenceClass, nullptr, "name reference",
      {{kNameReferenceState, kInt, kNotOwning}, {kReferredName, kString, kNotOwning}});
  add(c, kNamedObjectClass, nullptr, "named object", {{kNamedObjectName, kString, kNotOwning}});

  // The configuration library's device model.
  add(c, kDeviceClass, nullptr, "device", {{kDeviceIdentifier, kString, kNotOwning}});
  add(c, kAccessoryClass, nullptr, "accessory", {});
  add(c, kAccessoryConfigurationClass, nullptr, "accessory configuration",
      {{kConfiguredAccessory, kRef, kNotOwning},
       {kConnectedDevice, kRef, kNotOwning},
       {kConnectorNumber, kInt, kNotOwning}});

  std::string error;
  (void)c.link(error);  // the table is consistent; tests prove it
  return c;
}

}  // namespace vddb::engine
