// Elapsed wall-clock time for the retry loop.
#pragma once

namespace vddb::platform {

// Milliseconds of wall-clock time since the process started, or -1 when no
// time is available. On Windows this is the C runtime's clock(); elsewhere a
// monotonic clock (never CPU time: the retry loop sleeps).
long millisecondClock() noexcept;

}  // namespace vddb::platform
