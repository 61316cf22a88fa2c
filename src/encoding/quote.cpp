#include "encoding/quote.h"

#include <utf8cpp/utf8.h>

#include <cstdio>

namespace vddb::encoding {
namespace {

// The length of the UTF-8 sequence that `lead` begins (1 for a byte that
// begins none: utf8::is_valid then refuses it).
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

void appendEscape(const char* format, unsigned value, std::string& out) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, format, value);
  out += buffer;
}

// The escapes JSON has a short form for (\" \\ \b \f \n \r \t); false for
// any other byte.
bool appendShortEscape(unsigned char c, std::string& out) {
  switch (c) {
    case '"':
      out += "\\\"";
      return true;
    case '\\':
      out += "\\\\";
      return true;
    case '\b':
      out += "\\b";
      return true;
    case '\f':
      out += "\\f";
      return true;
    case '\n':
      out += "\\n";
      return true;
    case '\r':
      out += "\\r";
      return true;
    case '\t':
      out += "\\t";
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string quoteForMessage(std::string_view text, std::size_t limit) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = sequenceLength(c);
    if (i + length > limit) break;
    const bool valid =
        i + length <= text.size() && utf8::is_valid(text.begin() + i, text.begin() + i + length);
    if (!valid) {
      appendEscape("\\x%02X", c, out);
      ++i;
      continue;
    }
    if (appendShortEscape(c, out)) {
      // \" \\ \n and the like
    } else if (c < 0x20 || c == 0x7F) {
      appendEscape("\\u%04X", c, out);
    } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      // U+0080..U+009F: controls that some terminals act on.
      appendEscape("\\u%04X", static_cast<unsigned char>(text[i + 1]), out);
    } else {
      out.append(text.substr(i, length));
    }
    i += length;
  }
  out.push_back('"');
  if (i < text.size()) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

void appendJsonString(std::string_view utf8, std::string& out) {
  out.push_back('"');
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if (appendShortEscape(c, out)) continue;
    if (c < 0x20) {
      appendEscape("\\u%04x", c, out);
    } else {
      out.push_back(ch);
    }
  }
  out.push_back('"');
}

}  // namespace vddb::encoding
