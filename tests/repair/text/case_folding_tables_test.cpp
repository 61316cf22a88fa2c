// The generated folding tables: their shape, their counts, their content
// against ICU, and the single-unit lookup that the comparison is built on.
#include "repair/text/case_folding_tables.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "folding_oracle.h"
#include "repair/text/case_insensitive_compare.h"

namespace {

namespace folding = vddb::text::folding;
using vddb::test::describe;
using vddb::test::icuFold;
using vddb::test::inFoldingRanges;

struct TableView {
  char16_t first;
  char16_t last;
  std::size_t count;
  std::size_t width;
  const char16_t* entries;  // count * width units

  std::u16string entry(std::size_t index) const {
    std::u16string units(entries + index * width, entries + (index + 1) * width);
    while (!units.empty() && units.back() == 0) units.pop_back();
    return units;
  }
};

template <std::size_t Count, std::size_t Width>
TableView view(char16_t first, char16_t last, const char16_t (&table)[Count][Width]) {
  return {first, last, Count, Width, &table[0][0]};
}

std::vector<TableView> allTables() {
  using namespace folding;
  return {
      view(kLatinFirst, kLatinLast, kLatin),
      view(kLatinExtendedAdditionalFirst, kLatinExtendedAdditionalLast, kLatinExtendedAdditional),
      view(kRomanNumeralsFirst, kRomanNumeralsLast, kRomanNumerals),
      view(kCircledLatinFirst, kCircledLatinLast, kCircledLatin),
      view(kLigaturesFirst, kLigaturesLast, kLigatures),
      view(kFullwidthLatinFirst, kFullwidthLatinLast, kFullwidthLatin)};
}

std::u16string foldOne(char16_t unit) {
  char16_t out[vddb::text::kMaxFoldedUnits] = {};
  const std::size_t n = vddb::text::foldCodeUnit(unit, out);
  return std::u16string(out, out + n);
}

TEST(CaseFoldingTables, HaveTheSixRangesWithTheirWidths) {
  struct Expected {
    char16_t first, last;
    std::size_t count, width;
  };
  const Expected expected[] = {{0x0041, 0x0232, 498, 2}, {0x1E00, 0x1E9B, 156, 2},
                               {0x2160, 0x216F, 16, 1},  {0x24B6, 0x24CF, 26, 1},
                               {0xFB00, 0xFB06, 7, 3},   {0xFF21, 0xFF3A, 26, 1}};
  const std::vector<TableView> tables = allTables();
  ASSERT_EQ(tables.size(), std::size(expected));
  for (std::size_t i = 0; i < tables.size(); ++i) {
    SCOPED_TRACE(describe(std::u16string(1, expected[i].first)));
    EXPECT_EQ(tables[i].first, expected[i].first);
    EXPECT_EQ(tables[i].last, expected[i].last);
    EXPECT_EQ(tables[i].count, expected[i].count);
    EXPECT_EQ(tables[i].width, expected[i].width);
    EXPECT_EQ(tables[i].count, std::size_t{tables[i].last} - tables[i].first + 1u);
  }
}

TEST(CaseFoldingTables, Count729EntriesOf374Changed) {
  std::size_t entries = 0, changed = 0;
  for (const TableView& table : allTables()) {
    for (std::size_t i = 0; i < table.count; ++i) {
      ++entries;
      const char16_t unit = static_cast<char16_t>(table.first + i);
      if (table.entry(i) != std::u16string(1, unit)) ++changed;
    }
  }
  EXPECT_EQ(entries, 729u);
  EXPECT_EQ(changed, 374u);
  EXPECT_EQ(folding::kEntryCount, 729u);
  EXPECT_EQ(folding::kChangedEntryCount, 374u);
}

TEST(CaseFoldingTables, HaveExactlyTheSixteenMultiUnitFoldings) {
  const std::map<char16_t, std::u16string> expected = {
      {0x00DF, u"\u0073\u0073"}, {0x0130, u"\u0069\u0307"},
      {0x0149, u"\u02BC\u006E"}, {0x01F0, u"\u006A\u030C"},
      {0x1E96, u"\u0068\u0331"}, {0x1E97, u"\u0074\u0308"},
      {0x1E98, u"\u0077\u030A"}, {0x1E99, u"\u0079\u030A"},
      {0x1E9A, u"\u0061\u02BE"}, {0xFB00, u"ff"},
      {0xFB01, u"fi"},           {0xFB02, u"fl"},
      {0xFB03, u"ffi"},          {0xFB04, u"ffl"},
      {0xFB05, u"st"},           {0xFB06, u"st"}};
  std::map<char16_t, std::u16string> found;
  for (const TableView& table : allTables()) {
    for (std::size_t i = 0; i < table.count; ++i) {
      const std::u16string entry = table.entry(i);
      if (entry.size() > 1) found[static_cast<char16_t>(table.first + i)] = entry;
    }
  }
  EXPECT_EQ(found, expected);
}

TEST(CaseFoldingTables, PadEntriesOnlyAtTheirEndAndNeverStartWithZero) {
  for (const TableView& table : allTables()) {
    for (std::size_t i = 0; i < table.count; ++i) {
      const char16_t* entry = table.entries + i * table.width;
      SCOPED_TRACE(describe(std::u16string(1, static_cast<char16_t>(table.first + i))));
      EXPECT_NE(entry[0], 0);
      bool padding = false;
      for (std::size_t k = 0; k < table.width; ++k) {
        if (entry[k] == 0)
          padding = true;
        else
          EXPECT_FALSE(padding) << "unit after zero padding";
      }
    }
  }
}

TEST(CaseFoldingTables, EveryEntryIsIcusFullFoldingOfItsCodePoint) {
  for (const TableView& table : allTables()) {
    for (std::size_t i = 0; i < table.count; ++i) {
      const char16_t unit = static_cast<char16_t>(table.first + i);
      EXPECT_EQ(describe(table.entry(i)), describe(icuFold(unit))) << describe({&unit, 1});
    }
  }
}

TEST(CaseFoldingTables, NotableSingleUnitFoldings) {
  struct Row {
    char16_t unit;
    char16_t folded;
  };
  const Row rows[] = {{0x00B5, 0x03BC}, {0x017F, 0x0073}, {0x0049, 0x0069},
                      {0x1E9B, 0x1E61}, {0x2160, 0x2170}, {0x24B6, 0x24D0},
                      {0xFF21, 0xFF41}, {0x0232, 0x0233}, {0x0130 + 1, 0x0131}};
  for (const Row& row : rows) {
    EXPECT_EQ(describe(foldOne(row.unit)), describe({&row.folded, 1})) << describe({&row.unit, 1});
  }
}

// The lookup: every one of the 65536 code units, surrogates included, folds
// as ICU folds it inside the ranges and to itself outside them.
TEST(FoldCodeUnit, MatchesTheOracleForEveryCodeUnit) {
  std::size_t mismatches = 0;
  for (unsigned value = 0; value <= 0xFFFF; ++value) {
    const char16_t unit = static_cast<char16_t>(value);
    const std::u16string expected = inFoldingRanges(unit) ? icuFold(unit) : std::u16string(1, unit);
    if (foldOne(unit) != expected && ++mismatches <= 10) {
      ADD_FAILURE() << describe({&unit, 1}) << " folds to " << describe(foldOne(unit))
                    << ", expected " << describe(expected);
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(FoldCodeUnit, IsStable) {
  for (const TableView& table : allTables()) {
    for (std::size_t i = 0; i < table.count; ++i) {
      for (char16_t produced : table.entry(i)) {
        EXPECT_EQ(describe(foldOne(produced)), describe({&produced, 1}))
            << "produced by " << describe(std::u16string(1, char16_t(table.first + i)));
      }
    }
  }
}

}  // namespace
