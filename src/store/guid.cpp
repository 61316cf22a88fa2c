#include "store/guid.h"

#include <cstring>

namespace vddb {

std::string formatGuid(const GUID& g) {
  static constexpr char kDigits[] = "0123456789abcdef";
  unsigned char bytes[16];
  guidToKeyBytes(g, bytes);
  std::string text;
  text.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0xF]);
  }
  return text;
}

void guidToKeyBytes(const GUID& g, unsigned char out[16]) noexcept {
  out[0] = static_cast<unsigned char>(g.Data1 >> 24);
  out[1] = static_cast<unsigned char>(g.Data1 >> 16);
  out[2] = static_cast<unsigned char>(g.Data1 >> 8);
  out[3] = static_cast<unsigned char>(g.Data1);
  out[4] = static_cast<unsigned char>(g.Data2 >> 8);
  out[5] = static_cast<unsigned char>(g.Data2);
  out[6] = static_cast<unsigned char>(g.Data3 >> 8);
  out[7] = static_cast<unsigned char>(g.Data3);
  std::memcpy(out + 8, g.Data4, 8);
}

GUID guidFromKeyBytes(const unsigned char in[16]) noexcept {
  GUID g{};
  g.Data1 = (std::uint32_t{in[0]} << 24) | (std::uint32_t{in[1]} << 16) |
            (std::uint32_t{in[2]} << 8) | in[3];
  g.Data2 = static_cast<std::uint16_t>((in[4] << 8) | in[5]);
  g.Data3 = static_cast<std::uint16_t>((in[6] << 8) | in[7]);
  std::memcpy(g.Data4, in + 8, 8);
  return g;
}

int compareGuids(const GUID& a, const GUID& b) noexcept {
  unsigned char ka[16];
  unsigned char kb[16];
  guidToKeyBytes(a, ka);
  guidToKeyBytes(b, kb);
  const int c = std::memcmp(ka, kb, 16);
  return (c > 0) - (c < 0);
}

std::size_t GuidHash::operator()(const GUID& g) const noexcept {
  std::uint64_t halves[2];
  std::memcpy(halves, &g, sizeof halves);
  // Test stores number their GUIDs in the last bytes and real ones are time
  // ordered in the first: both halves are mixed into every bit, so that the
  // engine's flat tables, which take the low bits, stay spread.
  std::uint64_t h = halves[0] * 0x9E3779B97F4A7C15ULL ^ halves[1];
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ULL;
  h ^= h >> 32;
  return static_cast<std::size_t>(h);
}

}  // namespace vddb
