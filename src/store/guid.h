// GUID helpers: compile-time literals from registry-form text, formatting,
// parsing, ordering and hashing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "encoding/hex.h"
#include "store/com.h"

namespace vddb {

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", with or without braces, in
// either case. Returns nothing for anything else.
constexpr std::optional<GUID> parseGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  unsigned char bytes[16] = {};
  std::size_t b = 0;
  for (std::size_t i = 0; i < 36;) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int hi = encoding::hexDigitValue(text[i]);
    const int lo = encoding::hexDigitValue(text[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    bytes[b++] = static_cast<unsigned char>(hi * 16 + lo);
    i += 2;
  }
  GUID g{};
  g.Data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | bytes[3];
  g.Data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  return g;
}

// A GUID literal checked at compile time: guidLiteral("xxxxxxxx-xxxx-...").
consteval GUID guidLiteral(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  const auto parsed = parseGuid(std::string_view(text, n));
  if (!parsed) throw "malformed GUID literal";  // a compile error, never run
  return *parsed;
}

inline constexpr GUID kNullGuid{};

// Registry form, lower case, without braces.
std::string formatGuid(const GUID& g);

// The 16 bytes in registry order (Data1..Data3 big-endian, then Data4), so
// that byte order equals the order of the registry-form text.
void guidToKeyBytes(const GUID& g, unsigned char out[16]) noexcept;
GUID guidFromKeyBytes(const unsigned char in[16]) noexcept;

// Orders as the registry-form text does.
int compareGuids(const GUID& a, const GUID& b) noexcept;

struct GuidHash {
  std::size_t operator()(const GUID& g) const noexcept;
};
struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const noexcept { return compareGuids(a, b) < 0; }
};

}  // namespace vddb
