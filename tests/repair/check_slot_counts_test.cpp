// The three slot-count checks on the real engine through the real
// configuration library, with the fault decorator in front of the storage and
// the failing allocator.
//
// A tracing layer over the library's sub-configurations writes each library
// call into one trace together with the storage calls the pass makes itself
// (the storage calls the library makes inside its own calls are folded into
// the library line), so the tests can assert the order of both.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "hwconfig/hwconfig.h"
#include "platform/memory.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "store/model_ids.h"
#include "support/allocation_fault_sweep.h"
#include "support/fault_injection.h"
#include "support/store_fixture.h"

namespace {

using ::testing::ElementsAreArray;
using vddb::test::AllocationFaultSweep;
using vddb::test::FaultInjector;
using vddb::test::objectGuid;
using vddb::test::refsTo;
using vddb::test::refTo;
using vddb::test::StoreJson;
namespace hw = vddb::hwconfig;
namespace model = vddb::model;
namespace platform = vddb::platform;

// Any class that is not a slot entry: its objects in a slot list are no slots.
constexpr GUID kOtherClass = model::kLinkTargetClass;
// The object saved items' markers refer to.
constexpr unsigned kMarker = 9000;

// Numbered objects as "#n", the slot-list kind as "slots".
std::string shorten(const std::string& text) {
  std::string out = vddb::test::withNumbers(text);
  const std::string kind = vddb::formatGuid(model::kSlotEntryClass);
  for (std::size_t at = out.find(kind); at != std::string::npos; at = out.find(kind)) {
    out.replace(at, kind.size(), "slots");
  }
  return out;
}

// The library calls of one pass, each with the storage calls it made.
class LibraryTrace {
 public:
  explicit LibraryTrace(FaultInjector& faults) : _faults(faults) {}

  template <class Call>
  void record(const std::string& text, const tStatus2* status, Call&& call) {
    Span span{_faults.journal().size(), 0,
              shorten(text) + (status ? " status=" + std::to_string(status->code) : "")};
    call();
    span.end = _faults.journal().size();
    _spans.push_back(span);
  }

  // Library lines and the pass's own storage calls, in order, from journal
  // entry `from` on.
  std::vector<std::string> merged(std::size_t from) const {
    std::vector<std::string> out;
    const auto& journal = _faults.journal();
    std::size_t span = 0;
    for (std::size_t i = from; i <= journal.size(); ++i) {
      bool inside = false;
      for (; span < _spans.size() && _spans[span].begin <= i; ++span) {
        out.push_back(_spans[span].text);
        if (_spans[span].end > i) {
          i = _spans[span].end - 1;
          inside = true;
          ++span;
          break;
        }
      }
      if (!inside && i < journal.size()) out.push_back(shorten(vddb::test::entryText(journal[i])));
    }
    return out;
  }

  void reset() {
    _spans.clear();
    afterSlotCount = nullptr;
  }

  // Called after each slot-count call, with the item it was about.
  std::function<void(const GUID& item)> afterSlotCount;

 private:
  struct Span {
    std::size_t begin;
    std::size_t end;
    std::string text;
  };
  FaultInjector& _faults;
  std::vector<Span> _spans;
};

std::string itemText(const char* call, const GUID& item) {
  return std::string(call) + "(" + vddb::formatGuid(item) + ")";
}

class TracingTrelix final : public tTrelixConfiguration {
 public:
  TracingTrelix(tTrelixConfiguration& inner, LibraryTrace& trace) : _inner(inner), _trace(trace) {}
  void getSavedTrelixChassis(GuidList& items, tStatus2& status) override {
    _trace.record("getSavedTrelixChassis", &status,
                  [&] { _inner.getSavedTrelixChassis(items, status); });
  }
  std::uint32_t getNumSlots(const GUID& item, tStatus2& status) override {
    std::uint32_t slots = 0;
    _trace.record(itemText("getNumSlots", item), &status,
                  [&] { slots = _inner.getNumSlots(item, status); });
    if (_trace.afterSlotCount) _trace.afterSlotCount(item);
    return slots;
  }
  void removeChassis(const GUID& item, tStatus2& status) override {
    _trace.record(itemText("removeChassis", item), &status,
                  [&] { _inner.removeChassis(item, status); });
  }

 private:
  tTrelixConfiguration& _inner;
  LibraryTrace& _trace;
};

class TracingMordan final : public tMordanConfiguration {
 public:
  TracingMordan(tMordanConfiguration& inner, LibraryTrace& trace) : _inner(inner), _trace(trace) {}
  void getSavedMordanConnectorBlocks(GuidList& items, tStatus2& status) override {
    _trace.record("getSavedMordanConnectorBlocks", &status,
                  [&] { _inner.getSavedMordanConnectorBlocks(items, status); });
  }
  void getNumSlots(const GUID& item, std::uint32_t& slots, tStatus2& status) override {
    _trace.record(itemText("getNumSlots", item), &status,
                  [&] { _inner.getNumSlots(item, slots, status); });
    if (_trace.afterSlotCount) _trace.afterSlotCount(item);
  }
  void removeMordanConnectorBlock(const GUID& item, tStatus2& status) override {
    _trace.record(itemText("removeMordanConnectorBlock", item), &status,
                  [&] { _inner.removeMordanConnectorBlock(item, status); });
  }

 private:
  tMordanConfiguration& _inner;
  LibraryTrace& _trace;
};

class TracingQuenta final : public tQuentaConfiguration {
 public:
  TracingQuenta(tQuentaConfiguration& inner, LibraryTrace& trace) : _inner(inner), _trace(trace) {}
  void getSavedQuentaChassis(GuidList& items, tStatus2& status) override {
    _trace.record("getSavedQuentaChassis", &status,
                  [&] { _inner.getSavedQuentaChassis(items, status); });
  }
  void getNumSlots(const GUID& item, std::uint32_t& slots, tStatus2& status) override {
    _trace.record(itemText("getNumSlots", item), &status,
                  [&] { _inner.getNumSlots(item, slots, status); });
    if (_trace.afterSlotCount) _trace.afterSlotCount(item);
  }
  void removeQuentaChassis(const GUID& item, tStatus2& status) override {
    _trace.record(itemText("removeQuentaChassis", item), &status,
                  [&] { _inner.removeQuentaChassis(item, status); });
  }

 private:
  tQuentaConfiguration& _inner;
  LibraryTrace& _trace;
};

class TracingConfiguration final : public tMHWConfiguration {
 public:
  TracingConfiguration(tMHWConfiguration& inner, LibraryTrace& trace)
      : _inner(inner),
        _trace(trace),
        _trelix(inner.getTrelixConfiguration(), trace),
        _mordan(inner.getMordanConfiguration(), trace),
        _quenta(inner.getQuentaConfiguration(), trace) {}
  IkorrinStorage* getStorage(tStatus2& status) override { return _inner.getStorage(status); }
  void saveConfiguration(tStatus2& status) override { _inner.saveConfiguration(status); }
  void revertConfiguration(tStatus2& status) override { _inner.revertConfiguration(status); }
  void finalize(tStatus2& status) override { _inner.finalize(status); }
  tTrelixConfiguration& getTrelixConfiguration() override {
    _trace.record("getTrelixConfiguration", nullptr, [] {});
    return _trelix;
  }
  tMordanConfiguration& getMordanConfiguration() override {
    _trace.record("getMordanConfiguration", nullptr, [] {});
    return _mordan;
  }
  tQuentaConfiguration& getQuentaConfiguration() override {
    _trace.record("getQuentaConfiguration", nullptr, [] {});
    return _quenta;
  }
  tDeviceConfiguration& getDeviceConfiguration() override {
    return _inner.getDeviceConfiguration();
  }

 private:
  tMHWConfiguration& _inner;
  LibraryTrace& _trace;
  TracingTrelix _trelix;
  TracingMordan _mordan;
  TracingQuenta _quenta;
};

// One of the three passes, with what a fixture needs to build its items.
struct SlotPass {
  const char* name;
  void (*run)(tMHWConfiguration&, tScopedRef<IkorrinStorage>&, tStatus2&);
  GUID itemClass;
  std::optional<std::uint32_t> savedMarker;  // none: every item counts as saved
  std::vector<std::uint32_t> slotLists;      // in reading order
  const char* getter;
  const char* savedItems;
  const char* removal;
};

const SlotPass kTrelix{"Trelix",
                       &tUpgradeDowngradeMgr::checkTrelixChassisSlots,
                       model::kTrelixChassisClass,
                       model::kTrelixSavedMarker,
                       {model::kTrelixSlotList1, model::kTrelixSlotList2, model::kTrelixSlotList3},
                       "getTrelixConfiguration",
                       "getSavedTrelixChassis",
                       "removeChassis"};
const SlotPass kMordan{"Mordan",
                       &tUpgradeDowngradeMgr::checkMordanConnectorBlockSlots,
                       model::kMordanConnectorBlockClass,
                       model::kMordanSavedMarker,
                       {model::kMordanSlotList},
                       "getMordanConfiguration",
                       "getSavedMordanConnectorBlocks",
                       "removeMordanConnectorBlock"};
const SlotPass kQuenta{"Quenta",
                       &tUpgradeDowngradeMgr::checkQuentaChassisSlots,
                       model::kQuentaChassisClass,
                       std::nullopt,
                       {model::kQuentaSlotList},
                       "getQuentaConfiguration",
                       "getSavedQuentaChassis",
                       "removeQuentaChassis"};

// One item: its slot count (none: no value), the number of slot entries of
// each of its lists, and how many foreign objects precede them in each list.
struct Item {
  unsigned id;
  std::optional<std::int64_t> slots;
  std::vector<unsigned> lists;
  unsigned foreign = 0;
  bool saved = true;
};

// Entries of item n's list l are numbered 100n + 10l + j.
unsigned entryId(unsigned item, std::size_t list, unsigned j) {
  return 100 * item + 10 * static_cast<unsigned>(list) + j;
}

StoreJson storeOf(const SlotPass& pass, const std::vector<Item>& items) {
  StoreJson store;
  store.object(kMarker, kOtherClass);
  for (const Item& item : items) {
    nlohmann::json values = nlohmann::json::object();
    if (item.slots) values[vddb::test::attributeText(model::kSlotCount)] = *item.slots;
    if (pass.savedMarker && item.saved) {
      values[vddb::test::attributeText(*pass.savedMarker)] = refTo(kMarker);
    }
    for (std::size_t l = 0; l < item.lists.size() && l < pass.slotLists.size(); ++l) {
      nlohmann::json list = nlohmann::json::array();
      for (unsigned j = 0; j < item.foreign; ++j) {
        store.object(entryId(item.id, l, 9 - j), kOtherClass);
        list.push_back(refTo(entryId(item.id, l, 9 - j)));
      }
      for (unsigned j = 0; j < item.lists[l]; ++j) {
        store.object(entryId(item.id, l, j), model::kSlotEntryClass);
        list.push_back(refTo(entryId(item.id, l, j)));
      }
      values[vddb::test::attributeText(pass.slotLists[l])] = list;
    }
    store.object(item.id, pass.itemClass, values);
  }
  return store;
}

std::string libraryLine(const char* call, unsigned item, std::int32_t status) {
  return std::string(call) + "(#" + std::to_string(item) + ") status=" + std::to_string(status);
}

// The pass's own storage calls that read item n's slot lists with the given
// sizes (the entries the store delivers, foreign ones left out).
std::vector<std::string> listReads(const SlotPass& pass, unsigned item,
                                   const std::vector<unsigned>& sizes) {
  const std::string n = vddb::test::numberName(item);
  std::vector<std::string> out{"IkorrinStorage::openObject(" + n + ")"};
  for (std::size_t l = 0; l < pass.slotLists.size(); ++l) {
    const std::string attribute = vddb::test::attributeText(pass.slotLists[l]);
    out.push_back("IStorageObject::QueryInterface[" + n + "](IStorageObjectEx)");
    out.push_back("IStorageObjectEx::getKindObjectList[" + n + "](" + attribute + ", 0, slots)");
    if (sizes[l] != 0) {
      out.push_back("IStorageObjectEx::getKindObjectList[" + n + "](" + attribute + ", " +
                    std::to_string(sizes[l]) + ", slots)");
    }
  }
  return out;
}

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

class SlotCountCheck : public vddb::test::ConfigurationTest,
                       public ::testing::WithParamInterface<SlotPass> {
 protected:
  const SlotPass& pass() const { return GetParam(); }

  void openItems(const std::vector<Item>& items) { open(storeOf(pass(), items)); }

  // Runs the pass through the tracing layer; the trace starts here.
  void run(tStatus2& status) {
    _traceFrom = injector().journal().size();
    TracingConfiguration tracing(configuration(), _trace);
    pass().run(tracing, storage(), status);
  }
  std::vector<std::string> trace() const { return _trace.merged(_traceFrom); }

  std::vector<std::string> start(std::int32_t status = 0) const {
    return {pass().getter, std::string(pass().savedItems) + " status=" + std::to_string(status)};
  }

  LibraryTrace _trace{injector()};
  std::size_t _traceFrom = 0;
};

void PrintTo(const SlotPass& pass, std::ostream* out) { *out << pass.name; }

std::string passName(const ::testing::TestParamInfo<SlotPass>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(AllThree, SlotCountCheck, ::testing::Values(kTrelix, kMordan, kQuenta),
                         passName);

std::vector<unsigned> sizesOf(const SlotPass& pass, unsigned n) {
  return std::vector<unsigned>(pass.slotLists.size(), n);
}

// --- The saved-item call -------------------------------------------------

TEST_P(SlotCountCheck, WithoutSavedItemsMakesOnlyTheSavedItemCall) {
  // Trelix and Mordan items count only when saved; Quenta items always do.
  std::vector<Item> items;
  if (pass().savedMarker) items.push_back({1, 3, sizesOf(pass(), 1), 0, /*saved=*/false});
  openItems(items);

  tStatus2 status;
  run(status);

  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(trace(), ElementsAreArray(start()));
  if (pass().savedMarker) {
    EXPECT_TRUE(exists(1));
  }
}

TEST_P(SlotCountCheck, FailingSavedItemCallExaminesNothing) {
  openItems({{1, 2, sizesOf(pass(), 1)}, {2, std::nullopt, {}}});
  injector().failCall("createQuery", injector().count("createQuery") + 1, E_FAIL);

  tStatus2 status;
  run(status);

  EXPECT_EQ(status.code, E_FAIL);
  EXPECT_THAT(trace(), ElementsAreArray(start()));
  EXPECT_TRUE(exists(1));
  EXPECT_TRUE(exists(2));
}

TEST_P(SlotCountCheck, ErrorOnEntryMakesNoCall) {
  openItems({{1, 2, sizesOf(pass(), 1)}});

  tStatus2 status;
  status.code = StatusNotFound;
  run(status);

  EXPECT_EQ(status.code, StatusNotFound);
  EXPECT_THAT(trace(), ::testing::IsEmpty());
  EXPECT_TRUE(exists(1));
}

TEST_P(SlotCountCheck, WarningOnEntryStillChecksAndStays) {
  openItems({{1, 2, sizesOf(pass(), 1)}});

  tStatus2 status;
  status.code = 7;
  run(status);

  EXPECT_EQ(status.code, 7);
  EXPECT_FALSE(exists(1));
}

// --- Slot count against slot lists ----------------------------------------

struct CountCase {
  std::int64_t slots;
  std::vector<unsigned> lists;  // slot entries per list, in the pass's reading order
  unsigned foreign;             // foreign objects in every list besides
  bool removed;
};

struct CountTable {
  const SlotPass* pass;
  std::vector<CountCase> cases;
};

void PrintTo(const CountTable& table, std::ostream* out) { *out << table.pass->name; }

class SlotCountTable : public vddb::test::ConfigurationTest,
                       public ::testing::WithParamInterface<CountTable> {};

TEST_P(SlotCountTable, RemovesExactlyTheItemsWhoseListsDisagree) {
  const SlotPass& pass = *GetParam().pass;
  const std::vector<CountCase>& cases = GetParam().cases;
  std::vector<Item> items;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    items.push_back(
        {static_cast<unsigned>(i + 1), cases[i].slots, cases[i].lists, cases[i].foreign});
  }
  open(storeOf(pass, items));

  tStatus2 status;
  pass.run(configuration(), storage(), status);

  EXPECT_EQ(status.code, 0);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(exists(static_cast<unsigned>(i + 1)), !cases[i].removed)
        << pass.name << " case " << i << ": slot count " << cases[i].slots;
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Trelix, SlotCountTable,
    ::testing::Values(CountTable{&kTrelix,
                                 {{4, {4, 4, 3}, 0, true},
                                  {4, {4, 4, 4}, 0, false},
                                  {4, {4, 4, 5}, 0, true},
                                  {4, {3, 4, 4}, 0, true},
                                  {4, {4, 5, 4}, 0, true},
                                  {4, {4, 4, 4}, 2, false},  // foreign entries are no slots
                                  {2, {4, 4, 4}, 0, true},
                                  {0, {0, 0, 0}, 0, false},
                                  {0, {0, 0, 0}, 1, false},
                                  {0, {0, 1, 0}, 0, true}}}));
INSTANTIATE_TEST_SUITE_P(Mordan, SlotCountTable,
                         ::testing::Values(CountTable{&kMordan,
                                                      {{2, {2}, 0, false},
                                                       {2, {1}, 0, true},
                                                       {2, {3}, 0, true},
                                                       {2, {2}, 3, false},
                                                       {0, {0}, 0, false},
                                                       {0, {1}, 0, true}}}));
INSTANTIATE_TEST_SUITE_P(Quenta, SlotCountTable,
                         ::testing::Values(CountTable{&kQuenta,
                                                      {{3, {3}, 0, false},
                                                       {3, {2}, 0, true},
                                                       {3, {4}, 0, true},
                                                       {3, {3}, 1, false},
                                                       {0, {0}, 0, false},
                                                       {0, {2}, 0, true}}}));
// clang-format on

// --- Call order -------------------------------------------------------------

TEST_P(SlotCountCheck, ReadsEveryListInOrderAndRemovesAfterTheReads) {
  std::vector<unsigned> short1 = sizesOf(pass(), 2);
  short1.back() = 1;
  openItems({{1, 2, sizesOf(pass(), 2)}, {2, 2, short1}});

  tStatus2 status;
  run(status);

  std::vector<std::string> expected = start();
  expected.push_back(libraryLine("getNumSlots", 1, 0));
  append(expected, listReads(pass(), 1, sizesOf(pass(), 2)));
  expected.push_back(libraryLine("getNumSlots", 2, 0));
  append(expected, listReads(pass(), 2, short1));
  expected.push_back(libraryLine(pass().removal, 2, 0));
  EXPECT_THAT(trace(), ElementsAreArray(expected));
  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(exists(1));
  EXPECT_FALSE(exists(2));
}

TEST_P(SlotCountCheck, UnreadableSlotCountRemovesWithoutOpening) {
  // Item 1 has no slot count; item 2, examined after it, gets a fresh status.
  openItems({{1, std::nullopt, sizesOf(pass(), 0)}, {2, 1, sizesOf(pass(), 1)}});

  tStatus2 status;
  run(status);

  std::vector<std::string> expected = start();
  expected.push_back(libraryLine("getNumSlots", 1, 0));
  expected.push_back(libraryLine(pass().removal, 1, hw::StatusValueMissing));
  expected.push_back(libraryLine("getNumSlots", 2, 0));
  append(expected, listReads(pass(), 2, sizesOf(pass(), 1)));
  EXPECT_THAT(trace(), ElementsAreArray(expected));
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(exists(1));
  EXPECT_TRUE(exists(2));
}

struct OpenFailureCase {
  std::int64_t slots;
  bool removed;
};

class UnopenableItem : public SlotCountCheck {};

TEST_P(UnopenableItem, IsRemovedUnlessItHasNoSlots) {
  for (const OpenFailureCase c : {OpenFailureCase{2, true}, OpenFailureCase{0, false}}) {
    SCOPED_TRACE("slot count " + std::to_string(c.slots));
    const unsigned lists = static_cast<unsigned>(c.slots);
    openItems({{1, c.slots, sizesOf(pass(), lists)}, {2, 1, sizesOf(pass(), 1)}});
    // The pass's own opening of item 1 is the next openObject after its slot count.
    _trace.afterSlotCount = [&](const GUID& item) {
      if (item == objectGuid(1)) {
        injector().failCall("openObject", injector().count("openObject") + 1, E_FAIL);
      }
    };

    tStatus2 status;
    run(status);

    std::vector<std::string> expected = start();
    expected.push_back(libraryLine("getNumSlots", 1, 0));
    expected.push_back("IkorrinStorage::openObject(#1) failed");
    if (c.removed) expected.push_back(libraryLine(pass().removal, 1, E_FAIL));
    expected.push_back(libraryLine("getNumSlots", 2, 0));
    append(expected, listReads(pass(), 2, sizesOf(pass(), 1)));
    EXPECT_THAT(trace(), ElementsAreArray(expected));
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(exists(1), !c.removed);
    EXPECT_TRUE(exists(2));

    close();
    expectAllReleased();
    injector().clearFaults();
    _trace.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(AllThree, UnopenableItem, ::testing::Values(kTrelix, kMordan, kQuenta),
                         passName);

TEST_P(SlotCountCheck, ObjectWithoutExtensionIsRemovedWithTheRequestsFailure) {
  openItems({{1, 2, sizesOf(pass(), 2)}, {2, 2, sizesOf(pass(), 2)}});
  injector().hideInterface(objectGuid(1), IID_IStorageObjectEx);

  tStatus2 status;
  run(status);

  std::vector<std::string> expected = start();
  expected.push_back(libraryLine("getNumSlots", 1, 0));
  expected.push_back("IkorrinStorage::openObject(#1)");
  expected.push_back("IStorageObject::QueryInterface[#1](IStorageObjectEx) failed");
  // Unmapped: the request's own failure.
  expected.push_back(libraryLine(pass().removal, 1, E_NOINTERFACE));
  expected.push_back(libraryLine("getNumSlots", 2, 0));
  append(expected, listReads(pass(), 2, sizesOf(pass(), 2)));
  EXPECT_THAT(trace(), ElementsAreArray(expected));
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(exists(1));
  EXPECT_TRUE(exists(2));
}

TEST_P(SlotCountCheck, FailingRemovalDoesNotStopThePass) {
  openItems({{1, 3, sizesOf(pass(), 2)}, {2, 3, sizesOf(pass(), 1)}, {3, 1, sizesOf(pass(), 1)}});
  // The library's removal of item 1 starts by deleting the item itself.
  injector().failCall("deleteObject", injector().count("deleteObject") + 1, E_FAIL);

  tStatus2 status;
  run(status);

  const std::vector<std::string> lines = trace();
  std::vector<std::string> libraryLines;
  for (const std::string& line : lines) {
    if (line.find("::") == std::string::npos) libraryLines.push_back(line);
  }
  EXPECT_THAT(libraryLines, ElementsAreArray(std::vector<std::string>{
                                pass().getter, std::string(pass().savedItems) + " status=0",
                                libraryLine("getNumSlots", 1, 0), libraryLine(pass().removal, 1, 0),
                                libraryLine("getNumSlots", 2, 0), libraryLine(pass().removal, 2, 0),
                                libraryLine("getNumSlots", 3, 0)}));
  EXPECT_EQ(status.code, 0);
  EXPECT_TRUE(exists(1));
  EXPECT_FALSE(exists(2));
  EXPECT_TRUE(exists(3));
}

// Trelix only (the one pass with several lists): a failing read ends the
// reads of that item.
class TrelixListReads : public SlotCountCheck {};

TEST_P(TrelixListReads, FailingReadLeavesTheLaterListsUnreadAndRemoves) {
  openItems({{1, 4, {4, 4, 4}}, {2, 1, {1, 1, 1}}});
  // Item 1's second list: QueryInterface, then the counting call, which fails.
  _trace.afterSlotCount = [&](const GUID& item) {
    if (item == objectGuid(1)) {
      injector().failCall("getKindObjectList", injector().count("getKindObjectList") + 3,
                          static_cast<HRESULT>(0x80040309U));
    }
  };

  tStatus2 status;
  run(status);

  std::vector<std::string> expected = start();
  expected.push_back(libraryLine("getNumSlots", 1, 0));
  append(expected,
         {"IkorrinStorage::openObject(#1)", "IStorageObject::QueryInterface[#1](IStorageObjectEx)",
          "IStorageObjectEx::getKindObjectList[#1](0xEEC00022, 0, slots)",
          "IStorageObjectEx::getKindObjectList[#1](0xEEC00022, 4, slots)",
          "IStorageObject::QueryInterface[#1](IStorageObjectEx)",
          "IStorageObjectEx::getKindObjectList[#1](0xEEC00024, 0, slots) failed"});
  expected.push_back(libraryLine("removeChassis", 1, StatusNotFound));
  expected.push_back(libraryLine("getNumSlots", 2, 0));
  append(expected, listReads(kTrelix, 2, {1, 1, 1}));
  EXPECT_THAT(trace(), ElementsAreArray(expected));
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(exists(1));
  EXPECT_TRUE(exists(2));
}

INSTANTIATE_TEST_SUITE_P(Trelix, TrelixListReads, ::testing::Values(kTrelix), passName);

// --- Memory -----------------------------------------------------------------

// Fails each allocation of the pass in turn, first once, then every one from
// there on. An allocation failure in the saved-item call ends the pass with
// StatusNoMemory before any item; later ones stay inside their item, whose
// lists then count as unread. Nothing leaks either way.
TEST_P(SlotCountCheck, EveryFailedAllocationIsContained) {
  const std::vector<Item> items{{1, 2, sizesOf(pass(), 2)}, {2, 2, sizesOf(pass(), 1)}};
  for (const bool persistent : {false, true}) {
    bool listingFailed = false;
    bool itemFailed = false;
    for (AllocationFaultSweep sweep(persistent); sweep.next();) {
      openItems(items);
      sweep.arm();
      tStatus2 status;
      pass().run(configuration(), storage(), status);
      const bool completed = !sweep.disarm();

      if (completed) {
        EXPECT_EQ(status.code, 0);
        EXPECT_TRUE(exists(1));
        EXPECT_FALSE(exists(2));
      } else if (status.code == StatusNoMemory) {
        listingFailed = true;
        EXPECT_TRUE(exists(1));  // the listing failed: nothing was examined
        EXPECT_TRUE(exists(2));
      } else {
        // An item's failure stays in the item's status. (Whether the item
        // went depends on where the library's removal ran out of memory.)
        itemFailed = true;
        EXPECT_EQ(status.code, 0);
      }
      close();
      expectAllReleased();
    }
    EXPECT_TRUE(listingFailed) << "no allocation of the saved-item call was failed";
    if (!persistent) {
      EXPECT_TRUE(itemFailed) << "no allocation of an item was failed";
    }
  }
}

}  // namespace
