// A JSON text of a journal entry (an object, a value, a report) of
// arbitrary bytes, as vddb show reads it from a store file that may be
// damaged or foreign: its records are read, and it is written into show
// --json's document and laid out. Crashes and sanitizer reports are
// findings, and so is a document that is no longer JSON.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fuzz_files.h"
#include "json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<vddb::tool::ReportRecord> records;
  vddb::tool::readReportRecords(text, records);
  std::string compact = "{";
  vddb::tool::appendKey(compact, "problems");
  vddb::tool::appendStoredJson(text, compact);
  compact += '}';
  std::string laidOut;
  vddb::tool::appendIndented(compact, laidOut);
  if (!nlohmann::json::accept(compact)) vddb::fuzz::fail("a stored text made the document no JSON");
  if (!nlohmann::json::accept(laidOut)) vddb::fuzz::fail("laying the document out made it no JSON");
  return 0;
}
