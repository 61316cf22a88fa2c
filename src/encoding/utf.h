// UTF-8 <-> UTF-16. The store keeps text as UTF-16 code units (little-endian
// in the file), JSON and messages are UTF-8, and a .reg export may be either.
//
// Neither direction fails on bad input: what is not valid becomes U+FFFD, so
// a damaged text is still shown. Growing the output may throw
// std::bad_alloc, which callers turn into their out-of-memory result.
#pragma once

#include <string>
#include <string_view>

namespace vddb::encoding {

// Appends `text` as UTF-8; a surrogate without its partner becomes U+FFFD.
void appendUtf8(std::u16string_view text, std::string& out);

// The same for UTF-16 given as little-endian bytes; an odd last byte is
// dropped.
void appendUtf8FromUtf16Le(std::string_view bytes, std::string& out);

// `text` as UTF-16; every byte sequence that is not valid UTF-8 becomes
// U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);

}  // namespace vddb::encoding
