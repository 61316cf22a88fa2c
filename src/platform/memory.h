// The runtime's memory calls, used for every container and temporary array
// of the repair code. A failed allocation comes back as null; nothing throws.
#pragma once

#include <cstddef>
#include <cstdint>

class tStatus2;

// Returns `size` bytes, or null when they cannot be had. `flags` is always 0
// here. When `status` is given and the allocation fails, it is left as it
// is: callers apply their own no-memory rule.
void* _memNewUsingCRT(std::size_t size, std::uint32_t flags, tStatus2* status = nullptr) noexcept;

// Gives back what _memNewUsingCRT returned; null is allowed.
void _memDelete(void* block) noexcept;

namespace vddb::platform {

// Test hook: makes allocations fail, counting from the next call.
// `nth` = 1 fails the very next allocation. With `persistent` every
// allocation from the nth on fails until the fault is cleared.
void failAllocationAt(std::uint64_t nth, bool persistent = false) noexcept;
void clearAllocationFault() noexcept;
// Allocations made since the process started (failed ones included).
std::uint64_t allocationCount() noexcept;
// Whether a fault armed by failAllocationAt has fired since it was armed.
bool allocationFaultFired() noexcept;
// Blocks handed out and not yet given back.
std::uint64_t liveAllocations() noexcept;

}  // namespace vddb::platform
