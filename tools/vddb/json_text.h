// JSON text written and read without the JSON library's values, for the
// commands that must end with an error, not an abort, when memory runs out:
// those values allocate as they are destroyed, so one that is cleaned up
// after an allocation failed ends the process.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vddb::tool {

// `"name":` in the object being written into `out`, after a comma unless
// it is the object's first member.
void appendKey(std::string& out, const char* name);

// `compact` JSON, with no space outside its strings, laid out as the JSON
// library's dump with an indent of 2 lays it out. Space that a stored text
// holds is kept as it is.
void appendIndented(std::string_view compact, std::string& out);

// `compact` laid out so, and a newline, written to `out` at once.
void writeIndented(std::ostream& out, std::string_view compact);

// Any text as a JSON string, a file name say, which need not be UTF-8:
// what is not becomes U+FFFD.
void appendStringJson(const std::string& text, std::string& out);

// A JSON text that this system stored (an object of a journal entry, a
// value, a report): itself when it is JSON, as it always should be, else
// the text as a JSON string (what is not UTF-8 as U+FFFD); null when empty.
void appendStoredJson(const std::string& text, std::string& out);

// What show tells of each record of a repair's report.
struct ReportRecord {
  std::string code;
  std::string message;
  std::vector<std::string> deleted;
  std::vector<std::pair<std::string, std::string>> changed;  // object, attribute
};

// The records of a stored report, as far as it holds records where records
// can be: it comes from the store file, which may be damaged or foreign.
// False when it is no JSON list, so no report to show.
bool readReportRecords(const std::string& report, std::vector<ReportRecord>& records);

}  // namespace vddb::tool
