// SQLite's allocator for this process, set once before the first store
// opens: its page caches' pages come from large blocks (large pages where
// the system has them), everything else from the heap as before.
//
// Internal to the engine; not for use outside src/engine.
#pragma once

namespace vddb::engine {

// Idempotent. Leaves SQLite's allocator as it is when SQLite is already in
// use (a test that replaced it first, for one).
void useEngineSqliteMemory() noexcept;

}  // namespace vddb::engine
