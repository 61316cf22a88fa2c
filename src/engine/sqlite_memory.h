// SQLite's allocator for this process, set once before the first store
// opens: its page caches' pages come from large blocks (large pages where
// the system has them), everything else from the heap as before.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

namespace vddb::engine {

// Under the address sanitizer SQLite's blocks all stay on the heap, where it
// can see past their ends (GCC says so by a macro, clang by a feature).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kCarvesSqliteBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kCarvesSqliteBlocks = false;
#else
inline constexpr bool kCarvesSqliteBlocks = true;
#endif
#else
inline constexpr bool kCarvesSqliteBlocks = true;
#endif

// Idempotent. Leaves SQLite's allocator as it is when SQLite is already in
// use (a test that replaced it first, for one).
void useEngineSqliteMemory() noexcept;

}  // namespace vddb::engine
