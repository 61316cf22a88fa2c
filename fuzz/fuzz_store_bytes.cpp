// A store file of arbitrary bytes, opened as the repair opens it (a write
// session, with its quick check) and as a dump opens it (read-only), then
// checked and dumped. Any failure code is an answer; crashes, leaks,
// sanitizer reports, a failed open that leaves a session, a dump that is not
// JSON or loads to another dump, and engine objects outliving their session
// are findings. The seeds are real stores with
// small pages (make_seeds.cpp) so that mutations reach past the header.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/engine.h"
#include "fuzz_files.h"

namespace {

using vddb::engine::StoreSession;
using vddb::fuzz::fail;

// Checks and dumps `session` both ways; the dump as a string in `dump` (empty
// when it failed).
void readThrough(StoreSession& session, bool allClasses, std::string& dump) {
  std::vector<std::string> findings;
  session.checkIntegrity(StoreSession::IntegrityCheck::kFull, findings);
  std::ostringstream out;
  session.dumpJson(out, allClasses);
  if (session.dumpJson(dump) < 0) dump.clear();
}

// A damaged store may dump what a load refuses (an object of an unknown
// class, a value its class does not declare): the dump shows the store as it
// is. But the dump is always JSON, and when it loads, it loads to itself.
void checkDump(const std::string& dump, const char* how) {
  if (dump.empty()) return;
  if (!nlohmann::json::accept(dump)) {
    fail(std::string("the dump of a store opened ") + how + " is not JSON:\n" + dump);
  }
  std::unique_ptr<StoreSession> loaded;
  if (StoreSession::openFromJson(dump, loaded) < 0) return;
  std::string again;
  std::string error;
  if (loaded->dumpJson(again, &error) < 0) fail("the loaded dump does not dump: " + error);
  if (again != dump) {
    fail(std::string("the dump of a store opened ") + how + " loads to another store:\n" + dump +
         "\n----\n" + again);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = vddb::fuzz::scratchFolder() + "/store.sqlite";
  // Nothing here ever commits, so no journal is left behind; one from an
  // earlier input would be taken for an interrupted commit.
  std::remove((path + "-journal").c_str());
  if (!vddb::fuzz::writeWholeFile(path, data, size)) fail("cannot write " + path);

  {
    std::unique_ptr<StoreSession> session;
    if (StoreSession::open(path, session) >= 0) {
      std::string dump;
      readThrough(*session, false, dump);
      session->rollback();
      session.reset();
      checkDump(dump, "for writing");
    } else if (session) {
      fail("a failed open left a session");
    }
  }
  {
    std::unique_ptr<StoreSession> session;
    if (StoreSession::openReadOnly(path, session) >= 0) {
      std::string dump;
      readThrough(*session, true, dump);
      session.reset();
      checkDump(dump, "read-only");
    } else if (session) {
      fail("a failed read-only open left a session");
    }
  }
  if (vddb::engine::liveInterfaceCount() != 0) fail("engine objects outlive their sessions");
  return 0;
}
