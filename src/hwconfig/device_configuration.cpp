// The device configuration: devices, accessories and the accessory
// configurations that connect an accessory to a connector of a device.
#include "engine/referrers.h"
#include "hwconfig/hwconfig.h"
#include "hwconfig/store_access.h"
#include "hwconfig/sub_configurations.h"
#include "platform/win32.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/readers.h"
#include "store/wrappers.h"

namespace vddb::hwconfig::detail {

namespace {

// The GUID `attributeId` refers to; false when it refers to none or the
// read failed.
bool referredGuid(IStorageObject* object, std::uint32_t attributeId, GUID& guid,
                  std::int32_t& code) {
  const tScopedRef<IStorageObject> referred = store::getReference(object, attributeId, code);
  if (!referred) return false;
  guid = GUID{};
  store::callStore(code, [&] { return referred->getObjectGuid(&guid); });
  return isGood(code);
}

// The accessory configurations that may connect `accessory`, in query order:
// those whose accessory reference names it, when the storage can find them
// from its index (IStorageReferrers), else every accessory configuration.
// Either way the caller reads each one before it counts.
void candidateConfigurations(IkorrinStorage* storage, const GUID& accessory,
                             GuidList& configurations, std::int32_t& code) {
  tScopedRef<IStorageReferrers> referrers;
  if (storage->QueryInterface(IID_IStorageReferrers, referrers.putVoid()) < 0 || !referrers) {
    collectObjectsOfClass(storage, model::kAccessoryConfigurationClass, configurations, code);
    return;
  }
  tScopedRef<IGuidEnumerator> found;
  store::callStore(code, [&] {
    return referrers->findReferrers(model::kAccessoryConfigurationClass, 1,
                                    model::kConfiguredAccessory, accessory, found.put());
  });
  store::enumerateGuids(found.get(), configurations, code);
}

// Frees a text the store handed out, on every path.
struct TaskText {
  char16_t* text = nullptr;
  TaskText() = default;
  TaskText(const TaskText&) = delete;
  TaskText& operator=(const TaskText&) = delete;
  ~TaskText() { CoTaskMemFree(text); }
};

}  // namespace

void DeviceConfiguration::getAllAccessoryConfigurations(GuidList& configurations,
                                                        tStatus2& status) {
  if (!isGood(status)) return;
  collectObjectsOfClass(_storage, model::kAccessoryConfigurationClass, configurations, status.code);
}

void DeviceConfiguration::getAccessoryConfigurationConnector(const GUID& configuration,
                                                             std::uint32_t& connector,
                                                             tStatus2& status) {
  const tScopedRef<IStorageObject> object =
      openItem(_storage, configuration, model::kAccessoryConfigurationClass, status.code);
  if (!object) return;
  std::int32_t value = 0;
  readInteger(object.get(), model::kConnectorNumber, value, status.code);
  if (isGood(status)) connector = static_cast<std::uint32_t>(value);
}

void DeviceConfiguration::getAccessoryConfigurationConnectedDevice(const GUID& configuration,
                                                                   GUID& device, tStatus2& status) {
  const tScopedRef<IStorageObject> object =
      openItem(_storage, configuration, model::kAccessoryConfigurationClass, status.code);
  if (object) readReferenceGuid(object.get(), model::kConnectedDevice, device, status.code);
}

void DeviceConfiguration::getDeviceIdentifier(const GUID& device,
                                              tCaseInsensitiveBasicString& identifier,
                                              tStatus2& status) {
  const tScopedRef<IStorageObject> object =
      openItem(_storage, device, model::kDeviceClass, status.code);
  if (!object) return;
  TaskText text;
  store::callStore(status.code,
                   [&] { return object->getString(model::kDeviceIdentifier, &text.text); });
  if (!isGood(status)) return;
  if (text.text == nullptr) {
    status.code = StatusValueMissing;
    return;
  }
  const char16_t* end = text.text;
  while (*end != 0) ++end;
  const bool failedBefore = identifier.allocationFailed();
  identifier.assign(text.text, end);
  // A failed assign leaves the text as it was; the flag alone cannot tell
  // when it was already set.
  const auto length = static_cast<std::size_t>(end - text.text);
  if (identifier.allocationFailed() && (!failedBefore || identifier.size() != length)) {
    recordNoMemory(status.code);
  }
}

void DeviceConfiguration::getAccessoryConfigurationAccessory(const GUID& configuration,
                                                             GUID& accessory, tStatus2& status) {
  const tScopedRef<IStorageObject> object =
      openItem(_storage, configuration, model::kAccessoryConfigurationClass, status.code);
  if (object) readReferenceGuid(object.get(), model::kConfiguredAccessory, accessory, status.code);
}

void DeviceConfiguration::disconnectAccessoryFromDevice(const GUID& device, const GUID& accessory,
                                                        tStatus2& status) {
  if (!isGood(status)) return;
  // Reading every accessory configuration for each disconnection made the
  // accessory pass quadratic in the store's size; the index finds the few
  // that name the accessory.
  GuidList configurations;
  candidateConfigurations(_storage, accessory, configurations, status.code);
  // Everything is read before anything is deleted, so the deletions cannot
  // disturb the enumeration.
  GuidList connecting;
  for (const GUID& configuration : configurations) {
    if (!isGood(status)) return;
    const tScopedRef<IStorageObject> object =
        store::openObject(_storage, configuration, status.code);
    if (!object) continue;
    GUID connectedAccessory{};
    GUID connectedDevice{};
    if (!referredGuid(object.get(), model::kConfiguredAccessory, connectedAccessory, status.code))
      continue;
    if (!(connectedAccessory == accessory)) continue;
    if (!referredGuid(object.get(), model::kConnectedDevice, connectedDevice, status.code)) {
      continue;
    }
    if (connectedDevice == device && !connecting.append(configuration)) {
      recordNoMemory(status.code);
    }
  }
  for (const GUID& configuration : connecting) {
    if (!isGood(status)) return;
    store::deleteObject(_storage, configuration, status.code);
  }
}

}  // namespace vddb::hwconfig::detail
