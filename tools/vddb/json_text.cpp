#include "json_text.h"

#include <nlohmann/json.hpp>
#include <ostream>
#include <utility>

#include "encoding/quote.h"
#include "encoding/utf.h"

namespace vddb::tool {
namespace {

// Reads the records of a report without building the JSON library's
// values: depth 1 is the list, 2 a record, 3 its "deleted" or "changed"
// list, 4 one change. The report comes from the store file, which may be
// damaged or foreign: whatever does not have this shape is passed over.
class RecordReader final : public nlohmann::json_sax<nlohmann::json> {
 public:
  std::vector<ReportRecord> records;
  bool isList = false;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool string(string_t& v) override {
    if (_depth == 2 && _inRecord && _key == "code") records.back().code = std::move(v);
    if (_depth == 2 && _inRecord && _key == "message") records.back().message = std::move(v);
    if (_depth == 3 && _list == List::kDeleted) records.back().deleted.push_back(std::move(v));
    if (_depth == 4 && _inChange && _key == "object") _change.first = std::move(v);
    if (_depth == 4 && _inChange && _key == "attribute") _change.second = std::move(v);
    return true;
  }
  bool key(string_t& k) override {
    _key = std::move(k);
    return true;
  }
  bool start_object(std::size_t) override {
    ++_depth;
    if (_depth == 2 && isList) {
      records.emplace_back();
      _inRecord = true;
    }
    if (_depth == 4 && _list == List::kChanged) {
      _change = {};
      _inChange = true;
    }
    return true;
  }
  bool end_object() override {
    if (_depth == 4 && _inChange) records.back().changed.push_back(std::move(_change));
    if (_depth == 4) _inChange = false;
    if (_depth == 2) _inRecord = false;
    --_depth;
    return true;
  }
  bool start_array(std::size_t) override {
    ++_depth;
    if (_depth == 1) isList = true;
    if (_depth == 3 && _inRecord) {
      _list = _key == "deleted"   ? List::kDeleted
              : _key == "changed" ? List::kChanged
                                  : List::kOther;
    }
    return true;
  }
  bool end_array() override {
    if (_depth == 3) _list = List::kOther;
    --_depth;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  enum class List { kOther, kDeleted, kChanged };
  int _depth = 0;
  std::string _key;
  bool _inRecord = false;  // in a record object of the list
  List _list = List::kOther;
  bool _inChange = false;  // in a change object of a record's "changed"
  std::pair<std::string, std::string> _change;
};

}  // namespace

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

void writeIndented(std::ostream& out, std::string_view compact) {
  std::string text;
  text.reserve(compact.size() * 2);
  appendIndented(compact, text);
  text += '\n';
  out << text;
}

void appendStringJson(const std::string& text, std::string& out) {
  std::string valid;
  encoding::appendUtf8(encoding::utf8ToUtf16(text), valid);
  encoding::appendJsonString(valid, out);
}

void appendStoredJson(const std::string& text, std::string& out) {
  if (text.empty()) {
    out += "null";
  } else if (text.compare(0, 3, "\xEF\xBB\xBF") != 0 && nlohmann::json::accept(text)) {
    // Validated without building values. (The validator passes over a
    // byte-order mark at the start, which inside other JSON is none.)
    out += text;
  } else {
    appendStringJson(text, out);
  }
}

bool readReportRecords(const std::string& report, std::vector<ReportRecord>& records) {
  RecordReader reader;
  if (report.empty() || !nlohmann::json::sax_parse(report, &reader)) return false;
  records = std::move(reader.records);
  return reader.isList;
}

}  // namespace vddb::tool
