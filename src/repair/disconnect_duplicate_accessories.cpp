// Pass 8: accessories on a device connector already taken by an earlier one.
//
// Checks:  every accessory configuration, in the order the device
//          configuration lists them, for its connector key: the device
//          identifier, "/", and the connector number in decimal digits.
//          Identifiers are compared case-insensitively
//          (tLocaleConsideringWideStringComparitor), so two spellings of one
//          device are one device.
// Needs:   the device configuration of the library only, never the storage;
//          nothing from earlier passes. The keys seen so far are kept in an
//          ordered set built for this run.
// Changes: for each accessory configuration whose key is already taken, its
//          accessory is disconnected from its device; the first one stays
//          connected.
// Failure: the first error in the status, whether from a library call or
//          from a lack of memory (raised at 631, 642 or 657), ends the pass.
//          Disconnections made before stay in the open configuration. The
//          list, the set and every text are released on every way out.
#include <cstdint>

#include "repair/passes.h"
#include "repair/report.h"
#include "repair/text/case_insensitive_key_set.h"
#include "repair/text/connector_text.h"
#include "status/status_rules.h"
#include "store/guid_list.h"

namespace tUpgradeDowngradeMgr {

namespace {

// Raise sites, as recorded in the status's origin.
constexpr std::uint32_t kLineIdentifierText = 631;
constexpr std::uint32_t kLineConnectorKey = 642;
constexpr std::uint32_t kLineKeySet = 657;

}  // namespace

void disconnectDuplicateAccessories(tMHWConfiguration& configuration, tStatus2& status) {
  tDeviceConfiguration& devices = configuration.getDeviceConfiguration();

  GuidList accessoryConfigurations;
  devices.getAllAccessoryConfigurations(accessoryConfigurations, status);
  // The list's own flag is not consulted: the library reports its failures in
  // the status, and whatever GUIDs the list holds are visited.

  // The empty set allocates nothing, so creating it cannot fail.
  tCaseInsensitiveKeySet keys;

  for (const GUID& accessoryConfiguration : accessoryConfigurations) {
    if (!isGood(status)) break;

    tCaseInsensitiveBasicString identifier;
    if (identifier.allocationFailed()) raiseNoMemory(status, kLineIdentifierText);

    // The reads run one after the other; each does nothing once the status
    // holds an error, and the status is looked at only when the key is built.
    std::uint32_t connector = 0;
    devices.getAccessoryConfigurationConnector(accessoryConfiguration, connector, status);
    char16_t connectorText[vddb::text::kConnectorTextLimit];
    vddb::text::formatConnectorText(connector, connectorText);

    GUID device = vddb::kNullGuid;
    devices.getAccessoryConfigurationConnectedDevice(accessoryConfiguration, device, status);
    devices.getDeviceIdentifier(device, identifier, status);

    // The key starts with the identifier's allocation flag, so any failure on
    // the way to it shows here.
    tCaseInsensitiveBasicString key(identifier);
    key.append(u"/");
    key.append(connectorText);
    if (key.allocationFailed()) raiseNoMemory(status, kLineConnectorKey);

    if (!isGood(status)) continue;  // neither recorded nor disconnected

    // The configuration that took the key first is kept beside it for the
    // report; the key set looks the same to the pass either way.
    GUID firstHolder = vddb::kNullGuid;
    if (keys.insert(key, accessoryConfiguration, &firstHolder) !=
        tCaseInsensitiveKeySet::tInsertOutcome::alreadyPresent) {
      if (keys.allocationFailed()) raiseNoMemory(status, kLineKeySet);
      continue;
    }
    GUID accessory = vddb::kNullGuid;
    devices.getAccessoryConfigurationAccessory(accessoryConfiguration, accessory, status);
    if (!isGood(status)) continue;
    devices.disconnectAccessoryFromDevice(device, accessory, status);
    if (!isGood(status)) continue;
    reportProblem("P0801", accessoryConfiguration, [&](tProblemRecord& record) {
      record.key = std::u16string_view(key.begin(), key.size());
      record.first = firstHolder;
      record.hasFirst = true;
    });
  }
}

}  // namespace tUpgradeDowngradeMgr
