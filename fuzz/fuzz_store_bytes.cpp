// A store file of arbitrary bytes, opened as the repair opens it (a write
// session, with its quick check) and as a dump opens it (read-only), then
// checked and dumped. Any failure code is an answer; crashes, leaks,
// sanitizer reports, a failed open that leaves a session, and engine objects
// outliving their session are findings. The seeds are real stores with
// small pages (make_seeds.cpp) so that mutations reach past the header.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz_files.h"

namespace {

using vddb::engine::StoreSession;
using vddb::fuzz::fail;

void readThrough(StoreSession& session, bool allClasses) {
  std::vector<std::string> findings;
  session.checkIntegrity(StoreSession::IntegrityCheck::kFull, findings);
  std::string dump;
  session.dumpJson(dump);
  std::ostringstream out;
  session.dumpJson(out, allClasses);
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
      readThrough(*session, false);
      session->rollback();
    } else if (session) {
      fail("a failed open left a session");
    }
  }
  {
    std::unique_ptr<StoreSession> session;
    if (StoreSession::openReadOnly(path, session) >= 0) {
      readThrough(*session, true);
    } else if (session) {
      fail("a failed read-only open left a session");
    }
  }
  if (vddb::engine::liveInterfaceCount() != 0) fail("engine objects outlive their sessions");
  return 0;
}
