// Shared readers and writers of stored attributes and queries.
//
// Every reader applies the status rule to the code it is handed: it does
// nothing when the code already holds an error, records a failing storage
// result by the mapping (0x80040309 becomes StatusNotFound), and turns a
// failed allocation into StatusNoMemory unless an error is already recorded
// (a warning is replaced). Only collectObjectsOfClass takes the whole status,
// because it raises its no-memory failure with an origin.
//
// Object, storage and query arguments are borrowed: the readers take no
// ownership of them. Lists handed out hold references of their own.
// Temporary arrays come from _memNewUsingCRT and go back on every path.
#pragma once

#include <cstdint>

#include "status/tStatus2.h"
#include "store/guid_list.h"
#include "store/interfaces.h"
#include "store/object_list.h"
#include "store/wide_string.h"

namespace vddb::store {

// GUIDs asked for per enumerator call.
inline constexpr std::uint32_t kEnumerationBatch = 16;

// The source line recorded when collectObjectsOfClass raises StatusNoMemory.
inline constexpr std::uint32_t kCollectObjectsRaiseLine = 57;

// Empties `guids` and fills it with the GUIDs the query selects, in the order
// the enumerator delivers them. A failure keeps the GUIDs gathered before it.
void enumerateQuery(IkorrinStorage* storage, IStorageQuery* query, GuidList& guids,
                    std::int32_t& code);

// Empties `guids` and fills it with what `enumerator` (null: nothing)
// delivers, in order, while the code is good. A failure keeps the GUIDs
// gathered before it; a list that cannot grow records StatusNoMemory.
void enumerateGuids(IGuidEnumerator* enumerator, GuidList& guids, std::int32_t& code);

// Empties `objects` (whatever the status holds) and fills it with every
// stored object of the class or a derived class, opened, in enumeration
// order. The objects opened before a failure stay. A list that could not grow
// raises StatusNoMemory at kCollectObjectsRaiseLine.
void collectObjectsOfClass(const GUID& classGuid, IkorrinStorage* storage, ObjectList& objects,
                           tStatus2& status);

// The objects of a reference-list attribute, in stored order. With a bad code
// the list is left as it was; when a store call fails it ends empty.
void readObjectList(IStorageObject* object, std::uint32_t attributeId, ObjectList& objects,
                    std::int32_t& code);
// The same, into a new list.
ObjectList readObjectList(IStorageObject* object, std::uint32_t attributeId, std::int32_t& code);

// The entries of a reference-list attribute that belong to `kindGuid`, read
// through IStorageObjectEx. When the object does not offer that interface the
// failure of the request is recorded as it stands and the list is untouched.
void readKindObjectList(IStorageObject* object, std::uint32_t attributeId, const GUID& kindGuid,
                        ObjectList& objects, std::int32_t& code);

// Replaces a reference-list attribute with the list's objects (an empty list
// clears it). No store write is made for a non-empty list whose temporary
// array could not be had.
void writeObjectList(IStorageObject* object, std::uint32_t attributeId, const ObjectList& objects,
                     std::int32_t& code);

// Reads the string attribute model::kReferredName into `text`. When the
// object has no value, `text` is left as it was (callers pass it empty).
void readStringAttribute(IStorageObject* object, tWideString& text, std::int32_t& code);

// Restricts a query, before it runs, to objects whose model::kNamedObjectName
// equals `text`. When the query does not offer IStorageQueryEx the failure of
// the request is recorded as it stands.
void addStringFilter(IStorageQuery* query, const tWideString& text, std::int32_t& code);

}  // namespace vddb::store
