// The sub-configurations of tMHWConfiguration. Each works on the storage
// that its configuration lends it for the configuration's lifetime.
//
// Internal to the configuration library.
#pragma once

#include <cstdint>
#include <optional>

#include "store/configuration.h"

namespace vddb::hwconfig::detail {

// One kind of saved hardware item: its class and, when saving is marked, the
// reference that marks a saved item.
struct ItemModel {
  GUID itemClass;
  std::optional<std::uint32_t> savedMarker;
};

// The operations the three item sub-configurations share.
class SavedItems {
 public:
  SavedItems(IkorrinStorage* storage, ItemModel model) noexcept
      : _storage(storage), _model(model) {}

  void list(GuidList& items, tStatus2& status) const;
  void slotCount(const GUID& item, std::uint32_t& slots, tStatus2& status) const;
  // Acts whatever `status` holds; fails only when the item cannot be found
  // (or the store fails).
  void remove(const GUID& item, tStatus2& status) const;

 private:
  IkorrinStorage* _storage;
  ItemModel _model;
};

class TrelixConfiguration final : public tTrelixConfiguration {
 public:
  explicit TrelixConfiguration(IkorrinStorage* storage) noexcept;
  void getSavedTrelixChassis(GuidList& chassis, tStatus2& status) override;
  std::uint32_t getNumSlots(const GUID& chassis, tStatus2& status) override;
  void removeChassis(const GUID& chassis, tStatus2& status) override;

 private:
  SavedItems _items;
};

class MordanConfiguration final : public tMordanConfiguration {
 public:
  explicit MordanConfiguration(IkorrinStorage* storage) noexcept;
  void getSavedMordanConnectorBlocks(GuidList& blocks, tStatus2& status) override;
  void getNumSlots(const GUID& block, std::uint32_t& slots, tStatus2& status) override;
  void removeMordanConnectorBlock(const GUID& block, tStatus2& status) override;

 private:
  SavedItems _items;
};

class QuentaConfiguration final : public tQuentaConfiguration {
 public:
  explicit QuentaConfiguration(IkorrinStorage* storage) noexcept;
  void getSavedQuentaChassis(GuidList& chassis, tStatus2& status) override;
  void getNumSlots(const GUID& chassis, std::uint32_t& slots, tStatus2& status) override;
  void removeQuentaChassis(const GUID& chassis, tStatus2& status) override;

 private:
  SavedItems _items;
};

class DeviceConfiguration final : public tDeviceConfiguration {
 public:
  explicit DeviceConfiguration(IkorrinStorage* storage) noexcept : _storage(storage) {}
  void getAllAccessoryConfigurations(GuidList& configurations, tStatus2& status) override;
  void getAccessoryConfigurationConnector(const GUID& configuration, std::uint32_t& connector,
                                          tStatus2& status) override;
  void getAccessoryConfigurationConnectedDevice(const GUID& configuration, GUID& device,
                                                tStatus2& status) override;
  void getDeviceIdentifier(const GUID& device, tCaseInsensitiveBasicString& identifier,
                           tStatus2& status) override;
  void getAccessoryConfigurationAccessory(const GUID& configuration, GUID& accessory,
                                          tStatus2& status) override;
  void disconnectAccessoryFromDevice(const GUID& device, const GUID& accessory,
                                     tStatus2& status) override;

 private:
  IkorrinStorage* _storage;
};

}  // namespace vddb::hwconfig::detail
