// The independent oracle of the case-insensitive comparison: ICU's full case
// folding (u_strFoldCase, U_FOLD_CASE_DEFAULT) of each code unit inside the
// six folding ranges, every other unit unchanged, and the plain lexicographic
// order of the folded forms.
#pragma once

#include <unicode/stringoptions.h>
#include <unicode/ustring.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace vddb::test {

struct FoldingRange {
  char16_t first;
  char16_t last;
};

// The ranges as the comparison documents them, written out here rather than
// taken from the generated tables.
inline constexpr FoldingRange kFoldingRanges[] = {
    {0x0041, 0x0232}, {0x1E00, 0x1E9B}, {0x2160, 0x216F},
    {0x24B6, 0x24CF}, {0xFB00, 0xFB06}, {0xFF21, 0xFF3A},
};

inline bool inFoldingRanges(char16_t unit) {
  for (const FoldingRange& range : kFoldingRanges) {
    if (unit >= range.first && unit <= range.last) return true;
  }
  return false;
}

// ICU's full case folding of one code unit taken as a text of its own.
inline std::u16string icuFold(char16_t unit) {
  UChar source[1] = {unit};
  UChar folded[8] = {};
  UErrorCode error = U_ZERO_ERROR;
  const int32_t length = u_strFoldCase(folded, 8, source, 1, U_FOLD_CASE_DEFAULT, &error);
  if (U_FAILURE(error)) return std::u16string(1, u'\0');  // never a valid folding
  return std::u16string(folded, folded + length);
}

inline std::u16string oracleFold(std::u16string_view text) {
  std::u16string folded;
  for (char16_t unit : text) {
    if (inFoldingRanges(unit)) {
      folded += icuFold(unit);
    } else {
      folded += unit;
    }
  }
  return folded;
}

inline int sign(int value) { return (value > 0) - (value < 0); }

// std::u16string compares char16_t, an unsigned type: code unit order.
inline int oracleCompare(std::u16string_view a, std::u16string_view b) {
  return sign(oracleFold(a).compare(oracleFold(b)));
}

// "U+0041 U+00DF" for failure messages.
inline std::string describe(std::u16string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = text.empty() ? "(empty)" : "";
  for (char16_t unit : text) {
    if (!out.empty()) out += ' ';
    out += "U+";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
  }
  return out;
}

}  // namespace vddb::test
