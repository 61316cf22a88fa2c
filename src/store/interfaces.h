// The store's COM-style interfaces, as the configuration library hands them
// out. Every method returns a 32-bit HRESULT: negative is a failure, 0 full
// success, and for Next 1 means fewer items than asked for were delivered.
//
// Ownership: a reference handed out through an out argument belongs to the
// receiver, which releases it exactly once (hold it in a tScopedRef). Arrays
// passed in are lent for the call. On failure, out references are left null.
#pragma once

#include <cstdint>

#include "store/com.h"
#include "store/guid.h"

struct IStorageQuery;
struct IGuidEnumerator;
struct IStorageObject;
struct IStorageClass;
struct IStorageAttribute;
struct IAttributeIdEnumerator;

// Attribute type codes reported by IStorageAttribute::getType.
inline constexpr std::uint32_t kAttributeTypeReference = 5;
inline constexpr std::uint32_t kAttributeTypeReferenceList = 12;
inline constexpr std::uint32_t kAttributeTypeInteger = 3;
inline constexpr std::uint32_t kAttributeTypeString = 8;

// The store's result for "no such object".
inline constexpr HRESULT kStorageNotFound = static_cast<HRESULT>(0x80040309U);

struct IkorrinStorage : IUnknown {
  // A query selecting the objects of `classGuid`: with flag 1 also those of
  // derived classes, with flag 0 only that class. `reserved` is 0.
  virtual HRESULT VDDB_STDCALL createQuery(const GUID& classGuid, std::uint32_t flag,
                                           std::uint32_t reserved, IStorageQuery** query) = 0;
  // Deletes one object. `result` may be null; when given it receives a
  // reference the caller releases unused. A missing object fails with
  // kStorageNotFound.
  virtual HRESULT VDDB_STDCALL deleteObject(const GUID& objectGuid, IUnknown** result) = 0;
  virtual HRESULT VDDB_STDCALL openObject(const GUID& objectGuid, IStorageObject** object) = 0;
  // Enumerates the GUIDs the query selects, ascending in registry-form text.
  virtual HRESULT VDDB_STDCALL runQuery(IStorageQuery* query, IGuidEnumerator** enumerator) = 0;

 protected:
  ~IkorrinStorage() = default;
};

struct IStorageQuery : IUnknown {
  // Keeps objects whose integer attribute equals `value`. Before runQuery.
  virtual HRESULT VDDB_STDCALL addCondition(std::uint32_t attributeId, std::int32_t value) = 0;

 protected:
  ~IStorageQuery() = default;
};

struct IStorageQueryEx : IUnknown {
  // Keeps objects whose string attribute equals `text` (zero-terminated
  // UTF-16) code unit for code unit. Before runQuery.
  virtual HRESULT VDDB_STDCALL addStringCondition(std::uint32_t attributeId,
                                                  const char16_t* text) = 0;

 protected:
  ~IStorageQueryEx() = default;
};

struct IGuidEnumerator : IUnknown {
  // Copies up to `count` GUIDs into `guids`; 0 when all were delivered, 1
  // when fewer (none at the end), negative on failure.
  virtual HRESULT VDDB_STDCALL Next(std::uint32_t count, GUID* guids, std::uint32_t* delivered) = 0;

 protected:
  ~IGuidEnumerator() = default;
};

struct IStorageObject : IUnknown {
  virtual HRESULT VDDB_STDCALL getObjectGuid(GUID* guid) = 0;
  virtual HRESULT VDDB_STDCALL getClass(IStorageClass** storageClass) = 0;
  // `result` becomes non-zero when the object is of the class (flag 1: the
  // class or one derived from it), 0 otherwise.
  virtual HRESULT VDDB_STDCALL isOfClass(std::uint32_t flag, const GUID* classGuid,
                                         std::int32_t* result) = 0;
  // Writes a single reference; null clears it.
  virtual HRESULT VDDB_STDCALL setReference(std::uint32_t attributeId, IStorageObject* target) = 0;
  // Replaces a reference list. The array is lent; no references pass.
  virtual HRESULT VDDB_STDCALL setObjectList(std::uint32_t attributeId, std::uint32_t count,
                                             IStorageObject** objects) = 0;
  // Fails when the object has no value for the attribute.
  virtual HRESULT VDDB_STDCALL getInteger(std::uint32_t attributeId, std::int32_t* value) = 0;
  // `text` receives a zero-terminated UTF-16 text from CoTaskMemAlloc, or
  // null when there is no value; the caller frees it with CoTaskMemFree.
  virtual HRESULT VDDB_STDCALL getString(std::uint32_t attributeId, char16_t** text) = 0;
  // `target` receives the referred object, or null when the reference is
  // empty or dangles.
  virtual HRESULT VDDB_STDCALL getReference(std::uint32_t attributeId, IStorageObject** target) = 0;
  // Two-call read: with capacity 0 and no array, `count` is the number of
  // entries; with capacity n, at most n slots are filled, each carrying a
  // reference the caller owns, and `count` is the number filled. Dangling
  // entries are left out.
  virtual HRESULT VDDB_STDCALL getObjectList(std::uint32_t attributeId, std::uint32_t capacity,
                                             IStorageObject** objects, std::uint32_t* count) = 0;

 protected:
  ~IStorageObject() = default;
};

struct IStorageObjectEx : IUnknown {
  // As getObjectList, for the entries that are of the kind `kindGuid`.
  virtual HRESULT VDDB_STDCALL getKindObjectList(std::uint32_t attributeId, std::uint32_t capacity,
                                                 const GUID& kindGuid, IStorageObject** objects,
                                                 std::uint32_t* count) = 0;

 protected:
  ~IStorageObjectEx() = default;
};

struct IStorageClass : IUnknown {
  virtual HRESULT VDDB_STDCALL getClassGuid(GUID* guid) = 0;
  // Null at the root of the class chain.
  virtual HRESULT VDDB_STDCALL getBaseClass(IStorageClass** baseClass) = 0;
  // An attribute declared at this class level.
  virtual HRESULT VDDB_STDCALL getAttribute(std::uint32_t attributeId,
                                            IStorageAttribute** attribute) = 0;
  // The attribute IDs declared at this class level.
  virtual HRESULT VDDB_STDCALL enumAttributeIds(IAttributeIdEnumerator** enumerator) = 0;

 protected:
  ~IStorageClass() = default;
};

struct IStorageAttribute : IUnknown {
  // 5: single reference, 12: reference list, 3: integer, 8: string.
  virtual HRESULT VDDB_STDCALL getType(std::uint32_t* type) = 0;
  // For references: 0 when the attribute owns its targets, 1 when not.
  virtual HRESULT VDDB_STDCALL getFlag(std::uint32_t* flag) = 0;

 protected:
  ~IStorageAttribute() = default;
};

struct IAttributeIdEnumerator : IUnknown {
  // As IGuidEnumerator::Next, for attribute IDs.
  virtual HRESULT VDDB_STDCALL Next(std::uint32_t count, std::uint32_t* ids,
                                    std::uint32_t* delivered) = 0;

 protected:
  ~IAttributeIdEnumerator() = default;
};

// Interface IDs. The two extension IDs are the store's; the others are ours.
inline constexpr IID IID_IStorageQueryEx =
    vddb::guidLiteral("6a1e9879-a1d7-461a-8b9c-50e4e43cfb87");
inline constexpr IID IID_IStorageObjectEx =
    vddb::guidLiteral("9524e331-1e94-48f9-9fd5-53ed34719f00");
inline constexpr IID IID_IkorrinStorage = vddb::guidLiteral("3c0e7a51-52d4-4a8b-9a0e-7f2d1c6b4e01");
inline constexpr IID IID_IStorageQuery = vddb::guidLiteral("3c0e7a51-52d4-4a8b-9a0e-7f2d1c6b4e02");
inline constexpr IID IID_IGuidEnumerator =
    vddb::guidLiteral("3c0e7a51-52d4-4a8b-9a0e-7f2d1c6b4e03");
inline constexpr IID IID_IStorageObject = vddb::guidLiteral("3c0e7a51-52d4-4a8b-9a0e-7f2d1c6b4e04");
inline constexpr IID IID_IStorageClass = vddb::guidLiteral("3c0e7a51-52d4-4a8b-9a0e-7f2d1c6b4e05");
inline constexpr IID IID_IStorageAttribute =
    vddb::guidLiteral("3c0e7a51-52d4-4a8b-9a0e-7f2d1c6b4e06");
inline constexpr IID IID_IAttributeIdEnumerator =
    vddb::guidLiteral("3c0e7a51-52d4-4a8b-9a0e-7f2d1c6b4e07");
