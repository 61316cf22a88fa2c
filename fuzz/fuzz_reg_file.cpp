// The .reg file reader on arbitrary bytes: the bytes as the whole file, then
// the values of a key that the file may name. Any result is an answer;
// crashes, leaks and sanitizer reports are findings, and so are a value
// kept under anything but its folded name and values for a key that the
// parser says does not exist.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_files.h"
#include "platform/posix/reg_file.h"

namespace reg = vddb::platform::reg;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The key the version probe reads, and a key above it, so that both the
  // values of a section and the existence of keys below one are parsed.
  for (const std::string_view key : {
           std::string_view(R"(HKEY_LOCAL_MACHINE\SOFTWARE\Varkel\Strenda\CurrentVersion)"),
           std::string_view(R"(HKEY_LOCAL_MACHINE\SOFTWARE)"),
       }) {
    reg::KeyContents found;
    if (reg::parseKey(bytes, key, found) != ERROR_SUCCESS) continue;
    for (const auto& [folded, value] : found.values) {
      if (folded != reg::foldName(value.name)) vddb::fuzz::fail("a value kept under another name");
      if (!found.exists) vddb::fuzz::fail("a key with values does not exist");
    }
  }
  return 0;
}
