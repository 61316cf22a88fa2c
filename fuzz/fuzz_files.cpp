#include "fuzz_files.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vddb::fuzz {
namespace {

std::string makeScratchFolder() {
  std::error_code ignored;
  const std::string base = std::filesystem::is_directory("/dev/shm", ignored)
                               ? std::string("/dev/shm")
                               : std::filesystem::temp_directory_path().string();
  std::string pattern = base + "/vddb-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) fail("cannot make a folder under " + base);
  return pattern;
}

}  // namespace

const std::string& scratchFolder() {
  // Never destroyed: the exit handler below still needs the name after the
  // static objects are gone.
  static const std::string* const folder = [] {
    const auto* made = new std::string(makeScratchFolder());
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratchFolder(), ignored);
    });
    return made;
  }();
  return *folder;
}

bool writeWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  return static_cast<bool>(out);
}

void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz property broken: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace vddb::fuzz
