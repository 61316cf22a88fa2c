// The run of the repair tool: version probe, announcement, the retry loop
// around the repair transaction, and the one result line.
//
// Attempts go on until one reaches the store or until more than 90000 ms
// have passed since the first (a clock reading of -1 counts as timed out at
// once). Between attempts that did not reach the store the run sleeps
// 3000 ms; the waiting line is printed after the first failed attempt only.
// Only the last attempt's status reaches the run status, which chooses the
// result line and is the exit code.
#pragma once

#include <cstdint>

#include "app/repair_transaction.h"
#include "app/version_probe.h"
#include "platform/clock.h"
#include "platform/thread_utility.h"

namespace vddb::app {

// printf to standard output, flushed at once so that every line is out
// before the run sleeps or is stopped.
int printToStandardOutput(const char* format, ...);

inline constexpr long kTimeLimitMilliseconds = 90000;
inline constexpr std::uint32_t kRetryPauseMilliseconds = 3000;

// Everything the run touches outside itself; the defaults are the real calls.
struct tRepairRunCalls {
  long (*clock)() = &vddb::platform::millisecondClock;
  void (*sleep)(std::uint32_t milliseconds, tStatus2* status) = &tThreadUtility::sleep;
  bool (*readVersion)(std::uint32_t& major, std::uint32_t& minor,
                      std::uint32_t& update) = &readInstalledVersion;
  void (*transaction)(bool& storeReached, tStatus2& status) = &runRepairTransaction;
  int (*print)(const char* format, ...) = &printToStandardOutput;
};

// The whole run; returns the final status code, the process exit code.
std::int32_t runRepair(const tRepairRunCalls& calls = tRepairRunCalls{});

}  // namespace vddb::app
