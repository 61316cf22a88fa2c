#include "repair/text/case_insensitive_compare.h"

#include "repair/text/case_folding_tables.h"

namespace {

namespace folding = vddb::text::folding;
using vddb::text::kMaxFoldedUnits;

// Copies one table entry: its first unit always, further units up to the
// zero padding.
template <std::size_t Count, std::size_t Width>
inline std::size_t copyEntry(const char16_t (&table)[Count][Width], unsigned index,
                             char16_t* out) noexcept {
  static_assert(Width >= 1 && Width <= kMaxFoldedUnits);
  const char16_t* entry = table[index];
  out[0] = entry[0];
  std::size_t n = 1;
  for (; n < Width && entry[n] != 0; ++n) out[n] = entry[n];
  return n;
}

inline std::size_t identity(char16_t unit, char16_t* out) noexcept {
  out[0] = unit;
  return 1;
}

// Within `first`..`last`: one unsigned comparison.
inline bool within(char16_t unit, char16_t first, char16_t last) noexcept {
  return static_cast<unsigned>(unit - first) <= static_cast<unsigned>(last - first);
}

// The dispatch below relies on where the ranges lie; regenerated tables
// that moved a range would have to move its case too.
static_assert(folding::kLatinFirst >> 8 == 0x00 && folding::kLatinLast >> 8 == 0x02);
static_assert(folding::kLatinExtendedAdditionalFirst >> 8 == 0x1E &&
              folding::kLatinExtendedAdditionalLast >> 8 == 0x1E);
static_assert(folding::kRomanNumeralsFirst >> 8 == 0x21 &&
              folding::kRomanNumeralsLast >> 8 == 0x21);
static_assert(folding::kCircledLatinFirst >> 8 == 0x24 && folding::kCircledLatinLast >> 8 == 0x24);
static_assert(folding::kLigaturesFirst >> 8 == 0xFB && folding::kLigaturesLast >> 8 == 0xFB);
static_assert(folding::kFullwidthLatinFirst >> 8 == 0xFF &&
              folding::kFullwidthLatinLast >> 8 == 0xFF);

// The high byte names the one range a unit can lie in (the six ranges never
// share a high byte with another), so folding a unit takes one range test
// and one table lookup.
inline std::size_t fold(char16_t unit, char16_t* out) noexcept {
  using namespace folding;
  switch (unit >> 8) {
    case 0x00:
    case 0x01:
    case 0x02:
      if (within(unit, kLatinFirst, kLatinLast)) {
        return copyEntry(kLatin, unit - kLatinFirst, out);
      }
      break;
    case 0x1E:
      if (within(unit, kLatinExtendedAdditionalFirst, kLatinExtendedAdditionalLast)) {
        return copyEntry(kLatinExtendedAdditional, unit - kLatinExtendedAdditionalFirst, out);
      }
      break;
    case 0x21:
      if (within(unit, kRomanNumeralsFirst, kRomanNumeralsLast)) {
        return copyEntry(kRomanNumerals, unit - kRomanNumeralsFirst, out);
      }
      break;
    case 0x24:
      if (within(unit, kCircledLatinFirst, kCircledLatinLast)) {
        return copyEntry(kCircledLatin, unit - kCircledLatinFirst, out);
      }
      break;
    case 0xFB:
      if (within(unit, kLigaturesFirst, kLigaturesLast)) {
        return copyEntry(kLigatures, unit - kLigaturesFirst, out);
      }
      break;
    case 0xFF:
      if (within(unit, kFullwidthLatinFirst, kFullwidthLatinLast)) {
        return copyEntry(kFullwidthLatin, unit - kFullwidthLatinFirst, out);
      }
      break;
    default:
      break;
  }
  return identity(unit, out);
}

// Whether the n units of `folded` stand, unchanged, at `at` (within `end`).
inline bool standsAt(const char16_t* folded, std::size_t n, const char16_t* at,
                     const char16_t* end) noexcept {
  if (static_cast<std::size_t>(end - at) < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (folded[i] != at[i]) return false;
  }
  return true;
}

// Lexicographic comparison of the folded forms of the two rests, folding one
// code unit at a time.
int compareFoldedRest(const char16_t* a, const char16_t* aEnd, const char16_t* b,
                      const char16_t* bEnd) noexcept {
  char16_t aUnits[kMaxFoldedUnits];
  char16_t bUnits[kMaxFoldedUnits];
  std::size_t aAt = 0, aCount = 0, bAt = 0, bCount = 0;
  for (;;) {
    if (aAt == aCount) {
      if (a == aEnd) break;
      aCount = fold(*a++, aUnits);
      aAt = 0;
    }
    if (bAt == bCount) {
      if (b == bEnd) return 1;  // A still has folded units
      bCount = fold(*b++, bUnits);
      bAt = 0;
    }
    if (aUnits[aAt] != bUnits[bAt]) return aUnits[aAt] < bUnits[bAt] ? -1 : 1;
    ++aAt;
    ++bAt;
  }
  return (bAt == bCount && b == bEnd) ? 0 : -1;
}

}  // namespace

namespace vddb::text {

std::size_t foldCodeUnit(char16_t unit, char16_t out[kMaxFoldedUnits]) noexcept {
  return fold(unit, out);
}

}  // namespace vddb::text

int tLocaleConsideringWideStringComparitor::compare(const char16_t* a, const char16_t* aEnd,
                                                    const char16_t* b,
                                                    const char16_t* bEnd) noexcept {
  // Direct walk. Because every unit a folding produces folds to itself, a
  // folding found verbatim on the other side consumes equal folded forms on
  // both sides, and the walk may go on without folding that side.
  char16_t folded[kMaxFoldedUnits];
  while (a != aEnd && b != bEnd) {
    if (*a == *b) {
      ++a;
      ++b;
      continue;
    }
    const bool aIsSmaller = *a < *b;
    const char16_t*& s = aIsSmaller ? a : b;
    const char16_t* const sEnd = aIsSmaller ? aEnd : bEnd;
    const char16_t*& l = aIsSmaller ? b : a;
    const char16_t* const lEnd = aIsSmaller ? bEnd : aEnd;

    std::size_t n = fold(*s, folded);
    if (n != 1 || folded[0] != *s) {
      if (!standsAt(folded, n, l, lEnd)) return compareFoldedRest(a, aEnd, b, bEnd);
      ++s;
      l += n;
      continue;
    }
    n = fold(*l, folded);
    if (!standsAt(folded, n, s, sEnd)) return compareFoldedRest(a, aEnd, b, bEnd);
    ++l;
    s += n;
  }
  if (a != aEnd) return 1;
  return b != bEnd ? -1 : 0;
}
