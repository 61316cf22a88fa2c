// Compact JSON stores for the configuration library's tests, and the test
// base that opens one in memory with the fault decorator in front of it.
//
// Objects are named by small numbers: object(7, ...) has the GUID
// 00000000-0000-0000-0000-000000000007, so query order (ascending GUID text)
// is numeric order.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "status/tStatus2.h"
#include "store/configuration.h"
#include "store/guid_list.h"
#include "support/fault_injection.h"

namespace vddb::hwconfig::tests {

GUID idGuid(std::uint32_t id);
std::vector<GUID> toVector(const GuidList& list);

class ObjectBuilder {
 public:
  explicit ObjectBuilder(nlohmann::json& object) : _object(object) {}
  ObjectBuilder& ref(std::uint32_t attribute, std::optional<std::uint32_t> target);
  ObjectBuilder& list(std::uint32_t attribute, std::initializer_list<std::uint32_t> targets);
  ObjectBuilder& integer(std::uint32_t attribute, std::int64_t value);
  ObjectBuilder& text(std::uint32_t attribute, const std::string& value);

 private:
  nlohmann::json& values();
  nlohmann::json& _object;
};

class StoreBuilder {
 public:
  StoreBuilder();
  ObjectBuilder object(std::uint32_t id, const GUID& objectClass);
  // A class deriving from `base` that declares nothing of its own.
  StoreBuilder& derivedClass(const GUID& derived, const GUID& base);
  std::string json() const { return _store.dump(); }

 private:
  nlohmann::json _store;
};

// Opens a store from JSON, wraps its storage in the decorator and builds a
// configuration over the decorated storage. At the end of every test the
// configuration is finalized and the test checks that no wrapper and no
// engine interface is left alive.
class ConfigurationTest : public ::testing::Test {
 protected:
  void open(const StoreBuilder& store);
  void TearDown() override;

  // Finalizes the configuration now (also done at the end of the test).
  void finalize();
  // Whether the object exists, asked of the store directly (not journaled).
  bool exists(std::uint32_t id);
  bool exists(const GUID& guid);

  tMHWConfiguration& configuration() { return *_configuration; }
  IkorrinStorage* decorated() { return _decorated.get(); }

  std::unique_ptr<engine::StoreSession> _session;
  test::FaultInjector _faults;
  tScopedRef<IkorrinStorage> _decorated;
  tMHWConfiguration* _configuration = nullptr;
};

}  // namespace vddb::hwconfig::tests
