// A store file of arbitrary bytes, opened as the repair opens it (a write
// session, with its quick check) and as a dump opens it (read-only), then
// checked, dumped, and every object read through the store interfaces; the
// write session also deletes an object with what it owns and rolls back.
// Any failure code is an answer; crashes, leaks, sanitizer reports, a failed
// open that leaves a session, a dump that is not JSON or loads to another
// dump, and engine objects outliving their session are findings. The seeds
// are real stores with small pages (make_seeds.cpp) so that mutations reach
// past the header.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz_files.h"
#include "platform/win32.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"
#include "store/storage_walk.h"

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

// Reads every value of `object` through the interfaces the repair uses,
// level by level of its class chain, as the attribute says it is typed.
void readObject(IStorageObject* object) {
  tScopedRef<IStorageObjectEx> ex;
  object->QueryInterface(IID_IStorageObjectEx, ex.putVoid());
  tScopedRef<IStorageClass> level;
  object->getClass(level.put());
  // A damaged catalog may loop; the engine refuses that at open, but the
  // walk stays bounded whatever it is given.
  for (int depth = 0; level && depth < 64; ++depth) {
    tScopedRef<IAttributeIdEnumerator> ids;
    level->enumAttributeIds(ids.put());
    std::uint32_t id = 0;
    std::uint32_t delivered = 0;
    while (ids && ids->Next(1, &id, &delivered) == S_OK && delivered == 1) {
      tScopedRef<IStorageAttribute> attribute;
      std::uint32_t type = 0;
      std::uint32_t flag = 0;
      if (level->getAttribute(id, attribute.put()) < 0 || attribute->getType(&type) < 0) continue;
      attribute->getFlag(&flag);
      if (type == kAttributeTypeInteger) {
        std::int32_t value = 0;
        object->getInteger(id, &value);
      } else if (type == kAttributeTypeString) {
        char16_t* text = nullptr;
        if (object->getString(id, &text) >= 0) CoTaskMemFree(text);
      } else if (type == kAttributeTypeReference) {
        tScopedRef<IStorageObject> target;
        object->getReference(id, target.put());
      } else if (type == kAttributeTypeReferenceList) {
        std::uint32_t count = 0;
        if (object->getObjectList(id, 0, nullptr, &count) < 0 || count > 4096) continue;
        std::vector<IStorageObject*> targets(count, nullptr);
        std::uint32_t filled = 0;
        if (object->getObjectList(id, count, targets.data(), &filled) >= 0) {
          if (filled > count) fail("getObjectList filled more slots than it was given");
          for (std::uint32_t i = 0; i < filled; ++i) {
            if (targets[i] != nullptr) targets[i]->Release();
          }
        }
        if (ex) {
          filled = 0;
          std::fill(targets.begin(), targets.end(), nullptr);
          GUID kind{};
          if (ex->getKindObjectList(id, count, kind, targets.data(), &filled) >= 0) {
            if (filled > count) fail("getKindObjectList filled more slots than it was given");
            for (std::uint32_t i = 0; i < filled; ++i) {
              if (targets[i] != nullptr) targets[i]->Release();
            }
          }
        }
      }
    }
    tScopedRef<IStorageClass> base;
    level->getBaseClass(base.put());
    level = std::move(base);
  }
}

// Opens each object the dump names and reads it; in a write session, then
// deletes the first one with everything it owns, as the repair's purges do
// (the caller rolls back).
void walkObjects(StoreSession& session, const std::string& dump, bool write) {
  const nlohmann::json parsed = nlohmann::json::parse(dump, nullptr, false);
  if (!parsed.is_object() || !parsed["objects"].is_array()) return;
  IkorrinStorage* storage = session.storage();
  bool deleted = false;
  for (const nlohmann::json& entry : parsed["objects"]) {
    const auto guid = vddb::parseGuid(entry.value("guid", std::string()));
    if (!guid) continue;
    tScopedRef<IStorageObject> object;
    if (storage->openObject(*guid, object.put()) < 0) continue;
    readObject(object.get());
    if (write && !deleted) {
      deleted = true;
      vddb::store::deleteWithOwned(storage, object.get());
    }
  }
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
      walkObjects(*session, dump, true);
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
      walkObjects(*session, dump, false);
      session.reset();
      checkDump(dump, "read-only");
    } else if (session) {
      fail("a failed read-only open left a session");
    }
  }
  if (vddb::engine::liveInterfaceCount() != 0) fail("engine objects outlive their sessions");
  return 0;
}
