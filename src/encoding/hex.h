// Hexadecimal digits, for GUIDs, attribute IDs and .reg values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vddb::encoding {

// The value of one hexadecimal digit in either case, or -1. constexpr so that
// GUID literals are checked while compiling.
constexpr int hexDigitValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `digits` as a number: one to eight hexadecimal digits in either case and
// nothing else (no sign, no 0x, no blank). Nothing for anything else.
std::optional<std::uint32_t> parseHex32(std::string_view digits) noexcept;

}  // namespace vddb::encoding
