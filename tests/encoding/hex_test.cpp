// Hexadecimal digits and numbers as GUIDs, attribute IDs and .reg values
// spell them.
#include "encoding/hex.h"

#include <gtest/gtest.h>

#include <string>

namespace vddb::encoding {
namespace {

TEST(Hex, EveryCharacterIsADigitOfItsValueOrNone) {
  static_assert(hexDigitValue('b') == 11, "usable while compiling");
  const std::string lower = "0123456789abcdef";
  const std::string upper = "0123456789ABCDEF";
  for (int c = -128; c < 128; ++c) {
    const char ch = static_cast<char>(c);
    const std::size_t at = lower.find(ch) != std::string::npos ? lower.find(ch) : upper.find(ch);
    const int expected = (ch != '\0' && at != std::string::npos) ? static_cast<int>(at) : -1;
    EXPECT_EQ(hexDigitValue(ch), expected) << c;
  }
}

struct NumberCase {
  const char* text;
  std::optional<std::uint32_t> value;
};

TEST(Hex, NumbersAreOneToEightDigitsAndNothingElse) {
  const NumberCase cases[] = {
      {"0", 0},
      {"a", 10},
      {"00000001", 1},
      {"DeadBeef", 0xDEADBEEF},
      {"FFFFFFFF", ~0u},
      {"", std::nullopt},
      {"000000001", std::nullopt},
      {"100000000", std::nullopt},
      {"-1", std::nullopt},
      {"+1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x1", std::nullopt},
      {"1g", std::nullopt},
  };
  for (const NumberCase& c : cases) {
    EXPECT_EQ(parseHex32(c.text), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(parseHex32(std::string_view("12\0"
                                        "3",
                                        4)),
            std::nullopt)
      << "an embedded zero";
}

}  // namespace
}  // namespace vddb::encoding
