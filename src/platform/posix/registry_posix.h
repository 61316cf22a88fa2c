// What the POSIX registry stand-in offers beyond the three Win32 calls of
// platform/win32.h. See docs/platform.md for the file format it reads.
#pragma once

#include <cstddef>

namespace vddb::platform {

// The .reg file the registry calls read: $VARKEL_REGISTRY_FILE, or
// /etc/varkel/registry.reg when it is unset or empty. Read at every
// RegOpenKeyExA, so a test can point it elsewhere between calls.
const char* registryFilePath() noexcept;

// Keys opened with RegOpenKeyExA and not yet closed. Tests check that every
// path closes what it opened.
std::size_t openRegistryKeyCount() noexcept;

}  // namespace vddb::platform
