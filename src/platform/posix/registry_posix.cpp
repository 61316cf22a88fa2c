// The registry stand-in on POSIX: a read-only view of one file in the .reg
// export format (docs/platform.md), with the results the Win32 calls give.
//
// The file is read and parsed (reg_file.cpp) when a key is opened; the handle
// keeps a snapshot of that key's values until it is closed. Key and value
// names compare case-insensitively for ASCII letters, as Windows compares
// them. Nothing here throws: every failure is a Win32 error code.
#include "platform/posix/registry_posix.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/posix/reg_file.h"
#include "platform/win32.h"

namespace {

using vddb::platform::reg::Value;
using Values = std::unordered_map<std::string, Value>;  // by folded name

constexpr const char* kDefaultRegistryFile = "/etc/varkel/registry.reg";

struct OpenKey {
  std::string path;  // full path, root name first, e.g. HKEY_LOCAL_MACHINE\SOFTWARE
  Values values;
};

std::mutex gKeysMutex;
std::vector<OpenKey*> gOpenKeys;

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
    vddb::platform::reg::KeyContents found;
    const LONG looked =
        vddb::platform::reg::readKey(vddb::platform::registryFilePath(), path, found);
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
    Values rootValues;
    const Values* values = nullptr;
    std::unique_lock<std::mutex> lock(gKeysMutex);
    if (const char* root = rootName(key)) {
      lock.unlock();
      vddb::platform::reg::KeyContents found;
      const LONG looked =
          vddb::platform::reg::readKey(vddb::platform::registryFilePath(), root, found);
      if (looked != ERROR_SUCCESS) return looked;
      rootValues = std::move(found.values);
      values = &rootValues;
    } else if (isOpenKey(key)) {
      values = &reinterpret_cast<const OpenKey*>(key)->values;
    } else {
      return ERROR_INVALID_HANDLE;
    }
    const auto found = values->find(vddb::platform::reg::foldName(name));
    if (found == values->end()) return ERROR_FILE_NOT_FOUND;
    const Value* value = &found->second;

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
