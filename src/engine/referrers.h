// IStorageReferrers: an extension of this engine's storage root, not one of
// the store's interfaces. It answers "which objects refer to this one
// through that single reference" from an index instead of a scan of every
// object of the class. A storage that does not offer it (another engine, a
// decorator) answers QueryInterface with E_NOINTERFACE; callers then read
// the objects of the class one by one.
#pragma once

#include <cstdint>

#include "store/guid.h"
#include "store/interfaces.h"

struct IStorageReferrers : IUnknown {
  // Enumerates, ascending in registry-form text as a query does, the objects
  // of `classGuid` (flag 1: or of a derived class; flag 0: of that class
  // only) whose single reference `attributeId` refers to `target`. A target
  // that does not exist has none: references to it dangle and read as empty.
  // Fails with kUnknownClass for a class not in the catalog, kBadAttribute
  // when its chain does not declare the attribute, kTypeMismatch when the
  // attribute is not a single reference, E_INVALIDARG for another flag.
  virtual HRESULT VDDB_STDCALL findReferrers(const GUID& classGuid, std::uint32_t flag,
                                             std::uint32_t attributeId, const GUID& target,
                                             IGuidEnumerator** enumerator) = 0;

 protected:
  ~IStorageReferrers() = default;
};

inline constexpr IID IID_IStorageReferrers =
    vddb::guidLiteral("3ac77a0e-e2ab-4813-9df7-2d56a4a0172e");
