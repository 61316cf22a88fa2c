// Case-insensitive ordering of identifier texts.
//
// Two texts compare as their folded forms do, code unit by code unit as
// unsigned 16-bit numbers, a proper prefix first. The folded form of a text is
// the concatenation of the foldings of its code units; each unit folds on its
// own (surrogate halves fold to themselves) by the fixed tables of
// case_folding_tables.h: full Unicode case folding within six ranges, every
// other unit unchanged. No locale or other setting is consulted.
//
// The comparison is made at every step of a search in an ordered set, so it
// never allocates and never folds a whole text: it passes over identical
// units, matches a folding against the other side's raw units where it can,
// and folds unit by unit into two three-unit buffers only from the first
// position that needs it.
#pragma once

#include <cstddef>

#include "store/wide_string.h"

class tLocaleConsideringWideStringComparitor {
 public:
  // -1 when [aBegin, aEnd) sorts before [bBegin, bEnd), 0 when equal, +1 after.
  static int compare(const char16_t* aBegin, const char16_t* aEnd, const char16_t* bBegin,
                     const char16_t* bEnd) noexcept;

  // Strict ordering for ordered containers of case-insensitive texts.
  bool operator()(const tCaseInsensitiveBasicString& a,
                  const tCaseInsensitiveBasicString& b) const noexcept {
    return compare(a.begin(), a.end(), b.begin(), b.end()) < 0;
  }
};

namespace vddb::text {

// Longest folding of one code unit.
inline constexpr std::size_t kMaxFoldedUnits = 3;

// Writes the folding of `unit` to `out` and returns its length (1 to 3).
std::size_t foldCodeUnit(char16_t unit, char16_t out[kMaxFoldedUnits]) noexcept;

}  // namespace vddb::text
