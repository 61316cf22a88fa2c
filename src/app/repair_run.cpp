#include "app/repair_run.h"

#include <cstdarg>
#include <cstdio>

#include "status/status_rules.h"

namespace vddb::app {

int printToStandardOutput(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vprintf(format, arguments);
  va_end(arguments);
  std::fflush(stdout);
  return written;
}

std::int32_t runRepair(const tRepairRunCalls& calls) {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t update = 0;
  if (!calls.readVersion(major, minor, update)) {
    // No line end: the announcement follows on the same line.
    calls.print("Unable to detect the installed Strenda version!  Please reinstall Strenda");
  }
  calls.print("Repairing Varkel Device Driver Database.\n");

  tStatus2 runStatus;
  const long start = calls.clock();
  std::uint32_t attempts = 0;
  bool storeReached = false;
  bool timedOut = false;
  while (!storeReached) {
    tStatus2 attemptStatus;
    calls.transaction(storeReached, attemptStatus);
    if (!storeReached) {
      const long now = calls.clock();
      timedOut = start == -1 || now == -1 || now - start > kTimeLimitMilliseconds;
      if (timedOut) {
        calls.print("Operation timed out waiting for Korrin to start\n");
      } else {
        if (attempts == 0) calls.print("Waiting for Korrin Database...\n");
        calls.sleep(kRetryPauseMilliseconds, nullptr);
      }
    }
    // Earlier attempts' errors are dropped with their status; only the last counts.
    if (storeReached || timedOut) mergeStatus(runStatus, attemptStatus);
    ++attempts;
    if (timedOut) break;
  }

  const std::int32_t code = runStatus.code;
  if (code >= 0) {
    calls.print("Successfully completed repair.\n");
  } else if (storeReached) {
    calls.print(
        "Operation failed with error code %d  (hex 0x%08X). Please contact Varkel Technical "
        "Support\n",
        static_cast<int>(code), static_cast<unsigned int>(code));
  } else {
    calls.print(
        "Unable to communicate with Corvessa.   Please contact Varkel Technical Support.\n");
  }
  return code;
}

}  // namespace vddb::app
