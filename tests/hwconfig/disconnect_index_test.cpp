// disconnectAccessoryFromDevice through the engine's referrer index deletes
// exactly what reading every accessory configuration deletes, and the
// accessory pass then queries the class once however many it disconnects.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/referrers.h"
#include "generate/generate_store.h"
#include "hwconfig/hwconfig.h"
#include "repair/passes.h"
#include "store/guid.h"
#include "store/model_ids.h"
#include "support/store_json.h"

namespace vddb::hwconfig {
namespace {

using test::StoreJson;

// Forwards to the engine's root and counts the class queries and referrer
// lookups; without `offersIndex` it answers like a storage that has no
// IStorageReferrers, so the library reads every accessory configuration.
class CountingStorage final : public IkorrinStorage, public IStorageReferrers {
 public:
  CountingStorage(IkorrinStorage* inner, bool offersIndex) : _inner(inner), _offers(offersIndex) {}

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IkorrinStorage) {
      *object = static_cast<IkorrinStorage*>(this);
    } else if (iid == IID_IStorageReferrers && _offers) {
      *object = static_cast<IStorageReferrers*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG VDDB_STDCALL AddRef() override { return ++_refs; }
  ULONG VDDB_STDCALL Release() override { return --_refs; }  // lives on the test's stack

  HRESULT VDDB_STDCALL createQuery(const GUID& classGuid, std::uint32_t flag,
                                   std::uint32_t reserved, IStorageQuery** query) override {
    ++classQueries;
    return _inner->createQuery(classGuid, flag, reserved, query);
  }
  HRESULT VDDB_STDCALL deleteObject(const GUID& guid, IUnknown** result) override {
    ++deletions;
    return _inner->deleteObject(guid, result);
  }
  HRESULT VDDB_STDCALL openObject(const GUID& guid, IStorageObject** object) override {
    return _inner->openObject(guid, object);
  }
  HRESULT VDDB_STDCALL runQuery(IStorageQuery* query, IGuidEnumerator** enumerator) override {
    return _inner->runQuery(query, enumerator);
  }
  HRESULT VDDB_STDCALL findReferrers(const GUID& classGuid, std::uint32_t flag,
                                     std::uint32_t attributeId, const GUID& target,
                                     IGuidEnumerator** enumerator) override {
    ++lookups;
    tScopedRef<IStorageReferrers> inner;
    const HRESULT hr = _inner->QueryInterface(IID_IStorageReferrers, inner.putVoid());
    if (hr < 0) return hr;
    return inner->findReferrers(classGuid, flag, attributeId, target, enumerator);
  }

  int classQueries = 0;
  int lookups = 0;
  int deletions = 0;

 private:
  IkorrinStorage* _inner;
  bool _offers;
  std::atomic<ULONG> _refs{1};
};

// A configuration over `json` in memory, through a CountingStorage.
class ConfigurationRun {
 public:
  ConfigurationRun(const std::string& json, bool offersIndex) {
    std::string error;
    EXPECT_EQ(engine::StoreSession::openFromJson(json, _session, &error), S_OK) << error;
    if (!_session) return;
    _storage = std::make_unique<CountingStorage>(_session->storage(), offersIndex);
    tStatus2 status;
    _configuration = openConfiguration(*_session, _storage.get(), status);
    EXPECT_EQ(status.code, 0);
  }
  ConfigurationRun(const ConfigurationRun&) = delete;
  ConfigurationRun& operator=(const ConfigurationRun&) = delete;
  ~ConfigurationRun() {
    tStatus2 status;
    if (_configuration != nullptr) _configuration->finalize(status);
    if (_storage) {
      EXPECT_EQ(_storage->AddRef(), 2u) << "the configuration kept a reference";
    }
  }

  bool ready() const { return _configuration != nullptr; }
  tDeviceConfiguration& devices() { return _configuration->getDeviceConfiguration(); }
  tMHWConfiguration& configuration() { return *_configuration; }
  CountingStorage& storage() { return *_storage; }
  std::string dump() {
    std::string json;
    EXPECT_EQ(_session->dumpJson(json), S_OK);
    return json;
  }

 private:
  std::unique_ptr<engine::StoreSession> _session;
  std::unique_ptr<CountingStorage> _storage;
  tMHWConfiguration* _configuration = nullptr;
};

// Devices 1 and 2, accessories 11 to 13, accessory configurations 20 to 26:
// the store of the device configuration's own tests.
std::string deviceStore() {
  StoreJson store;
  store.add(1, model::kDeviceClass).text(model::kDeviceIdentifier, "PXI1Slot2");
  store.add(2, model::kDeviceClass);
  for (std::uint32_t accessory : {11, 12, 13}) store.add(accessory, model::kAccessoryClass);
  auto configuration = [&](std::uint32_t id, std::uint32_t accessory, std::uint32_t device) {
    store.add(id, model::kAccessoryConfigurationClass)
        .ref(model::kConfiguredAccessory, accessory)
        .ref(model::kConnectedDevice, device)
        .integer(model::kConnectorNumber, 0);
  };
  configuration(24, 11, 1);
  configuration(20, 11, 1);
  configuration(21, 12, 1);
  configuration(22, 11, 2);
  configuration(23, 13, 1);
  configuration(25, 11, 99);                    // a device that does not exist
  store.add(26, model::kAccessoryConfigurationClass);  // nothing set
  return store.text();
}

class DisconnectThroughTheIndex : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(engine::liveInterfaceCount(), 0u); }
};

struct Disconnection {
  const char* what;
  std::uint32_t device;
  std::uint32_t accessory;
  int deleted;
};

TEST_F(DisconnectThroughTheIndex, DeletesWhatReadingEveryConfigurationDeletes) {
  const Disconnection cases[] = {
      {"two, listed out of order", 1, 11, 2},
      {"the same accessory on another device", 2, 11, 1},
      {"nothing connected", 2, 12, 0},
      {"a device that does not exist", 99, 11, 0},
      {"an accessory that does not exist", 1, 98, 0},
  };
  for (const Disconnection& c : cases) {
    SCOPED_TRACE(c.what);
    ConfigurationRun indexed(deviceStore(), true);
    ConfigurationRun scanned(deviceStore(), false);
    ASSERT_TRUE(indexed.ready() && scanned.ready());
    tStatus2 indexedStatus;
    tStatus2 scannedStatus;
    indexed.devices().disconnectAccessoryFromDevice(test::objectGuid(c.device),
                                                    test::objectGuid(c.accessory), indexedStatus);
    scanned.devices().disconnectAccessoryFromDevice(test::objectGuid(c.device),
                                                    test::objectGuid(c.accessory), scannedStatus);
    EXPECT_EQ(indexedStatus.code, 0);
    EXPECT_EQ(scannedStatus.code, 0);
    EXPECT_EQ(indexed.storage().deletions, c.deleted);
    EXPECT_EQ(indexed.dump(), scanned.dump());
    EXPECT_EQ(indexed.storage().lookups, 1);
    EXPECT_EQ(indexed.storage().classQueries, 0);
    EXPECT_EQ(scanned.storage().classQueries, 1);
  }
}

TEST_F(DisconnectThroughTheIndex, TheAccessoryPassQueriesTheClassOnce) {
  for (const std::uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE(seed);
    std::string json;
    ASSERT_EQ(generate::generateStoreJson({5000, seed, 0.3}, json), S_OK);
    ConfigurationRun indexed(json, true);
    ConfigurationRun scanned(json, false);
    ASSERT_TRUE(indexed.ready() && scanned.ready());
    tStatus2 indexedStatus;
    tStatus2 scannedStatus;
    tUpgradeDowngradeMgr::disconnectDuplicateAccessories(indexed.configuration(), indexedStatus);
    tUpgradeDowngradeMgr::disconnectDuplicateAccessories(scanned.configuration(), scannedStatus);
    EXPECT_EQ(indexedStatus.code, 0);
    EXPECT_EQ(scannedStatus.code, 0);
    EXPECT_EQ(indexed.dump(), scanned.dump());
    EXPECT_GT(indexed.storage().deletions, 0);
    EXPECT_EQ(indexed.storage().lookups, indexed.storage().deletions);
    EXPECT_EQ(indexed.storage().classQueries, 1);
    EXPECT_EQ(scanned.storage().classQueries, 1 + scanned.storage().deletions);
  }
}

}  // namespace
}  // namespace vddb::hwconfig
