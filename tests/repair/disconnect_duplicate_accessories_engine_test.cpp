// The accessory pass against the real store engine through the real
// configuration library, with the fault-injecting decorator in front of the
// storage and the failing allocator: what the store holds afterwards, where a
// storage failure ends the pass, and what every failed allocation reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "hwconfig/hwconfig.h"
#include "platform/memory.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "store/model_ids.h"
#include "support/allocation_fault_sweep.h"
#include "support/fault_injection.h"

namespace {

using ::testing::ElementsAreArray;
using vddb::test::AllocationFaultSweep;
namespace hw = vddb::hwconfig;
namespace model = vddb::model;
namespace platform = vddb::platform;

GUID numbered(std::uint32_t kind, int n) {
  GUID guid{};
  guid.Data1 = kind + static_cast<std::uint32_t>(n);  // registry order is number order
  guid.Data2 = 0x4000;
  return guid;
}
GUID configurationGuid(int n) { return numbered(0xC0000000, n); }
GUID deviceGuid(int n) { return numbered(0xD0000000, n); }
GUID accessoryGuid(int n) { return numbered(0xA0000000, n); }

struct Device {
  int id;
  std::string identifier;  // UTF-8, as the store format holds it
};
// Accessory configuration n connects accessory n to `device` at `connector`.
struct AccessoryConfiguration {
  int id;
  int device;
  std::uint32_t connector;
};

std::string storeJson(const std::vector<Device>& devices,
                      const std::vector<AccessoryConfiguration>& configurations) {
  nlohmann::json objects = nlohmann::json::array();
  const auto attribute = [](std::uint32_t id) { return vddb::test::attributeText(id); };
  for (const Device& d : devices) {
    objects.push_back({{"guid", vddb::formatGuid(deviceGuid(d.id))},
                       {"class", vddb::formatGuid(model::kDeviceClass)},
                       {"values", {{attribute(model::kDeviceIdentifier), d.identifier}}}});
  }
  for (const AccessoryConfiguration& c : configurations) {
    objects.push_back({{"guid", vddb::formatGuid(accessoryGuid(c.id))},
                       {"class", vddb::formatGuid(model::kAccessoryClass)}});
    objects.push_back(
        {{"guid", vddb::formatGuid(configurationGuid(c.id))},
         {"class", vddb::formatGuid(model::kAccessoryConfigurationClass)},
         {"values",
          {{attribute(model::kConfiguredAccessory), vddb::formatGuid(accessoryGuid(c.id))},
           {attribute(model::kConnectedDevice), vddb::formatGuid(deviceGuid(c.device))},
           {attribute(model::kConnectorNumber), c.connector}}}});
  }
  return nlohmann::json{{"format", "vddb-store/1"}, {"objects", objects}}.dump();
}

// Opens a store in memory behind the decorator, builds the configuration
// over it, and checks at the end that every interface was released.
class AccessoryStore {
 public:
  AccessoryStore(const std::vector<Device>& devices,
                 const std::vector<AccessoryConfiguration>& configurations) {
    std::string error;
    const HRESULT opened = vddb::engine::StoreSession::openFromJson(
        storeJson(devices, configurations), _session, &error);
    EXPECT_EQ(opened, S_OK) << error;
    if (opened != S_OK) return;
    _decorated = _faults.wrap(_session->storage());
    tStatus2 status;
    _configuration = hw::openConfiguration(*_session, _decorated.get(), status);
    EXPECT_EQ(status.code, 0);
  }
  AccessoryStore(const AccessoryStore&) = delete;
  AccessoryStore& operator=(const AccessoryStore&) = delete;

  ~AccessoryStore() {
    if (_configuration != nullptr) {
      tStatus2 status;
      _configuration->finalize(status);
    }
    _decorated.reset();
    EXPECT_EQ(_faults.liveWrappers(), 0u) << "a wrapped interface was not released";
    _session.reset();
    EXPECT_EQ(vddb::engine::liveInterfaceCount(), 0u) << "an engine interface was not released";
  }

  bool ready() const { return _configuration != nullptr; }
  vddb::test::FaultInjector& faults() { return _faults; }

  // Runs the pass; every runtime block it takes must be back when it returns.
  void runPass(tStatus2& status) {
    const std::uint64_t live = platform::liveAllocations();
    tUpgradeDowngradeMgr::disconnectDuplicateAccessories(*_configuration, status);
    EXPECT_EQ(platform::liveAllocations(), live) << "the pass left a block behind";
  }

  // The numbers of the accessory configurations still in the store.
  std::vector<int> remaining() {
    GuidList list;
    tStatus2 status;
    _configuration->getDeviceConfiguration().getAllAccessoryConfigurations(list, status);
    EXPECT_EQ(status.code, 0);
    std::vector<int> numbers;
    for (const GUID& guid : list) numbers.push_back(static_cast<int>(guid.Data1 - 0xC0000000));
    return numbers;
  }

 private:
  std::unique_ptr<vddb::engine::StoreSession> _session;
  vddb::test::FaultInjector _faults;
  tScopedRef<IkorrinStorage> _decorated;
  tMHWConfiguration* _configuration = nullptr;
};

struct StoreCase {
  const char* name;
  std::vector<Device> devices;
  std::vector<AccessoryConfiguration> configurations;
  std::vector<int> remaining;
};

void PrintTo(const StoreCase& c, std::ostream* out) { *out << c.name; }

class StoreCases : public ::testing::TestWithParam<StoreCase> {};

TEST_P(StoreCases, LeaveTheFirstAccessoryOnEachConnector) {
  const StoreCase& c = GetParam();
  AccessoryStore store(c.devices, c.configurations);
  ASSERT_TRUE(store.ready());
  tStatus2 status;
  store.runPass(status);
  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(store.remaining(), ElementsAreArray(c.remaining));
  // Only accessory configurations are ever deleted, and only through the
  // library's disconnection.
  EXPECT_EQ(store.faults().count("deleteObject"), c.configurations.size() - c.remaining.size());
}

const Device kDev3{1, "PXI1Slot4/Dev3"};

INSTANTIATE_TEST_SUITE_P(
    AccessoryPassOnTheEngine, StoreCases,
    ::testing::Values(
        StoreCase{"NoAccessoryConfigurations", {kDev3}, {}, {}},
        StoreCase{"TwoOnOneConnector", {kDev3}, {{1, 1, 0}, {2, 1, 0}}, {1}},
        StoreCase{"ThreeOnOneConnector", {kDev3}, {{1, 1, 0}, {2, 1, 0}, {3, 1, 0}}, {1}},
        StoreCase{"DifferentConnectors", {kDev3}, {{1, 1, 0}, {2, 1, 1}, {3, 1, 2}}, {1, 2, 3}},
        StoreCase{"IdentifiersDifferingInCase",
                  {kDev3, {2, "pxi1slot4/DEV3"}},
                  {{1, 1, 7}, {2, 2, 7}, {3, 2, 8}},
                  {1, 3}},
        StoreCase{"Connectors1And10", {kDev3}, {{1, 1, 1}, {2, 1, 10}}, {1, 2}},
        StoreCase{"Connectors0And4294967295",
                  {kDev3},
                  {{1, 1, 0}, {2, 1, 4294967295u}, {3, 1, 4294967295u}, {4, 1, 0}},
                  {1, 2}},
        StoreCase{"IdentifiersEqualUnderFullFolding",
                  {{1,
                    "Stra\xC3\x9F"
                    "e-\xEF\xAC\x83"},
                   {2, "STRASSE-FFI"}},  // Straße-ﬃ
                  {{1, 1, 2}, {2, 2, 2}},
                  {1}},
        StoreCase{"GreekAndKelvinStayDistinct",
                  {{1, "\xCE\x91-\xE2\x84\xAA"}, {2, "\xCE\xB1-k"}},  // Α-K against α-k
                  {{1, 1, 0}, {2, 2, 0}},
                  {1, 2}}),
    [](const auto& info) { return std::string(info.param.name); });

// Five accessory configurations: 2 and 4 repeat the connector of 1.
const std::vector<Device> kFiveDevices = {kDev3, {2, "PXI1Slot5/Dev1"}, {3, "PXI1Slot6/Dev1"}};
const std::vector<AccessoryConfiguration> kFive = {
    {1, 1, 0}, {2, 1, 0}, {3, 2, 0}, {4, 1, 0}, {5, 3, 0}};

struct ReadFailureCase {
  const char* name;
  const char* operation;  // the store call of the third visit that fails
  std::uint32_t attribute;
  HRESULT result;
  std::int32_t code;
};

void PrintTo(const ReadFailureCase& c, std::ostream* out) { *out << c.name; }

class ReadFailures : public ::testing::TestWithParam<ReadFailureCase> {};

// The nth (1-based, over the whole journal) call of `operation` that reads
// `attribute` of `target`.
std::uint64_t callNumber(const vddb::test::FaultInjector& faults, const std::string& operation,
                         const GUID& target, std::uint32_t attribute) {
  std::uint64_t nth = 0;
  for (const auto& entry : faults.journal()) {
    if (entry.operation != operation) continue;
    ++nth;
    if (entry.target == vddb::formatGuid(target) &&
        entry.arguments.find(vddb::test::attributeText(attribute)) != std::string::npos) {
      return nth;
    }
  }
  return 0;
}

TEST_P(ReadFailures, EndThePassAtTheThirdOfFive) {
  const ReadFailureCase& c = GetParam();
  // A run without faults tells which call of the operation the third visit makes.
  std::uint64_t nth = 0;
  {
    AccessoryStore dryRun(kFiveDevices, kFive);
    ASSERT_TRUE(dryRun.ready());
    tStatus2 status;
    dryRun.runPass(status);
    ASSERT_EQ(status.code, 0);
    const GUID target =
        std::string(c.operation) == "getString" ? deviceGuid(2) : configurationGuid(3);
    nth = callNumber(dryRun.faults(), c.operation, target, c.attribute);
    ASSERT_GT(nth, 0u);
  }

  AccessoryStore store(kFiveDevices, kFive);
  ASSERT_TRUE(store.ready());
  store.faults().failCall(c.operation, nth, c.result);
  tStatus2 status;
  store.runPass(status);
  EXPECT_EQ(status.code, c.code);
  EXPECT_FALSE(status.hasDescription());
  // The first two were handled (2 repeats 1 and is gone); nothing was read
  // or disconnected after the failing call.
  ASSERT_FALSE(store.faults().journal().empty());
  EXPECT_TRUE(store.faults().journal().back().injected) << store.faults().journal().back().text();
  EXPECT_EQ(store.faults().count("deleteObject"), 1u);
  EXPECT_THAT(store.remaining(), ElementsAreArray({1, 3, 4, 5}));
}

INSTANTIATE_TEST_SUITE_P(
    AccessoryPassOnTheEngine, ReadFailures,
    ::testing::Values(
        ReadFailureCase{"ConnectorFails", "getInteger", model::kConnectorNumber, E_FAIL, E_FAIL},
        ReadFailureCase{"ConnectedDeviceNotFound", "getReference", model::kConnectedDevice,
                        static_cast<HRESULT>(0x80040309u), StatusNotFound},
        ReadFailureCase{"IdentifierNotFound", "getString", model::kDeviceIdentifier,
                        static_cast<HRESULT>(0x80040309u), StatusNotFound}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AccessoryPassOnTheEngineStatus, AnErrorOnEntryReadsAndChangesNothing) {
  AccessoryStore store(kFiveDevices, kFive);
  ASSERT_TRUE(store.ready());
  store.faults().clearJournal();
  tStatus2 status;
  status.code = StatusNotFound;
  store.runPass(status);
  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_TRUE(store.faults().journal().empty());
  EXPECT_THAT(store.remaining(), ElementsAreArray({1, 2, 3, 4, 5}));
}

// Every runtime allocation from the start of the pass on, failed in turn on
// a fresh store: the pass reports StatusNoMemory (raised at one of its sites,
// or recorded by the library for its own lists and texts) or completes; it
// never disconnects more than a complete run does and gives every block back.
TEST(AccessoryPassOnTheEngineAllocation, EveryFailedAllocationIsReported) {
  const std::vector<Device> devices = {kDev3, {2, "pxi1slot4/dev3"}, {3, "PXI1Slot14/Device7"}};
  const std::vector<AccessoryConfiguration> configurations = {
      {1, 1, 0}, {2, 2, 0}, {3, 3, 4294967295u}, {4, 3, 4294967295u}, {5, 1, 1}, {6, 3, 0}};
  const std::vector<int> complete = {1, 3, 5, 6};
  std::map<std::uint32_t, int> raisedAt;
  int libraryReported = 0;
  for (AllocationFaultSweep sweep; sweep.next();) {
    AccessoryStore store(devices, configurations);
    ASSERT_TRUE(store.ready());
    sweep.arm();
    tStatus2 status;
    store.runPass(status);
    const bool fired = sweep.disarm();
    const std::vector<int> left = store.remaining();
    EXPECT_TRUE(std::includes(left.begin(), left.end(), complete.begin(), complete.end()));
    if (!fired) {
      EXPECT_EQ(status.code, 0);
      EXPECT_EQ(left, complete);
      EXPECT_GT(sweep.nth(), 6u);
      break;
    }
    ASSERT_EQ(status.code, StatusNoMemory);
    if (!status.hasDescription()) {
      ++libraryReported;
      continue;
    }
    EXPECT_STREQ(status.getComponent(), "Pellorin");
    EXPECT_STREQ(status.getSourceFile(), "tUpgradeDowngradeMgr");
    ++raisedAt[status.getLine()];
  }
  for (std::uint32_t line : {631u, 642u, 657u}) EXPECT_GT(raisedAt[line], 0) << line;
  for (const auto& [line, count] : raisedAt) {
    EXPECT_TRUE(line == 57 || line == 631 || line == 642 || line == 657) << line;
  }
  EXPECT_GT(libraryReported + raisedAt[57], 0) << "the library's own lists were reached too";
}

}  // namespace
