// The probe for the installed Strenda driver version. The run uses only
// whether it succeeds (a failure prints a warning); the numbers go no further.
#pragma once

#include <cstdint>

namespace vddb::app {

// Reads versionMajor, versionMinor and versionUpdate of
// HKEY_LOCAL_MACHINE\SOFTWARE\Varkel\Strenda\CurrentVersion, in that order,
// each as decimal text. Each number is stored as soon as it is read; the
// first failure (no key, no value, a value longer than 1023 bytes) ends the
// probe with false. The key is closed on every path.
bool readInstalledVersion(std::uint32_t& major, std::uint32_t& minor, std::uint32_t& update);

}  // namespace vddb::app
