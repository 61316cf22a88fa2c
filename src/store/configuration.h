// The hardware configuration library as the repair code sees it. The
// library owns the configuration and its sub-configurations; every
// operation reports failure in the status it takes and, unless said
// otherwise, does nothing when that status already holds an error.
#pragma once

#include <cstdint>

#include "status/tStatus2.h"
#include "store/com.h"
#include "store/guid_list.h"
#include "store/interfaces.h"
#include "store/wide_string.h"

class tTrelixConfiguration {
 public:
  // Fills `chassis` (passed empty) with the saved Trelix chassis.
  virtual void getSavedTrelixChassis(GuidList& chassis, tStatus2& status) = 0;
  // The chassis's slot count; fails when the chassis or its value is missing.
  virtual std::uint32_t getNumSlots(const GUID& chassis, tStatus2& status) = 0;
  // Removes the chassis with everything it owns. Acts even when `status`
  // already holds an error; fails only when the chassis does not exist.
  virtual void removeChassis(const GUID& chassis, tStatus2& status) = 0;

 protected:
  ~tTrelixConfiguration() = default;
};

class tMordanConfiguration {
 public:
  virtual void getSavedMordanConnectorBlocks(GuidList& blocks, tStatus2& status) = 0;
  virtual void getNumSlots(const GUID& block, std::uint32_t& slots, tStatus2& status) = 0;
  // Acts even when `status` already holds an error.
  virtual void removeMordanConnectorBlock(const GUID& block, tStatus2& status) = 0;

 protected:
  ~tMordanConfiguration() = default;
};

class tQuentaConfiguration {
 public:
  virtual void getSavedQuentaChassis(GuidList& chassis, tStatus2& status) = 0;
  virtual void getNumSlots(const GUID& chassis, std::uint32_t& slots, tStatus2& status) = 0;
  // Acts even when `status` already holds an error.
  virtual void removeQuentaChassis(const GUID& chassis, tStatus2& status) = 0;

 protected:
  ~tQuentaConfiguration() = default;
};

class tDeviceConfiguration {
 public:
  // Every read fails (negative code) when its object or value is missing.
  virtual void getAllAccessoryConfigurations(GuidList& configurations, tStatus2& status) = 0;
  virtual void getAccessoryConfigurationConnector(const GUID& configuration,
                                                  std::uint32_t& connector, tStatus2& status) = 0;
  virtual void getAccessoryConfigurationConnectedDevice(const GUID& configuration, GUID& device,
                                                        tStatus2& status) = 0;
  virtual void getDeviceIdentifier(const GUID& device, tCaseInsensitiveBasicString& identifier,
                                   tStatus2& status) = 0;
  virtual void getAccessoryConfigurationAccessory(const GUID& configuration, GUID& accessory,
                                                  tStatus2& status) = 0;
  // Afterwards the accessory is no longer connected to the device.
  virtual void disconnectAccessoryFromDevice(const GUID& device, const GUID& accessory,
                                             tStatus2& status) = 0;

 protected:
  ~tDeviceConfiguration() = default;
};

class tMHWConfiguration {
 public:
  // Opens the configuration of this machine's store. When `status` then
  // holds an error the result must be neither used nor finalized. The
  // arguments are passed as null and 64.
  static tMHWConfiguration* initialize(const wchar_t* reserved, std::uint32_t flags,
                                       tStatus2& status);

  // The store behind the configuration, lent: the caller takes a reference
  // of its own if it keeps it.
  virtual IkorrinStorage* getStorage(tStatus2& status) = 0;
  // Makes every change since initialize permanent.
  virtual void saveConfiguration(tStatus2& status) = 0;
  // Discards every change since initialize.
  virtual void revertConfiguration(tStatus2& status) = 0;
  // Closes the configuration; the object must not be used afterwards.
  virtual void finalize(tStatus2& status) = 0;

  // Sub-configurations, owned by the configuration, valid until finalize.
  virtual tTrelixConfiguration& getTrelixConfiguration() = 0;
  virtual tMordanConfiguration& getMordanConfiguration() = 0;
  virtual tQuentaConfiguration& getQuentaConfiguration() = 0;
  virtual tDeviceConfiguration& getDeviceConfiguration() = 0;

 protected:
  ~tMHWConfiguration() = default;
};
