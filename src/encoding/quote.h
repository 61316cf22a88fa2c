// Input shown in a message: one line of sane length whatever the input holds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vddb::encoding {

// How many bytes of a text a message shows by default.
inline constexpr std::size_t kQuotedBytes = 40;

// `text` (UTF-8) in double quotes, escaped as in JSON: \" \\ \n \t and the
// like; every other control character (C0, DEL, C1) as \u00XX; a byte that is
// not part of valid UTF-8 as \xXX. Only the first `limit` bytes are shown,
// cut between characters; a longer text ends in `"... (N bytes)`.
std::string quoteForMessage(std::string_view text, std::size_t limit = kQuotedBytes);

// Appends `utf8`, which must be valid UTF-8 (as every text converted from
// the store's UTF-16 is), as a JSON string written as the JSON library
// writes one: \" \\ \b \f \n \r \t, other C0 controls as \u00xx, the rest
// as it is. Plain string appends: growing `out` may throw std::bad_alloc,
// and then there is nothing half-made to clean up, as there would be with
// the JSON library's values.
void appendJsonString(std::string_view utf8, std::string& out);

}  // namespace vddb::encoding
