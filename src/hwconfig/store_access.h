// The library's own reads and deletions on the store interfaces. Each takes
// a status code, does nothing while it is negative (except
// deleteWithOwnedObjects, which acts whatever it holds), and records a
// failing storage result by the storage mapping.
//
// Internal to the configuration library.
#pragma once

#include <cstdint>

#include "store/guid_list.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"

namespace vddb::hwconfig::detail {

// Fills `guids` (emptied first) with the GUIDs of every object of
// `classGuid` or a derived class, in query order, through the shared query
// reader. A list that cannot grow records StatusNoMemory.
void collectObjectsOfClass(IkorrinStorage* storage, const GUID& classGuid, GuidList& guids,
                           std::int32_t& code);

// The object `item`, which must be of `classGuid` or a derived class; null
// with StatusItemMissing when it does not exist or is of another class.
tScopedRef<IStorageObject> openItem(IkorrinStorage* storage, const GUID& item,
                                    const GUID& classGuid, std::int32_t& code);

// Whether the single reference `attributeId` of `object` refers to an
// existing object. False also when the read fails.
bool hasReference(IStorageObject* object, std::uint32_t attributeId, std::int32_t& code);

// The GUID of the object that `attributeId` refers to; StatusValueMissing
// when it refers to none. `target` is written only on success.
void readReferenceGuid(IStorageObject* object, std::uint32_t attributeId, GUID& target,
                       std::int32_t& code);

// The integer `attributeId`; StatusValueMissing when the object has no
// value for it. `value` is written only on success.
void readInteger(IStorageObject* object, std::uint32_t attributeId, std::int32_t& value,
                 std::int32_t& code);

// Deletes `item` (the open object of `itemGuid`) and every object it owns,
// the item first. Ownership is the
// catalog's: a reference or reference-list attribute with flag 0, at any
// level of the class chain, except the hardware-item referrer list. Runs
// whatever `code` holds; each failure (of the walk or of a deletion)
// overwrites it, the deletions go on after a failed one.
void deleteWithOwnedObjects(IkorrinStorage* storage, const GUID& itemGuid, IStorageObject* item,
                            std::int32_t& code);

}  // namespace vddb::hwconfig::detail
