// The comparison as the accessory pass uses it: on connector keys such as
// "PXI1Slot4/Dev3/12", against two fold-then-compare baselines; and the key
// set and the pass at growing sizes, to show their O(n log n) growth.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "repair/passes.h"
#include "repair/text/case_insensitive_compare.h"
#include "repair/text/case_insensitive_key_set.h"

namespace {

std::u16string widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

// Fold each whole text into a new string, then compare: what one writes
// without thinking about the cost.
int naiveCompare(const std::u16string& a, const std::u16string& b) {
  const auto foldAll = [](const std::u16string& text) {
    std::u16string folded;
    char16_t units[vddb::text::kMaxFoldedUnits];
    for (char16_t unit : text) {
      const std::size_t n = vddb::text::foldCodeUnit(unit, units);
      folded.append(units, n);
    }
    return folded;
  };
  const int order = foldAll(a).compare(foldAll(b));
  return (order > 0) - (order < 0);
}

// The same without allocating: both whole texts folded into stack buffers.
int foldAllOnStackCompare(const std::u16string& a, const std::u16string& b) {
  char16_t foldedA[256], foldedB[256];
  const auto foldAll = [](const std::u16string& text, char16_t* out) {
    std::size_t length = 0;
    for (char16_t unit : text) length += vddb::text::foldCodeUnit(unit, out + length);
    return length;
  };
  const std::size_t lengthA = foldAll(a, foldedA);
  const std::size_t lengthB = foldAll(b, foldedB);
  return tOrdinalWideStringComparitor::compare(foldedA, foldedA + lengthA, foldedB,
                                               foldedB + lengthB);
}

int foldingCompare(const std::u16string& a, const std::u16string& b) {
  return tLocaleConsideringWideStringComparitor::compare(a.data(), a.data() + a.size(), b.data(),
                                                         b.data() + b.size());
}

struct Pair {
  std::u16string a, b;
};

// Range argument: which pair of keys is compared.
Pair pairFor(std::int64_t which) {
  switch (which) {
    case 0:  // the same spelling: a lookup that finds its key
      return {u"PXI1Slot4/Dev3/12", u"PXI1Slot4/Dev3/12"};
    case 1:  // the same key in another case
      return {u"PXI1Slot4/Dev3/12", u"pxi1slot4/DEV3/12"};
    case 2:  // different connectors: differs in the last unit
      return {u"PXI1Slot4/Dev3/12", u"PXI1Slot4/Dev3/13"};
    case 3:  // different slots: differs early, in other case
      return {u"PXI1Slot4/Dev3/12", u"pxi1slot7/dev3/12"};
    default:  // a longer identifier with Latin-1 letters
      return {u"cDAQ9189-Chassis\u00C4/Modul\u00DF5/Dev3/4294967295",
              u"CDAQ9189-CHASSIS\u00E4/MODULSS5/dev3/4294967295"};
  }
}

const char* const kPairNames[] = {"same", "other-case", "last-differs", "early-differs",
                                  "latin1-ss"};

template <int (*Compare)(const std::u16string&, const std::u16string&)>
void BM_Compare(benchmark::State& state) {
  const Pair pair = pairFor(state.range(0));
  state.SetLabel(kPairNames[state.range(0)]);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Compare(pair.a, pair.b));
  }
}
BENCHMARK_TEMPLATE(BM_Compare, foldingCompare)->DenseRange(0, 4);
BENCHMARK_TEMPLATE(BM_Compare, foldAllOnStackCompare)->DenseRange(0, 4);
BENCHMARK_TEMPLATE(BM_Compare, naiveCompare)->DenseRange(0, 4);

// n distinct connector keys, as a large installation would name them.
std::vector<tCaseInsensitiveBasicString> connectorKeys(std::int64_t n) {
  std::vector<tCaseInsensitiveBasicString> keys;
  keys.reserve(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) {
    const std::u16string key =
        widen("PXI" + std::to_string(i % 17) + "Slot" + std::to_string(i / 17 % 18) + "/Dev" +
              std::to_string(i / 306) + "/" + std::to_string(i % 8));
    keys.emplace_back(key.data(), key.data() + key.size());
  }
  return keys;
}

void BM_KeySetInsert(benchmark::State& state) {
  const std::vector<tCaseInsensitiveBasicString> keys = connectorKeys(state.range(0));
  for (auto _ : state) {
    tCaseInsensitiveKeySet set;
    for (const auto& key : keys) set.insert(key);
    benchmark::DoNotOptimize(set.size());
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_KeySetInsert)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

// A device configuration held in memory: accessory configuration i sits on
// device i / 4 at connector i % 3, so every fourth one repeats a connector.
class InMemoryDevices final : public tDeviceConfiguration {
 public:
  explicit InMemoryDevices(std::uint32_t count) : _count(count) {}

  void getAllAccessoryConfigurations(GuidList& list, tStatus2&) override {
    list.reserve(_count);
    for (std::uint32_t i = 0; i < _count; ++i) list.append(guid(0xC0000000, i));
  }
  void getAccessoryConfigurationConnector(const GUID& c, std::uint32_t& connector,
                                          tStatus2&) override {
    connector = index(c) % 3;
  }
  void getAccessoryConfigurationConnectedDevice(const GUID& c, GUID& device, tStatus2&) override {
    device = guid(0xD0000000, index(c) / 4);
  }
  void getDeviceIdentifier(const GUID& device, tCaseInsensitiveBasicString& identifier,
                           tStatus2&) override {
    const std::uint32_t d = index(device);
    const std::u16string text =
        widen("PXI1Slot" + std::to_string(d % 18) + "/Dev" + std::to_string(d / 18));
    identifier.assign(text.data(), text.data() + text.size());
  }
  void getAccessoryConfigurationAccessory(const GUID& c, GUID& accessory, tStatus2&) override {
    accessory = guid(0xA0000000, index(c));
  }
  void disconnectAccessoryFromDevice(const GUID&, const GUID&, tStatus2&) override {
    ++disconnected;
  }

  std::uint64_t disconnected = 0;

 private:
  static GUID guid(std::uint32_t kind, std::uint32_t n) {
    GUID g{};
    g.Data1 = kind | (n >> 16);
    g.Data2 = static_cast<std::uint16_t>(n);
    return g;
  }
  static std::uint32_t index(const GUID& g) { return ((g.Data1 & 0xFFFF) << 16) | g.Data2; }

  std::uint32_t _count;
};

class InMemoryConfiguration final : public tMHWConfiguration {
 public:
  explicit InMemoryConfiguration(tDeviceConfiguration& devices) : _devices(devices) {}
  IkorrinStorage* getStorage(tStatus2&) override { return nullptr; }
  void saveConfiguration(tStatus2&) override {}
  void revertConfiguration(tStatus2&) override {}
  void finalize(tStatus2&) override {}
  tTrelixConfiguration& getTrelixConfiguration() override { std::abort(); }
  tMordanConfiguration& getMordanConfiguration() override { std::abort(); }
  tQuentaConfiguration& getQuentaConfiguration() override { std::abort(); }
  tDeviceConfiguration& getDeviceConfiguration() override { return _devices; }

 private:
  tDeviceConfiguration& _devices;
};

void BM_DisconnectDuplicateAccessories(benchmark::State& state) {
  const auto count = static_cast<std::uint32_t>(state.range(0));
  for (auto _ : state) {
    InMemoryDevices devices(count);
    InMemoryConfiguration configuration(devices);
    tStatus2 status;
    tUpgradeDowngradeMgr::disconnectDuplicateAccessories(configuration, status);
    if (status.code != 0 || devices.disconnected != count / 4) state.SkipWithError("wrong result");
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_DisconnectDuplicateAccessories)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

}  // namespace

BENCHMARK_MAIN();
