// fuzz_make_seeds OUT INPUT.json...: the seed corpora that come from the
// repository's JSON stores. For each input FOLDER/NAME.json it writes, under
// the name FOLDER-NAME,
//   OUT/store/NAME.sqlite  the store, rewritten with 512-byte pages: with the
//                          default 4 KiB pages a store of a few objects is
//                          larger than the fuzzer's input limit, and every
//                          mutation of a cut-off store is refused as truncated
//   OUT/json/NAME.json     its dump with every built-in class written out,
//                          so that the JSON fuzzer starts with a classes part
// Inputs that do not load are reported and skipped; the exit code is 1 when
// none loaded.
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "engine/engine.h"

namespace {

namespace fs = std::filesystem;
using vddb::engine::StoreSession;

bool shrinkPages(const std::string& path) {
  sqlite3* db = nullptr;
  bool ok =
      sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
      sqlite3_exec(db, "PRAGMA page_size = 512; VACUUM;", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

bool makeSeeds(const fs::path& input, const fs::path& out) {
  // The end-to-end inputs are all input.json: their folder tells them apart.
  const std::string name = input.parent_path().filename().string() + "-" + input.stem().string();
  std::ifstream json(input, std::ios::binary);
  std::ostringstream text;
  text << json.rdbuf();

  std::unique_ptr<StoreSession> session;
  std::string error;
  if (StoreSession::openFromJson(text.str(), session, &error) < 0) {
    std::fprintf(stderr, "%s: %s\n", input.c_str(), error.c_str());
    return false;
  }
  std::ofstream dump(out / "json" / (name + ".json"), std::ios::binary);
  if (session->dumpJson(dump, true, &error) < 0 || !dump.flush()) {
    std::fprintf(stderr, "%s: cannot dump: %s\n", input.c_str(), error.c_str());
    return false;
  }

  const std::string store = (out / "store" / (name + ".sqlite")).string();
  std::istringstream again(text.str());
  if (vddb::engine::createStoreFromJson(again, store, true, &error) < 0 || !shrinkPages(store)) {
    std::fprintf(stderr, "%s: cannot write %s: %s\n", input.c_str(), store.c_str(), error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: fuzz_make_seeds OUT INPUT.json...\n");
    return 2;
  }
  const fs::path out = argv[1];
  std::error_code failed;
  fs::create_directories(out / "json", failed);
  fs::create_directories(out / "store", failed);
  int made = 0;
  for (int i = 2; i < argc; ++i) made += makeSeeds(argv[i], out) ? 1 : 0;
  std::printf("fuzz_make_seeds: %d of %d stores in %s\n", made, argc - 2, out.c_str());
  return made > 0 ? 0 : 1;
}
