#include "support/store_fixture.h"

#include "hwconfig/hwconfig.h"
#include "platform/memory.h"
#include "status/tStatus2.h"
#include "store/guid.h"
#include "store/wrappers.h"

namespace vddb::test {

std::string entryText(const JournalEntry& entry) {
  std::string text = entry.interfaceName + "::" + entry.operation;
  if (!entry.target.empty()) text += "[" + entry.target + "]";
  text += "(" + entry.arguments + ")";
  if (entry.injected) text += " failed";
  return withNumbers(text);
}

std::string named(const std::string& guidText) {
  if (auto n = objectNumber(guidText)) return numberName(*n);
  return guidText;
}

std::string numberName(unsigned long n) {
  // Appended rather than "#" + std::to_string(n): GCC 12 warns falsely
  // (-Wrestrict) on that form in optimised 32-bit builds.
  std::string name = "#";
  name += std::to_string(n);
  return name;
}

StoreTest::StoreTest() : _injector(std::make_unique<FaultInjector>()) {}
StoreTest::~StoreTest() = default;

void StoreTest::SetUp() { _allocationsAtStart = platform::liveAllocations(); }

void StoreTest::TearDown() {
  platform::clearAllocationFault();
  close();
  expectAllReleased();
}

void StoreTest::expectAllReleased() {
  EXPECT_EQ(liveFaultWrappers(), 0U) << "a wrapped reference was not released";
  EXPECT_EQ(engine::liveInterfaceCount(), 0U) << "an engine reference was not released";
  EXPECT_EQ(platform::liveAllocations(), _allocationsAtStart) << "runtime memory leaked";
}

void StoreTest::open(const std::string& json) {
  if (_session != nullptr) {
    close();
    _injector = std::make_unique<FaultInjector>();
  }
  std::string error;
  ASSERT_EQ(engine::StoreSession::openFromJson(json, _session, &error), S_OK) << error;
  _storage = _injector->wrap(_session->storage());
  ASSERT_TRUE(_storage);
}

void StoreTest::close() {
  _storage.reset();
  _session.reset();
}

tScopedRef<IStorageObject> StoreTest::object(unsigned n) {
  std::int32_t code = 0;
  tScopedRef<IStorageObject> o = store::openObject(_storage.get(), objectGuid(n), code);
  EXPECT_EQ(code, 0) << "object " << n << " did not open";
  _injector->clearJournal();
  return o;
}

bool StoreTest::exists(unsigned n) { return exists(objectGuid(n)); }

bool StoreTest::exists(const GUID& guid) {
  tScopedRef<IStorageObject> object;
  const HRESULT result = _session->storage()->openObject(guid, object.put());
  EXPECT_TRUE(result == S_OK || result == kStorageNotFound) << std::hex << result;
  return result == S_OK && object;
}

nlohmann::json StoreTest::dump() {
  std::string text;
  EXPECT_EQ(_session->dumpJson(text), S_OK);
  return nlohmann::json::parse(text);
}

std::set<unsigned> StoreTest::remaining() {
  std::set<unsigned> numbers;
  const nlohmann::json store = dump();
  for (const auto& o : store.at("objects")) {
    if (auto n = objectNumber(o["guid"].get<std::string>())) numbers.insert(*n);
  }
  return numbers;
}

std::vector<std::string> StoreTest::journalSince(std::size_t from) const {
  std::vector<std::string> out;
  const std::vector<JournalEntry>& entries = _injector->journal();
  for (std::size_t i = from; i < entries.size(); ++i) out.push_back(entryText(entries[i]));
  return out;
}

std::vector<std::string> StoreTest::journal(const std::set<std::string>& operations) const {
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

std::vector<std::string> StoreTest::changes() const {
  return journal({"isOfClass", "setObjectList", "setReference", "deleteObject"});
}

std::vector<unsigned> StoreTest::deletionRequests() const {
  std::vector<unsigned> out;
  for (const JournalEntry& e : _injector->journal()) {
    if (e.operation != "deleteObject") continue;
    if (auto n = objectNumber(e.arguments.substr(0, 36))) out.push_back(*n);
  }
  return out;
}

bool StoreTest::called(const std::string& operation, unsigned n,
                       const std::string& arguments) const {
  for (const JournalEntry& e : _injector->journal()) {
    if (e.operation == operation && e.target == objectId(n) && e.arguments == arguments) {
      return true;
    }
  }
  return false;
}

void ConfigurationTest::open(const std::string& json) {
  StoreTest::open(json);
  if (::testing::Test::HasFatalFailure()) return;
  tStatus2 status;
  _configuration = hwconfig::openConfiguration(session(), decorated(), status);
  ASSERT_EQ(status.code, 0);
  ASSERT_NE(_configuration, nullptr);
  _journalStart = injector().journal().size();
}

void ConfigurationTest::close() {
  finalize();
  StoreTest::close();
}

void ConfigurationTest::finalize() {
  if (_configuration == nullptr) return;
  tStatus2 status;
  _configuration->finalize(status);
  _configuration = nullptr;
}

}  // namespace vddb::test
