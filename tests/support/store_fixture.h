// Test bases for the tests that run on the real engine: a store opened in
// memory from a compact JSON fixture behind the fault-injecting decorator
// (StoreTest), optionally with the real configuration library over the
// decorated storage (ConfigurationTest). Every test ends by checking that no
// decorator wrapper, no engine interface and no runtime block taken during
// the test is left alive.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "store/configuration.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"
#include "support/fault_injection.h"
#include "support/store_json.h"

namespace vddb::test {

// A journal entry as "Interface::operation[target](arguments)", with
// " failed" when a fault took the call's place and numbered objects as "#n".
std::string entryText(const JournalEntry& entry);

// A numbered object's GUID as "#n"; any other text as it is.
std::string named(const std::string& guidText);

// "#n", the name the journal text gives numbered object n.
std::string numberName(unsigned long n);

class StoreTest : public ::testing::Test {
 protected:
  StoreTest();
  ~StoreTest() override;

  void SetUp() override;
  void TearDown() override;

  // Opens the store behind the decorator. Opening over a store that is still
  // open closes it and starts a fresh injector, so call counts start again;
  // otherwise the injector (and what a test armed on it) is kept.
  virtual void open(const std::string& json);
  void open(const StoreJson& store) { open(store.text()); }
  void open(const std::vector<Obj>& objects, const std::vector<ExtraClass>& extra = {}) {
    open(StoreJson::of(objects, extra));
  }
  // Drops the decorated storage and closes the store.
  virtual void close();
  // After close(): no wrapper, no engine interface and no runtime block
  // taken since the test began is left.
  void expectAllReleased();

  tScopedRef<IkorrinStorage>& storage() { return _storage; }
  IkorrinStorage* decorated() const { return _storage.get(); }
  FaultInjector& injector() const { return *_injector; }
  engine::StoreSession& session() { return *_session; }

  // Opens object n through the decorator; the open call is taken out of the journal.
  tScopedRef<IStorageObject> object(unsigned n);
  // Whether an object is still in the store, asked past the decorator.
  bool exists(unsigned n);
  bool exists(const GUID& guid);
  // The store as canonical JSON, read past the decorator.
  nlohmann::json dump();
  // The numbers of the numbered objects still in the store.
  std::set<unsigned> remaining();

  // The journal from entry `from` on, as entryText gives it.
  std::vector<std::string> journalSince(std::size_t from) const;
  // The journal's entries of the given operations, as "#3 setObjectList(0xEEC00022, 0)";
  // deleteObject as "delete #3". Objects that are not numbered keep their GUID.
  std::vector<std::string> journal(const std::set<std::string>& operations) const;
  // The changes made or tried: class tests, writes and deletions.
  std::vector<std::string> changes() const;
  // The numbered objects whose deletion was requested, in order.
  std::vector<unsigned> deletionRequests() const;
  // Whether `operation` was called on object n with exactly `arguments`.
  bool called(const std::string& operation, unsigned n, const std::string& arguments) const;

 private:
  std::uint64_t _allocationsAtStart = 0;
  std::unique_ptr<FaultInjector> _injector;
  std::unique_ptr<engine::StoreSession> _session;
  tScopedRef<IkorrinStorage> _storage;
};

// A StoreTest with the configuration library over the decorated storage,
// finalized when the store is closed.
class ConfigurationTest : public StoreTest {
 protected:
  using StoreTest::open;
  // The journal is kept whole, so that the injector's call counts and the
  // journal agree; what came after the opening starts at journalStart().
  void open(const std::string& json) override;
  void close() override;
  // Finalizes the configuration now (also done when the store is closed).
  void finalize();

  tMHWConfiguration& configuration() { return *_configuration; }
  std::size_t journalStart() const { return _journalStart; }

 private:
  tMHWConfiguration* _configuration = nullptr;
  std::size_t _journalStart = 0;
};

}  // namespace vddb::test
