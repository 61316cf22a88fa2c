// The store engine's own failure results. All are negative HRESULTs in the
// interface facility; docs/store-engine.md says when each one is returned.
// A missing object is the store's kStorageNotFound (0x80040309) from
// store/interfaces.h.
#pragma once

#include "store/com.h"

namespace vddb::engine {

// Opening a store.
inline constexpr HRESULT kStoreMissing = static_cast<HRESULT>(0x80040A01U);
inline constexpr HRESULT kNotAStore = static_cast<HRESULT>(0x80040A02U);
inline constexpr HRESULT kStoreDamaged = static_cast<HRESULT>(0x80040A03U);
inline constexpr HRESULT kStoreLocked = static_cast<HRESULT>(0x80040A04U);
inline constexpr HRESULT kStoreVersion = static_cast<HRESULT>(0x80040A05U);
inline constexpr HRESULT kStoreReadOnly = static_cast<HRESULT>(0x80040A06U);
inline constexpr HRESULT kStoreExists = static_cast<HRESULT>(0x80040A07U);
// Any other failure of the file or of SQLite (disk full, I/O error).
inline constexpr HRESULT kStorageIo = static_cast<HRESULT>(0x80040A08U);

// Calls on an open store.
inline constexpr HRESULT kNoTransaction = static_cast<HRESULT>(0x80040A10U);
inline constexpr HRESULT kStoreClosed = static_cast<HRESULT>(0x80040A11U);
inline constexpr HRESULT kBadAttribute = static_cast<HRESULT>(0x80040A12U);
inline constexpr HRESULT kTypeMismatch = static_cast<HRESULT>(0x80040A13U);
inline constexpr HRESULT kUnknownClass = static_cast<HRESULT>(0x80040A14U);
inline constexpr HRESULT kNoValue = static_cast<HRESULT>(0x80040A15U);
inline constexpr HRESULT kForeignObject = static_cast<HRESULT>(0x80040A16U);

// Loading a JSON store.
inline constexpr HRESULT kBadJson = static_cast<HRESULT>(0x80040A20U);

// The journal: no entry with that number, and an undo that a later change
// stands in the way of.
inline constexpr HRESULT kJournalEntryMissing = static_cast<HRESULT>(0x80040A30U);
inline constexpr HRESULT kUndoConflict = static_cast<HRESULT>(0x80040A31U);

// A short English name for a result, for messages ("store locked").
const char* resultName(HRESULT result) noexcept;

}  // namespace vddb::engine
