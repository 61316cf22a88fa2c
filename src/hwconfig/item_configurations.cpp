// The Trelix, Mordan and Quenta sub-configurations: one implementation
// (SavedItems) over three item models.
#include "hwconfig/hwconfig.h"
#include "hwconfig/store_access.h"
#include "hwconfig/sub_configurations.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/wrappers.h"

namespace vddb::hwconfig::detail {

void SavedItems::list(GuidList& items, tStatus2& status) const {
  if (!isGood(status)) return;
  if (!_model.savedMarker) {
    collectObjectsOfClass(_storage, _model.itemClass, items, status.code);
    return;
  }
  GuidList candidates;
  collectObjectsOfClass(_storage, _model.itemClass, candidates, status.code);
  for (const GUID& candidate : candidates) {
    if (!isGood(status)) return;
    const tScopedRef<IStorageObject> object = store::openObject(_storage, candidate, status.code);
    if (!object || !hasReference(object.get(), *_model.savedMarker, status.code)) continue;
    if (!items.append(candidate)) recordNoMemory(status.code);
  }
}

void SavedItems::slotCount(const GUID& item, std::uint32_t& slots, tStatus2& status) const {
  const tScopedRef<IStorageObject> object = openItem(_storage, item, _model.itemClass, status.code);
  if (!object) return;
  std::int32_t value = 0;
  readInteger(object.get(), model::kSlotCount, value, status.code);
  if (isGood(status)) slots = static_cast<std::uint32_t>(value);
}

void SavedItems::remove(const GUID& item, tStatus2& status) const {
  // The item's own status may already hold the failure that made the caller
  // remove it, so the removal runs on a code of its own.
  std::int32_t code = 0;
  const tScopedRef<IStorageObject> object = openItem(_storage, item, _model.itemClass, code);
  if (object) deleteWithOwnedObjects(_storage, item, object.get(), code);
  if (code < 0) status.code = code;
}

TrelixConfiguration::TrelixConfiguration(IkorrinStorage* storage) noexcept
    : _items(storage, {model::kTrelixChassisClass, model::kTrelixSavedMarker}) {}

void TrelixConfiguration::getSavedTrelixChassis(GuidList& chassis, tStatus2& status) {
  _items.list(chassis, status);
}

std::uint32_t TrelixConfiguration::getNumSlots(const GUID& chassis, tStatus2& status) {
  std::uint32_t slots = 0;
  _items.slotCount(chassis, slots, status);
  return slots;
}

void TrelixConfiguration::removeChassis(const GUID& chassis, tStatus2& status) {
  _items.remove(chassis, status);
}

MordanConfiguration::MordanConfiguration(IkorrinStorage* storage) noexcept
    : _items(storage, {model::kMordanConnectorBlockClass, model::kMordanSavedMarker}) {}

void MordanConfiguration::getSavedMordanConnectorBlocks(GuidList& blocks, tStatus2& status) {
  _items.list(blocks, status);
}

void MordanConfiguration::getNumSlots(const GUID& block, std::uint32_t& slots, tStatus2& status) {
  _items.slotCount(block, slots, status);
}

void MordanConfiguration::removeMordanConnectorBlock(const GUID& block, tStatus2& status) {
  _items.remove(block, status);
}

QuentaConfiguration::QuentaConfiguration(IkorrinStorage* storage) noexcept
    : _items(storage, {model::kQuentaChassisClass, std::nullopt}) {}

void QuentaConfiguration::getSavedQuentaChassis(GuidList& chassis, tStatus2& status) {
  _items.list(chassis, status);
}

void QuentaConfiguration::getNumSlots(const GUID& chassis, std::uint32_t& slots, tStatus2& status) {
  _items.slotCount(chassis, slots, status);
}

void QuentaConfiguration::removeQuentaChassis(const GUID& chassis, tStatus2& status) {
  _items.remove(chassis, status);
}

}  // namespace vddb::hwconfig::detail
