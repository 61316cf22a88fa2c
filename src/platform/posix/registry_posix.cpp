// The registry stand-in on POSIX: a read-only view of one file in the .reg
// export format (docs/platform.md), with the results the Win32 calls give.
//
// The file is read and parsed when a key is opened; the handle keeps a
// snapshot of that key's values until it is closed. Key and value names
// compare case-insensitively for ASCII letters, as Windows compares them.
// Nothing here throws: every failure is a Win32 error code.
#include "platform/posix/registry_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "encoding/hex.h"
#include "encoding/utf.h"
#include "platform/win32.h"

namespace {

constexpr LONG ERROR_BADDB = 1009;  // the registry file is not a .reg export
constexpr DWORD REG_BINARY = 3;
constexpr const char* kDefaultRegistryFile = "/etc/varkel/registry.reg";

struct Value {
  std::string name;
  DWORD type = REG_SZ;
  std::vector<BYTE> data;
};

struct OpenKey {
  std::string path;  // full path, root name first, e.g. HKEY_LOCAL_MACHINE\SOFTWARE
  std::vector<Value> values;
};

std::mutex gKeysMutex;
std::vector<OpenKey*> gOpenKeys;

char asciiLower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) noexcept {
  return text.size() >= prefix.size() && equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The predefined root keys, by handle value, with the names a .reg file uses.
struct Root {
  std::uintptr_t handle;
  const char* name;
};
constexpr Root kRoots[] = {
    {0x80000000U, "HKEY_CLASSES_ROOT"},   {0x80000001U, "HKEY_CURRENT_USER"},
    {0x80000002U, "HKEY_LOCAL_MACHINE"},  {0x80000003U, "HKEY_USERS"},
    {0x80000005U, "HKEY_CURRENT_CONFIG"},
};

const char* rootName(HKEY key) noexcept {
  const auto value = reinterpret_cast<std::uintptr_t>(key);
  for (const Root& root : kRoots) {
    if (root.handle == value) return root.name;
  }
  return nullptr;
}

bool isOpenKey(HKEY key) {
  const auto* candidate = reinterpret_cast<const OpenKey*>(key);
  return std::find(gOpenKeys.begin(), gOpenKeys.end(), candidate) != gOpenKeys.end();
}

// ---- reading and decoding the file ---------------------------------------

LONG readFile(const char* path, std::string& bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    if (errno == EACCES || errno == EPERM) return ERROR_ACCESS_DENIED;
    return ERROR_FILE_NOT_FOUND;
  }
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return failed ? ERROR_BADDB : ERROR_SUCCESS;
}

// UTF-16LE (after its byte-order mark) becomes UTF-8: unpaired surrogates
// become U+FFFD, an odd last byte is dropped.
std::string decode(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::string text;
    vddb::encoding::appendUtf8FromUtf16Le(std::string_view(bytes).substr(2), text);
    return text;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return bytes.substr(3);
  return bytes;
}

std::string_view trimRight(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

std::string_view trimLeft(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  return text;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(trimRight(text.substr(0, end)));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

// ---- parsing ---------------------------------------------------------------

// A quoted text starting at text[0] == '"', with \" and \\ escapes; any
// other backslash stands for itself. Advances `text` past the closing quote.
bool parseQuoted(std::string_view& text, std::string& out) {
  if (text.empty() || text.front() != '"') return false;
  for (std::size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '"' || text[i + 1] == '\\')) {
      out.push_back(text[++i]);
    } else if (c == '"') {
      text.remove_prefix(i + 1);
      return true;
    } else {
      out.push_back(c);
    }
  }
  return false;
}

bool parseDword(std::string_view text, Value& value) {
  const std::optional<std::uint32_t> parsed = vddb::encoding::parseHex32(text);
  if (!parsed) return false;
  const std::uint32_t number = *parsed;
  value.type = REG_DWORD;
  value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
  return true;
}

// "aa,bb,..." with blanks and the line continuations already removed.
bool parseHexBytes(std::string_view text, Value& value) {
  value.data.clear();
  while (!text.empty()) {
    text = trimLeft(text);
    const std::optional<std::uint32_t> byte = vddb::encoding::parseHex32(text.substr(0, 2));
    if (text.size() < 2 || !byte) return false;
    value.data.push_back(static_cast<BYTE>(*byte));
    text.remove_prefix(2);
    text = trimLeft(text);
    if (!text.empty()) {
      if (text.front() != ',') return false;
      text.remove_prefix(1);
    }
  }
  return true;
}

// hex:... (binary) or hex(N):... (type N, bytes as stored).
bool parseHex(std::string_view text, Value& value) {
  DWORD type = REG_BINARY;
  text.remove_prefix(3);
  if (!text.empty() && text.front() == '(') {
    const std::size_t close = text.find(')');
    if (close == std::string_view::npos) return false;
    const std::optional<std::uint32_t> parsed =
        vddb::encoding::parseHex32(text.substr(1, close - 1));
    if (!parsed) return false;
    type = *parsed;
    text.remove_prefix(close + 1);
  }
  if (text.empty() || text.front() != ':') return false;
  text.remove_prefix(1);
  value.type = type;
  return parseHexBytes(text, value);
}

enum class ValueLine { value, deletion, malformed };

// `"name"=data` or `@=data`.
ValueLine parseValueLine(std::string_view line, Value& value) {
  if (line.front() == '@') {
    line.remove_prefix(1);
  } else if (!parseQuoted(line, value.name)) {
    return ValueLine::malformed;
  }
  line = trimLeft(line);
  if (line.empty() || line.front() != '=') return ValueLine::malformed;
  line = trimLeft(line.substr(1));
  if (line == "-") return ValueLine::deletion;
  if (!line.empty() && line.front() == '"') {
    std::string text;
    if (!parseQuoted(line, text) || !trimLeft(line).empty()) return ValueLine::malformed;
    value.type = REG_SZ;
    value.data.assign(text.begin(), text.end());
    value.data.push_back(0);
    return ValueLine::value;
  }
  if (startsWithIgnoringCase(line, "dword:")) {
    return parseDword(line.substr(6), value) ? ValueLine::value : ValueLine::malformed;
  }
  if (startsWithIgnoringCase(line, "hex")) {
    return parseHex(line, value) ? ValueLine::value : ValueLine::malformed;
  }
  return ValueLine::malformed;
}

// Whether `line` is a value line whose data is written in hex.
bool isHexValueLine(std::string_view line) {
  std::string name;
  if (!line.empty() && line.front() == '@') {
    line.remove_prefix(1);
  } else if (!parseQuoted(line, name)) {
    return false;
  }
  line = trimLeft(line);
  if (line.empty() || line.front() != '=') return false;
  return startsWithIgnoringCase(trimLeft(line.substr(1)), "hex");
}

bool isHeader(std::string_view line) {
  return line == "Windows Registry Editor Version 5.00" || line == "REGEDIT4";
}

// Whether the key `path` exists in the file, and its values (later lines
// win over earlier ones, as an import would leave them).
struct Lookup {
  bool exists = false;
  std::vector<Value> values;
};

LONG lookUpKey(const std::string& path, Lookup& found) {
  std::string bytes;
  const LONG read = readFile(vddb::platform::registryFilePath(), bytes);
  if (read != ERROR_SUCCESS) return read;
  const std::string text = decode(bytes);
  const std::vector<std::string_view> lines = splitLines(text);

  std::size_t i = 0;
  while (i < lines.size() && lines[i].empty()) ++i;
  if (i == lines.size() || !isHeader(lines[i])) return ERROR_BADDB;

  // The root of a path always exists; so does every key above a section.
  found.exists = path.find('\\') == std::string::npos;
  bool inKey = false;
  for (++i; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      inKey = false;
      if (line.back() != ']' || line.size() < 3 || line[1] == '-') continue;
      const std::string_view section = line.substr(1, line.size() - 2);
      if (equalsIgnoringCase(section, path)) {
        found.exists = true;
        inKey = true;
      } else if (section.size() > path.size() && section[path.size()] == '\\' &&
                 startsWithIgnoringCase(section, path)) {
        found.exists = true;
      }
      continue;
    }
    // A hex value may go on over several lines, each but the last ending in '\'.
    std::string logical(line);
    while (!logical.empty() && logical.back() == '\\' && isHexValueLine(logical) &&
           i + 1 < lines.size()) {
      logical.pop_back();
      logical.append(trimLeft(lines[++i]));
    }
    line = logical;
    if (!inKey) continue;
    if (line.front() != '"' && line.front() != '@') continue;
    Value value;
    const ValueLine kind = parseValueLine(line, value);
    if (kind == ValueLine::malformed) continue;
    const auto same = std::find_if(found.values.begin(), found.values.end(), [&](const Value& v) {
      return equalsIgnoringCase(v.name, value.name);
    });
    if (same != found.values.end()) found.values.erase(same);
    if (kind == ValueLine::value) found.values.push_back(std::move(value));
  }
  return ERROR_SUCCESS;
}

// The full path of `subKey` below `key`, or false when `key` is no key.
bool fullPath(HKEY key, LPCSTR subKey, std::string& path) {
  if (const char* root = rootName(key)) {
    path = root;
  } else {
    std::lock_guard<std::mutex> lock(gKeysMutex);
    if (!isOpenKey(key)) return false;
    path = reinterpret_cast<const OpenKey*>(key)->path;
  }
  if (subKey != nullptr && *subKey != '\0') {
    path.push_back('\\');
    path.append(subKey);
  }
  return true;
}

}  // namespace

namespace vddb::platform {

const char* registryFilePath() noexcept {
  const char* path = std::getenv("VARKEL_REGISTRY_FILE");
  return (path != nullptr && *path != '\0') ? path : kDefaultRegistryFile;
}

std::size_t openRegistryKeyCount() noexcept {
  std::lock_guard<std::mutex> lock(gKeysMutex);
  return gOpenKeys.size();
}

}  // namespace vddb::platform

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM /*desired*/, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  try {
    std::string path;
    if (!fullPath(key, subKey, path)) return ERROR_INVALID_HANDLE;
    Lookup found;
    const LONG looked = lookUpKey(path, found);
    if (looked != ERROR_SUCCESS) return looked;
    if (!found.exists) return ERROR_FILE_NOT_FOUND;
    auto* opened = new OpenKey{std::move(path), std::move(found.values)};
    std::lock_guard<std::mutex> lock(gKeysMutex);
    try {
      gOpenKeys.push_back(opened);
    } catch (...) {
      delete opened;
      throw;
    }
    *result = reinterpret_cast<HKEY>(opened);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
    return ERROR_INVALID_PARAMETER;
  }
  try {
    const std::string_view name = valueName != nullptr ? valueName : "";
    std::vector<Value> rootValues;
    const std::vector<Value>* values = nullptr;
    std::unique_lock<std::mutex> lock(gKeysMutex);
    if (const char* root = rootName(key)) {
      lock.unlock();
      Lookup found;
      const LONG looked = lookUpKey(root, found);
      if (looked != ERROR_SUCCESS) return looked;
      rootValues = std::move(found.values);
      values = &rootValues;
    } else if (isOpenKey(key)) {
      values = &reinterpret_cast<const OpenKey*>(key)->values;
    } else {
      return ERROR_INVALID_HANDLE;
    }
    const auto value = std::find_if(values->begin(), values->end(), [&](const Value& v) {
      return equalsIgnoringCase(v.name, name);
    });
    if (value == values->end()) return ERROR_FILE_NOT_FOUND;

    if (type != nullptr) *type = value->type;
    const auto needed = static_cast<DWORD>(value->data.size());
    if (data == nullptr) {
      if (dataSize != nullptr) *dataSize = needed;
      return ERROR_SUCCESS;
    }
    if (*dataSize < needed) {
      // As on Windows: nothing is delivered, the caller learns the size.
      *dataSize = needed;
      return ERROR_MORE_DATA;
    }
    if (needed != 0) std::memcpy(data, value->data.data(), needed);
    *dataSize = needed;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

LONG RegCloseKey(HKEY key) {
  if (rootName(key) != nullptr) return ERROR_SUCCESS;
  std::lock_guard<std::mutex> lock(gKeysMutex);
  const auto it = std::find(gOpenKeys.begin(), gOpenKeys.end(), reinterpret_cast<OpenKey*>(key));
  if (it == gOpenKeys.end()) return ERROR_INVALID_HANDLE;
  delete *it;
  gOpenKeys.erase(it);
  return ERROR_SUCCESS;
}
