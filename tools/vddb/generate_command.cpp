#include "generate_command.h"

#include <cstdio>
#include <iostream>

#include "engine/engine.h"
#include "generate/generate_store.h"

namespace vddb::tool {

int runGenerate(const GenerateArguments& arguments) {
  const generate::StoreRecipe recipe{arguments.objects, arguments.seed, arguments.damageRate};
  generate::StoreSummary summary;
  std::string error;
  const HRESULT hr =
      generate::generateStoreFile(recipe, arguments.storePath, arguments.force, &error, &summary);
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
