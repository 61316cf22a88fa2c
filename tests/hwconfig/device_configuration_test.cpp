// The device configuration against the real engine: accessory
// configurations in query order, their reads (each failing when its object
// or value is missing), and disconnecting an accessory from a device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

// Devices 1 and 2 (2 without identifier), accessories 11 to 13, and the
// accessory configurations 20 to 26 between them.
StoreJson deviceStore() {
  StoreJson store;
  store.add(1, model::kDeviceClass).text(model::kDeviceIdentifier, "PXI1Slot2");
  store.add(2, model::kDeviceClass);
  for (std::uint32_t accessory : {11, 12, 13}) store.add(accessory, model::kAccessoryClass);
  auto configuration = [&](std::uint32_t id, std::uint32_t accessory, std::uint32_t device,
                           std::int64_t connector) {
    store.add(id, model::kAccessoryConfigurationClass)
        .ref(model::kConfiguredAccessory, accessory)
        .ref(model::kConnectedDevice, device)
        .integer(model::kConnectorNumber, connector);
  };
  configuration(24, 11, 1, 0);  // listed out of order on purpose
  configuration(20, 11, 1, 4294967295);
  configuration(21, 12, 1, 3);
  configuration(22, 11, 2, 3);
  configuration(23, 13, 1, 3);
  configuration(25, 11, 99, 1);                 // a device that does not exist
  store.add(26, model::kAccessoryConfigurationClass);  // nothing set
  return store;
}

class DeviceConfigurationTest : public ConfigurationTest {
 protected:
  tDeviceConfiguration& devices() { return configuration().getDeviceConfiguration(); }
};

TEST_F(DeviceConfigurationTest, ListsEveryAccessoryConfigurationInQueryOrder) {
  open(deviceStore());
  GuidList all;
  tStatus2 status;
  devices().getAllAccessoryConfigurations(all, status);
  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(toVector(all),
              ElementsAre(objectGuid(20), objectGuid(21), objectGuid(22), objectGuid(23),
                          objectGuid(24), objectGuid(25), objectGuid(26)));
}

TEST_F(DeviceConfigurationTest, ReadsTheStoredValues) {
  open(deviceStore());
  tStatus2 status;
  std::uint32_t connector = 0;
  GUID device{};
  GUID accessory{};
  tCaseInsensitiveBasicString identifier;

  devices().getAccessoryConfigurationConnector(objectGuid(20), connector, status);
  EXPECT_EQ(connector, 4294967295U);
  devices().getAccessoryConfigurationConnectedDevice(objectGuid(22), device, status);
  EXPECT_EQ(device, objectGuid(2));
  devices().getAccessoryConfigurationAccessory(objectGuid(21), accessory, status);
  EXPECT_EQ(accessory, objectGuid(12));
  devices().getDeviceIdentifier(objectGuid(1), identifier, status);
  EXPECT_EQ(std::u16string(identifier.begin(), identifier.end()), u"PXI1Slot2");
  EXPECT_EQ(status.code, 0);
}

// One read of the device configuration, for the table below.
struct ReadCase {
  const char* what;
  std::uint32_t object;
  std::int32_t code;
  void (*read)(tDeviceConfiguration&, const GUID&, tStatus2&);
};

const ReadCase kMissingReads[] = {
    {"connector of an empty configuration", 26, StatusValueMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       std::uint32_t connector = 0;
       d.getAccessoryConfigurationConnector(g, connector, s);
     }},
    {"connected device of an empty configuration", 26, StatusValueMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       GUID device{};
       d.getAccessoryConfigurationConnectedDevice(g, device, s);
     }},
    {"connected device that does not exist", 25, StatusValueMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       GUID device{};
       d.getAccessoryConfigurationConnectedDevice(g, device, s);
     }},
    {"accessory of an empty configuration", 26, StatusValueMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       GUID accessory{};
       d.getAccessoryConfigurationAccessory(g, accessory, s);
     }},
    {"identifier of a device without one", 2, StatusValueMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       tCaseInsensitiveBasicString identifier;
       d.getDeviceIdentifier(g, identifier, s);
     }},
    {"identifier of a device that does not exist", 99, StatusItemMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       tCaseInsensitiveBasicString identifier;
       d.getDeviceIdentifier(g, identifier, s);
     }},
    {"identifier of an accessory", 11, StatusItemMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       tCaseInsensitiveBasicString identifier;
       d.getDeviceIdentifier(g, identifier, s);
     }},
    {"connector of a device", 1, StatusItemMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       std::uint32_t connector = 0;
       d.getAccessoryConfigurationConnector(g, connector, s);
     }},
    {"accessory of a configuration that does not exist", 98, StatusItemMissing,
     [](tDeviceConfiguration& d, const GUID& g, tStatus2& s) {
       GUID accessory{};
       d.getAccessoryConfigurationAccessory(g, accessory, s);
     }},
};

TEST_F(DeviceConfigurationTest, EveryReadFailsWhenItsObjectOrValueIsMissing) {
  open(deviceStore());
  for (const ReadCase& c : kMissingReads) {
    SCOPED_TRACE(c.what);
    tStatus2 status;
    c.read(devices(), objectGuid(c.object), status);
    EXPECT_EQ(status.code, c.code);
    EXPECT_LT(status.code, 0);
  }
}

TEST_F(DeviceConfigurationTest, NothingIsReadOrChangedOnAnErrorStatus) {
  open(deviceStore());
  injector().clearJournal();
  tStatus2 status;
  status.code = -3;
  GuidList all;
  std::uint32_t connector = 5;
  GUID guid{};
  tCaseInsensitiveBasicString identifier;
  devices().getAllAccessoryConfigurations(all, status);
  devices().getAccessoryConfigurationConnector(objectGuid(20), connector, status);
  devices().getAccessoryConfigurationConnectedDevice(objectGuid(20), guid, status);
  devices().getDeviceIdentifier(objectGuid(1), identifier, status);
  devices().getAccessoryConfigurationAccessory(objectGuid(20), guid, status);
  devices().disconnectAccessoryFromDevice(objectGuid(1), objectGuid(11), status);
  EXPECT_EQ(status.code, -3);
  EXPECT_TRUE(all.empty());
  EXPECT_EQ(connector, 5U);
  EXPECT_TRUE(identifier.empty());
  EXPECT_THAT(injector().calls(), ElementsAre());
  EXPECT_TRUE(exists(20));
}

TEST_F(DeviceConfigurationTest, DisconnectDeletesEveryConfigurationOfThatAccessoryOnThatDevice) {
  open(deviceStore());
  tStatus2 status;
  devices().disconnectAccessoryFromDevice(objectGuid(1), objectGuid(11), status);
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(exists(20));
  EXPECT_FALSE(exists(24));
  for (std::uint32_t kept : {21, 22, 23, 25, 26}) EXPECT_TRUE(exists(kept)) << kept;
  for (std::uint32_t kept : {1, 2, 11, 12, 13}) EXPECT_TRUE(exists(kept)) << kept;
  EXPECT_THAT(injector().calls("deleteObject"),
              ElementsAre("IkorrinStorage::deleteObject(" + formatGuid(objectGuid(20)) + ")",
                          "IkorrinStorage::deleteObject(" + formatGuid(objectGuid(24)) + ")"));

  GuidList all;
  devices().getAllAccessoryConfigurations(all, status);
  EXPECT_EQ(all.size(), 5U);
}

TEST_F(DeviceConfigurationTest, DisconnectingWhatIsNotConnectedChangesNothing) {
  open(deviceStore());
  tStatus2 status;
  devices().disconnectAccessoryFromDevice(objectGuid(2), objectGuid(12), status);
  EXPECT_EQ(status.code, 0);
  EXPECT_EQ(injector().count("deleteObject"), 0U);
}

TEST_F(DeviceConfigurationTest, AFailingDeletionEndsTheDisconnectWithTheMappedCode) {
  open(deviceStore());
  injector().failCall("deleteObject", 1, kStorageNotFound);
  tStatus2 status;
  devices().disconnectAccessoryFromDevice(objectGuid(1), objectGuid(11), status);
  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_EQ(injector().count("deleteObject"), 1U) << "nothing more after the failure";
  EXPECT_TRUE(exists(20));
  EXPECT_TRUE(exists(24));
}

TEST_F(DeviceConfigurationTest, StoreFailuresOfTheReadsReachTheStatus) {
  open(deviceStore());
  injector().failCall("getString", 1, E_FAIL);
  injector().failCall("getReference", 1, kStorageNotFound);
  tStatus2 identifierStatus;
  tCaseInsensitiveBasicString identifier;
  devices().getDeviceIdentifier(objectGuid(1), identifier, identifierStatus);
  EXPECT_EQ(identifierStatus.code, E_FAIL);
  tStatus2 deviceStatus;
  GUID device{};
  devices().getAccessoryConfigurationConnectedDevice(objectGuid(20), device, deviceStatus);
  EXPECT_EQ(deviceStatus.code, StatusNotFound);
  EXPECT_EQ(device, GUID{});
}

TEST_F(DeviceConfigurationTest, AnIdentifierThatCannotBeCopiedRecordsNoMemory) {
  StoreJson store;
  store.add(1, model::kDeviceClass).text(model::kDeviceIdentifier, "an identifier of some length");
  open(store);
  tCaseInsensitiveBasicString identifier;
  tStatus2 status;
  platform::failAllocationAt(1, /*persistent=*/true);
  devices().getDeviceIdentifier(objectGuid(1), identifier, status);
  platform::clearAllocationFault();
  EXPECT_EQ(status.code, StatusNoMemory);
}

}  // namespace
}  // namespace vddb::hwconfig::tests
