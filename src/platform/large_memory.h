// Blocks for the engine's large in-memory tables (tens to hundreds of MB on
// a large store), from the system's page allocator rather than the heap.
//
// Every page of such a table is touched once as it fills, and on the
// machines we measured the first touch of a fresh 4 KB page cost about
// 12 microseconds, which added up to a fifth of a large repair. Where the
// system offers large pages for a mapping, these blocks ask for them: the
// first touch then costs about half as much. A block comes back zeroed.
#pragma once

#include <cstddef>

namespace vddb::platform {

// Null when the memory cannot be had.
void* allocateLarge(std::size_t bytes) noexcept;
// Gives back what allocateLarge returned for the same `bytes`; null is allowed.
void freeLarge(void* block, std::size_t bytes) noexcept;

}  // namespace vddb::platform
