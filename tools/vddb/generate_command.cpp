#include "generate_command.h"

#include <cstdio>
#include <iostream>
#include <new>

#include "engine/engine.h"
#include "generate/generate_store.h"
#include "progress.h"

namespace vddb::tool {

namespace {

// "generating: 412,000 of 1,000,000 objects" on the progress line.
class GenerateLine final : public generate::GenerateProgress {
 public:
  GenerateLine(ProgressLine& line, std::uint64_t objects) : _line(line), _objects(objects) {}
  void objectsGenerated(std::uint64_t objects, bool all) noexcept override {
    try {
      if (all) {
        _line.draw("generating: all generated, building the store");
      } else if (_line.due()) {
        _line.draw("generating: " + groupedCount(objects) + " of " + groupedCount(_objects) +
                   " objects");
      }
    } catch (const std::bad_alloc&) {
      // Only a display: the generation goes on without it.
    }
  }

 private:
  ProgressLine& _line;
  std::uint64_t _objects;
};

}  // namespace

int runGenerate(const GenerateArguments& arguments) {
  const generate::StoreRecipe recipe{arguments.objects, arguments.seed, arguments.damageRate};
  generate::StoreSummary summary;
  std::string error;
  ProgressLine line(arguments.progress ? &std::cerr : nullptr);
  GenerateLine progress(line, arguments.objects);
  const HRESULT hr = generate::generateStoreFile(recipe, arguments.storePath, arguments.force,
                                                 &error, &summary, line.on() ? &progress : nullptr);
  line.clear();
  if (hr < 0) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    std::cerr << "vddb generate: " << arguments.storePath << ": "
              << (error.empty() ? std::string(engine::resultName(hr)) + " (" + code + ")" : error)
              << "\n";
    return 8;  // as every store failure of vddb
  }
  std::cout << arguments.storePath << ": " << summary.objects << " objects in " << summary.items
            << " items; damaged for passes 1-12:";
  for (const std::uint64_t damaged : summary.damagedForPass) std::cout << ' ' << damaged;
  std::cout << "\n";
  return 0;
}

}  // namespace vddb::tool
