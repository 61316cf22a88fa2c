// The file-system calls on Windows.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/files.h"
#include "platform/win32.h"

namespace vddb::platform {
namespace {

// The one place that turns GetLastError into a message.
bool failed(std::string* error, const char* what, const std::string& path, DWORD code) {
  if (error == nullptr) return false;
  char text[512] = {};
  const DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  std::string reason(text, length);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  if (reason.empty()) reason = "system error " + std::to_string(code);
  *error = std::string(what) + " " + path + ": " + reason;
  return false;
}

bool isMissing(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME;
}

}  // namespace

bool inspectPath(const std::string& path, bool followLinks, PathInfo& info, std::string* error) {
  info = PathInfo{};
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    const DWORD code = ::GetLastError();
    return isMissing(code) || failed(error, "cannot look at", path, code);
  }
  const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (link && !followLinks) {
    info.kind = PathKind::kLink;
    return true;
  }
  if (link) {
    // The attributes above are the link's own; the target's come through a
    // handle opened on the link, which the system follows.
    const HANDLE file =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      const DWORD code = ::GetLastError();
      return isMissing(code) || failed(error, "cannot look at", path, code);
    }
    BY_HANDLE_FILE_INFORMATION target{};
    const BOOL got = ::GetFileInformationByHandle(file, &target);
    const DWORD code = ::GetLastError();
    ::CloseHandle(file);
    if (!got) return failed(error, "cannot look at", path, code);
    data.dwFileAttributes = target.dwFileAttributes;
    data.nFileSizeHigh = target.nFileSizeHigh;
    data.nFileSizeLow = target.nFileSizeLow;
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    info.kind = PathKind::kDirectory;
  } else if ((data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    info.kind = PathKind::kOther;
  } else {
    info.kind = PathKind::kFile;
    info.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  }
  return true;
}

bool createUniqueFile(const std::string& prefix, std::string& path, std::string* error) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "%lx%08x",
                  static_cast<unsigned long>(::GetCurrentProcessId()),
                  static_cast<unsigned>(::GetTickCount()) * 2654435761U + counter.fetch_add(1));
    std::string name = prefix + suffix;
    const HANDLE file = ::CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      ::CloseHandle(file);
      path = std::move(name);  // allocates nothing: the file is never left unnamed
      return true;
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      return failed(error, "cannot create a file beside", prefix, code);
    }
  }
  return failed(error, "cannot create a file beside", prefix, ERROR_FILE_EXISTS);
}

bool replaceFile(const std::string& from, const std::string& to, std::string* error) {
  // rename does not replace an existing file on Windows; MoveFileEx does,
  // and write-through returns only once the move is on the disk.
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  return failed(error, "cannot rename the new file to", to, ::GetLastError());
}

bool canReplaceOpenFile() noexcept { return false; }

bool syncFolderOf(const std::string& /*path*/, std::string* /*error*/) {
  return true;  // MOVEFILE_WRITE_THROUGH already waited for the folder entry
}

bool removeFile(const std::string& path, std::string* error) {
  if (::DeleteFileA(path.c_str())) return true;
  const DWORD code = ::GetLastError();
  return isMissing(code) || failed(error, "cannot remove", path, code);
}

std::string defaultStoreFile() {
  const char* programData = std::getenv("ProgramData");
  return std::string(programData != nullptr ? programData : "C:\\ProgramData") +
         "\\Varkel\\ddb.sqlite";
}

std::string programName() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string name(path, n);
  const std::size_t slash = name.find_last_of("\\/");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  if (name.size() > 4 && _stricmp(name.c_str() + name.size() - 4, ".exe") == 0) {
    name.resize(name.size() - 4);
  }
  return name;
}

}  // namespace vddb::platform
