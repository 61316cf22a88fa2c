// The platform calls on Windows. The registry and the task allocator are the
// real Win32 calls (platform/win32.h brings them in); what is left is the
// runtime library's sleep, the millisecond clock of the retry loop and
// terminal detection.
#include <io.h>

#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/terminal.h"
#include "platform/thread_utility.h"
#include "platform/win32.h"

// The Microsoft C runtime's clock() counts wall-clock time since process
// start, in milliseconds (CLOCKS_PER_SEC is 1000), so it is the retry loop's
// clock as it is; it returns -1 when no time is available.
static_assert(CLOCKS_PER_SEC == 1000, "the retry loop counts clock() ticks as milliseconds");

namespace vddb::platform {

long millisecondClock() noexcept {
  const std::clock_t now = std::clock();
  if (now == static_cast<std::clock_t>(-1)) return -1;
  return static_cast<long>(now);
}

bool standardErrorIsTerminal() noexcept { return _isatty(_fileno(stderr)) != 0; }

bool standardOutputIsTerminal() noexcept { return _isatty(_fileno(stdout)) != 0; }

}  // namespace vddb::platform

void tThreadUtility::sleep(std::uint32_t milliseconds, tStatus2* /*status*/) {
  // Sleep takes a DWORD of milliseconds; INFINITE (0xFFFFFFFF) is never
  // asked for here, but passing it through would block for good, so cap it.
  const DWORD duration = milliseconds == INFINITE ? INFINITE - 1 : milliseconds;
  ::Sleep(duration);
}
