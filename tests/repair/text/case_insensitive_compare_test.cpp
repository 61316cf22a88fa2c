// The case-insensitive comparison: the documented pairs, and agreement with
// the lexicographic order of ICU-folded forms over every code unit of the
// folding ranges and over many random texts.
#include "repair/text/case_insensitive_compare.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "folding_oracle.h"
#include "platform/memory.h"

namespace {

using vddb::test::describe;
using vddb::test::icuFold;
using vddb::test::kFoldingRanges;
using vddb::test::oracleCompare;
using vddb::test::oracleFold;

int compareTexts(std::u16string_view a, std::u16string_view b) {
  return tLocaleConsideringWideStringComparitor::compare(a.data(), a.data() + a.size(), b.data(),
                                                         b.data() + b.size());
}

struct PairRow {
  std::u16string a;
  std::u16string b;
  int expected;
};

void PrintTo(const PairRow& row, std::ostream* out) {
  *out << describe(row.a) << " against " << describe(row.b);
}

class DocumentedPairs : public testing::TestWithParam<PairRow> {};

TEST_P(DocumentedPairs, CompareAsDocumentedInBothDirections) {
  const PairRow& row = GetParam();
  EXPECT_EQ(compareTexts(row.a, row.b), row.expected);
  EXPECT_EQ(compareTexts(row.b, row.a), -row.expected);
  // The table itself agrees with the oracle.
  EXPECT_EQ(oracleCompare(row.a, row.b), row.expected);
}

INSTANTIATE_TEST_SUITE_P(
    CaseInsensitiveCompare, DocumentedPairs,
    testing::Values(PairRow{u"PXI1Slot4/Dev3", u"pxi1slot4/dev3", 0},
                    PairRow{u"ABCDEFGHIJKLMNOPQRSTUVWXYZ", u"abcdefghijklmnopqrstuvwxyz", 0},
                    // Compared as U+0061 and U+0062, although U+0042 is the smaller unit.
                    PairRow{u"\u0061", u"\u0042", -1}, PairRow{u"\u00DF", u"ss", 0},
                    PairRow{u"\u00DF", u"SS", 0}, PairRow{u"\u00DF", u"sS", 0},
                    PairRow{u"s", u"\u00DF", -1}, PairRow{u"\u00DF", u"s", 1},
                    PairRow{u"f", u"\uFB00", -1}, PairRow{u"ff", u"\uFB03", -1},
                    PairRow{u"\uFB03", u"FFI", 0}, PairRow{u"\uFB03", u"f\uFB01", 0},
                    PairRow{u"\uFB00i", u"\uFB03", 0}, PairRow{u"\u0130", u"\u0069\u0307", 0},
                    PairRow{u"\u0130", u"\u0069", 1}, PairRow{u"\u0130", u"I\u0307", 0},
                    PairRow{u"\u0049", u"\u0131", -1},
                    // Greek and the Kelvin sign lie outside the ranges.
                    PairRow{u"\u0391", u"\u03B1", -1}, PairRow{u"\u212A", u"\u006B", 1},
                    PairRow{u"\u00B5", u"\u03BC", 0}, PairRow{u"\u017F", u"S", 0},
                    PairRow{u"\u1E9B", u"\u1E60", 0}, PairRow{u"\u1E9E", u"ss", 1},
                    PairRow{u"\u2160", u"\u2170", 0}, PairRow{u"\u216F", u"\u217F", 0},
                    PairRow{u"\u24B6", u"\u24D0", 0}, PairRow{u"\u24CF", u"\u24E9", 0},
                    PairRow{u"\uFF21", u"\uFF41", 0}, PairRow{u"\uFF3A", u"\uFF5A", 0},
                    PairRow{u"\u1EA0", u"\u1EA1", -1}, PairRow{u"\u0149", u"\u02BCN", 0},
                    PairRow{u"\u1E9A", u"A\u02BE", 0}, PairRow{u"", u"", 0}, PairRow{u"", u"a", -1},
                    PairRow{u"", u"\u00DF", -1}, PairRow{u"dev", u"DEV1", -1},
                    PairRow{u"Dev/1", u"dev/10", -1}, PairRow{u"Dev/2", u"dev/10", 1},
                    // Surrogates are never folded and sort by their unit value.
                    PairRow{u"\xD83D\xDE00", u"\xD83D\xDE00", 0}, PairRow{u"\xD800", u"\uFF21", -1},
                    PairRow{u"\xDBFF", u"\xDC00", -1}));

TEST(CaseInsensitiveCompare, ReturnsOnlyMinusOneZeroOrOne) {
  EXPECT_EQ(compareTexts(u"a", u"z"), -1);
  EXPECT_EQ(compareTexts(u"\uFFFF", u"\u0001"), 1);
  EXPECT_EQ(compareTexts(u"\u00DF", u"\u00DF\u00DF"), -1);
}

TEST(CaseInsensitiveCompare, AllocatesNothing) {
  const std::u16string a = u"PXI1Slot4/Dev3/\u00DF\uFB03/4294967295";
  const std::u16string b = u"pxi1slot4/dev3/SSFFI/4294967296";
  const std::uint64_t before = vddb::platform::allocationCount();
  EXPECT_EQ(compareTexts(a, b), -1);
  EXPECT_EQ(vddb::platform::allocationCount(), before);
}

// Every code unit of the ranges, their foldings and the units around the
// ranges' bounds, as one-unit texts against each other.
TEST(CaseInsensitiveCompare, AgreesWithTheOracleOnEveryPairOfSingleUnits) {
  std::set<char16_t> units;
  for (const auto& range : kFoldingRanges) {
    units.insert(static_cast<char16_t>(range.first - 1));
    units.insert(static_cast<char16_t>(range.last + 1));
    for (unsigned u = range.first; u <= range.last; ++u) {
      units.insert(static_cast<char16_t>(u));
      for (char16_t produced : icuFold(static_cast<char16_t>(u))) units.insert(produced);
    }
  }
  std::vector<std::u16string> texts;
  std::vector<std::u16string> folded;
  for (char16_t u : units) {
    texts.emplace_back(1, u);
    folded.push_back(oracleFold(texts.back()));
  }
  std::size_t failures = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    // A unit equals its own folding written out.
    if (compareTexts(texts[i], folded[i]) != 0 && ++failures <= 10) {
      ADD_FAILURE() << describe(texts[i]) << " against its folding " << describe(folded[i]);
    }
    for (std::size_t j = 0; j < texts.size(); ++j) {
      const int expected = vddb::test::sign(folded[i].compare(folded[j]));
      if (compareTexts(texts[i], texts[j]) != expected && ++failures <= 10) {
        ADD_FAILURE() << describe(texts[i]) << " against " << describe(texts[j]) << ": expected "
                      << expected;
      }
    }
  }
  EXPECT_EQ(failures, 0u);
  EXPECT_GT(texts.size(), 729u);
}

// Random texts mixing folded and unfolded letters, the units that multi-unit
// foldings produce, surrogates and letters outside the ranges.
class RandomTexts {
 public:
  explicit RandomTexts(std::uint32_t seed) : _random(seed) {
    const std::u16string pool =
        u"AaBbIiKkSsTtFfLlZz09/-_ \u00DF\u0130\u0131\u0149\u01F0\u017F\u00B5\u03BC\u1E9E"
        u"\u1E96\u1E97\u1E98\u1E99\u1E9A\u1E9B\u1E60\u1E61\u1EA0\u1EA1\uFB00\uFB01\uFB02"
        u"\uFB03\uFB04\uFB05\uFB06\uFF21\uFF41\uFF3A\u2160\u2170\u216F\u24B6\u24D0\u0391"
        u"\u03B1\u212A\u0307\u030C\u0331\u0308\u030A\u02BC\u02BE\u0232\u0233\u1DFF\u1E00"
        u"\u1E01\u0040\u005B\u00C0\u00E0\u0178\u00FF\xD83D\xDE00\xDBFF\xDC00\uFFFF";
    _pool.assign(pool.begin(), pool.end());
    // Which units fold to a given folded text, to spell equal texts differently.
    for (const auto& range : kFoldingRanges) {
      for (unsigned u = range.first; u <= range.last; ++u) {
        const std::u16string f = icuFold(static_cast<char16_t>(u));
        if (f != std::u16string(1, static_cast<char16_t>(u))) {
          _spellings[f].push_back(static_cast<char16_t>(u));
        }
      }
    }
  }

  std::u16string text(std::size_t maxLength) {
    std::u16string out;
    const std::size_t length = _random() % (maxLength + 1);
    while (out.size() < length) {
      if (_random() % 4 == 0) {  // any unit of a range
        const auto& range = kFoldingRanges[_random() % std::size(kFoldingRanges)];
        out += static_cast<char16_t>(range.first + _random() % (range.last - range.first + 1));
      } else {
        out += _pool[_random() % _pool.size()];
      }
    }
    return out;
  }

  // A text with the same folded form, spelled with other units where the
  // folding allows (a ligature for "ffi", U+00DF for "ss", a capital for a
  // small letter, ...).
  std::u16string respelled(const std::u16string& original) {
    const std::u16string folded = oracleFold(original);
    std::u16string out;
    for (std::size_t i = 0; i < folded.size();) {
      std::vector<std::pair<std::size_t, char16_t>> choices;
      for (std::size_t n = 1; n <= 3 && i + n <= folded.size(); ++n) {
        const auto it = _spellings.find(folded.substr(i, n));
        if (it == _spellings.end()) continue;
        for (char16_t unit : it->second) choices.emplace_back(n, unit);
      }
      if (!choices.empty() && _random() % 3 != 0) {
        const auto& [n, unit] = choices[_random() % choices.size()];
        out += unit;
        i += n;
      } else {
        out += folded[i++];
      }
    }
    return out;
  }

  // A small change: one unit replaced, dropped or added.
  std::u16string nearMiss(std::u16string text) {
    const char16_t unit = _pool[_random() % _pool.size()];
    switch (_random() % 3) {
      case 0:
        if (!text.empty()) {
          text[_random() % text.size()] = unit;
          break;
        }
        [[fallthrough]];
      case 1:
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(_random() % (text.size() + 1)),
                    unit);
        break;
      default:
        if (!text.empty()) text.erase(_random() % text.size(), 1);
    }
    return text;
  }

  std::uint32_t next() { return _random(); }

 private:
  std::mt19937 _random;
  std::vector<char16_t> _pool;
  std::map<std::u16string, std::vector<char16_t>> _spellings;
};

TEST(CaseInsensitiveCompare, AgreesWithTheOracleOnRandomTexts) {
  RandomTexts random(20240611);
  std::size_t failures = 0, equal = 0, phaseOneMatches = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::u16string a = random.text(8);
    std::u16string b;
    switch (random.next() % 3) {
      case 0:
        b = random.text(8);
        break;
      case 1:
        b = random.respelled(a);
        break;
      default:
        b = random.nearMiss(random.respelled(a));
        break;
    }
    const int expected = oracleCompare(a, b);
    if (expected == 0) {
      ++equal;
      if (a != b) ++phaseOneMatches;
    }
    if (compareTexts(a, b) != expected && ++failures <= 10) {
      ADD_FAILURE() << describe(a) << " against " << describe(b) << ": expected " << expected;
    }
  }
  EXPECT_EQ(failures, 0u);
  // The mix must really exercise equal texts spelled differently.
  EXPECT_GT(phaseOneMatches, 30000u);
  EXPECT_LT(equal, 150000u);
}

TEST(CaseInsensitiveCompare, IsAStrictWeakOrdering) {
  RandomTexts random(7);
  std::vector<std::u16string> texts;
  for (int i = 0; i < 120; ++i) {
    texts.push_back(random.text(5));
    texts.push_back(random.respelled(texts.back()));
    texts.push_back(random.nearMiss(texts.back()));
  }
  const std::size_t n = texts.size();
  std::vector<int> order(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) order[i * n + j] = compareTexts(texts[i], texts[j]);
  }
  std::size_t failures = 0;
  for (std::size_t i = 0; i < n; ++i) {
    failures += order[i * n + i] != 0;  // irreflexive
    for (std::size_t j = 0; j < n; ++j) {
      failures += order[i * n + j] != -order[j * n + i];  // asymmetric
      for (std::size_t k = 0; k < n; ++k) {
        const int ij = order[i * n + j], jk = order[j * n + k], ik = order[i * n + k];
        // < is transitive, and so is equivalence.
        if (ij < 0 && jk < 0 && ik >= 0) ++failures;
        if (ij == 0 && jk == 0 && ik != 0) ++failures;
        if (ij == 0 && jk < 0 && ik >= 0) ++failures;
      }
    }
  }
  EXPECT_EQ(failures, 0u);

  // Sorting with the comparison gives the oracle's order.
  std::vector<std::u16string> sorted = texts;
  std::sort(sorted.begin(), sorted.end(),
            [](const auto& a, const auto& b) { return compareTexts(a, b) < 0; });
  for (std::size_t i = 1; i < sorted.size(); ++i) {
    EXPECT_LE(oracleCompare(sorted[i - 1], sorted[i]), 0)
        << describe(sorted[i - 1]) << " before " << describe(sorted[i]);
  }
}

TEST(CaseInsensitiveBasicString, OrdersAndComparesByTheComparison) {
  const tCaseInsensitiveBasicString upper(u"PXI1SLOT4/DEV3/\u00DF");
  const tCaseInsensitiveBasicString lower(u"pxi1slot4/dev3/ss");
  const tCaseInsensitiveBasicString other(u"pxi1slot4/dev3/st");
  EXPECT_TRUE(upper == lower);
  EXPECT_FALSE(upper < lower);
  EXPECT_FALSE(lower < upper);
  EXPECT_TRUE(lower < other);
  EXPECT_EQ(upper.compare(other), -1);

  // As the comparator of an ordered set: spellings of one key collapse.
  std::set<tCaseInsensitiveBasicString, tLocaleConsideringWideStringComparitor> keys;
  EXPECT_TRUE(keys.insert(upper).second);
  EXPECT_FALSE(keys.insert(lower).second);
  EXPECT_TRUE(keys.insert(other).second);
  EXPECT_EQ(keys.size(), 2u);
}

}  // namespace
