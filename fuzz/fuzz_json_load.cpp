// The JSON loader (vddb-store/1) on arbitrary bytes. Any result code is an
// answer; what must hold:
// - the in-memory load and the file load (createStoreFromJson, which stages
//   its rows and finds duplicate GUIDs differently) agree on the result;
// - a store that loads dumps, and its dump loads again to the same dump;
// - the dump with every built-in class written out loads to the same store;
// - a loaded file reads back (openReadOnly) to the same dump;
// - no engine interface object outlives its session.
// Crashes, leaks and sanitizer reports are findings too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "engine/engine.h"
#include "fuzz_files.h"

namespace {

using vddb::engine::StoreSession;
using vddb::fuzz::fail;

std::string code(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return std::string(text) + " (" + vddb::engine::resultName(hr) + ")";
}

// Loads `json` in memory and dumps it: the load's result, the dump in
// `dump` and, when `everything` is given, the dump with every class there.
HRESULT loadAndDump(std::string_view json, std::string& dump, const char* what,
                    std::string* everything = nullptr) {
  std::unique_ptr<StoreSession> session;
  std::string error;
  const HRESULT hr = StoreSession::openFromJson(json, session, &error);
  if (hr < 0) {
    if (session) fail(std::string(what) + ": a failed load left a session");
    return hr;
  }
  if (session->dumpJson(dump, &error) < 0) {
    fail(std::string(what) + ": a loaded store does not dump: " + error);
  }
  if (everything != nullptr) {
    std::ostringstream out;
    if (session->dumpJson(out, true, &error) < 0) {
      fail(std::string(what) + ": the dump with every class fails: " + error);
    }
    *everything = std::move(out).str();
  }
  return hr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);

  std::string dump;
  const HRESULT loaded = loadAndDump(json, dump, "the input");

  // The same bytes through the file load.
  static const std::string path = vddb::fuzz::scratchFolder() + "/store.sqlite";
  std::istringstream in{std::string(json)};
  std::string fileError;
  const HRESULT fileLoaded = vddb::engine::createStoreFromJson(in, path, true, &fileError);
  if ((loaded < 0) != (fileLoaded < 0) || (loaded < 0 && loaded != fileLoaded)) {
    fail("in memory the load gives " + code(loaded) + ", to a file " + code(fileLoaded) + ": " +
         fileError);
  }

  if (loaded >= 0) {
    std::string again;
    std::string everything;
    const HRESULT reloaded = loadAndDump(dump, again, "the dump", &everything);
    if (reloaded < 0) fail("the dump does not load: " + code(reloaded));
    if (again != dump) fail("the dump of the loaded dump differs:\n" + dump + "\n----\n" + again);

    const HRESULT full = loadAndDump(everything, again, "the dump with every class");
    if (full < 0) fail("the dump with every class does not load: " + code(full));
    if (again != dump) fail("the dump with every class loads to another store:\n" + again);

    std::unique_ptr<StoreSession> file;
    const HRESULT opened = StoreSession::openReadOnly(path, file);
    if (opened < 0) fail("the loaded file does not open: " + code(opened));
    std::string error;
    if (file->dumpJson(again, &error) < 0) fail("the loaded file does not dump: " + error);
    if (again != dump) fail("the loaded file dumps otherwise:\n" + dump + "\n----\n" + again);
  }

  if (vddb::engine::liveInterfaceCount() != 0) fail("engine objects outlive their sessions");
  return 0;
}
