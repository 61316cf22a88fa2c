// POSIX stand-ins for the runtime's sleep, the millisecond clock, terminal
// detection and the COM task allocator. The Windows build uses the real calls
// instead (windows/platform_windows.cpp); CMake compiles exactly one of the two.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/clock.h"
#include "platform/terminal.h"
#include "platform/thread_utility.h"
#include "platform/win32.h"

namespace {

// The clock counts from the first moment this library is initialised,
// which is process start for every program that links it. A reading taken
// during static initialisation of another unit still gets a valid origin.
bool readMonotonic(timespec& now) noexcept { return clock_gettime(CLOCK_MONOTONIC, &now) == 0; }

struct Origin {
  timespec at{};
  bool valid = false;
};

const Origin& processOrigin() noexcept {
  static const Origin origin = [] {
    Origin o;
    o.valid = readMonotonic(o.at);
    return o;
  }();
  return origin;
}

// Takes the origin before main starts.
[[maybe_unused]] const Origin& gOriginAtStartup = processOrigin();

}  // namespace

void tThreadUtility::sleep(std::uint32_t milliseconds, tStatus2* /*status*/) {
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(milliseconds / 1000U);
  remaining.tv_nsec = static_cast<long>(milliseconds % 1000U) * 1000000L;
  // A signal cuts nanosleep short; go on with what is left so the pause is
  // never shorter than asked.
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

namespace vddb::platform {

long millisecondClock() noexcept {
  const Origin& origin = processOrigin();
  timespec now{};
  if (!origin.valid || !readMonotonic(now)) return -1;
  const long long nanoseconds =
      (static_cast<long long>(now.tv_sec) - origin.at.tv_sec) * 1000000000LL +
      (static_cast<long long>(now.tv_nsec) - origin.at.tv_nsec);
  return static_cast<long>(nanoseconds / 1000000LL);
}

bool standardErrorIsTerminal() noexcept { return isatty(fileno(stderr)) == 1; }

bool standardOutputIsTerminal() noexcept { return isatty(fileno(stdout)) == 1; }

}  // namespace vddb::platform

LPVOID CoTaskMemAlloc(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

void CoTaskMemFree(LPVOID block) { std::free(block); }
