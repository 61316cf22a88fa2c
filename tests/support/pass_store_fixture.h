// For the tests of repair passes on the real engine: a compact builder of
// JSON stores, and a test base that opens one in memory behind the
// fault-injecting decorator, with the real configuration library over the
// decorated storage. On tear-down it checks that every interface reference
// (engine objects and wrappers) and every runtime block was given back.
//
// Header only. Link vddb_hwconfig, vddb_test_support and nlohmann_json.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "hwconfig/hwconfig.h"
#include "platform/memory.h"
#include "status/tStatus2.h"
#include "store/configuration.h"
#include "store/guid.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"
#include "support/fault_injection.h"

namespace vddb::test {

// Object n has a GUID whose registry text ends in n, so query order (ascending
// registry text) is number order.
inline std::string numberedId(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012x", n);
  return text;
}
inline GUID numberedGuid(unsigned n) { return *parseGuid(numberedId(n)); }

// `text` with the GUID of every numbered object n written as "#n".
inline std::string withNumbers(std::string text) {
  static const std::regex numbered("00000000-0000-4000-8000-([0-9a-f]{12})");
  std::string out;
  std::smatch match;
  while (std::regex_search(text, match, numbered)) {
    out += match.prefix().str() + "#" + std::to_string(std::stoul(match[1].str(), nullptr, 16));
    text = match.suffix().str();
  }
  return out + text;
}

// A journal entry as "Interface::operation[target](arguments)", with
// " failed" when a fault took the call's place and numbered objects as "#n".
inline std::string entryText(const JournalEntry& entry) {
  std::string text = entry.interfaceName + "::" + entry.operation;
  if (!entry.target.empty()) text += "[" + entry.target + "]";
  text += "(" + entry.arguments + ")";
  if (entry.injected) text += " failed";
  return withNumbers(text);
}

// A store in the vddb-store/1 format; objects are numbered.
class PassStoreJson {
 public:
  // `values` maps attribute IDs in the form attributeText gives to values.
  PassStoreJson& object(unsigned n, const GUID& objectClass,
                        nlohmann::json values = nlohmann::json::object()) {
    _objects.push_back({{"guid", numberedId(n)},
                        {"class", formatGuid(objectClass)},
                        {"values", std::move(values)}});
    return *this;
  }
  std::string text() const {
    return nlohmann::json{{"format", "vddb-store/1"}, {"objects", _objects}}.dump();
  }

 private:
  nlohmann::json _objects = nlohmann::json::array();
};

inline nlohmann::json refTo(unsigned n) { return numberedId(n); }
inline nlohmann::json refsTo(std::initializer_list<unsigned> ns) {
  nlohmann::json list = nlohmann::json::array();
  for (unsigned n : ns) list.push_back(numberedId(n));
  return list;
}

class PassStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { _allocationsAtStart = platform::liveAllocations(); }

  void TearDown() override {
    platform::clearAllocationFault();
    close();
    expectAllReleased();
  }

  // Finalizes the configuration and closes the store.
  void close() {
    finalize();
    _storage.reset();
    EXPECT_EQ(_faults.liveWrappers(), 0U) << "a wrapped interface was not released";
    _session.reset();
  }

  // After close(): no interface and no runtime block is left.
  void expectAllReleased() {
    EXPECT_EQ(liveFaultWrappers(), 0U) << "a wrapped interface was not released";
    EXPECT_EQ(engine::liveInterfaceCount(), 0U) << "an engine interface was not released";
    EXPECT_EQ(platform::liveAllocations(), _allocationsAtStart) << "runtime memory leaked";
  }

  // Opens the store behind the decorator and the configuration over the
  // decorated storage. The journal is kept whole, so that the injector's
  // call counts and the journal's agree; what came after the opening starts
  // at journalStart().
  void open(const PassStoreJson& store) {
    std::string error;
    ASSERT_EQ(engine::StoreSession::openFromJson(store.text(), _session, &error), S_OK) << error;
    _storage = _faults.wrap(_session->storage());
    ASSERT_TRUE(_storage);
    tStatus2 status;
    _configuration = hwconfig::openConfiguration(*_session, _storage.get(), status);
    ASSERT_EQ(status.code, 0);
    ASSERT_NE(_configuration, nullptr);
    _journalStart = _faults.journal().size();
  }

  void finalize() {
    if (_configuration == nullptr) return;
    tStatus2 status;
    _configuration->finalize(status);
    _configuration = nullptr;
  }

  // Whether object n is still in the store, asked past the decorator.
  bool exists(unsigned n) {
    tScopedRef<IStorageObject> object;
    const HRESULT result = _session->storage()->openObject(numberedGuid(n), object.put());
    EXPECT_TRUE(result == S_OK || result == kStorageNotFound) << std::hex << result;
    return result == S_OK && object;
  }

  // The store as canonical JSON.
  nlohmann::json dump() {
    std::string text;
    EXPECT_EQ(_session->dumpJson(text), S_OK);
    return nlohmann::json::parse(text);
  }

  // The journal from entry `from` on, as entryText gives it.
  std::vector<std::string> journalSince(std::size_t from) const {
    std::vector<std::string> out;
    const std::vector<JournalEntry>& journal = _faults.journal();
    for (std::size_t i = from; i < journal.size(); ++i) out.push_back(entryText(journal[i]));
    return out;
  }

  FaultInjector& faults() { return _faults; }
  std::size_t journalStart() const { return _journalStart; }
  tScopedRef<IkorrinStorage>& storage() { return _storage; }
  tMHWConfiguration& configuration() { return *_configuration; }

 private:
  std::uint64_t _allocationsAtStart = 0;
  std::size_t _journalStart = 0;
  FaultInjector _faults;
  std::unique_ptr<engine::StoreSession> _session;
  tScopedRef<IkorrinStorage> _storage;
  tMHWConfiguration* _configuration = nullptr;
};

}  // namespace vddb::test
