// Whether the process talks to a person: a tool draws a progress line only
// on a terminal, so that what scripts and tests capture stays unchanged.
#pragma once

namespace vddb::platform {

// True when standard error is a terminal (a console on Windows); false for a
// file, a pipe, or anything that cannot be told.
bool standardErrorIsTerminal() noexcept;
// The same for standard output.
bool standardOutputIsTerminal() noexcept;

}  // namespace vddb::platform
