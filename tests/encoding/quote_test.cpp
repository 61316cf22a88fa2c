// Input quoted for a message: one line, of sane length, whatever it holds.
#include "encoding/quote.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace vddb::encoding {
namespace {

struct QuoteCase {
  const char* name;
  std::string text;
  std::string shown;
};

TEST(Quote, ShowsTextOnOneLineEscapedAndCutShort) {
  const std::string forty(40, 'k');
  const QuoteCase cases[] = {
      {"plain", "0x5", "\"0x5\""},
      {"JSON escapes", "a\"b\\c\nd\re\tf\bg\fh", R"("a\"b\\c\nd\re\tf\bg\fh")"},
      {"other controls", std::string("\0\x1B\x7F", 3), R"("\u0000\u001B\u007F")"},
      {"C1 controls", "\xC2\x85\xC2\x9B", R"("\u0085\u009B")"},
      {"other characters kept", "\xC2\xA0\xC3\xA9\xF0\x9F\x98\x80",
       "\"\xC2\xA0\xC3\xA9\xF0\x9F\x98\x80\""},
      {"not UTF-8", "a\xFF\xC3", R"("a\xFF\xC3")"},
      {"forty bytes whole", forty, "\"" + forty + "\""},
      {"longer cut", forty + "k\n", "\"" + forty + "\"... (42 bytes)"},
      {"cut between characters", std::string(39, 'k') + "\xC3\xA9",
       "\"" + std::string(39, 'k') + "\"... (41 bytes)"},
  };
  for (const QuoteCase& c : cases) {
    EXPECT_EQ(quoteForMessage(c.text), c.shown) << c.name;
  }
  const std::string huge(50'000'000, '\n');
  EXPECT_EQ(quoteForMessage(huge, 2), "\"\\n\\n\"... (50000000 bytes)");
}

// The JSON library is the oracle: every byte of ASCII, and characters of
// each UTF-8 length.
TEST(Quote, JsonStringsAreWrittenAsTheJsonLibraryWritesThem) {
  std::vector<std::string> texts = {"", "plain", "\xC2\xA0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"};
  for (int c = 0; c < 0x80; ++c) texts.push_back(std::string(1, static_cast<char>(c)) + "k");
  for (const std::string& text : texts) {
    std::string written = "=";
    appendJsonString(text, written);
    EXPECT_EQ(written, "=" + nlohmann::json(text).dump()) << testing::PrintToString(text);
  }
}

}  // namespace
}  // namespace vddb::encoding
