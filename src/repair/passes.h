// The twelve repair passes of the module tUpgradeDowngradeMgr, in the order
// the sequence runs them (see pass_sequence.cpp). They live in the namespace
// tUpgradeDowngradeMgr, the module that raised statuses name as their source.
//
// Every pass takes its own pass status (a copy of the transaction status),
// does nothing when that status already holds an error, records its failures
// only there, and releases every reference and list it obtained before it
// returns. Changes are made in the open configuration / storage and last only
// when the transaction saves.
//
// A pass joins the sequence by defining its function and adding one row to
// the table in pass_sequence.cpp.
#pragma once

#include <cstdint>

#include "status/tStatus2.h"
#include "store/com.h"
#include "store/configuration.h"
#include "store/guid.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"

namespace tUpgradeDowngradeMgr {

// Arguments of the shared step purgeUnreferencedObjects.
// Which status the referrer-list read of each object uses.
enum class tReferrerReadStatus { passStatus, freshStatusPerObject };
// How an unreferenced object is unlinked before it is deleted: its
// owned-object list (kOwnedObjectList) emptied, or one of its single references
// cleared.
enum class tUnlinking { emptyOwnedObjectList, clearReference };

// 1, 3, 5: slot counts of saved items against their stored slot lists.
void checkTrelixChassisSlots(tMHWConfiguration& configuration, tScopedRef<IkorrinStorage>& storage,
                             tStatus2& status);
// 2, 4: detached chassis / connector-block objects and their companions.
void purgeDetachedTrelixChassisObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status);
void checkMordanConnectorBlockSlots(tMHWConfiguration& configuration,
                                    tScopedRef<IkorrinStorage>& storage, tStatus2& status);
void purgeDetachedMordanConnectorBlockObjects(tScopedRef<IkorrinStorage>& storage,
                                              tStatus2& status);
void checkQuentaChassisSlots(tMHWConfiguration& configuration, tScopedRef<IkorrinStorage>& storage,
                             tStatus2& status);
// 6, 9 (and phase 2 of 2 and 4): objects of `objectClass` that nothing refers to.
// `clearedReference` is used only with tUnlinking::clearReference.
void purgeUnreferencedObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status,
                              const GUID& objectClass, tReferrerReadStatus referrerReadStatus,
                              tUnlinking unlinking, std::uint32_t clearedReference);
// 7: objects lacking one of their two required references.
void purgeIncompletelyLinkedObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status);
// 8: accessories on a device connector already taken by an earlier one.
void disconnectDuplicateAccessories(tMHWConfiguration& configuration, tStatus2& status);
// 10: objects whose name matches no object of the class they refer to.
void sweepOrphanObjects(tScopedRef<IkorrinStorage>& storage, tStatus2& status);
// 11, 12: incomplete and duplicated link records; they share one status.
void purgeIncompleteLinkRecords(tScopedRef<IkorrinStorage>& storage, tStatus2& status);
void purgeDuplicateLinkRecords(tScopedRef<IkorrinStorage>& storage, tStatus2& status);

}  // namespace tUpgradeDowngradeMgr
