// Files the fuzz targets write for each input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vddb::fuzz {

// A folder of this process's own, made on first use and removed at exit.
// On /dev/shm where there is one: the engine syncs a store file on every
// commit, which on a disk would cost more than the rest of an input's run.
const std::string& scratchFolder();

// Replaces the file `path` with `size` bytes of `data`; false when that fails.
bool writeWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size);

// Prints `what` to stderr and aborts: how a target reports a broken property,
// so that libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const std::string& what);

}  // namespace vddb::fuzz
