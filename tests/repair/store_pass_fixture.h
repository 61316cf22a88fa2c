// Shared by the tests of the passes that work on the store directly: a store
// in memory, built from a compact JSON fixture over the engine's built-in
// catalog, behind the fault-injecting decorator; the journal read back as
// short texts that name objects by their fixture number; and a tear-down
// that checks every reference and every runtime block was given back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "platform/memory.h"
#include "status/tStatus2.h"
#include "store/guid.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"
#include "support/fault_injection.h"

namespace vddb::test::passes {

// Object n of a fixture; registry-form order is number order, so the store
// enumerates a class's objects in number order.
inline std::string objectId(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "0b000000-0000-4000-8000-%012x", n);
  return text;
}
inline GUID objectGuid(unsigned n) { return *parseGuid(objectId(n)); }
// The fixture number of an object GUID in registry form, if it is one.
inline std::optional<unsigned> objectNumber(std::string_view text) {
  const std::string prefix = "0b000000-0000-4000-8000-";
  if (text.size() != 36 || text.substr(0, prefix.size()) != prefix) return std::nullopt;
  return static_cast<unsigned>(std::stoul(std::string(text.substr(prefix.size())), nullptr, 16));
}

inline std::string attr(std::uint32_t id) { return attributeText(id); }
inline nlohmann::json ref(unsigned n) { return objectId(n); }
inline nlohmann::json refs(const std::vector<unsigned>& ns) {
  nlohmann::json list = nlohmann::json::array();
  for (unsigned n : ns) list.push_back(objectId(n));
  return list;
}

// One object of a fixture: its number, class and values by attribute ID.
struct Obj {
  unsigned n;
  const char* cls;
  nlohmann::json values = nlohmann::json::object();
};

// Extra classes a fixture adds to the built-in catalog.
struct ExtraClass {
  const char* guid;
  const char* base;
  std::vector<std::pair<std::uint32_t, const char*>> attributes;  // id, "ref"/"reflist"/"int"
  bool owning = true;
};

inline std::string storeJson(const std::vector<Obj>& objects,
                             const std::vector<ExtraClass>& extra = {}) {
  nlohmann::json classes = nlohmann::json::array();
  for (const ExtraClass& c : extra) {
    nlohmann::json cls{{"guid", c.guid}, {"attributes", nlohmann::json::array()}};
    if (c.base != nullptr) cls["base"] = c.base;
    for (const auto& [id, type] : c.attributes) {
      nlohmann::json a{{"id", attr(id)}, {"type", type}};
      if (std::string_view(type).starts_with("ref")) a["owning"] = c.owning;
      cls["attributes"].push_back(a);
    }
    classes.push_back(cls);
  }
  nlohmann::json list = nlohmann::json::array();
  for (const Obj& o : objects) {
    list.push_back({{"guid", objectId(o.n)}, {"class", o.cls}, {"values", o.values}});
  }
  return nlohmann::json{{"format", "vddb-store/1"}, {"classes", classes}, {"objects", list}}.dump();
}

class StorePassTest : public ::testing::Test {
 protected:
  void SetUp() override { _allocationsAtStart = platform::liveAllocations(); }

  void TearDown() override {
    platform::clearAllocationFault();
    close();
    EXPECT_EQ(liveFaultWrappers(), 0u) << "a wrapped reference was not released";
    EXPECT_EQ(engine::liveInterfaceCount(), 0u) << "an engine reference was not released";
    EXPECT_EQ(platform::liveAllocations(), _allocationsAtStart) << "runtime memory leaked";
  }

  void open(const std::vector<Obj>& objects, const std::vector<ExtraClass>& extra = {}) {
    close();
    std::string error;
    ASSERT_EQ(engine::StoreSession::openFromJson(storeJson(objects, extra), _session, &error), S_OK)
        << error;
    _injector = std::make_unique<FaultInjector>();
    _storage = _injector->wrap(_session->storage());
    ASSERT_TRUE(_storage);
  }
  void close() {
    _storage.reset();
    _injector.reset();
    _session.reset();
  }

  tScopedRef<IkorrinStorage>& storage() { return _storage; }
  FaultInjector& injector() const { return *_injector; }

  // Object numbers still in the store, read past the decorator.
  std::set<unsigned> remaining() {
    std::string json;
    EXPECT_EQ(_session->dumpJson(json), S_OK);
    std::set<unsigned> numbers;
    const nlohmann::json dump = nlohmann::json::parse(json);
    for (const auto& o : dump.at("objects")) {
      if (auto n = objectNumber(o["guid"].get<std::string>())) numbers.insert(*n);
    }
    return numbers;
  }

  // The journal's entries of the given operations, as "#3 setObjectList(0xEEC00022, 0)";
  // deleteObject as "delete #3". Objects outside the fixture keep their GUID.
  std::vector<std::string> journal(const std::set<std::string>& operations) const {
    std::vector<std::string> out;
    for (const JournalEntry& e : _injector->journal()) {
      if (operations.count(e.operation) == 0) continue;
      if (e.operation == "deleteObject") {
        out.push_back("delete " + named(e.arguments.substr(0, 36)));
      } else {
        out.push_back(named(e.target) + " " + e.operation + "(" + e.arguments + ")");
      }
    }
    return out;
  }
  // The changes a pass made or tried: class tests, writes and deletions.
  std::vector<std::string> changes() const {
    return journal({"isOfClass", "setObjectList", "setReference", "deleteObject"});
  }
  // The objects whose deletion was requested, in order.
  std::vector<unsigned> deletionRequests() const {
    std::vector<unsigned> out;
    for (const JournalEntry& e : _injector->journal()) {
      if (e.operation != "deleteObject") continue;
      if (auto n = objectNumber(e.arguments.substr(0, 36))) out.push_back(*n);
    }
    return out;
  }

  // Whether `operation` was called on object n with exactly `arguments`.
  bool called(const std::string& operation, unsigned n, const std::string& arguments) const {
    for (const JournalEntry& e : _injector->journal()) {
      if (e.operation == operation && e.target == objectId(n) && e.arguments == arguments) {
        return true;
      }
    }
    return false;
  }

  static std::string named(const std::string& guidText) {
    if (auto n = objectNumber(guidText)) return "#" + std::to_string(*n);
    return guidText;
  }

 private:
  std::uint64_t _allocationsAtStart = 0;
  std::unique_ptr<engine::StoreSession> _session;
  std::unique_ptr<FaultInjector> _injector;
  tScopedRef<IkorrinStorage> _storage;
};

}  // namespace vddb::test::passes
