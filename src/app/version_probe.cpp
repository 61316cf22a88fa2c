#include "app/version_probe.h"

#include <cstdlib>

#include "platform/win32.h"

namespace vddb::app {

namespace {

constexpr const char* kVersionKey = "SOFTWARE\\Varkel\\Strenda\\CurrentVersion";
constexpr DWORD kValueLimit = 1023;  // leaves room in the buffer for our own terminating zero

// Closes the key on every way out of the probe.
class OpenKey {
 public:
  explicit OpenKey(HKEY key) noexcept : _key(key) {}
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() { RegCloseKey(_key); }
  HKEY get() const noexcept { return _key; }

 private:
  HKEY _key;
};

// Reads one value as decimal text into the probe's one buffer. The registry
// need not deliver a terminating zero (a binary or dword value has none), so
// the text is ended right after the delivered bytes: atoi never reads what
// an earlier, longer value left behind, nor past the buffer.
bool readNumber(HKEY key, const char* name, char (&buffer)[kValueLimit + 1],
                std::uint32_t& number) {
  DWORD size = kValueLimit;  // the limit is set afresh for every read
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  buffer[size < kValueLimit ? size : kValueLimit] = '\0';
  number = static_cast<std::uint32_t>(std::atoi(buffer));
  return true;
}

}  // namespace

bool readInstalledVersion(std::uint32_t& major, std::uint32_t& minor, std::uint32_t& update) {
  HKEY handle = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kVersionKey, 0, KEY_READ, &handle) != ERROR_SUCCESS) {
    return false;
  }
  const OpenKey key(handle);
  char buffer[kValueLimit + 1] = {};
  return readNumber(key.get(), "versionMajor", buffer, major) &&
         readNumber(key.get(), "versionMinor", buffer, minor) &&
         readNumber(key.get(), "versionUpdate", buffer, update);
}

}  // namespace vddb::app
