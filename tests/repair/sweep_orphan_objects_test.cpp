// The orphan sweep on the real engine, with the fault decorator in front of
// the storage and the failing allocator: which objects go, the calls it makes
// in their order, and where each failure ends it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "store/guid.h"
#include "store/model_ids.h"
#include "support/allocation_fault_sweep.h"
#include "support/fault_injection.h"
#include "support/store_fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using vddb::test::AllocationFaultSweep;
using vddb::test::objectGuid;
using vddb::test::StoreJson;
namespace platform = vddb::platform;

namespace model = vddb::model;

const std::string kCondition = vddb::test::attributeText(model::kNameReferenceState);
const std::string kName = vddb::test::attributeText(model::kReferredName);
const std::string kMatchName = vddb::test::attributeText(model::kNamedObjectName);

// Swept objects are numbered from 1, referenced objects from 100.
struct Swept {
  unsigned id;
  std::optional<std::string> name;  // none: no value
  std::optional<std::int64_t> condition = 0;
};

StoreJson storeOf(const std::vector<Swept>& swept,
                  const std::vector<std::optional<std::string>>& referencedNames) {
  StoreJson store;
  for (const Swept& s : swept) {
    nlohmann::json values = nlohmann::json::object();
    if (s.condition) values[kCondition] = *s.condition;
    if (s.name) values[kName] = *s.name;
    store.object(s.id, model::kNameReferenceClass, values);
  }
  unsigned n = 100;
  for (const std::optional<std::string>& name : referencedNames) {
    nlohmann::json values = nlohmann::json::object();
    if (name) values[kMatchName] = *name;
    store.object(n++, model::kNamedObjectClass, values);
  }
  return store;
}

const std::string kSweptText = vddb::formatGuid(model::kNameReferenceClass);
const std::string kReferencedText = vddb::formatGuid(model::kNamedObjectClass);

// The calls that open the sweep, up to and including its first Next.
std::vector<std::string> sweepStart() {
  return {"IkorrinStorage::createQuery(" + kSweptText + ", 0, 0)",
          "IStorageQuery::addCondition[" + kSweptText + "](" + kCondition + ", 0)",
          "IkorrinStorage::runQuery(" + kSweptText + ")",
          "IGuidEnumerator::Next[" + kSweptText + "](1)"};
}

// The calls that examine swept object n with name `name`, ending with the
// next Next of the swept enumeration.
std::vector<std::string> examine(unsigned n, const std::string& name, bool deleted) {
  const std::string id = vddb::test::numberName(n);
  std::vector<std::string> calls{
      "IkorrinStorage::openObject(" + id + ")",
      "IStorageObject::getString[" + id + "](" + kName + ")",
      "IkorrinStorage::createQuery(" + kReferencedText + ", 0, 0)",
      "IStorageQuery::QueryInterface[" + kReferencedText + "](IStorageQueryEx)",
      "IStorageQueryEx::addStringCondition[" + kReferencedText + "](" + kMatchName + ", \"" + name +
          "\")",
      "IkorrinStorage::runQuery(" + kReferencedText + ")",
      "IGuidEnumerator::Next[" + kReferencedText + "](1)"};
  if (deleted) calls.push_back("IkorrinStorage::deleteObject(" + id + ")");
  calls.push_back("IGuidEnumerator::Next[" + kSweptText + "](1)");
  return calls;
}

void append(std::vector<std::string>& to, const std::vector<std::string>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

class OrphanSweep : public vddb::test::ConfigurationTest {
 protected:
  void run(tStatus2& status) {
    _from = injector().journal().size();
    tUpgradeDowngradeMgr::sweepOrphanObjects(storage(), status);
  }
  std::vector<std::string> calls() const { return journalSince(_from); }
  // Counts from the injector's start, as its faults do.
  std::uint64_t next(const char* operation) { return injector().count(operation) + 1; }

  std::size_t _from = 0;
};

// --- What goes and what stays -------------------------------------------------

struct SweepCase {
  const char* what;
  std::vector<Swept> swept;
  std::vector<std::optional<std::string>> referenced;
  std::vector<unsigned> deleted;
};

void PrintTo(const SweepCase& c, std::ostream* out) { *out << c.what; }

class SweepTable : public OrphanSweep, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(SweepTable, DeletesExactlyTheObjectsWhoseNameMatchesNothing) {
  const SweepCase& c = GetParam();
  open(storeOf(c.swept, c.referenced));

  tStatus2 status;
  run(status);

  EXPECT_EQ(status.code, 0);
  for (const Swept& s : c.swept) {
    const bool deleted = std::find(c.deleted.begin(), c.deleted.end(), s.id) != c.deleted.end();
    EXPECT_EQ(exists(s.id), !deleted) << "swept object " << s.id;
  }
  for (unsigned n = 100; n < 100 + c.referenced.size(); ++n) EXPECT_TRUE(exists(n));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, SweepTable,
    ::testing::Values(
        SweepCase{"no object satisfies the condition",
                  {{1, "Alpha", 1}, {2, "Beta", std::nullopt}, {3, std::nullopt, -1}},
                  {},
                  {}},
        SweepCase{"a match keeps, no match deletes",
                  {{1, "Alpha"}, {2, "Beta"}},
                  {"Alpha", "Gamma"},
                  {2}},
        SweepCase{"several orphans go in one pass",
                  {{1, "Beta"}, {2, "Alpha"}, {3, "Delta"}, {4, "Epsilon"}},
                  {"Alpha"},
                  {1, 3, 4}},
        SweepCase{"several matching objects keep one name",
                  {{1, "Alpha"}},
                  {"Alpha", "Alpha", std::nullopt},
                  {}},
        SweepCase{"the name is compared code unit for code unit",
                  {{1, "alpha"}, {2, "Alpha"}, {3, "Ähre"}},
                  {"Alpha", "Ähre"},
                  {1}},
        SweepCase{"nameless objects are searched with the empty text",
                  {{1, std::nullopt}, {2, ""}, {3, "Alpha"}},
                  {"Alpha", std::nullopt},
                  {1, 2}},
        SweepCase{"an empty name matches an empty match name",
                  {{1, std::nullopt}, {2, ""}},
                  {""},
                  {}},
        SweepCase{"a condition other than 0 keeps an orphan",
                  {{1, "Beta", 0}, {2, "Beta", 1}},
                  {},
                  {1}}));
// clang-format on

// --- Call order ---------------------------------------------------------------

TEST_F(OrphanSweep, NothingSelectedOpensNothing) {
  open(storeOf({{1, "Alpha", 1}}, {}));

  tStatus2 status;
  run(status);

  EXPECT_EQ(status.code, 0);
  EXPECT_THAT(calls(), ElementsAreArray(sweepStart()));
  EXPECT_TRUE(exists(1));
}

TEST_F(OrphanSweep, ExaminesOneObjectAtATimeAndDeletesWhileEnumerating) {
  open(storeOf({{1, "Beta"}, {2, "Alpha"}, {3, std::nullopt}}, {"Alpha"}));

  tStatus2 status;
  run(status);

  std::vector<std::string> expected = sweepStart();
  append(expected, examine(1, "Beta", true));
  append(expected, examine(2, "Alpha", false));
  append(expected, examine(3, "", true));
  EXPECT_THAT(calls(), ElementsAreArray(expected));
  EXPECT_EQ(status.code, 0);
  EXPECT_FALSE(exists(1));
  EXPECT_TRUE(exists(2));
  EXPECT_FALSE(exists(3));
}

TEST_F(OrphanSweep, ErrorOnEntryMakesNoCall) {
  open(storeOf({{1, "Beta"}}, {}));

  tStatus2 status;
  status.code = StatusNoMemory;
  run(status);

  EXPECT_EQ(status.code, StatusNoMemory);
  EXPECT_THAT(calls(), IsEmpty());
  EXPECT_TRUE(exists(1));
}

TEST_F(OrphanSweep, WarningOnEntryRunsAndStays) {
  open(storeOf({{1, "Beta"}}, {}));

  tStatus2 status;
  status.code = 3;
  run(status);

  EXPECT_EQ(status.code, 3);
  EXPECT_FALSE(exists(1));
}

// --- Failures of the swept query ------------------------------------------------

struct SweptQueryFault {
  const char* operation;
  HRESULT result;
  std::int32_t recorded;
  std::size_t callsMade;  // of sweepStart(), the failing one included
};

class SweptQueryFailure : public OrphanSweep,
                          public ::testing::WithParamInterface<SweptQueryFault> {};

void PrintTo(const SweptQueryFault& f, std::ostream* out) {
  *out << f.operation << " fails with " << std::hex << f.result;
}

TEST_P(SweptQueryFailure, EndsThePassWithoutEnumerating) {
  const SweptQueryFault& f = GetParam();
  open(storeOf({{1, "Beta"}}, {}));
  injector().failCall(f.operation, next(f.operation), f.result);

  tStatus2 status;
  run(status);

  EXPECT_EQ(status.code, f.recorded);
  std::vector<std::string> expected = sweepStart();
  expected.resize(f.callsMade);
  expected.back() += " failed";
  EXPECT_THAT(calls(), ElementsAreArray(expected));
  EXPECT_TRUE(exists(1));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, SweptQueryFailure,
    ::testing::Values(SweptQueryFault{"runQuery", kStorageNotFound, StatusNotFound, 3},
                      SweptQueryFault{"runQuery", E_FAIL, E_FAIL, 3},
                      SweptQueryFault{"createQuery", E_FAIL, E_FAIL, 1},
                      SweptQueryFault{"addCondition", kStorageNotFound, StatusNotFound, 2}));
// clang-format on

TEST_F(OrphanSweep, FailingSweptEnumerationEndsTheLoopUnrecorded) {
  open(storeOf({{1, "Beta"}}, {}));
  injector().failCall("IGuidEnumerator::Next", next("Next"), E_FAIL);

  tStatus2 status;
  run(status);

  EXPECT_EQ(status.code, 0);
  std::vector<std::string> expected = sweepStart();
  expected.back() += " failed";
  EXPECT_THAT(calls(), ElementsAreArray(expected));
  EXPECT_TRUE(exists(1));
}

// --- Failures while examining one object ------------------------------------------

// Objects 1 to 3 are all orphans. A failure while examining object 2 keeps it
// and object 3 untouched: no call is made after the failing one.
struct ObjectFault {
  const char* operation;
  unsigned nthForObject2;  // counted from the start of the pass
  HRESULT result;
  std::int32_t recorded;
  std::size_t callsMadeForObject2;  // of examine(2, ...), the failing one included
};

class ObjectFailure : public OrphanSweep, public ::testing::WithParamInterface<ObjectFault> {};

void PrintTo(const ObjectFault& f, std::ostream* out) {
  *out << f.operation << " fails with " << std::hex << f.result;
}

TEST_P(ObjectFailure, KeepsThatObjectAndAllLaterOnes) {
  const ObjectFault& f = GetParam();
  open(storeOf({{1, "Beta"}, {2, "Gamma"}, {3, "Delta"}}, {"Alpha"}));
  injector().failCall(f.operation, injector().count(f.operation) + f.nthForObject2, f.result);

  tStatus2 status;
  run(status);

  EXPECT_EQ(status.code, f.recorded);
  std::vector<std::string> expected = sweepStart();
  append(expected, examine(1, "Beta", true));
  std::vector<std::string> second = examine(2, "Gamma", true);
  second.resize(f.callsMadeForObject2);
  second.back() += " failed";
  append(expected, second);
  EXPECT_THAT(calls(), ElementsAreArray(expected));
  EXPECT_FALSE(exists(1));
  EXPECT_TRUE(exists(2));
  EXPECT_TRUE(exists(3));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Faults, ObjectFailure,
    ::testing::Values(
        ObjectFault{"openObject", 2, E_FAIL, E_FAIL, 1},
        ObjectFault{"openObject", 2, kStorageNotFound, StatusNotFound, 1},
        ObjectFault{"getString", 2, E_FAIL, E_FAIL, 2},
        // The match query: created as the third query of the pass.
        ObjectFault{"createQuery", 3, E_FAIL, E_FAIL, 3},
        // A refused extension is recorded as it stands, unmapped.
        ObjectFault{"QueryInterface:IStorageQueryEx", 2, kStorageNotFound, kStorageNotFound, 4},
        ObjectFault{"addStringCondition", 2, E_FAIL, E_FAIL, 5},
        ObjectFault{"runQuery", 3, kStorageNotFound, StatusNotFound, 6},
        // Next of object 2's match enumeration: the swept enumeration's Next
        // calls and object 1's match Next come before it. Recorded like any
        // other storage failure (the object stays either way).
        ObjectFault{"Next", 4, E_FAIL, E_FAIL, 7},
        ObjectFault{"deleteObject", 2, E_FAIL, E_FAIL, 8}));
// clang-format on

TEST_F(OrphanSweep, NameWithoutMemoryKeepsTheObject) {
  // A long name that matches: were the failed read ignored, the search would
  // run with the empty text, find nothing and delete the object.
  const std::string longName = "A name longer than the first block of a text";
  open(storeOf({{1, longName}, {2, "Beta"}}, {longName}));

  for (const bool persistent : {false, true}) {
    AllocationFaultSweep sweep(persistent);
    while (sweep.next()) {
      sweep.arm();
      tStatus2 status;
      run(status);
      const bool fired = sweep.disarm();

      EXPECT_TRUE(exists(1)) << "a matching object was deleted";
      if (fired) {
        EXPECT_EQ(status.code, StatusNoMemory);
        EXPECT_TRUE(exists(2)) << "work went on after the failure";
      } else {
        EXPECT_EQ(status.code, 0);
      }
    }
    EXPECT_GT(sweep.nth(), 1U) << "the pass made no allocation to fail";
    if (!persistent) {
      // The first run that completed deleted the orphan; bring it back.
      close();
      expectAllReleased();
      open(storeOf({{1, longName}, {2, "Beta"}}, {longName}));
    }
  }
  EXPECT_FALSE(exists(2));
}

TEST_F(OrphanSweep, EmptyNameWithoutMemoryIsNoMatch) {
  open(storeOf({{1, std::nullopt}}, {}));
  // The empty text takes its block when it is created, right after the
  // object was opened: the first allocation of the pass.
  platform::failAllocationAt(1);

  tStatus2 status;
  run(status);

  EXPECT_TRUE(platform::allocationFaultFired());
  EXPECT_EQ(status.code, StatusNoMemory);
  std::vector<std::string> expected = sweepStart();
  expected.push_back("IkorrinStorage::openObject(#1)");
  EXPECT_THAT(calls(), ElementsAreArray(expected));
  EXPECT_TRUE(exists(1));
}

}  // namespace
