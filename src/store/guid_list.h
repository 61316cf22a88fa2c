// A growable list of GUIDs (see tGrowableArray for growth and the sticky
// allocation-failed flag).
#pragma once

#include "store/com.h"
#include "store/growable_array.h"

class GuidList : public tGrowableArray<GUID> {
 public:
  // Linear search, all 16 bytes compared.
  bool contains(const GUID& guid) const noexcept {
    for (const GUID& g : *this) {
      if (g == guid) return true;
    }
    return false;
  }
};
