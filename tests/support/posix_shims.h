// The few POSIX calls the tests use that the Windows C runtime lacks, so that
// the same test sources build for the Windows target. Elsewhere this header
// adds nothing.
#pragma once

#ifdef _WIN32
#include <direct.h>
#include <io.h>

#include <cstdlib>
#include <cstring>
#include <string>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (overwrite == 0 && std::getenv(name) != nullptr) return 0;
  const std::string assignment = std::string(name) + "=" + value;
  return _putenv(assignment.c_str());
}

// "NAME=" removes the variable from the environment.
inline int unsetenv(const char* name) { return _putenv((std::string(name) + "=").c_str()); }

inline char* mkdtemp(char* pattern) {
  if (_mktemp(pattern) == nullptr) return nullptr;
  return _mkdir(pattern) == 0 ? pattern : nullptr;
}
#endif
