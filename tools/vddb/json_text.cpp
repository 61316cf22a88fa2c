#include "json_text.h"

#include <nlohmann/json.hpp>

#include "encoding/quote.h"
#include "encoding/utf.h"

namespace vddb::tool {

void appendKey(std::string& out, const char* name) {
  out += out.back() == '{' ? "\"" : ",\"";
  out += name;
  out += "\":";
}

void appendIndented(std::string_view compact, std::string& out) {
  std::size_t depth = 0;
  const auto newline = [&] {
    out += '\n';
    out.append(2 * depth, ' ');
  };
  bool inString = false;
  for (std::size_t i = 0; i < compact.size(); ++i) {
    const char c = compact[i];
    if (inString) {
      out += c;
      if (c == '\\' && i + 1 < compact.size()) {
        out += compact[++i];
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        out += c;
        break;
      case '{':
      case '[':
        out += c;
        if (i + 1 < compact.size() && (compact[i + 1] == '}' || compact[i + 1] == ']')) {
          out += compact[++i];  // {} and [] stay on one line
        } else {
          ++depth;
          newline();
        }
        break;
      case '}':
      case ']':
        if (depth > 0) --depth;  // valid JSON never closes more than it opened
        newline();
        out += c;
        break;
      case ',':
        out += c;
        newline();
        break;
      case ':':
        out += ": ";
        break;
      default:
        out += c;
    }
  }
}

void appendStringJson(const std::string& text, std::string& out) {
  std::string valid;
  encoding::appendUtf8(encoding::utf8ToUtf16(text), valid);
  encoding::appendJsonString(valid, out);
}

void appendStoredJson(const std::string& text, std::string& out) {
  if (text.empty()) {
    out += "null";
  } else if (nlohmann::json::accept(text)) {
    // Validated without building values.
    out += text;
  } else {
    appendStringJson(text, out);
  }
}

}  // namespace vddb::tool
