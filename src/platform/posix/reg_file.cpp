// Reading a .reg export: the file, its encoding, its lines, and the values of
// one key. See reg_file.h.
#include "platform/posix/reg_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "encoding/hex.h"
#include "encoding/utf.h"

namespace vddb::platform::reg {
namespace {

constexpr DWORD REG_BINARY = 3;

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

// ---- reading and decoding the file ---------------------------------------

// Closes the file on every way out of readFile.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : _fd(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (_fd >= 0) ::close(_fd);
  }
  int get() const noexcept { return _fd; }

 private:
  int _fd;
};

// Only a regular file is read. Opening does not wait (O_NONBLOCK): a FIFO
// would otherwise hold the open until some writer came, and a device could
// be read for ever. For a regular file the flag changes nothing.
LONG readFile(const char* path, std::string& bytes) {
  const FileDescriptor file(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno == EACCES || errno == EPERM) return ERROR_ACCESS_DENIED;
    return ERROR_FILE_NOT_FOUND;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return ERROR_BADDB;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) return ERROR_SUCCESS;
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (errno != EINTR) {
      return ERROR_BADDB;
    }
  }
}

// UTF-16LE (after its byte-order mark) becomes UTF-8: unpaired surrogates
// become U+FFFD, an odd last byte is dropped.
std::string decode(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::string text;
    encoding::appendUtf8FromUtf16Le(bytes.substr(2), text);
    return text;
  }
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  return std::string(bytes);
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
  const std::optional<std::uint32_t> parsed = encoding::parseHex32(text);
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
    const std::optional<std::uint32_t> byte = encoding::parseHex32(text.substr(0, 2));
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
    const std::optional<std::uint32_t> parsed = encoding::parseHex32(text.substr(1, close - 1));
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

}  // namespace

std::string foldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) c = asciiLower(c);
  return folded;
}

LONG readKey(const char* file, std::string_view path, KeyContents& found) {
  std::string bytes;
  const LONG read = readFile(file, bytes);
  if (read != ERROR_SUCCESS) return read;
  return parseKey(bytes, path, found);
}

LONG parseKey(std::string_view bytes, std::string_view path, KeyContents& found) {
  const std::string text = decode(bytes);
  const std::vector<std::string_view> lines = splitLines(text);

  std::size_t i = 0;
  while (i < lines.size() && lines[i].empty()) ++i;
  if (i == lines.size() || !isHeader(lines[i])) return ERROR_BADDB;

  // The root of a path always exists; so does every key above a section.
  found.exists = path.find('\\') == std::string_view::npos;
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
    // A hex value may go on over several lines, each but the last ending in
    // '\'. Whether it is one is asked once, of its first line: asking again
    // for every line joined would go over its name again each time.
    std::string logical(line);
    if (logical.back() == '\\' && isHexValueLine(logical)) {
      while (!logical.empty() && logical.back() == '\\' && i + 1 < lines.size()) {
        logical.pop_back();
        logical.append(trimLeft(lines[++i]));
      }
    }
    line = logical;
    if (!inKey) continue;
    if (line.front() != '"' && line.front() != '@') continue;
    Value value;
    const ValueLine kind = parseValueLine(line, value);
    if (kind == ValueLine::malformed) continue;
    std::string key = foldName(value.name);
    if (kind == ValueLine::value) {
      found.values.insert_or_assign(std::move(key), std::move(value));
    } else {
      found.values.erase(key);
    }
  }
  return ERROR_SUCCESS;
}

}  // namespace vddb::platform::reg
