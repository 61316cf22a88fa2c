// The accessory pass against GoogleMock doubles of the configuration library:
// which library calls it makes, in which order, with which arguments, and
// what it leaves in the status. The doubles behave like the library (they
// do nothing once the status holds an error) unless a case says otherwise.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "support/mock_configuration.h"

void PrintTo(const GUID& guid, std::ostream* out) { *out << vddb::formatGuid(guid); }

namespace {

using ::testing::_;
using ::testing::Eq;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::NiceMock;
using ::testing::ReturnRef;
using ::testing::StrictMock;
namespace platform = vddb::platform;

class MockDeviceConfiguration : public tDeviceConfiguration {
 public:
  MOCK_METHOD(void, getAllAccessoryConfigurations, (GuidList&, tStatus2&), (override));
  MOCK_METHOD(void, getAccessoryConfigurationConnector, (const GUID&, std::uint32_t&, tStatus2&),
              (override));
  MOCK_METHOD(void, getAccessoryConfigurationConnectedDevice, (const GUID&, GUID&, tStatus2&),
              (override));
  MOCK_METHOD(void, getDeviceIdentifier, (const GUID&, tCaseInsensitiveBasicString&, tStatus2&),
              (override));
  MOCK_METHOD(void, getAccessoryConfigurationAccessory, (const GUID&, GUID&, tStatus2&),
              (override));
  MOCK_METHOD(void, disconnectAccessoryFromDevice, (const GUID&, const GUID&, tStatus2&),
              (override));
  virtual ~MockDeviceConfiguration() = default;
};

GUID numbered(std::uint32_t kind, int n) {
  GUID guid{};
  guid.Data1 = kind;
  guid.Data4[7] = static_cast<std::uint8_t>(n);
  return guid;
}
GUID configurationGuid(int n) { return numbered(0xC0000000, n); }
GUID deviceGuid(int n) { return numbered(0xD0000000, n); }
GUID accessoryGuid(int n) { return numbered(0xA0000000, n); }

struct Device {
  int id;
  std::u16string identifier;
};
// Accessory configuration n connects accessory n to `device` at `connector`.
struct AccessoryConfiguration {
  int id;
  int device;
  std::uint32_t connector;
};

enum class Op { all, connector, connectedDevice, identifier, accessory, disconnect };

constexpr std::int32_t kLibraryError = -50602;

// What the library does, for the doubles' default actions: acts only on a
// good status, can fail the nth call of one operation, and can arm the
// failing allocator after the nth call of one operation.
class LibraryModel {
 public:
  LibraryModel(std::vector<Device> devices, std::vector<AccessoryConfiguration> configurations)
      : _devices(std::move(devices)), _configurations(std::move(configurations)) {}

  void failCall(Op op, int nth, std::int32_t code) { _fault = Fault{op, nth, code}; }
  void failAllocationAfter(Op op, int nth, std::uint64_t allocation) {
    _allocationFault = AllocationFault{op, nth, allocation};
  }
  // The list is filled even when the status already holds an error.
  void ignoreStatusWhenListing() { _ignoreStatusWhenListing = true; }

  void install(MockDeviceConfiguration& mock) {
    ON_CALL(mock, getAllAccessoryConfigurations).WillByDefault(Invoke(this, &LibraryModel::all));
    ON_CALL(mock, getAccessoryConfigurationConnector)
        .WillByDefault(Invoke(this, &LibraryModel::connector));
    ON_CALL(mock, getAccessoryConfigurationConnectedDevice)
        .WillByDefault(Invoke(this, &LibraryModel::connectedDevice));
    ON_CALL(mock, getDeviceIdentifier).WillByDefault(Invoke(this, &LibraryModel::identifier));
    ON_CALL(mock, getAccessoryConfigurationAccessory)
        .WillByDefault(Invoke(this, &LibraryModel::accessory));
    ON_CALL(mock, disconnectAccessoryFromDevice)
        .WillByDefault(Invoke(this, &LibraryModel::disconnect));
  }

  const AccessoryConfiguration& configuration(int id) const {
    for (const auto& c : _configurations) {
      if (c.id == id) return c;
    }
    throw std::logic_error("no such accessory configuration in the case");
  }
  const std::vector<AccessoryConfiguration>& configurations() const { return _configurations; }
  // (device, accessory) of every disconnection, in order.
  const std::vector<std::pair<GUID, GUID>>& disconnections() const { return _disconnections; }

 private:
  struct Fault {
    Op op;
    int nth;
    std::int32_t code;
  };
  struct AllocationFault {
    Op op;
    int nth;
    std::uint64_t allocation;
  };

  // Counts a call on a good status; true when it is the one to fail.
  bool enter(Op op, tStatus2& status) {
    const int nth = ++_calls[op];
    if (_fault && _fault->op == op && _fault->nth == nth) {
      status.code = _fault->code;
      return false;
    }
    return true;
  }
  void leave(Op op) {
    if (_allocationFault && _allocationFault->op == op && _allocationFault->nth == _calls[op]) {
      platform::failAllocationAt(_allocationFault->allocation);
    }
  }
  const AccessoryConfiguration* find(const GUID& guid) const {
    for (const auto& c : _configurations) {
      if (configurationGuid(c.id) == guid) return &c;
    }
    return nullptr;
  }

  void all(GuidList& list, tStatus2& status) {
    if (!isGood(status) && !_ignoreStatusWhenListing) return;
    if (!enter(Op::all, status)) return;
    for (const auto& c : _configurations) list.append(configurationGuid(c.id));
    leave(Op::all);
  }
  void connector(const GUID& guid, std::uint32_t& connector, tStatus2& status) {
    if (!isGood(status) || !enter(Op::connector, status)) return;
    const AccessoryConfiguration* c = find(guid);
    if (c == nullptr)
      status.code = kLibraryError;
    else
      connector = c->connector;
    leave(Op::connector);
  }
  void connectedDevice(const GUID& guid, GUID& device, tStatus2& status) {
    if (!isGood(status) || !enter(Op::connectedDevice, status)) return;
    const AccessoryConfiguration* c = find(guid);
    if (c == nullptr)
      status.code = kLibraryError;
    else
      device = deviceGuid(c->device);
    leave(Op::connectedDevice);
  }
  void identifier(const GUID& device, tCaseInsensitiveBasicString& text, tStatus2& status) {
    if (!isGood(status) || !enter(Op::identifier, status)) return;
    bool found = false;
    for (const Device& d : _devices) {
      if (deviceGuid(d.id) == device) {
        text.assign(d.identifier.data(), d.identifier.data() + d.identifier.size());
        found = true;
      }
    }
    if (!found) status.code = kLibraryError;
    leave(Op::identifier);
  }
  void accessory(const GUID& guid, GUID& accessory, tStatus2& status) {
    if (!isGood(status) || !enter(Op::accessory, status)) return;
    const AccessoryConfiguration* c = find(guid);
    if (c == nullptr)
      status.code = kLibraryError;
    else
      accessory = accessoryGuid(c->id);
    leave(Op::accessory);
  }
  void disconnect(const GUID& device, const GUID& accessory, tStatus2& status) {
    if (!isGood(status) || !enter(Op::disconnect, status)) return;
    _disconnections.emplace_back(device, accessory);
    leave(Op::disconnect);
  }

  std::vector<Device> _devices;
  std::vector<AccessoryConfiguration> _configurations;
  std::optional<Fault> _fault;
  std::optional<AllocationFault> _allocationFault;
  bool _ignoreStatusWhenListing = false;
  std::map<Op, int> _calls;
  std::vector<std::pair<GUID, GUID>> _disconnections;
};

// One expected library call. `configuration` names the accessory
// configuration the call is about; `device` overrides the device argument
// (the null device when the connected-device read did nothing).
struct Call {
  Op op;
  int configuration = 0;
  std::optional<GUID> device = std::nullopt;
};

// The three reads of one visit, and the two calls of a disconnection.
std::vector<Call> visit(int configuration) {
  return {{Op::connector, configuration},
          {Op::connectedDevice, configuration},
          {Op::identifier, configuration}};
}
// A visit on a status that failed before the connected device was read: the
// identifier is asked for the null device (and the library does nothing).
std::vector<Call> visitWithoutDevice(int configuration) {
  return {{Op::connector, configuration},
          {Op::connectedDevice, configuration},
          {Op::identifier, configuration, vddb::kNullGuid}};
}
std::vector<Call> disconnection(int configuration) {
  return {{Op::accessory, configuration}, {Op::disconnect, configuration}};
}
std::vector<Call> operator+(std::vector<Call> a, const std::vector<Call>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Visits of 1..count, with the disconnections of `duplicates`.
std::vector<Call> visits(int count, const std::vector<int>& duplicates) {
  std::vector<Call> calls;
  for (int n = 1; n <= count; ++n) {
    calls = calls + visit(n);
    for (int d : duplicates) {
      if (d == n) calls = calls + disconnection(n);
    }
  }
  return calls;
}

class DisconnectDuplicateAccessoriesTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::clearAllocationFault(); }

  // Expects exactly: the device configuration, the list, then `calls`.
  void expectCalls(const LibraryModel& model, const std::vector<Call>& calls) {
    InSequence order;
    EXPECT_CALL(_configuration, getDeviceConfiguration()).WillOnce(ReturnRef(_devices));
    EXPECT_CALL(_devices, getAllAccessoryConfigurations(_, _));
    for (const Call& call : calls) {
      const AccessoryConfiguration& c = model.configuration(call.configuration);
      const GUID configuration = configurationGuid(c.id);
      const GUID device = call.device.value_or(deviceGuid(c.device));
      switch (call.op) {
        case Op::all:
          break;
        case Op::connector:
          EXPECT_CALL(_devices, getAccessoryConfigurationConnector(Eq(configuration), _, _));
          break;
        case Op::connectedDevice:
          EXPECT_CALL(_devices, getAccessoryConfigurationConnectedDevice(Eq(configuration), _, _));
          break;
        case Op::identifier:
          EXPECT_CALL(_devices, getDeviceIdentifier(Eq(device), _, _));
          break;
        case Op::accessory:
          EXPECT_CALL(_devices, getAccessoryConfigurationAccessory(Eq(configuration), _, _));
          break;
        case Op::disconnect:
          EXPECT_CALL(_devices,
                      disconnectAccessoryFromDevice(Eq(device), Eq(accessoryGuid(c.id)), _));
          break;
      }
    }
  }

  void run(LibraryModel& model, tStatus2& status) {
    model.install(_devices);
    const std::uint64_t live = platform::liveAllocations();
    tUpgradeDowngradeMgr::disconnectDuplicateAccessories(_configuration, status);
    platform::clearAllocationFault();
    EXPECT_EQ(platform::liveAllocations(), live) << "every list, set and text is given back";
  }

  StrictMock<vddb::testing::MockMHWConfiguration> _configuration;
  StrictMock<MockDeviceConfiguration> _devices;
};

// Cases that differ only in their data: the devices, the accessory
// configurations in library order, and which of them get disconnected.
struct DuplicateCase {
  const char* name;
  std::vector<Device> devices;
  std::vector<AccessoryConfiguration> configurations;
  std::vector<int> disconnected;
};

void PrintTo(const DuplicateCase& c, std::ostream* out) { *out << c.name; }

class DuplicateCases : public DisconnectDuplicateAccessoriesTest,
                       public ::testing::WithParamInterface<DuplicateCase> {};

TEST_P(DuplicateCases, DisconnectAllButTheFirstOnEachConnector) {
  const DuplicateCase& c = GetParam();
  LibraryModel model(c.devices, c.configurations);
  expectCalls(model, visits(static_cast<int>(c.configurations.size()), c.disconnected));
  tStatus2 status;
  run(model, status);
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(status.hasDescription());
  ASSERT_EQ(model.disconnections().size(), c.disconnected.size());
}

const Device kDev3{1, u"PXI1Slot4/Dev3"};

INSTANTIATE_TEST_SUITE_P(
    AccessoryPass, DuplicateCases,
    ::testing::Values(
        DuplicateCase{"NoAccessoryConfigurations", {kDev3}, {}, {}},
        DuplicateCase{"TwoOnOneConnector", {kDev3}, {{1, 1, 0}, {2, 1, 0}}, {2}},
        DuplicateCase{"ThreeOnOneConnector", {kDev3}, {{1, 1, 3}, {2, 1, 3}, {3, 1, 3}}, {2, 3}},
        DuplicateCase{"DifferentConnectors", {kDev3}, {{1, 1, 0}, {2, 1, 1}, {3, 1, 2}}, {}},
        DuplicateCase{"IdentifiersDifferingInCase",
                      {kDev3, {2, u"pxi1slot4/DEV3"}},
                      {{1, 1, 2}, {2, 2, 2}},
                      {2}},
        DuplicateCase{"Connectors1And10", {kDev3}, {{1, 1, 1}, {2, 1, 10}}, {}},
        DuplicateCase{"Connectors0And4294967295",
                      {kDev3},
                      {{1, 1, 0}, {2, 1, 4294967295u}, {3, 1, 4294967295u}, {4, 1, 0}},
                      {3, 4}},
        DuplicateCase{"IdentifiersEqualUnderFullFolding",
                      {{1, u"Stra\u00DFe\uFB03"}, {2, u"STRASSEFFI"}},
                      {{1, 1, 5}, {2, 2, 5}},
                      {2}},
        DuplicateCase{"LettersOutsideTheRangesStayDistinct",
                      {{1, u"\u0391-\u212A"}, {2, u"\u03B1-k"}},
                      {{1, 1, 0}, {2, 2, 0}},
                      {}},
        DuplicateCase{"SimilarKeysStayDistinct",
                      {{1, u"Dev1"}, {2, u"Dev"}, {3, u"Dev1/1"}},
                      {{1, 1, 1}, {2, 2, 11}, {3, 3, 0}, {4, 1, 11}},
                      {}},
        DuplicateCase{"InterleavedDevices",
                      {{1, u"PXI1Slot2/Dev1"}, {2, u"PXI1Slot3/Dev2"}},
                      {{1, 1, 1}, {2, 2, 1}, {3, 1, 1}, {4, 2, 2}, {5, 2, 1}, {6, 1, 2}},
                      {3, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DisconnectDuplicateAccessoriesTest, DisconnectsTheLaterAccessoryFromItsOwnDevice) {
  LibraryModel model({kDev3, {2, u"pxi1slot4/dev3"}}, {{7, 1, 4}, {9, 2, 4}});
  expectCalls(model, visit(7) + visit(9) + disconnection(9));
  tStatus2 status;
  run(model, status);
  ASSERT_EQ(model.disconnections().size(), 1u);
  EXPECT_EQ(model.disconnections()[0].first, deviceGuid(2));
  EXPECT_EQ(model.disconnections()[0].second, accessoryGuid(9));
}

TEST_F(DisconnectDuplicateAccessoriesTest, AnErrorOnEntryVisitsNothing) {
  LibraryModel model({kDev3}, {{1, 1, 0}, {2, 1, 0}});
  model.ignoreStatusWhenListing();  // even a list that arrives is not visited
  expectCalls(model, {});
  tStatus2 status;
  status.code = StatusNotFound;
  run(model, status);
  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_FALSE(status.hasDescription());
  EXPECT_TRUE(model.disconnections().empty());
}

TEST_F(DisconnectDuplicateAccessoriesTest, AWarningOnEntryStopsNothingAndStays) {
  LibraryModel model({kDev3}, {{1, 1, 0}, {2, 1, 0}});
  expectCalls(model, visits(2, {2}));
  tStatus2 status;
  status.code = 3;
  run(model, status);
  EXPECT_EQ(status.code, 3);
  EXPECT_EQ(model.disconnections().size(), 1u);
}

// Library failures. Five accessory configurations: 2 and 4 repeat the
// connector of 1; 3 and 5 have connectors of their own.
struct LibraryFailureCase {
  const char* name;
  Op op;
  int nth;
  std::vector<Call> calls;
};

void PrintTo(const LibraryFailureCase& c, std::ostream* out) { *out << c.name; }

class LibraryFailures : public DisconnectDuplicateAccessoriesTest,
                        public ::testing::WithParamInterface<LibraryFailureCase> {};

TEST_P(LibraryFailures, EndThePassWithTheLibrarysError) {
  const LibraryFailureCase& c = GetParam();
  LibraryModel model({kDev3, {2, u"PXI1Slot5/Dev1"}, {3, u"PXI1Slot6/Dev1"}},
                     {{1, 1, 0}, {2, 1, 0}, {3, 2, 0}, {4, 1, 0}, {5, 3, 0}});
  model.failCall(c.op, c.nth, kLibraryError);
  expectCalls(model, c.calls);
  tStatus2 status;
  run(model, status);
  EXPECT_EQ(status.code, kLibraryError);
  EXPECT_FALSE(status.hasDescription()) << "library failures are not raised by the pass";
}

INSTANTIATE_TEST_SUITE_P(
    AccessoryPass, LibraryFailures,
    ::testing::Values(
        // The reads of one visit are all made; each does nothing after the failure.
        LibraryFailureCase{"ConnectorOfTheThird", Op::connector, 3,
                           visits(2, {2}) + visitWithoutDevice(3)},
        LibraryFailureCase{"ConnectedDeviceOfTheThird", Op::connectedDevice, 3,
                           visits(2, {2}) + visitWithoutDevice(3)},
        LibraryFailureCase{"IdentifierOfTheThird", Op::identifier, 3, visits(2, {2}) + visit(3)},
        LibraryFailureCase{"TheList", Op::all, 1, {}},
        LibraryFailureCase{"AccessoryOfTheSecond", Op::accessory, 1,
                           visit(1) + visit(2) + std::vector<Call>{{Op::accessory, 2}}},
        LibraryFailureCase{"DisconnectionOfTheSecond", Op::disconnect, 1,
                           visit(1) + visit(2) + disconnection(2)},
        LibraryFailureCase{"DisconnectionOfTheFourth", Op::disconnect, 2, visits(4, {2, 4})}),
    [](const auto& info) { return std::string(info.param.name); });

// A failed identifier read leaves the identifier empty, so the key reads
// "/0" like that of a device whose identifier is empty; it must not count as
// a duplicate of it.
TEST_F(DisconnectDuplicateAccessoriesTest, AKeyBuiltOnAFailedReadIsNeitherRecordedNorDisconnected) {
  LibraryModel model({{1, u""}, {2, u"PXI1Slot4/Dev3"}}, {{1, 1, 0}, {2, 2, 0}});
  model.failCall(Op::identifier, 2, kLibraryError);
  expectCalls(model, visit(1) + visit(2));
  tStatus2 status;
  run(model, status);
  EXPECT_EQ(status.code, kLibraryError);
  EXPECT_TRUE(model.disconnections().empty());
}

// Allocation failures: the three raise sites. The allocator is armed right
// after one library call, so the count starts at the pass's next allocation.
struct RaiseCase {
  const char* name;
  std::u16string identifier;
  Op armedAfter;
  int nth;
  std::uint64_t allocation;
  std::uint32_t line;
  std::vector<Call> calls;
};

void PrintTo(const RaiseCase& c, std::ostream* out) { *out << c.name; }

class RaiseSites : public DisconnectDuplicateAccessoriesTest,
                   public ::testing::WithParamInterface<RaiseCase> {};

TEST_P(RaiseSites, RaiseNoMemoryWithTheirLineAndEndThePass) {
  const RaiseCase& c = GetParam();
  LibraryModel model({{1, c.identifier}}, {{1, 1, 0}, {2, 1, 0}, {3, 1, 1}, {4, 1, 2}});
  model.failAllocationAfter(c.armedAfter, c.nth, c.allocation);
  expectCalls(model, c.calls);
  tStatus2 status;
  run(model, status);
  EXPECT_EQ(status.code, StatusNoMemory);
  ASSERT_TRUE(status.hasDescription());
  EXPECT_EQ(status.getLine(), c.line);
  EXPECT_STREQ(status.getComponent(), "Pellorin");
  EXPECT_STREQ(status.getSourceFile(), "tUpgradeDowngradeMgr");
}

INSTANTIATE_TEST_SUITE_P(
    AccessoryPass, RaiseSites,
    ::testing::Values(
        // The identifier text of the first visit; its reads still run and do
        // nothing, and the key check at 642 adds nothing.
        RaiseCase{"IdentifierTextOfTheFirst", u"Dev3", Op::all, 1, 1, 631, visitWithoutDevice(1)},
        // Allocation 1 after the second disconnection is the identifier text
        // of the third visit.
        RaiseCase{"IdentifierTextOfTheThird", u"Dev3", Op::disconnect, 1, 1, 631,
                  visits(2, {2}) + visitWithoutDevice(3)},
        // The key starts as a copy of the identifier ...
        RaiseCase{"KeyCopy", u"Dev3", Op::identifier, 1, 1, 642, visit(1)},
        // ... and grows only when identifier, "/" and digits pass 15 units.
        RaiseCase{"KeyGrowingForItsDigits", u"PXI1Slot14/Dev", Op::identifier, 1, 2, 642, visit(1)},
        RaiseCase{"KeySetNode", u"Dev3", Op::identifier, 1, 2, 657, visit(1)},
        RaiseCase{"KeySetCopyOfTheKey", u"Dev3", Op::identifier, 1, 3, 657, visit(1)},
        RaiseCase{"KeySetOnTheThird", u"Dev3", Op::identifier, 3, 2, 657, visits(3, {2})}),
    [](const auto& info) { return std::string(info.param.name); });

// Every allocation of the pass, failed in turn: the pass either reports
// StatusNoMemory raised at one of its three sites or completes; it never
// disconnects what it should not, and gives back every block either way.
TEST(DisconnectDuplicateAccessoriesAllocation, EveryFailedAllocationIsRaisedAtItsSite) {
  const std::vector<Device> devices = {
      {1, u"PXI1Slot4/Dev3"}, {2, u"pxi1slot4/dev3"}, {3, u"PXI1Slot14/Device7"}};
  const std::vector<AccessoryConfiguration> configurations = {
      {1, 1, 0}, {2, 2, 0}, {3, 3, 4294967295u}, {4, 3, 4294967295u}, {5, 1, 1}, {6, 3, 0}};
  const std::vector<std::pair<GUID, GUID>> complete = {{deviceGuid(2), accessoryGuid(2)},
                                                       {deviceGuid(3), accessoryGuid(4)}};
  std::map<std::uint32_t, int> raisedAt;
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    NiceMock<vddb::testing::MockMHWConfiguration> configuration;
    NiceMock<MockDeviceConfiguration> device;
    ON_CALL(configuration, getDeviceConfiguration()).WillByDefault(ReturnRef(device));
    LibraryModel model(devices, configurations);
    model.failAllocationAfter(Op::all, 1, n);
    model.install(device);
    const std::uint64_t live = platform::liveAllocations();
    tStatus2 status;
    tUpgradeDowngradeMgr::disconnectDuplicateAccessories(configuration, status);
    const bool fired = platform::allocationFaultFired();
    platform::clearAllocationFault();
    EXPECT_EQ(platform::liveAllocations(), live);
    const auto& done = model.disconnections();
    ASSERT_LE(done.size(), complete.size());
    EXPECT_TRUE(std::equal(done.begin(), done.end(), complete.begin()));
    if (!fired) {
      EXPECT_EQ(status.code, 0);
      EXPECT_EQ(done, complete);
      EXPECT_GT(n, 6u);
      break;
    }
    ASSERT_EQ(status.code, StatusNoMemory);
    ASSERT_TRUE(status.hasDescription());
    ++raisedAt[status.getLine()];
  }
  EXPECT_EQ(raisedAt.size(), 3u) << "all three sites were reached";
  for (std::uint32_t line : {631u, 642u, 657u}) EXPECT_GT(raisedAt[line], 0) << line;
}

}  // namespace
