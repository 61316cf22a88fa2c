#include "encoding/utf.h"

#include <utf8cpp/utf8.h>

#include <cstdint>
#include <iterator>

namespace vddb::encoding {
namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;

bool isHighSurrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(std::uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The code points of `count` UTF-16 units, `unit(i)` giving the ith, as UTF-8.
// utfcpp's own UTF-16 readers either throw or misread a lone surrogate, so
// the pairing is done here and only the encoding is left to it.
template <class Unit>
void appendUnits(std::size_t count, Unit unit, std::string& out) {
  out.reserve(out.size() + count);
  auto sink = std::back_inserter(out);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t codePoint = unit(i);
    if (isHighSurrogate(codePoint) && i + 1 < count && isLowSurrogate(unit(i + 1))) {
      codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    } else if (isHighSurrogate(codePoint) || isLowSurrogate(codePoint)) {
      codePoint = kReplacement;
    }
    sink = utf8::unchecked::append(codePoint, sink);
  }
}

}  // namespace

void appendUtf8(std::u16string_view text, std::string& out) {
  appendUnits(
      text.size(), [text](std::size_t i) { return static_cast<std::uint32_t>(text[i]); }, out);
}

void appendUtf8FromUtf16Le(std::string_view bytes, std::string& out) {
  const auto byte = [bytes](std::size_t i) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
  };
  appendUnits(
      bytes.size() / 2, [&](std::size_t i) { return byte(2 * i) | (byte(2 * i + 1) << 8); }, out);
}

std::u16string utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  if (utf8::is_valid(text.begin(), text.end())) {
    utf8::unchecked::utf8to16(text.begin(), text.end(), std::back_inserter(out));
    return out;
  }
  std::string repaired;
  repaired.reserve(text.size() + 2);
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(repaired));
  utf8::unchecked::utf8to16(repaired.begin(), repaired.end(), std::back_inserter(out));
  return out;
}

}  // namespace vddb::encoding
