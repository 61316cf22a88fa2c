// The two link-record passes against the real engine behind the
// fault-injecting decorator, and the pair as the sequence runs it (rows 11
// and 12 sharing one status). The duplicate pass's deletion requests are
// compared with the pairwise search on randomised stores.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "repair/pass_sequence.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "support/allocation_fault_sweep.h"
#include "support/store_fixture.h"

namespace vddb::test::passes {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr const char* kLinkRecord = "bd95268d-8af7-3ac4-9697-9fed9a8dc51f";
constexpr const char* kNamedObject = "c1b74069-2108-3d9c-6dbd-f106bc02ca2e";
constexpr const char* kPlain = "d3000000-0000-4000-8000-000000000001";
const std::vector<ExtraClass> kExtraClasses = {{kPlain, nullptr, {}}};

const std::string kFirst = attributeText(0x20C003E8);
const std::string kSecond = attributeText(0x20C003E9);
const std::string kNumber = attributeText(0x58C003EA);

constexpr HRESULT kFailure = static_cast<HRESULT>(0x80040A97U);

Obj record(unsigned n, std::optional<unsigned> first, std::optional<unsigned> second,
           std::int32_t number = 0) {
  nlohmann::json values = nlohmann::json::object();
  if (first) values[kFirst] = refTo(*first);
  if (second) values[kSecond] = refTo(*second);
  values[kNumber] = number;
  return {n, kLinkRecord, values};
}

class LinkRecords : public StoreTest {
 protected:
  tStatus2 runIncomplete() {
    tStatus2 status;
    injector().clearJournal();
    tUpgradeDowngradeMgr::purgeIncompleteLinkRecords(storage(), status);
    return status;
  }
  tStatus2 runDuplicates() {
    tStatus2 status;
    injector().clearJournal();
    tUpgradeDowngradeMgr::purgeDuplicateLinkRecords(storage(), status);
    return status;
  }
  // The records whose GUID the duplicate pass asked for: one per deletion
  // request, in the doomed list's order.
  std::vector<unsigned> deletionRequestsByPosition(const std::set<unsigned>& records) const {
    std::vector<unsigned> out;
    for (const JournalEntry& e : injector().journal()) {
      if (e.operation != "getObjectGuid") continue;
      const auto n = objectNumber(e.target);
      if (n && records.count(*n) != 0) out.push_back(*n);
    }
    return out;
  }
};

// --- purgeIncompleteLinkRecords -------------------------------------------

std::vector<Obj> incompleteStore() {
  // #1 lacks its first object, #2 its second, #5's first object dangles;
  // #3 and #4 are complete and both name #12. #11 is named only by #1, #13
  // only by #5, #14 by nobody.
  return {record(1, std::nullopt, 11),
          record(2, 20, std::nullopt),
          record(3, 20, 12),
          record(4, 21, 12),
          record(5, 99, 13),
          {11, kNamedObject},
          {12, kNamedObject},
          {13, kNamedObject},
          {14, kNamedObject},
          {20, kPlain},
          {21, kPlain}};
}

TEST_F(LinkRecords, IncompleteRecordsAndTheObjectsNoRemainingRecordNamesAreDeleted) {
  open(incompleteStore(), kExtraClasses);
  const tStatus2 status = runIncomplete();
  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(deletionRequests(), ElementsAre(1, 2, 5, 11, 13, 14));
  EXPECT_EQ(remaining(), (std::set<unsigned>{3, 4, 12, 20, 21}));
  // A record without a first object is deleted without its second being read.
  EXPECT_FALSE(called("getReference", 1, kSecond));
  EXPECT_TRUE(called("getReference", 2, kSecond));
}

TEST_F(LinkRecords, OnceTheStatusHoldsAnErrorNothingFurtherIsDeleted) {
  const struct {
    const char* operation;
    std::uint64_t nth;
    std::vector<unsigned> deleted;
  } cases[] = {
      {"getReference", 1, {}},         // #1's first object
      {"getReference", 4, {1, 2}},     // #3's first object
      {"getObjectGuid", 3, {1, 2}},    // #12's GUID, through #3
      {"deleteObject", 2, {1}},        // #2 could not be deleted
      {"deleteObject", 4, {1, 2, 5}},  // #11: the second phase stops
      {"createQuery", 2, {1, 2, 5}},   // the second collection
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.operation) + " " + std::to_string(c.nth));
    open(incompleteStore(), kExtraClasses);
    injector().failCall(c.operation, c.nth, kFailure);
    const tStatus2 status = runIncomplete();
    EXPECT_EQ(status.code, kFailure);
    std::vector<unsigned> deleted;
    for (const JournalEntry& e : injector().journal()) {
      if (e.operation == "deleteObject" && e.result >= 0) {
        deleted.push_back(*objectNumber(e.arguments));
      }
    }
    EXPECT_EQ(deleted, c.deleted);
    const std::vector<JournalEntry>& journal = injector().journal();
    ASSERT_FALSE(journal.empty());
    EXPECT_TRUE(journal.back().injected) << "a call was made after the failure";
  }
}

TEST_F(LinkRecords, NoFailedAllocationLetsANamedObjectBeDeleted) {
  bool sawFailure = false;
  for (AllocationFaultSweep sweep; sweep.next();) {
    open(incompleteStore(), kExtraClasses);
    const std::uint64_t live = platform::liveAllocations();
    sweep.arm();
    const tStatus2 status = runIncomplete();
    const bool fired = sweep.disarm();
    EXPECT_EQ(platform::liveAllocations(), live);
    const std::set<unsigned> left = remaining();
    if (!fired) {
      EXPECT_EQ(status.code, 0);
      EXPECT_EQ(left, (std::set<unsigned>{3, 4, 12, 20, 21}));
      break;
    }
    sawFailure = true;
    // Every allocation of this pass is needed: a failure ends it with no
    // object of class c1b74069-... deleted.
    EXPECT_EQ(status.code, StatusNoMemory);
    for (unsigned named : {11u, 12u, 13u, 14u}) EXPECT_EQ(left.count(named), 1u) << named;
  }
  EXPECT_TRUE(sawFailure);
}

// --- purgeDuplicateLinkRecords ----------------------------------------------

// A store of link records #1.. with the given first objects (#100 + k; none
// when negative) and numbers.
struct RecordSpec {
  int first;  // -1: no first object, -2: a first object that does not exist
  std::int32_t number;
};
std::vector<Obj> duplicateStore(const std::vector<RecordSpec>& records) {
  std::vector<Obj> objects;
  std::set<unsigned> firsts;
  for (unsigned i = 0; i < records.size(); ++i) {
    const RecordSpec& r = records[i];
    std::optional<unsigned> first;
    if (r.first >= 0) {
      first = 100 + static_cast<unsigned>(r.first);
      firsts.insert(*first);
    } else if (r.first == -2) {
      first = 999;
    }
    objects.push_back(record(i + 1, first, 500, r.number));
  }
  for (unsigned f : firsts) objects.push_back({f, kPlain});
  objects.push_back({500, kNamedObject});
  return objects;
}
std::set<unsigned> recordNumbers(std::size_t count) {
  std::set<unsigned> out;
  for (unsigned i = 1; i <= count; ++i) out.insert(i);
  return out;
}

// The pairwise search over the store's records, as record numbers. Its list
// grows as the runtime lists do; growth number `failingGrowth` (0-based), if
// any, fails and loses that append.
std::vector<unsigned> pairwiseOracle(const std::vector<RecordSpec>& records,
                                     std::size_t failingGrowth = SIZE_MAX) {
  std::vector<unsigned> doomed;
  std::size_t capacity = 0;
  std::size_t growths = 0;
  const auto append = [&](unsigned record) {
    if (doomed.size() == capacity) {
      if (growths++ == failingGrowth) return;
      capacity = capacity == 0 ? 1 : capacity * 2;
    }
    doomed.push_back(record);
  };
  for (unsigned i = 0; i < records.size(); ++i) {
    if (std::find(doomed.begin(), doomed.end(), i + 1) != doomed.end()) continue;
    for (unsigned j = i + 1; j < records.size(); ++j) {
      if (records[i].first >= 0 && records[i].first == records[j].first &&
          records[i].number == records[j].number) {
        append(i + 1);
        append(j + 1);
      }
    }
  }
  return doomed;
}

TEST_F(LinkRecords, EveryMemberOfAGroupSharingFirstObjectAndNumberIsDeleted) {
  const struct {
    const char* name;
    std::vector<RecordSpec> records;
    std::vector<unsigned> requests;  // in doomed-list order, repeats included
    std::vector<unsigned> deleted;
  } cases[] = {
      {"three alike", {{0, 7}, {0, 7}, {0, 7}}, {1, 2, 1, 3}, {1, 2, 3}},
      {"same first object, other numbers", {{0, 7}, {0, 8}}, {}, {}},
      {"same number, other first objects", {{0, 7}, {1, 7}}, {}, {}},
      {"single record", {{0, 7}}, {}, {}},
      {"no first object", {{-1, 7}, {-1, 7}, {-2, 7}, {-2, 7}}, {}, {}},
      {"two groups interleaved",
       {{0, 7}, {1, 7}, {0, 7}, {-1, 7}, {1, 7}, {0, 8}, {0, 7}},
       {1, 3, 1, 7, 2, 5},
       {1, 3, 7, 2, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(pairwiseOracle(c.records), c.requests);
    open(duplicateStore(c.records), kExtraClasses);
    const tStatus2 status = runDuplicates();
    EXPECT_EQ(status.code, 0);
    EXPECT_EQ(deletionRequestsByPosition(recordNumbers(c.records.size())), c.requests);
    EXPECT_EQ(deletionRequests(), c.deleted);
    const std::set<unsigned> left = remaining();
    for (unsigned n : recordNumbers(c.records.size())) {
      const bool doomed = std::count(c.deleted.begin(), c.deleted.end(), n) != 0;
      EXPECT_EQ(left.count(n), doomed ? 0u : 1u) << n;
    }
  }
}

TEST_F(LinkRecords, DeletionRequestsMatchThePairwiseSearchOnRandomStores) {
  std::mt19937 random(424242);
  std::size_t withDuplicates = 0;
  for (int round = 0; round < 25; ++round) {
    SCOPED_TRACE(round);
    const std::size_t count = std::uniform_int_distribution<std::size_t>(1, 40)(random);
    std::uniform_int_distribution<int> first(-2, 5);
    std::uniform_int_distribution<std::int32_t> number(0, 2);
    std::vector<RecordSpec> records(count);
    for (RecordSpec& r : records) r = {first(random), number(random)};
    const std::vector<unsigned> expected = pairwiseOracle(records);
    if (!expected.empty()) ++withDuplicates;

    open(duplicateStore(records), kExtraClasses);
    const tStatus2 status = runDuplicates();
    EXPECT_EQ(status.code, 0);
    ASSERT_EQ(deletionRequestsByPosition(recordNumbers(count)), expected);
    const std::set<unsigned> doomed(expected.begin(), expected.end());
    const std::set<unsigned> left = remaining();
    for (unsigned n : recordNumbers(count)) EXPECT_EQ(left.count(n), doomed.count(n) ? 0u : 1u);
  }
  EXPECT_GT(withDuplicates, 15u);
}

TEST_F(LinkRecords, AFailedReadDeletesNothingAndEndsThePass) {
  const std::vector<RecordSpec> records = {{0, 7}, {0, 7}, {1, 3}, {1, 3}};
  for (const char* operation : {"getReference", "getObjectGuid", "getInteger"}) {
    for (std::uint64_t nth = 1; nth <= 4; ++nth) {
      SCOPED_TRACE(std::string(operation) + " " + std::to_string(nth));
      open(duplicateStore(records), kExtraClasses);
      injector().failCall(operation, nth, kFailure);
      const tStatus2 status = runDuplicates();
      EXPECT_EQ(status.code, kFailure);
      EXPECT_THAT(deletionRequests(), IsEmpty());
      EXPECT_TRUE(injector().journal().back().injected) << "a call was made after the failure";
      EXPECT_EQ(remaining().count(1), 1u);
    }
  }
  // A record without a number fails the same way, on every run.
  open({record(1, 20, 500, 7),
        {2, kLinkRecord, {{kFirst, refTo(20)}}},
        {20, kPlain},
        {500, kNamedObject}},
       kExtraClasses);
  EXPECT_LT(runDuplicates().code, 0);
  EXPECT_THAT(deletionRequests(), IsEmpty());
}

TEST_F(LinkRecords, AFailedDeletionIsDroppedAndTheOthersStillHappen) {
  open(duplicateStore({{0, 7}, {0, 7}, {0, 7}}), kExtraClasses);
  injector().failCall("deleteObject", 1, kFailure);
  const tStatus2 status = runDuplicates();
  EXPECT_EQ(status.code, 0);
  // The repeated request for #1 deletes it after the first one failed.
  EXPECT_THAT(deletionRequests(), ElementsAre(1, 2, 1, 3));
  EXPECT_EQ(remaining(), (std::set<unsigned>{100, 500}));
}

TEST_F(LinkRecords, NoFailedAllocationDeletesARecordThatIsNoDuplicate) {
  const std::vector<RecordSpec> records = {{0, 7}, {1, 7}, {0, 7}, {2, 1}, {0, 7}, {1, 7}};
  const std::set<unsigned> duplicates = {1, 2, 3, 5, 6};
  for (AllocationFaultSweep sweep; sweep.next();) {
    open(duplicateStore(records), kExtraClasses);
    const std::uint64_t live = platform::liveAllocations();
    sweep.arm();
    const tStatus2 status = runDuplicates();
    const bool fired = sweep.disarm();
    EXPECT_EQ(platform::liveAllocations(), live);
    const std::set<unsigned> left = remaining();
    EXPECT_EQ(left.count(4), 1u);
    if (!fired) {
      EXPECT_EQ(status.code, 0);
      for (unsigned n : duplicates) EXPECT_EQ(left.count(n), 0u) << n;
      break;
    }
    if (status.code == StatusNoMemory) {
      EXPECT_THAT(deletionRequests(), IsEmpty());
    } else {
      // Only the doomed list could not grow: the requests are those of the
      // pairwise search with one of its growths failing.
      EXPECT_EQ(status.code, 0);
      const std::vector<unsigned> requests =
          deletionRequestsByPosition(recordNumbers(records.size()));
      bool matches = false;
      for (std::size_t growth = 0; growth < 8 && !matches; ++growth) {
        matches = requests == pairwiseOracle(records, growth);
      }
      EXPECT_TRUE(matches) << ::testing::PrintToString(requests);
    }
  }
}

TEST_F(LinkRecords, AnErrorOnEntryMakesNoCall) {
  open(duplicateStore({{0, 7}, {0, 7}, {-1, 1}}), kExtraClasses);
  for (auto pass : {&tUpgradeDowngradeMgr::purgeIncompleteLinkRecords,
                    &tUpgradeDowngradeMgr::purgeDuplicateLinkRecords}) {
    injector().clearJournal();
    tStatus2 status;
    status.code = StatusNotFound;
    pass(storage(), status);
    EXPECT_EQ(status.code, StatusNotFound);
    EXPECT_THAT(injector().journal(), IsEmpty());
  }
  EXPECT_EQ(remaining().size(), 5u);
}

// --- rows 11 and 12 of the sequence -----------------------------------------

class LinkRecordRows : public LinkRecords {
 protected:
  // Runs the sequence's rows 11 and 12, as the sequence does, on a good status.
  tStatus2 runRows() {
    std::span<const tUpgradeDowngradeMgr::tPassRow> table = tUpgradeDowngradeMgr::repairPassTable();
    const auto first =
        std::find_if(table.begin(), table.end(), [](const auto& row) { return row.order == 11; });
    EXPECT_NE(first, table.end());
    EXPECT_EQ(table.end() - first, 2);
    tUpgradeDowngradeMgr::resetRepairPassesRunOnce();
    tStatus2 transaction;
    injector().clearJournal();
    tUpgradeDowngradeMgr::runRepairPassRows(
        table.subspan(static_cast<std::size_t>(first - table.begin()), 2), storage(), nullptr,
        transaction);
    tUpgradeDowngradeMgr::resetRepairPassesRunOnce();
    return transaction;
  }
};

TEST_F(LinkRecordRows, RowElevenRemovesIncompleteRecordsBeforeRowTwelveLooksForDuplicates) {
  // #1 lacks a second object; #2 and #3 are duplicates.
  open({record(1, 20, std::nullopt, 7),
        record(2, 20, 500, 7),
        record(3, 20, 500, 7),
        {20, kPlain},
        {500, kNamedObject}},
       kExtraClasses);
  EXPECT_EQ(runRows().code, 0);
  EXPECT_THAT(deletionRequests(), ElementsAre(1, 2, 3));
  EXPECT_EQ(remaining(), (std::set<unsigned>{20, 500}));
}

TEST_F(LinkRecordRows, AnErrorLeftByRowElevenMakesRowTwelveCallNothing) {
  open({record(1, 20, std::nullopt, 7),
        record(2, 20, 500, 7),
        record(3, 20, 500, 7),
        {20, kPlain},
        {500, kNamedObject}},
       kExtraClasses);
  injector().failCall("deleteObject", 1, kFailure);  // row 11's deletion of #1
  const tStatus2 transaction = runRows();
  EXPECT_EQ(transaction.code, 0);  // the transaction status is never written
  const std::vector<JournalEntry>& journal = injector().journal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.back().operation, "deleteObject");
  EXPECT_TRUE(journal.back().injected) << "row 12 made a call";
  EXPECT_EQ(injector().count("createQuery"), 1u);
  EXPECT_EQ(remaining(), (std::set<unsigned>{1, 2, 3, 20, 500}));
}

}  // namespace
}  // namespace vddb::test::passes
