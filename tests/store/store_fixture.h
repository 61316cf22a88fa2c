// Shared by the reader and walk tests: compact store fixtures in the JSON
// store format, and a test base that opens one in memory behind the
// fault-injecting decorator and checks at the end that every reference and
// every runtime block was given back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "platform/memory.h"
#include "store/guid.h"
#include "store/guid_list.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"
#include "store/wrappers.h"
#include "support/fault_injection.h"

namespace vddb::test {

// Object GUIDs numbered so that registry-form order is number order.
inline std::string objectId(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "0b000000-0000-4000-8000-%012x", n);
  return text;
}
inline GUID objectGuid(unsigned n) { return *parseGuid(objectId(n)); }

inline std::string attributeId(std::uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", id);
  return text;
}

struct AttributeSpec {
  std::uint32_t id;
  const char* type;  // "ref", "reflist", "int", "string"
  bool owning = false;
};

// Builds a store in the vddb-store/1 format.
class StoreJson {
 public:
  StoreJson& cls(const std::string& guid, const std::vector<AttributeSpec>& attributes,
                 const std::optional<std::string>& base = std::nullopt) {
    nlohmann::json c{{"guid", guid}, {"attributes", nlohmann::json::array()}};
    if (base) c["base"] = *base;
    for (const AttributeSpec& a : attributes) {
      nlohmann::json attribute{{"id", attributeId(a.id)}, {"type", a.type}};
      if (std::string(a.type).starts_with("ref")) attribute["owning"] = a.owning;
      c["attributes"].push_back(attribute);
    }
    _classes.push_back(std::move(c));
    return *this;
  }

  // `values` maps attribute IDs ("0x20C00010") to values.
  StoreJson& object(unsigned n, const std::string& classGuid,
                    nlohmann::json values = nlohmann::json::object()) {
    _objects.push_back(
        {{"guid", objectId(n)}, {"class", classGuid}, {"values", std::move(values)}});
    return *this;
  }

  std::string text() const {
    return nlohmann::json{{"format", "vddb-store/1"}, {"classes", _classes}, {"objects", _objects}}
        .dump();
  }

 private:
  nlohmann::json _classes = nlohmann::json::array();
  nlohmann::json _objects = nlohmann::json::array();
};

inline nlohmann::json refTo(unsigned n) { return objectId(n); }
inline nlohmann::json refsTo(const std::vector<unsigned>& ns) {
  nlohmann::json list = nlohmann::json::array();
  for (unsigned n : ns) list.push_back(objectId(n));
  return list;
}

inline std::vector<std::string> guidTexts(const GuidList& guids) {
  std::vector<std::string> texts;
  for (const GUID& g : guids) texts.push_back(formatGuid(g));
  return texts;
}
inline std::vector<std::string> objectIds(const std::vector<unsigned>& ns) {
  std::vector<std::string> texts;
  for (unsigned n : ns) texts.push_back(objectId(n));
  return texts;
}

// A store in memory behind the decorator. Checks on tear-down that every
// interface reference (engine objects and wrappers) was released and that
// the runtime memory taken during the test was given back.
class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { _allocationsAtStart = platform::liveAllocations(); }

  void TearDown() override {
    platform::clearAllocationFault();
    close();
    EXPECT_EQ(liveFaultWrappers(), 0u) << "a wrapped reference was not released";
    EXPECT_EQ(engine::liveInterfaceCount(), 0u) << "an engine reference was not released";
    EXPECT_EQ(platform::liveAllocations(), _allocationsAtStart) << "runtime memory leaked";
  }

  void open(const std::string& json) {
    std::string error;
    ASSERT_EQ(engine::StoreSession::openFromJson(json, _session, &error), S_OK) << error;
    _storage = _injector.wrap(_session->storage());
    ASSERT_TRUE(_storage);
  }
  void open(const StoreJson& store) { open(store.text()); }
  void close() {
    _storage.reset();
    _session.reset();
  }

  IkorrinStorage* storage() const { return _storage.get(); }
  FaultInjector& injector() { return _injector; }

  // Opens object n; the open call is taken out of the journal.
  tScopedRef<IStorageObject> object(unsigned n) {
    std::int32_t code = 0;
    tScopedRef<IStorageObject> o = store::openObject(_storage.get(), objectGuid(n), code);
    EXPECT_EQ(code, 0) << "object " << n << " did not open";
    _injector.clearJournal();
    return o;
  }

  bool exists(unsigned n) {
    std::int32_t code = 0;
    tScopedRef<IStorageObject> o = store::openObject(_session->storage(), objectGuid(n), code);
    return code == 0 && o;
  }

  engine::StoreSession& session() { return *_session; }

 private:
  std::uint64_t _allocationsAtStart = 0;
  FaultInjector _injector;
  std::unique_ptr<engine::StoreSession> _session;
  tScopedRef<IkorrinStorage> _storage;
};

}  // namespace vddb::test
