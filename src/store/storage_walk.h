// Deleting a stored object together with everything it owns.
//
// Ownership comes from the store's own class descriptions: an attribute owns
// what it refers to when it is a single reference (type 5) or a reference
// list (type 12) with flag 0, at any level of the object's class chain. The
// one exception is model::kReferrerList declared at model::kHardwareItemClass:
// it lists the objects that refer to an item, not what the item owns.
//
// The walk is depth-first in the order a recursive walk would take: an
// object is collected when first reached; then its own class level's
// attributes are followed in enumeration order, list entries in stored
// order, each reached object walked completely before the next attribute;
// then the base levels. It runs on an explicit stack, so a chain of owning
// references of any length cannot overflow the thread's stack.
#pragma once

#include <cstdint>

#include "store/guid_list.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"

namespace vddb::store {

// Appends to `collected`, in visit order, the GUID of `object` and of every
// object it owns directly or indirectly, each once (objects already in the
// list are not walked again). Takes over the reference to `object`; a null
// object adds nothing.
//
// Each object walked has a status code of its own: a store failure while
// walking one object stops what is followed from that object only (a failed
// GUID read collects the all-zero GUID and follows nothing). Nothing is
// reported to the caller.
//
// When memory runs out (the list, or the walk's own bookkeeping, cannot
// grow), the walk stops following anything and returns with what it has
// collected so far; the object that could not be recorded is not collected.
// This bounds the walk even on cycles of owning references.
void collectOwnedObjects(tScopedRef<IStorageObject> object, GuidList& collected);

// Collects `object` and everything it owns, then deletes each collected
// object in visit order (the start object first), continuing past failures.
// Returns 0, or the raw result of the last deletion that failed. Takes no
// status: callers decide beforehand whether to delete. `object` stays the
// caller's.
HRESULT deleteWithOwned(IkorrinStorage* storage, IStorageObject* object);

}  // namespace vddb::store
