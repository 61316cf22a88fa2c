// The .reg export format (docs/platform.md) as the POSIX registry stand-in
// reads it: the file, its encoding, its sections and values. The handles and
// the results of the Win32 calls are registry_posix.cpp's; this part only
// answers what the file says about one key. Internal to the platform library.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/win32.h"

namespace vddb::platform::reg {

// The registry file is not a .reg export (or cannot be read as one).
constexpr LONG ERROR_BADDB = 1009;

struct Value {
  std::string name;
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
};

// Key and value names compare ASCII letters in either case as equal: a
// value is found by its name folded so.
std::string foldName(std::string_view name);

// What the file says about one key: whether it exists, and its values by
// folded name (a later line replaces an earlier value of the same name, as
// an import would).
struct KeyContents {
  bool exists = false;
  std::unordered_map<std::string, Value> values;
};

// Reads the file `file` and looks up the key `path` (root name first, e.g.
// HKEY_LOCAL_MACHINE\SOFTWARE). ERROR_SUCCESS, or ERROR_FILE_NOT_FOUND /
// ERROR_ACCESS_DENIED when the file cannot be opened, ERROR_BADDB when it is
// not a .reg export. May throw std::bad_alloc.
LONG readKey(const char* file, std::string_view path, KeyContents& found);

// The same for the file's bytes already in memory: ERROR_SUCCESS, or
// ERROR_BADDB when they are not a .reg export. readKey reads the file and
// hands its bytes here; tests and the fuzzer call it directly. May throw
// std::bad_alloc.
LONG parseKey(std::string_view bytes, std::string_view path, KeyContents& found);

}  // namespace vddb::platform::reg
