#include "windows_process.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace vddb::windows_test {
namespace {

// One argument quoted for CreateProcess's command line (the C runtime's
// parsing rules: backslashes matter only before a quote).
std::string quote(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      quoted.append(backslashes + 1, '\\');  // doubles the run, escapes the quote
      backslashes = 0;
    } else {
      backslashes = 0;
    }
    quoted += c;
  }
  quoted.append(backslashes, '\\');
  quoted += '"';
  return quoted;
}

HANDLE inheritableFile(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     &inherit, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

std::string windowsPath(std::string path) {
  if (!path.empty() && path.front() == '/') path = "Z:" + path;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string textModeLineEnds(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& workDir,
                           const std::string& tag)
    : _outPath(workDir + "\\" + tag + ".out"), _errPath(workDir + "\\" + tag + ".err") {
  std::string commandLine;
  for (const std::string& argument : argv) {
    if (!commandLine.empty()) commandLine += ' ';
    commandLine += quote(argument);
  }
  const HANDLE in = inheritableFile("NUL", GENERIC_READ, OPEN_EXISTING);
  const HANDLE out = inheritableFile(_outPath, GENERIC_WRITE, CREATE_ALWAYS);
  const HANDLE err = inheritableFile(_errPath, GENERIC_WRITE, CREATE_ALWAYS);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION info{};
  std::vector<char> writable(commandLine.begin(), commandLine.end());
  writable.push_back('\0');
  if (in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
      CreateProcessA(nullptr, writable.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &startup, &info)) {
    CloseHandle(info.hThread);
    _process = info.hProcess;
  }
  for (HANDLE h : {in, out, err}) {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
}

ChildProcess::~ChildProcess() {
  if (_process != nullptr) {
    if (WaitForSingleObject(_process, 0) == WAIT_TIMEOUT) {
      TerminateProcess(_process, 1);
      WaitForSingleObject(_process, 10000);
    }
    CloseHandle(_process);
  }
}

bool ChildProcess::waitForOutput(const std::string& text, std::uint32_t milliseconds) const {
  const ULONGLONG deadline = GetTickCount64() + milliseconds;
  for (;;) {
    if (outputSoFar().find(text) != std::string::npos) return true;
    if (_process == nullptr || WaitForSingleObject(_process, 0) != WAIT_TIMEOUT) {
      return outputSoFar().find(text) != std::string::npos;
    }
    if (GetTickCount64() >= deadline) return false;
    Sleep(20);
  }
}

ProcessResult ChildProcess::wait(std::uint32_t milliseconds) {
  ProcessResult result;
  result.started = _process != nullptr;
  if (_process != nullptr) {
    result.finished = WaitForSingleObject(_process, milliseconds) == WAIT_OBJECT_0;
    if (!result.finished) {
      TerminateProcess(_process, 1);
      WaitForSingleObject(_process, 10000);
    }
    DWORD code = 0;
    GetExitCodeProcess(_process, &code);
    result.exitCode = code;
    CloseHandle(_process);
    _process = nullptr;
  }
  result.out = readFile(_outPath);
  result.err = readFile(_errPath);
  return result;
}

ProcessResult run(const std::vector<std::string>& argv, const std::string& workDir,
                  const std::string& tag, std::uint32_t milliseconds) {
  ChildProcess child(argv, workDir, tag);
  return child.wait(milliseconds);
}

RegistryGuard::RegistryGuard() {
  _mutex = CreateMutexA(nullptr, FALSE, "vddb-windows-test-registry");
  if (_mutex != nullptr) {
    const DWORD waited = WaitForSingleObject(_mutex, 300000);
    _owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
}

RegistryGuard::~RegistryGuard() {
  release();
  if (_mutex != nullptr) CloseHandle(_mutex);
}

void RegistryGuard::release() {
  if (_owned) ReleaseMutex(_mutex);
  _owned = false;
}

std::uint32_t reg(const std::vector<std::string>& arguments, const std::string& workDir) {
  char system[MAX_PATH] = {};
  GetSystemDirectoryA(system, MAX_PATH);
  std::vector<std::string> argv{std::string(system) + "\\reg.exe"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const ProcessResult result = run(argv, workDir, "reg");
  return result.finished ? result.exitCode : 0xFFFFFFFFU;
}

}  // namespace vddb::windows_test
