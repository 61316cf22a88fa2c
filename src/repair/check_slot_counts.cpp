// The slot-count checks: checkTrelixChassisSlots, checkMordanConnectorBlockSlots,
// checkQuentaChassisSlots. One algorithm, three parameter sets (kTrelix,
// kMordan, kQuenta below).
//
// Checks:  every saved item that the sub-configuration reports: its slot count
//          must equal the number of entries of each of its slot lists (only
//          the entries of the slot-list kind count).
// Needs:   the open configuration and the storage; nothing from earlier passes.
// Changes: removes, through the configuration library, every item whose slot
//          count cannot be read or disagrees with one of its slot lists. When
//          the stored object cannot be opened or a list cannot be read, the
//          lists count as empty, so the item goes unless its slot count is 0.
// Failure: only the saved-item call writes the pass status; when it fails,
//          nothing is examined. Every failure of one item (slot count,
//          opening, list reads, the removal) stays in that item's own status,
//          is dropped with it, and the next item is examined all the same.
#include <array>
#include <cstddef>
#include <cstdint>

#include "repair/passes.h"
#include "repair/report.h"
#include "status/status_rules.h"
#include "store/guid_list.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/wrappers.h"

namespace tUpgradeDowngradeMgr {

namespace {

constexpr std::size_t kMaxSlotLists = 3;

// What makes one pass of the three: which sub-configuration, which of its
// calls, which slot lists, in reading order, and the codes of its reports.
template <class SubConfiguration>
struct tSlotCheckParameters {
  SubConfiguration& (tMHWConfiguration::*subConfiguration)();
  void (SubConfiguration::*savedItems)(GuidList& items, tStatus2& status);
  // The slot count, whichever form the sub-configuration offers.
  std::uint32_t (*slotCount)(SubConfiguration& configuration, const GUID& item, tStatus2& status);
  void (SubConfiguration::*remove)(const GUID& item, tStatus2& status);
  std::array<std::uint32_t, kMaxSlotLists> slotLists;
  std::size_t slotListCount;
  const char* unreadableSlotCountProblem;
  const char* slotMismatchProblem;
};

std::uint32_t trelixSlotCount(tTrelixConfiguration& configuration, const GUID& item,
                              tStatus2& status) {
  return configuration.getNumSlots(item, status);
}

template <class SubConfiguration>
std::uint32_t slotCountFromOutArgument(SubConfiguration& configuration, const GUID& item,
                                       tStatus2& status) {
  std::uint32_t slots = 0;
  configuration.getNumSlots(item, slots, status);
  return slots;
}

constexpr tSlotCheckParameters<tTrelixConfiguration> kTrelix{
    &tMHWConfiguration::getTrelixConfiguration,
    &tTrelixConfiguration::getSavedTrelixChassis,
    &trelixSlotCount,
    &tTrelixConfiguration::removeChassis,
    {vddb::model::kTrelixSlotList1, vddb::model::kTrelixSlotList2, vddb::model::kTrelixSlotList3},
    3,
    "P0101",
    "P0102"};

constexpr tSlotCheckParameters<tMordanConfiguration> kMordan{
    &tMHWConfiguration::getMordanConfiguration,
    &tMordanConfiguration::getSavedMordanConnectorBlocks,
    &slotCountFromOutArgument<tMordanConfiguration>,
    &tMordanConfiguration::removeMordanConnectorBlock,
    {vddb::model::kMordanSlotList},
    1,
    "P0301",
    "P0302"};

constexpr tSlotCheckParameters<tQuentaConfiguration> kQuenta{
    &tMHWConfiguration::getQuentaConfiguration,
    &tQuentaConfiguration::getSavedQuentaChassis,
    &slotCountFromOutArgument<tQuentaConfiguration>,
    &tQuentaConfiguration::removeQuentaChassis,
    {vddb::model::kQuentaSlotList},
    1,
    "P0501",
    "P0502"};

// Whether the item's stored slot lists agree with its slot count; `lengths`
// receives their numbers of slots. Every failure lands in `itemStatus`; a
// list that could not be read stays empty.
bool slotListsAgree(IkorrinStorage* storage, const GUID& item, std::uint32_t slots,
                    const std::uint32_t* slotLists, std::size_t slotListCount,
                    std::array<std::uint32_t, kMaxSlotLists>& lengths, tStatus2& itemStatus) {
  const tScopedRef<IStorageObject> object = vddb::store::openObject(storage, item, itemStatus.code);
  // Declared after the object, so released before it.
  std::array<ObjectList, kMaxSlotLists> lists;
  for (std::size_t i = 0; i < slotListCount; ++i) {
    // After a failure the remaining reads do nothing (the code is negative).
    // Only slot entries count; a slot list may hold other objects.
    if (object) {
      vddb::store::readKindObjectList(object.get(), slotLists[i], vddb::model::kSlotEntryClass,
                                      lists[i], itemStatus.code);
    }
  }
  bool agree = true;
  for (std::size_t i = 0; i < slotListCount; ++i) {
    lengths[i] = static_cast<std::uint32_t>(lists[i].size());
    if (lists[i].size() != slots) agree = false;
  }
  return agree;
}

template <class SubConfiguration>
void checkSlots(const tSlotCheckParameters<SubConfiguration>& parameters,
                tMHWConfiguration& configuration, tScopedRef<IkorrinStorage>& storage,
                tStatus2& status) {
  if (!isGood(status)) return;
  // The pass needs the storage; a missing one can only come with an error.
  if (!storage) return;

  SubConfiguration& items = (configuration.*parameters.subConfiguration)();
  GuidList saved;
  (items.*parameters.savedItems)(saved, status);

  for (const GUID& item : saved) {
    // Nothing below writes the pass status: only a failed listing stops here.
    if (!isGood(status)) break;

    tStatus2 itemStatus;
    const std::uint32_t slots = parameters.slotCount(items, item, itemStatus);
    // The library removes the item even though its status already holds the
    // failure that condemned it.
    if (!isGood(itemStatus)) {
      const std::int32_t slotCountFailure = itemStatus.code;
      (items.*parameters.remove)(item, itemStatus);
      reportProblem(parameters.unreadableSlotCountProblem, item, [&](tProblemRecord& record) {
        record.call = "getNumSlots";
        record.code = slotCountFailure;
      });
      continue;
    }
    std::array<std::uint32_t, kMaxSlotLists> lengths{};
    if (!slotListsAgree(storage.get(), item, slots, parameters.slotLists.data(),
                        parameters.slotListCount, lengths, itemStatus)) {
      (items.*parameters.remove)(item, itemStatus);
      reportProblem(parameters.slotMismatchProblem, item, [&](tProblemRecord& record) {
        record.slots = slots;
        record.listLengths = lengths;
        record.listCount = parameters.slotListCount;
      });
    }
  }
}

}  // namespace

void checkTrelixChassisSlots(tMHWConfiguration& configuration, tScopedRef<IkorrinStorage>& storage,
                             tStatus2& status) {
  checkSlots(kTrelix, configuration, storage, status);
}

void checkMordanConnectorBlockSlots(tMHWConfiguration& configuration,
                                    tScopedRef<IkorrinStorage>& storage, tStatus2& status) {
  checkSlots(kMordan, configuration, storage, status);
}

void checkQuentaChassisSlots(tMHWConfiguration& configuration, tScopedRef<IkorrinStorage>& storage,
                             tStatus2& status) {
  checkSlots(kQuenta, configuration, storage, status);
}

}  // namespace tUpgradeDowngradeMgr
