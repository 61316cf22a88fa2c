// tMHWConfiguration over one store session: the session's transaction is
// the configuration's, saveConfiguration commits it, revertConfiguration
// rolls it back, finalize closes and frees the configuration.
#include <cstdint>
#include <new>
#include <utility>

#include "hwconfig/hwconfig.h"
#include "hwconfig/sub_configurations.h"
#include "status/status_rules.h"
#include "store/scoped_ref.h"

namespace vddb::hwconfig {

namespace {

class Configuration final : public tMHWConfiguration {
 public:
  Configuration(std::unique_ptr<engine::StoreSession> owned, engine::StoreSession& session,
                IkorrinStorage* storage) noexcept
      : _owned(std::move(owned)),
        _session(session),
        _storage(tScopedRef<IkorrinStorage>::share(storage)),
        _trelix(storage),
        _mordan(storage),
        _quenta(storage),
        _device(storage) {}

  IkorrinStorage* getStorage(tStatus2& status) override {
    return isGood(status) ? _storage.get() : nullptr;
  }

  void saveConfiguration(tStatus2& status) override {
    if (isGood(status)) recordStorageResult(status.code, _session.commit());
  }

  void revertConfiguration(tStatus2& status) override {
    if (isGood(status)) recordStorageResult(status.code, _session.rollback());
  }

  // Frees the configuration whatever `status` holds: a configuration that
  // could not be finalized would keep the store locked.
  void finalize(tStatus2& /*status*/) override { delete this; }

  tTrelixConfiguration& getTrelixConfiguration() override { return _trelix; }
  tMordanConfiguration& getMordanConfiguration() override { return _mordan; }
  tQuentaConfiguration& getQuentaConfiguration() override { return _quenta; }
  tDeviceConfiguration& getDeviceConfiguration() override { return _device; }

 private:
  ~Configuration() = default;

  // Declared in this order so that the storage reference is released before
  // an owned session closes.
  std::unique_ptr<engine::StoreSession> _owned;
  engine::StoreSession& _session;
  tScopedRef<IkorrinStorage> _storage;
  detail::TrelixConfiguration _trelix;
  detail::MordanConfiguration _mordan;
  detail::QuentaConfiguration _quenta;
  detail::DeviceConfiguration _device;
};

tMHWConfiguration* create(std::unique_ptr<engine::StoreSession> owned,
                          engine::StoreSession& session, IkorrinStorage* storage,
                          tStatus2& status) {
  if (!isGood(status)) return nullptr;
  if (storage == nullptr) storage = session.storage();
  if (storage == nullptr) {
    status.code = StatusItemMissing;
    return nullptr;
  }
  auto* configuration = new (std::nothrow) Configuration(std::move(owned), session, storage);
  if (configuration == nullptr) recordNoMemory(status.code);
  return configuration;
}

}  // namespace

tMHWConfiguration* openConfiguration(engine::StoreSession& session, IkorrinStorage* storage,
                                     tStatus2& status) {
  return create(nullptr, session, storage, status);
}

tMHWConfiguration* openConfiguration(std::unique_ptr<engine::StoreSession> session,
                                     IkorrinStorage* storage, tStatus2& status) {
  if (!session) {
    if (isGood(status)) status.code = StatusItemMissing;
    return nullptr;
  }
  engine::StoreSession& borrowed = *session;
  return create(std::move(session), borrowed, storage, status);
}

}  // namespace vddb::hwconfig

// The store of this machine, as the engine finds it ($VARKEL_DDB_PATH or the
// platform default). The arguments are reserved and not used.
tMHWConfiguration* tMHWConfiguration::initialize(const wchar_t* /*reserved*/,
                                                 std::uint32_t /*flags*/, tStatus2& status) {
  if (!isGood(status)) return nullptr;
  std::unique_ptr<vddb::engine::StoreSession> session;
  HRESULT opened = E_OUTOFMEMORY;
  try {
    opened = vddb::engine::StoreSession::open(vddb::engine::defaultStorePath(), session);
  } catch (const std::bad_alloc&) {
    // The path's own copy; the engine's open returns its failures.
  }
  if (opened < 0 || !session) {
    // The engine's own code, unmapped: it tells why the store was not reachable.
    status.code = opened < 0 ? opened : E_FAIL;
    return nullptr;
  }
  return vddb::hwconfig::openConfiguration(std::move(session), nullptr, status);
}
