// Where the configuration library keeps its notions in the store. The
// library has no storage of its own: its saved items, slot counts, devices
// and accessory configurations are objects and attributes of the same store
// the repair passes read, declared in the engine's built-in catalog.
#pragma once

#include <cstdint>

#include "store/com.h"
#include "store/guid.h"

namespace vddb::hwconfig {

// Saved hardware items. A Trelix chassis or Mordan connector block counts as
// saved while its marker reference is set; every Quenta chassis counts.
inline constexpr GUID kTrelixChassisClass = guidLiteral("642eaeb9-aa16-3a36-a6e3-f7abee2fd50d");
inline constexpr std::uint32_t kTrelixSavedMarker = 0x20C00021;
inline constexpr GUID kMordanConnectorBlockClass =
    guidLiteral("291a27e9-f917-3e4c-7a86-e006a9eb67c9");
inline constexpr std::uint32_t kMordanSavedMarker = 0x20C0001F;
inline constexpr GUID kQuentaChassisClass = guidLiteral("63ba0e8f-78d0-42e4-8685-7c36e49d6e71");

// The slot count of any of the three.
inline constexpr std::uint32_t kSlotCountAttribute = 0x58C0F001;

// The one owning attribute a removal does not follow: the referrer list of
// the hardware-item base class holds the objects that refer to an item, not
// what the item owns. The store's own walk makes the same exception.
inline constexpr GUID kHardwareItemClass = guidLiteral("c6f302b8-5260-43c3-a81d-bf741e6d3a80");
inline constexpr std::uint32_t kReferrerListAttribute = 0xEEC001A4;

// The device configuration.
inline constexpr GUID kDeviceClass = guidLiteral("850f6895-31ba-4eff-b2e8-1197ff1db2e4");
inline constexpr std::uint32_t kDeviceIdentifierAttribute = 0xB8C0F010;
inline constexpr GUID kAccessoryClass = guidLiteral("f6b7cf79-b4d4-452a-8adc-f5dd93386c45");
inline constexpr GUID kAccessoryConfigurationClass =
    guidLiteral("c344f8cd-b1e2-4a40-95e0-4123b6cbcb56");
inline constexpr std::uint32_t kAccessoryAttribute = 0x20C0F011;
inline constexpr std::uint32_t kConnectedDeviceAttribute = 0x20C0F012;
inline constexpr std::uint32_t kConnectorAttribute = 0x58C0F013;

}  // namespace vddb::hwconfig
