// Running the Windows executables as a user does, from inside Windows (or
// Wine): a child process with its standard streams in files, the whole
// 32-bit exit code as GetExitCodeProcess reports it, and the registry key
// written with the system's reg.exe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace vddb::windows_test {

// A path as Windows names it: a POSIX path of the build host ("/work/x")
// becomes Wine's Z: drive ("Z:\work\x"); forward slashes turn backward.
std::string windowsPath(std::string path);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// "\n" as a Windows C runtime writes it to a stream in text mode: "\r\n".
std::string textModeLineEnds(const std::string& text);

struct ProcessResult {
  bool started = false;
  bool finished = false;       // false: killed after the time allowed
  std::uint32_t exitCode = 0;  // GetExitCodeProcess: all 32 bits
  std::string out;             // standard output, byte for byte
  std::string err;
  std::int32_t signedExitCode() const { return static_cast<std::int32_t>(exitCode); }
};

// A child process whose standard output and error go to files in `workDir`
// (named after `tag`) and whose standard input is empty.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& workDir,
               const std::string& tag);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return _process != nullptr; }
  // What it wrote to standard output so far.
  std::string outputSoFar() const { return readFile(_outPath); }
  // Waits until standard output contains `text`, the process ended, or
  // `milliseconds` passed; true when the text is there.
  bool waitForOutput(const std::string& text, std::uint32_t milliseconds) const;
  // Waits for the end (kills the process after `milliseconds`).
  ProcessResult wait(std::uint32_t milliseconds);

 private:
  HANDLE _process = nullptr;
  std::string _outPath;
  std::string _errPath;
};

// Runs to the end within `milliseconds`.
ProcessResult run(const std::vector<std::string>& argv, const std::string& workDir,
                  const std::string& tag, std::uint32_t milliseconds = 60000);

// The machine-wide registry is one for every test process of the run: a
// named mutex keeps their use of the Strenda key one at a time.
class RegistryGuard {
 public:
  RegistryGuard();
  ~RegistryGuard();
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;
  void release();

 private:
  HANDLE _mutex = nullptr;
  bool _owned = false;
};

// The key of the installed Strenda version, under HKEY_LOCAL_MACHINE.
inline constexpr const char* kStrendaKey = "HKLM\\SOFTWARE\\Varkel\\Strenda\\CurrentVersion";

// reg.exe of the system, as an administrator would run it; returns its exit
// code. `workDir` takes its output.
std::uint32_t reg(const std::vector<std::string>& arguments, const std::string& workDir);

}  // namespace vddb::windows_test
