#include "store_fixture.h"

#include <cstdio>

#include "hwconfig/hwconfig.h"
#include "store/guid.h"

namespace vddb::hwconfig::tests {

namespace {

std::string idText(std::uint32_t id) { return formatGuid(idGuid(id)); }

}  // namespace

GUID idGuid(std::uint32_t id) {
  GUID guid{};
  guid.Data4[4] = static_cast<std::uint8_t>(id >> 24);
  guid.Data4[5] = static_cast<std::uint8_t>(id >> 16);
  guid.Data4[6] = static_cast<std::uint8_t>(id >> 8);
  guid.Data4[7] = static_cast<std::uint8_t>(id);
  return guid;
}

std::vector<GUID> toVector(const GuidList& list) { return {list.begin(), list.end()}; }

nlohmann::json& ObjectBuilder::values() {
  if (!_object.contains("values")) _object["values"] = nlohmann::json::object();
  return _object["values"];
}

ObjectBuilder& ObjectBuilder::ref(std::uint32_t attribute, std::optional<std::uint32_t> target) {
  values()[test::attributeText(attribute)] =
      target ? nlohmann::json(idText(*target)) : nlohmann::json(nullptr);
  return *this;
}

ObjectBuilder& ObjectBuilder::list(std::uint32_t attribute,
                                   std::initializer_list<std::uint32_t> targets) {
  nlohmann::json entries = nlohmann::json::array();
  for (std::uint32_t target : targets) entries.push_back(idText(target));
  values()[test::attributeText(attribute)] = entries;
  return *this;
}

ObjectBuilder& ObjectBuilder::integer(std::uint32_t attribute, std::int64_t value) {
  values()[test::attributeText(attribute)] = value;
  return *this;
}

ObjectBuilder& ObjectBuilder::text(std::uint32_t attribute, const std::string& value) {
  values()[test::attributeText(attribute)] = value;
  return *this;
}

StoreBuilder::StoreBuilder() {
  _store["format"] = "vddb-store/1";
  _store["classes"] = nlohmann::json::array();
  _store["objects"] = nlohmann::json::array();
}

ObjectBuilder StoreBuilder::object(std::uint32_t id, const GUID& objectClass) {
  _store["objects"].push_back({{"guid", idText(id)}, {"class", formatGuid(objectClass)}});
  return ObjectBuilder(_store["objects"].back());
}

StoreBuilder& StoreBuilder::derivedClass(const GUID& derived, const GUID& base) {
  _store["classes"].push_back({{"guid", formatGuid(derived)},
                               {"base", formatGuid(base)},
                               {"attributes", nlohmann::json::array()}});
  return *this;
}

void ConfigurationTest::open(const StoreBuilder& store) {
  std::string error;
  ASSERT_EQ(engine::StoreSession::openFromJson(store.json(), _session, &error), S_OK) << error;
  _decorated = _faults.wrap(_session->storage());
  tStatus2 status;
  _configuration = openConfiguration(*_session, _decorated.get(), status);
  ASSERT_EQ(status.code, 0);
  ASSERT_NE(_configuration, nullptr);
}

void ConfigurationTest::finalize() {
  if (_configuration == nullptr) return;
  tStatus2 status;
  _configuration->finalize(status);
  _configuration = nullptr;
}

void ConfigurationTest::TearDown() {
  finalize();
  _decorated.reset();
  EXPECT_EQ(_faults.liveWrappers(), 0U) << "a wrapped interface was not released";
  _session.reset();
  EXPECT_EQ(test::liveFaultWrappers(), 0U);
  EXPECT_EQ(engine::liveInterfaceCount(), 0U) << "an engine interface was not released";
}

bool ConfigurationTest::exists(const GUID& guid) {
  tScopedRef<IStorageObject> object;
  const HRESULT result = _session->storage()->openObject(guid, object.put());
  EXPECT_TRUE(result == S_OK || result == kStorageNotFound) << std::hex << result;
  return result == S_OK && object;
}

bool ConfigurationTest::exists(std::uint32_t id) { return exists(idGuid(id)); }

}  // namespace vddb::hwconfig::tests
