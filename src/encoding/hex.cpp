#include "encoding/hex.h"

#include <charconv>

namespace vddb::encoding {

std::optional<std::uint32_t> parseHex32(std::string_view digits) noexcept {
  // from_chars takes no sign for an unsigned number and skips no blank; the
  // length check keeps leading zeros from making a ninth digit.
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  const char* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace vddb::encoding
