#include "support/in_process_repair.h"

#include <stdlib.h>

#include <cstdarg>
#include <cstdio>
#include <filesystem>

#include "app/repair_run.h"
#include "repair/pass_sequence.h"
#include "support/posix_shims.h"

namespace vddb::test {

namespace {

std::string gOutput;

int recordPrint(const char* format, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  gOutput += buffer;
  return n;
}

long lateClock() {
  static long now = 0;
  return now += app::kTimeLimitMilliseconds + 1;
}

}  // namespace

std::int32_t runRepairInProcess() {
  gOutput.clear();
  tUpgradeDowngradeMgr::resetRepairPassesRunOnce();  // once per process otherwise
  app::tRepairRunCalls calls;
  calls.clock = &lateClock;
  calls.readVersion = [](std::uint32_t&, std::uint32_t&, std::uint32_t&) { return true; };
  calls.print = &recordPrint;
  return app::runRepair(calls);
}

const std::string& repairOutput() { return gOutput; }

bool repairSucceeded() {
  return gOutput.find("Successfully completed repair.") != std::string::npos;
}

std::string makeScratchFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

}  // namespace vddb::test
