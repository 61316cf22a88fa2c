// vddb generate: a generated store (src/generate) written to a store file.
#pragma once

#include <cstdint>
#include <string>

namespace vddb::tool {

struct GenerateArguments {
  std::uint64_t objects = 0;
  std::uint64_t seed = 0;
  double damageRate = 0.0;
  std::string storePath;
  bool force = false;
  bool progress = false;  // keep a progress line on standard error (a terminal)
};

// Builds the store and prints one line about it on standard output; a
// failure is one line on standard error. Returns the exit code.
int runGenerate(const GenerateArguments& arguments);

}  // namespace vddb::tool
