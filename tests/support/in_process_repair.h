// The whole repair run, as vddb-repair makes it (real passes, configuration
// library and engine), inside the test process: on the store file that
// VARKEL_DDB_PATH names, with what it prints captured and a clock that ends
// the retry loop at its first attempt.
#pragma once

#include <cstdint>
#include <string>

namespace vddb::test {

// Runs the repair once and returns its exit code (the final status code).
// The passes' run-once guard is reset first, so a process may repair many
// times. Every clock reading is past the time limit: a store that cannot be
// had ends the run at once instead of retrying for 90 s. The installed
// version always reads as found.
std::int32_t runRepairInProcess();

// What the last run printed, and whether it said it succeeded.
const std::string& repairOutput();
bool repairSucceeded();

// A new empty folder under the temp directory, named after `prefix`
// ("<prefix>-XXXXXX"); empty when none could be made. The caller removes it.
std::string makeScratchFolder(const std::string& prefix);

}  // namespace vddb::test
