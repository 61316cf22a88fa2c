// The connector number as text, for the accessory pass's connector keys.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vddb::text {

// The formatting limit of a connector text, in wide characters, the
// terminating zero included; a 32-bit number needs at most 10 digits.
inline constexpr std::size_t kConnectorTextLimit = 100;

// Writes `connector` as unsigned decimal digits, as "%lu" does (no sign, no
// leading zeros, no spaces), followed by a zero unit; returns the number of
// digits. On Windows the C runtime's _snwprintf writes it.
std::size_t formatConnectorText(std::uint32_t connector,
                                char16_t (&text)[kConnectorTextLimit]) noexcept;

}  // namespace vddb::text
