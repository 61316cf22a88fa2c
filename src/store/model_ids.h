// The classes and attributes of the store model, each named once.
//
// The repair passes, the readers and the owned-object walk, the
// configuration library, the generator and the engine's built-in catalog all
// speak of the same classes and attributes; they use these names and never
// the numbers. docs/store-model.md describes every entry under the same
// name, and a test holds the built-in catalog and that page to this header.
//
// An attribute ID belongs to a class level: the same number may mean
// different things at different classes (0xEEC001A4 is not owning at most
// classes, but owning and never followed at the hardware-item base class).
#pragma once

#include <cstdint>

#include "store/com.h"
#include "store/guid.h"

namespace vddb::model {

// Hardware items: the base class and the three saved kinds.
inline constexpr GUID kHardwareItemClass = guidLiteral("c6f302b8-5260-43c3-a81d-bf741e6d3a80");
inline constexpr GUID kTrelixChassisClass = guidLiteral("642eaeb9-aa16-3a36-a6e3-f7abee2fd50d");
inline constexpr GUID kMordanConnectorBlockClass =
    guidLiteral("291a27e9-f917-3e4c-7a86-e006a9eb67c9");
inline constexpr GUID kQuentaChassisClass = guidLiteral("63ba0e8f-78d0-42e4-8685-7c36e49d6e71");
// Slot entries. The class is also the kind a slot list is read with: only
// its objects count as slots.
inline constexpr GUID kSlotEntryClass = guidLiteral("fd0cec60-8263-383f-d0af-c3369715499c");
inline constexpr GUID kKeptSlotEntryClass = guidLiteral("f39b43ad-97ef-3afc-6a55-a74ae9a6b459");

// Objects that must be referred to.
inline constexpr GUID kTrelixCompanionClass = guidLiteral("ef389d48-09e3-3fe8-d3d6-b558427a533c");
inline constexpr GUID kMordanCompanionClass = guidLiteral("50b1b30a-5a5f-3fc8-1c7a-f6cad548e37f");
inline constexpr GUID kReferencedHolderClass = guidLiteral("08e33cd6-13dc-3a39-16cb-e1215a713fb9");
inline constexpr GUID kReferencedSingleHolderClass =
    guidLiteral("dc48bd6a-84b5-3e1e-7094-e6be17b7b290");
inline constexpr GUID kTwoWayLinkClass = guidLiteral("4aee07f0-608e-3fd2-7a26-b8207214f283");

// Link records and the objects they must name.
inline constexpr GUID kLinkRecordClass = guidLiteral("bd95268d-8af7-3ac4-9697-9fed9a8dc51f");
inline constexpr GUID kLinkTargetClass = guidLiteral("c1b74069-2108-3d9c-6dbd-f106bc02ca2e");

// Objects that name another object by text.
inline constexpr GUID kNameReferenceClass = guidLiteral("4861b1be-bfa3-3a27-bb54-c9faa2c28c12");
inline constexpr GUID kNamedObjectClass = guidLiteral("fad58bd6-7c81-3fa5-892d-f57d8d08e76c");

// The configuration library's device model.
inline constexpr GUID kDeviceClass = guidLiteral("850f6895-31ba-4eff-b2e8-1197ff1db2e4");
inline constexpr GUID kAccessoryClass = guidLiteral("f6b7cf79-b4d4-452a-8adc-f5dd93386c45");
inline constexpr GUID kAccessoryConfigurationClass =
    guidLiteral("c344f8cd-b1e2-4a40-95e0-4123b6cbcb56");

// Lists that several classes declare: the objects that refer to this one,
// and the objects this one owns.
inline constexpr std::uint32_t kReferrerList = 0xEEC001A4;
inline constexpr std::uint32_t kOwnedObjectList = 0xEEC0000C;

// The slot count of a Trelix chassis, a Mordan connector block or a Quenta
// chassis.
inline constexpr std::uint32_t kSlotCount = 0x58C0F001;

// Trelix chassis: saved while the marker is set.
inline constexpr std::uint32_t kTrelixSavedMarker = 0x20C00021;
inline constexpr std::uint32_t kTrelixCompanion = 0x20C00023;
inline constexpr std::uint32_t kTrelixSlotList1 = 0xEEC00022;
inline constexpr std::uint32_t kTrelixSlotList2 = 0xEEC00024;
inline constexpr std::uint32_t kTrelixSlotList3 = 0xEEC00025;

// Mordan connector block: saved while the marker is set. The two-way link
// declares the same number as its second end.
inline constexpr std::uint32_t kMordanSavedMarker = 0x20C0001F;
inline constexpr std::uint32_t kMordanCompanion = 0x20C00020;
inline constexpr std::uint32_t kMordanSlotList = 0xEEC00021;

// Quenta chassis: every object of the class counts as saved.
inline constexpr std::uint32_t kQuentaSlotList = 0xEEC00047;

// The one object a referenced single holder owns.
inline constexpr std::uint32_t kSingleHolderOwnedObject = 0x20C00036;

// Two-way link: the first end owns, the second only names.
inline constexpr std::uint32_t kTwoWayLinkFirstEnd = 0x20C0001E;
inline constexpr std::uint32_t kTwoWayLinkSecondEnd = kMordanSavedMarker;

// Link record: records with the same first object and number are duplicates.
inline constexpr std::uint32_t kLinkRecordFirstObject = 0x20C003E8;
inline constexpr std::uint32_t kLinkRecordSecondObject = 0x20C003E9;
inline constexpr std::uint32_t kLinkRecordNumber = 0x58C003EA;

// Name reference: examined by the orphan sweep only while its state is 0;
// it names an object whose kNamedObjectName equals its kReferredName.
inline constexpr std::uint32_t kNameReferenceState = 0x58C00020;
inline constexpr std::uint32_t kReferredName = 0xB8C00021;
inline constexpr std::uint32_t kNamedObjectName = 0xB8C0001E;

// Device and accessory configuration.
inline constexpr std::uint32_t kDeviceIdentifier = 0xB8C0F010;
inline constexpr std::uint32_t kConfiguredAccessory = 0x20C0F011;
inline constexpr std::uint32_t kConnectedDevice = 0x20C0F012;
inline constexpr std::uint32_t kConnectorNumber = 0x58C0F013;

}  // namespace vddb::model
