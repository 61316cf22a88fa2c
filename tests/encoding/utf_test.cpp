// UTF-8 <-> UTF-16: the store's texts, JSON and .reg files, valid or not.
#include "encoding/utf.h"

#include <gtest/gtest.h>

#include <string>

namespace vddb::encoding {
namespace {

std::string littleEndian(std::u16string_view text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

struct ToUtf8Case {
  const char* name;
  std::u16string utf16;
  std::string utf8;
};

TEST(Utf, Utf16BecomesUtf8WithLoneSurrogatesReplaced) {
  const ToUtf8Case cases[] = {
      {"ascii and zero", std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
      {"two and three bytes", u"\u00e9\u20ac", "\xC3\xA9\xE2\x82\xAC"},
      {"pair", u"\U0001F600", "\xF0\x9F\x98\x80"},
      {"high at the end", u"a\xD83D", "a\xEF\xBF\xBD"},
      {"high before no low", u"\xD83Dx", "\xEF\xBF\xBDx"},
      {"low alone", u"\xDE00", "\xEF\xBF\xBD"},
      {"low then high", u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const ToUtf8Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "kept:";
    appendUtf8(c.utf16, out);
    EXPECT_EQ(out, "kept:" + c.utf8);
    out.clear();
    appendUtf8FromUtf16Le(littleEndian(c.utf16) + "\x41", out);  // an odd last byte is dropped
    EXPECT_EQ(out, c.utf8);
  }
}

TEST(Utf, Utf8BecomesUtf16WithInvalidSequencesReplaced) {
  const ToUtf8Case cases[] = {
      {"valid", std::u16string(u"\0\u00e9\u20ac\U0001F600", 5),
       std::string("\0\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 10)},
      {"lone continuation", u"a\uFFFDb",
       "a\x80"
       "b"},
      {"cut short", u"a\uFFFD", "a\xE2\x82"},
      {"overlong", u"\uFFFD", "\xC0\xAF"},
      {"encoded surrogate", u"\uFFFD", "\xED\xA0\x80"},
      {"no such byte", u"\uFFFD", "\xFF"},
  };
  for (const ToUtf8Case& c : cases) {
    EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16) << c.name;
  }
}

TEST(Utf, EveryCodePointGoesThereAndBack) {
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::u16string units;
    if (cp < 0x10000) {
      units.push_back(static_cast<char16_t>(cp));
    } else {
      units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    std::string utf8;
    appendUtf8(units, utf8);
    ASSERT_EQ(utf8.size(), cp < 0x80      ? 1u
                           : cp < 0x800   ? 2u
                           : cp < 0x10000 ? 3u
                                          : 4u)
        << static_cast<std::uint32_t>(cp);
    ASSERT_EQ(utf8ToUtf16(utf8), units) << static_cast<std::uint32_t>(cp);
  }
}

}  // namespace
}  // namespace vddb::encoding
