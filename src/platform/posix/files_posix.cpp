// The file-system calls on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/files.h"

namespace vddb::platform {
namespace {

// The one place that turns errno into a message.
bool failed(std::string* error, const char* what, const std::string& path, int code) {
  if (error != nullptr) *error = std::string(what) + " " + path + ": " + std::strerror(code);
  return false;
}

}  // namespace

bool inspectPath(const std::string& path, bool followLinks, PathInfo& info, std::string* error) {
  info = PathInfo{};
  struct stat st {};
  const int rc = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    return failed(error, "cannot look at", path, errno);
  }
  if (S_ISREG(st.st_mode)) {
    info.kind = PathKind::kFile;
    info.size = static_cast<std::uint64_t>(st.st_size);
  } else if (S_ISDIR(st.st_mode)) {
    info.kind = PathKind::kDirectory;
  } else if (S_ISLNK(st.st_mode)) {
    info.kind = PathKind::kLink;
  } else {
    info.kind = PathKind::kOther;
  }
  return true;
}

bool createUniqueFile(const std::string& prefix, std::string& path, std::string* error) {
  std::string name = prefix + "XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0) return failed(error, "cannot create a file beside", prefix, errno);
  // mkstemp makes the file private (0600); a store should get the
  // permissions of any new file of this user.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  path = std::move(name);
  return true;
}

bool replaceFile(const std::string& from, const std::string& to, std::string* error) {
  if (std::rename(from.c_str(), to.c_str()) == 0) return true;
  return failed(error, "cannot rename the new file to", to, errno);
}

bool canReplaceOpenFile() noexcept { return true; }

bool syncFolderOf(const std::string& path, std::string* error) {
  const std::size_t slash = path.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return failed(error, "cannot open the folder", folder, errno);
  const bool synced = ::fsync(fd) == 0;
  const int code = errno;
  ::close(fd);
  return synced || failed(error, "cannot sync the folder", folder, code);
}

bool removeFile(const std::string& path, std::string* error) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return true;
  return failed(error, "cannot remove", path, errno);
}

std::string defaultStoreFile() { return "/var/lib/varkel/ddb.sqlite"; }

std::string programName() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  const std::string_view full(path, static_cast<std::size_t>(n));
  const std::size_t slash = full.rfind('/');
  return std::string(slash == std::string_view::npos ? full : full.substr(slash + 1));
}

}  // namespace vddb::platform
