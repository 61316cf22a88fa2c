// The file-system calls of the store engine: what is at a path, a new file
// with a unique name, replacing one file by another in one step, making
// that replacement durable, and the store file's default place. One
// implementation per platform (posix/files_posix.cpp,
// windows/files_windows.cpp); CMake compiles exactly one.
//
// Every call that can fail returns false and, when `error` is given, sets it
// to one line naming what failed, the path and the system's reason.
#pragma once

#include <cstdint>
#include <string>

namespace vddb::platform {

enum class PathKind {
  kMissing,    // nothing there
  kFile,       // a regular file
  kDirectory,  // a folder
  kLink,       // a symbolic link (only when links are not followed)
  kOther,      // a device, a pipe, a socket
};

struct PathInfo {
  PathKind kind = PathKind::kMissing;
  std::uint64_t size = 0;  // bytes, for a regular file
};

// What is at `path`; with `followLinks` a link is reported as what it
// points to. Nothing there is an answer (kMissing), not a failure; false
// only when the system cannot tell (a folder on the way that cannot be
// searched, an I/O error).
bool inspectPath(const std::string& path, bool followLinks, PathInfo& info,
                 std::string* error = nullptr);

// Creates a new, empty, closed file whose name is `prefix` followed by a few
// characters that no file beside it has, with the permissions a new file of
// this user gets; `path` receives its name.
bool createUniqueFile(const std::string& prefix, std::string& path, std::string* error = nullptr);

// Puts the file `from` in place of `to`, replacing what is there: at every
// moment `to` names either the old file or the new one.
bool replaceFile(const std::string& from, const std::string& to, std::string* error = nullptr);

// Whether replaceFile can replace a file that is open (POSIX: yes;
// Windows: no, the file must be closed first).
bool canReplaceOpenFile() noexcept;

// Makes a replacement in the folder of `path` durable: the folder's entry
// reaches the disk, not only the file's bytes.
bool syncFolderOf(const std::string& path, std::string* error = nullptr);

// Removes the file `path`; a file that is already gone is not a failure.
bool removeFile(const std::string& path, std::string* error = nullptr);

// Where the store file lives when no path is configured:
// /var/lib/varkel/ddb.sqlite, or %ProgramData%\Varkel\ddb.sqlite on Windows.
std::string defaultStoreFile();

// The running program's file name without its folder (and without ".exe"
// on Windows), e.g. "vddb-repair"; empty when it cannot be told.
std::string programName();

}  // namespace vddb::platform
