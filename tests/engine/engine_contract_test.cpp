// The engine's observable contract, one group per promise, against a real
// in-memory store built from a compact JSON fixture.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine_test_util.h"

namespace vddb::engine::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kBase = "b0000000-0000-0000-0000-000000000001";
constexpr const char* kDerived = "b0000000-0000-0000-0000-000000000002";
constexpr const char* kOther = "b0000000-0000-0000-0000-000000000003";
// Registry-text order: o1 < o4 < o3 < o2, though o2's first byte in memory
// (little-endian Data1) is the smallest.
constexpr const char* kO1 = "00000001-0000-0000-0000-000000000000";
constexpr const char* kO4 = "00000001-0000-0000-0000-000000000001";
constexpr const char* kO3 = "00000002-0000-0000-0000-000000000000";
constexpr const char* kO2 = "01000000-0000-0000-0000-000000000000";
constexpr const char* kGone = "ffffffff-0000-0000-0000-000000000000";

constexpr std::uint32_t kRef = 0x10000001;
constexpr std::uint32_t kList = 0x10000002;
constexpr std::uint32_t kInt = 0x10000003;
constexpr std::uint32_t kText = 0x10000004;
constexpr std::uint32_t kOwnedList = 0x10000005;

const std::string kFixture = R"({
  "format": "vddb-store/1",
  "classes": [
    { "guid": "b0000000-0000-0000-0000-000000000001", "name": "base",
      "attributes": [
        { "id": "0x10000001", "type": "ref", "owning": true },
        { "id": "0x10000002", "type": "reflist", "owning": false },
        { "id": "0x10000003", "type": "int" },
        { "id": "0x10000004", "type": "string" } ] },
    { "guid": "b0000000-0000-0000-0000-000000000002", "base": "b0000000-0000-0000-0000-000000000001",
      "attributes": [ { "id": "0x10000005", "type": "reflist", "owning": true } ] },
    { "guid": "B0000000-0000-0000-0000-000000000003",
      "attributes": [ { "id": "0x10000003", "type": "int" }, { "id": "0x10000004", "type": "string" } ] }
  ],
  "objects": [
    { "guid": "00000001-0000-0000-0000-000000000000", "class": "b0000000-0000-0000-0000-000000000001",
      "values": { "0x10000001": "00000002-0000-0000-0000-000000000000",
                  "0x10000002": [ "00000001-0000-0000-0000-000000000001", "01000000-0000-0000-0000-000000000000",
                                  "ffffffff-0000-0000-0000-000000000000", "00000002-0000-0000-0000-000000000000" ],
                  "0x10000003": 7, "0x10000004": "Alpha" } },
    { "guid": "{01000000-0000-0000-0000-000000000000}", "class": "b0000000-0000-0000-0000-000000000002",
      "values": { "0x10000003": 7, "0x10000004": "alpha",
                  "0x10000005": [ "00000001-0000-0000-0000-000000000000" ] } },
    { "guid": "00000002-0000-0000-0000-000000000000", "class": "b0000000-0000-0000-0000-000000000003",
      "values": { "0x10000003": 7, "0x10000004": "Alpha" } },
    { "guid": "00000001-0000-0000-0000-000000000001", "class": "b0000000-0000-0000-0000-000000000002",
      "values": { "0x10000003": 4294967295, "0x10000001": "eeeeeeee-0000-0000-0000-000000000000",
                  "0x10000004": "" } }
  ]
})";

class ContractTest : public EngineTest {
 protected:
  void SetUp() override {
    session = load(kFixture);
    ASSERT_TRUE(session);
    storage = session->storage();
  }
  void TearDown() override {
    session.reset();
    EngineTest::TearDown();
  }
  std::unique_ptr<StoreSession> session;
  IkorrinStorage* storage = nullptr;
};

// --- Catalog: classes, attribute types and ownership -----------------------

TEST_F(ContractTest, ClassChainAndAttributeDescriptors) {
  auto o2 = openObject(storage, G(kO2));
  ASSERT_TRUE(o2);
  tScopedRef<IStorageClass> cls;
  ASSERT_EQ(o2->getClass(cls.put()), S_OK);
  GUID g{};
  ASSERT_EQ(cls->getClassGuid(&g), S_OK);
  EXPECT_EQ(formatGuid(g), kDerived);

  // The derived level declares only its own attribute.
  tScopedRef<IAttributeIdEnumerator> ids;
  ASSERT_EQ(cls->enumAttributeIds(ids.put()), S_OK);
  std::uint32_t id[4] = {};
  std::uint32_t got = 0;
  EXPECT_EQ(ids->Next(4, id, &got), S_FALSE);
  ASSERT_EQ(got, 1u);
  EXPECT_EQ(id[0], kOwnedList);
  EXPECT_EQ(ids->Next(1, id, &got), S_FALSE);
  EXPECT_EQ(got, 0u);
  tScopedRef<IStorageAttribute> attr;
  EXPECT_EQ(cls->getAttribute(kInt, attr.put()), kBadAttribute);
  EXPECT_FALSE(attr);

  tScopedRef<IStorageClass> base;
  ASSERT_EQ(cls->getBaseClass(base.put()), S_OK);
  ASSERT_TRUE(base);
  ASSERT_EQ(base->getClassGuid(&g), S_OK);
  EXPECT_EQ(formatGuid(g), kBase);
  tScopedRef<IStorageClass> root;
  EXPECT_EQ(base->getBaseClass(root.put()), S_OK);
  EXPECT_FALSE(root);

  ASSERT_EQ(base->enumAttributeIds(ids.put()), S_OK);
  EXPECT_EQ(ids->Next(4, id, &got), S_OK);
  EXPECT_THAT(std::vector<std::uint32_t>(id, id + got), ElementsAre(kRef, kList, kInt, kText));
}

struct AttributeCase {
  std::uint32_t id;
  std::uint32_t type;
  std::uint32_t flag;
};

TEST_F(ContractTest, TypeCodesAndOwnershipFlags) {
  const AttributeCase cases[] = {{kRef, 5, 0}, {kList, 12, 1}, {kInt, 3, 1}, {kText, 8, 1}};
  auto o1 = openObject(storage, G(kO1));
  tScopedRef<IStorageClass> cls;
  ASSERT_EQ(o1->getClass(cls.put()), S_OK);
  for (const AttributeCase& c : cases) {
    SCOPED_TRACE(c.id);
    tScopedRef<IStorageAttribute> attr;
    ASSERT_EQ(cls->getAttribute(c.id, attr.put()), S_OK);
    std::uint32_t value = 99;
    EXPECT_EQ(attr->getType(&value), S_OK);
    EXPECT_EQ(value, c.type);
    EXPECT_EQ(attr->getFlag(&value), S_OK);
    EXPECT_EQ(value, c.flag);
  }
}

// --- Values and missing values --------------------------------------------

TEST_F(ContractTest, ValuesReadBackAndMissingValuesReadAsNone) {
  auto o1 = openObject(storage, G(kO1));
  auto o4 = openObject(storage, G(kO4));
  auto o3 = openObject(storage, G(kO3));
  std::int32_t v = 0;
  EXPECT_EQ(o1->getInteger(kInt, &v), S_OK);
  EXPECT_EQ(v, 7);
  EXPECT_EQ(o4->getInteger(kInt, &v), S_OK);
  EXPECT_EQ(v, -1);  // 4294967295 is the same 32 bits

  bool isNull = false;
  HRESULT hr;
  EXPECT_EQ(readString(o1.get(), kText, &hr, &isNull), "Alpha");
  EXPECT_FALSE(isNull);
  EXPECT_EQ(readString(o4.get(), kText, &hr, &isNull), "");
  EXPECT_FALSE(isNull) << "an empty text is a value";

  // o3's class has no reference attributes; an object of the base class
  // without values reads as none.
  auto o2 = openObject(storage, G(kO2));
  tScopedRef<IStorageObject> target;
  EXPECT_EQ(o2->getReference(kRef, target.put()), S_OK);
  EXPECT_FALSE(target);
  EXPECT_THAT(readList(o2.get(), kList), IsEmpty());
  std::uint32_t count = 5;
  EXPECT_EQ(o2->getObjectList(kList, 0, nullptr, &count), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(o3->getReference(kRef, target.put()), kBadAttribute);
}

TEST_F(ContractTest, MissingIntegerFailsMissingStringIsNull) {
  ASSERT_EQ(session->rollback(), S_OK);  // fresh transaction not needed for reads
  std::unique_ptr<StoreSession> s = load(R"({"objects": [
      {"guid": "00000000-0000-0000-0000-0000000000aa", "class": "b0000000-0000-0000-0000-000000000003"}],
      "classes": [{"guid": "b0000000-0000-0000-0000-000000000003",
                   "attributes": [{"id": "0x10000003", "type": "int"}, {"id": "0x10000004", "type": "string"}]}]})");
  ASSERT_TRUE(s);
  auto object = openObject(s->storage(), G("00000000-0000-0000-0000-0000000000aa"));
  std::int32_t v = 42;
  EXPECT_EQ(object->getInteger(kInt, &v), kNoValue);
  EXPECT_LT(kNoValue, 0);
  HRESULT hr = E_FAIL;
  bool isNull = false;
  readString(object.get(), kText, &hr, &isNull);
  EXPECT_EQ(hr, S_OK);
  EXPECT_TRUE(isNull);
}

struct WrongAccessCase {
  const char* name;
  std::uint32_t attr;
  int call;  // 0 getInteger, 1 getString, 2 getReference, 3 getObjectList
  HRESULT expected;
};

TEST_F(ContractTest, ReadsCheckTheClassChain) {
  const WrongAccessCase cases[] = {
      {"int of a string", kText, 0, kTypeMismatch},
      {"string of an int", kInt, 1, kTypeMismatch},
      {"ref of a list", kList, 2, kTypeMismatch},
      {"list of a ref", kRef, 3, kTypeMismatch},
      {"undeclared int", 0x7777, 0, kBadAttribute},
      {"undeclared list", 0x7777, 3, kBadAttribute},
      {"derived-only list", kOwnedList, 3, kBadAttribute},
  };
  auto o1 = openObject(storage, G(kO1));
  for (const WrongAccessCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::int32_t v = 0;
    char16_t* text = nullptr;
    tScopedRef<IStorageObject> target;
    std::uint32_t count = 0;
    HRESULT hr = S_OK;
    switch (c.call) {
      case 0:
        hr = o1->getInteger(c.attr, &v);
        break;
      case 1:
        hr = o1->getString(c.attr, &text);
        break;
      case 2:
        hr = o1->getReference(c.attr, target.put());
        break;
      default:
        hr = o1->getObjectList(c.attr, 0, nullptr, &count);
        break;
    }
    EXPECT_EQ(hr, c.expected);
    EXPECT_EQ(text, nullptr);
    EXPECT_FALSE(target);
  }
}

// --- Class membership and queries ----------------------------------------

TEST_F(ContractTest, IsOfClassWithBothFlags) {
  auto o2 = openObject(storage, G(kO2));
  std::int32_t r = -1;
  const GUID base = G(kBase);
  const GUID derived = G(kDerived);
  const GUID other = G(kOther);
  EXPECT_EQ(o2->isOfClass(1, &base, &r), S_OK);
  EXPECT_NE(r, 0);
  EXPECT_EQ(o2->isOfClass(0, &base, &r), S_OK);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(o2->isOfClass(0, &derived, &r), S_OK);
  EXPECT_NE(r, 0);
  EXPECT_EQ(o2->isOfClass(1, &other, &r), S_OK);
  EXPECT_EQ(r, 0);
  const GUID unknown = G(kGone);
  EXPECT_EQ(o2->isOfClass(1, &unknown, &r), S_OK);
  EXPECT_EQ(r, 0);
}

struct QueryCase {
  const char* name;
  const char* cls;
  std::uint32_t flag;
  std::vector<std::pair<std::uint32_t, std::int32_t>> ints;
  std::vector<std::pair<std::uint32_t, std::u16string>> texts;
  std::vector<std::string> expected;
};

TEST_F(ContractTest, QueriesSelectByClassAndConditionsInGuidTextOrder) {
  const QueryCase cases[] = {
      {"class and derived", kBase, 1, {}, {}, {kO1, kO4, kO2}},
      {"exactly the class", kBase, 0, {}, {}, {kO1}},
      {"derived only", kDerived, 0, {}, {}, {kO4, kO2}},
      {"integer condition", kBase, 1, {{kInt, 7}}, {}, {kO1, kO2}},
      {"integer above 2^31 reads signed", kBase, 1, {{kInt, -1}}, {}, {kO4}},
      {"string is code-unit equal", kBase, 1, {}, {{kText, u"Alpha"}}, {kO1}},
      {"string in other case", kBase, 1, {}, {{kText, u"alpha"}}, {kO2}},
      {"empty string", kBase, 1, {}, {{kText, u""}}, {kO4}},
      {"both conditions", kBase, 1, {{kInt, 7}}, {{kText, u"alpha"}}, {kO2}},
      {"condition excludes other classes", kOther, 0, {}, {{kText, u"Alpha"}}, {kO3}},
      {"no match", kBase, 1, {{kInt, 8}}, {}, {}},
      {"undeclared attribute matches nothing", kBase, 1, {{0x7777, 0}}, {}, {}},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(c.name);
    tScopedRef<IStorageQuery> q;
    ASSERT_EQ(storage->createQuery(G(c.cls), c.flag, 0, q.put()), S_OK);
    for (const auto& [attr, value] : c.ints) EXPECT_EQ(q->addCondition(attr, value), S_OK);
    if (!c.texts.empty()) {
      tScopedRef<IStorageQueryEx> ex;
      ASSERT_EQ(q->QueryInterface(IID_IStorageQueryEx, ex.putVoid()), S_OK);
      for (const auto& [attr, text] : c.texts) {
        EXPECT_EQ(ex->addStringCondition(attr, text.c_str()), S_OK);
      }
    }
    EXPECT_EQ(runQuery(storage, q.get()), c.expected);
  }
}

TEST_F(ContractTest, CreateQueryRefusesUnknownClassAndBadFlag) {
  tScopedRef<IStorageQuery> q;
  EXPECT_EQ(storage->createQuery(G(kGone), 1, 0, q.put()), kUnknownClass);
  EXPECT_FALSE(q);
  EXPECT_EQ(storage->createQuery(G(kBase), 2, 0, q.put()), E_INVALIDARG);
  EXPECT_FALSE(q);
}

TEST_F(ContractTest, NextDeliversBatchesThenOneAtTheEnd) {
  // 40 objects of one class: 16, 16, 8 and then none.
  std::string json =
      R"({"classes": [{"guid": "b0000000-0000-0000-0000-000000000009"}], "objects": [)";
  for (int i = 0; i < 40; ++i) {
    char guid[40];
    std::snprintf(guid, sizeof guid, "%08x-0000-0000-0000-000000000000", 1000 - i);
    json += std::string(i ? "," : "") + R"({"guid": ")" + guid +
            R"(", "class": "b0000000-0000-0000-0000-000000000009"})";
  }
  json += "]}";
  auto s = load(json);
  ASSERT_TRUE(s);
  tScopedRef<IStorageQuery> q;
  ASSERT_EQ(s->storage()->createQuery(G("b0000000-0000-0000-0000-000000000009"), 0, 0, q.put()),
            S_OK);
  tScopedRef<IGuidEnumerator> e;
  ASSERT_EQ(s->storage()->runQuery(q.get(), e.put()), S_OK);
  GUID batch[16];
  std::uint32_t got = 0;
  std::vector<std::uint32_t> sizes;
  std::vector<HRESULT> results;
  std::string previous;
  HRESULT hr;
  do {
    hr = e->Next(16, batch, &got);
    sizes.push_back(got);
    results.push_back(hr);
    for (std::uint32_t i = 0; i < got; ++i) {
      EXPECT_LT(previous, formatGuid(batch[i]));
      previous = formatGuid(batch[i]);
    }
  } while (got > 0);
  EXPECT_THAT(sizes, ElementsAre(16u, 16u, 8u, 0u));
  EXPECT_THAT(results, ElementsAre(S_OK, S_OK, S_FALSE, S_FALSE));
}

// --- Reference lists: order, kinds, two-call protocol ----------------------

TEST_F(ContractTest, ListsKeepStoredOrderAndLeaveDanglingEntriesOut) {
  auto o1 = openObject(storage, G(kO1));
  EXPECT_THAT(readList(o1.get(), kList), ElementsAre(kO4, kO2, kO3));
  const GUID derived = G(kDerived);
  EXPECT_THAT(readList(o1.get(), kList, &derived), ElementsAre(kO4, kO2));
  const GUID base = G(kBase);
  EXPECT_THAT(readList(o1.get(), kList, &base), ElementsAre(kO4, kO2)) << "kind is is-a";
  const GUID other = G(kOther);
  EXPECT_THAT(readList(o1.get(), kList, &other), ElementsAre(kO3));
}

TEST_F(ContractTest, TwoCallProtocolFillsAtMostCapacity) {
  auto o1 = openObject(storage, G(kO1));
  std::uint32_t count = 0;
  ASSERT_EQ(o1->getObjectList(kList, 0, nullptr, &count), S_OK);
  EXPECT_EQ(count, 3u);
  IStorageObject* slots[3] = {nullptr, nullptr, nullptr};
  ASSERT_EQ(o1->getObjectList(kList, 2, slots, &count), S_OK);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(slots[2], nullptr);
  tScopedRef<IStorageObject> a(slots[0]);
  tScopedRef<IStorageObject> b(slots[1]);
  EXPECT_EQ(formatGuid(guidOf(a.get())), kO4);
  EXPECT_EQ(formatGuid(guidOf(b.get())), kO2);
  EXPECT_EQ(liveInterfaceCount(), 4u);  // root, o1, and the two the caller owns
  EXPECT_EQ(o1->getObjectList(kList, 2, nullptr, &count), E_POINTER);
}

TEST_F(ContractTest, DanglingSingleReferenceReadsNull) {
  auto o4 = openObject(storage, G(kO4));
  tScopedRef<IStorageObject> target;
  EXPECT_EQ(o4->getReference(kRef, target.put()), S_OK);
  EXPECT_FALSE(target);
  auto o1 = openObject(storage, G(kO1));
  EXPECT_EQ(o1->getReference(kRef, target.put()), S_OK);
  ASSERT_TRUE(target);
  EXPECT_EQ(formatGuid(guidOf(target.get())), kO3);
}

// --- Writes ------------------------------------------------------------------

TEST_F(ContractTest, SetReferenceAndObjectListWriteAndClear) {
  auto o1 = openObject(storage, G(kO1));
  auto o2 = openObject(storage, G(kO2));
  auto o3 = openObject(storage, G(kO3));
  EXPECT_EQ(o1->setReference(kRef, o2.get()), S_OK);
  tScopedRef<IStorageObject> target;
  ASSERT_EQ(o1->getReference(kRef, target.put()), S_OK);
  EXPECT_EQ(formatGuid(guidOf(target.get())), kO2);
  EXPECT_EQ(o1->setReference(kRef, nullptr), S_OK);
  EXPECT_EQ(o1->getReference(kRef, target.put()), S_OK);
  EXPECT_FALSE(target);

  IStorageObject* list[] = {o3.get(), o1.get(), o3.get()};
  EXPECT_EQ(o1->setObjectList(kList, 3, list), S_OK);
  EXPECT_THAT(readList(o1.get(), kList), ElementsAre(kO3, kO1, kO3));
  EXPECT_EQ(o1->setObjectList(kList, 0, nullptr), S_OK);
  EXPECT_THAT(readList(o1.get(), kList), IsEmpty());
}

TEST_F(ContractTest, WritesAreValidatedAgainstTheClassChain) {
  auto o1 = openObject(storage, G(kO1));
  auto o2 = openObject(storage, G(kO2));
  IStorageObject* list[] = {o2.get()};
  EXPECT_EQ(o1->setReference(0x7777, o2.get()), kBadAttribute);
  EXPECT_EQ(o1->setReference(kList, o2.get()), kTypeMismatch);
  EXPECT_EQ(o1->setReference(kInt, nullptr), kTypeMismatch);
  EXPECT_EQ(o1->setObjectList(kRef, 1, list), kTypeMismatch);
  EXPECT_EQ(o1->setObjectList(kOwnedList, 1, list), kBadAttribute)
      << "declared by the derived class";
  EXPECT_EQ(o2->setObjectList(kOwnedList, 1, list), S_OK) << "inherited chain of o2 allows it";
  IStorageObject* withNull[] = {nullptr};
  EXPECT_EQ(o1->setObjectList(kList, 1, withNull), E_POINTER);
  // Nothing of the refused writes landed.
  EXPECT_THAT(readList(o1.get(), kList), ElementsAre(kO4, kO2, kO3));
}

// --- Deletion ------------------------------------------------------------------

TEST_F(ContractTest, DeleteMakesReferencesDangleAndHandlesFail) {
  auto o1 = openObject(storage, G(kO1));
  auto o2 = openObject(storage, G(kO2));
  tScopedRef<IUnknown> result;
  ASSERT_EQ(storage->deleteObject(G(kO3), result.put()), S_OK);
  EXPECT_TRUE(result) << "a reference the caller releases";
  result.reset();
  ASSERT_EQ(storage->deleteObject(G(kO2), nullptr), S_OK);

  tScopedRef<IStorageObject> target;
  EXPECT_EQ(o1->getReference(kRef, target.put()), S_OK);
  EXPECT_FALSE(target);
  EXPECT_THAT(readList(o1.get(), kList), ElementsAre(kO4));

  GUID g{};
  EXPECT_EQ(o2->getObjectGuid(&g), kStorageNotFound);
  std::int32_t v = 0;
  EXPECT_EQ(o2->getInteger(kInt, &v), kStorageNotFound);
  tScopedRef<IStorageClass> cls;
  EXPECT_EQ(o2->getClass(cls.put()), kStorageNotFound);
  EXPECT_EQ(openObject(storage, G(kO2)).get(), nullptr);
  HRESULT hr = S_OK;
  openObject(storage, G(kO2), &hr);
  EXPECT_EQ(hr, kStorageNotFound);

  EXPECT_EQ(storage->deleteObject(G(kO2), result.put()), kStorageNotFound);
  EXPECT_FALSE(result);
  EXPECT_EQ(storage->deleteObject(G(kGone), nullptr), kStorageNotFound);
  EXPECT_THAT(selectGuids(storage, G(kBase), 1), ElementsAre(kO1, kO4));
}

TEST_F(ContractTest, QueryResultIsASnapshotSafeAgainstDeletion) {
  tScopedRef<IStorageQuery> q;
  ASSERT_EQ(storage->createQuery(G(kBase), 1, 0, q.put()), S_OK);
  tScopedRef<IGuidEnumerator> e;
  ASSERT_EQ(storage->runQuery(q.get(), e.put()), S_OK);
  std::vector<std::string> seen;
  GUID g{};
  while (e->Next(1, &g, nullptr) == S_OK) {
    seen.push_back(formatGuid(g));
    // Delete the current one and the next one while enumerating; the
    // snapshot still delivers the next one, which is gone by then.
    EXPECT_EQ(storage->deleteObject(g, nullptr), seen.size() == 2 ? kStorageNotFound : S_OK);
    if (seen.size() == 1) {
      EXPECT_EQ(storage->deleteObject(G(kO4), nullptr), S_OK);
    }
  }
  EXPECT_THAT(seen, ElementsAre(kO1, kO4, kO2));
  EXPECT_THAT(selectGuids(storage, G(kBase), 1), IsEmpty());
}

// --- Interfaces and reference counting -------------------------------------------

TEST_F(ContractTest, QueryInterfaceAnswersEachInterfaceAndNothingElse) {
  auto o1 = openObject(storage, G(kO1));
  tScopedRef<IUnknown> unk;
  EXPECT_EQ(o1->QueryInterface(IID_IUnknown, unk.putVoid()), S_OK);
  tScopedRef<IStorageObject> same;
  EXPECT_EQ(o1->QueryInterface(IID_IStorageObject, same.putVoid()), S_OK);
  EXPECT_EQ(same.get(), o1.get());
  tScopedRef<IStorageObjectEx> ex;
  EXPECT_EQ(o1->QueryInterface(IID_IStorageObjectEx, ex.putVoid()), S_OK);
  EXPECT_TRUE(ex);
  void* none = reinterpret_cast<void*>(1);
  EXPECT_EQ(o1->QueryInterface(IID_IStorageQueryEx, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(storage->QueryInterface(IID_IStorageObject, &none), E_NOINTERFACE);
  tScopedRef<IkorrinStorage> root;
  EXPECT_EQ(storage->QueryInterface(IID_IkorrinStorage, root.putVoid()), S_OK);

  tScopedRef<IStorageQuery> q;
  ASSERT_EQ(storage->createQuery(G(kBase), 1, 0, q.put()), S_OK);
  EXPECT_EQ(q->QueryInterface(IID_IStorageObjectEx, &none), E_NOINTERFACE);
  tScopedRef<IStorageQueryEx> qex;
  EXPECT_EQ(q->QueryInterface(IID_IStorageQueryEx, qex.putVoid()), S_OK);
  tScopedRef<IStorageQuery> back;
  EXPECT_EQ(qex->QueryInterface(IID_IStorageQuery, back.putVoid()), S_OK);
  EXPECT_EQ(back.get(), q.get());

  tScopedRef<IGuidEnumerator> e;
  ASSERT_EQ(storage->runQuery(q.get(), e.put()), S_OK);
  EXPECT_EQ(e->QueryInterface(IID_IStorageQuery, &none), E_NOINTERFACE);
  tScopedRef<IGuidEnumerator> e2;
  EXPECT_EQ(e->QueryInterface(IID_IGuidEnumerator, e2.putVoid()), S_OK);

  tScopedRef<IStorageClass> cls;
  ASSERT_EQ(o1->getClass(cls.put()), S_OK);
  tScopedRef<IStorageClass> cls2;
  EXPECT_EQ(cls->QueryInterface(IID_IStorageClass, cls2.putVoid()), S_OK);
  EXPECT_EQ(cls->QueryInterface(IID_IStorageAttribute, &none), E_NOINTERFACE);
  tScopedRef<IStorageAttribute> attr;
  ASSERT_EQ(cls->getAttribute(kInt, attr.put()), S_OK);
  tScopedRef<IStorageAttribute> attr2;
  EXPECT_EQ(attr->QueryInterface(IID_IStorageAttribute, attr2.putVoid()), S_OK);
  tScopedRef<IAttributeIdEnumerator> ids;
  ASSERT_EQ(cls->enumAttributeIds(ids.put()), S_OK);
  tScopedRef<IAttributeIdEnumerator> ids2;
  EXPECT_EQ(ids->QueryInterface(IID_IAttributeIdEnumerator, ids2.putVoid()), S_OK);
  EXPECT_EQ(ids->QueryInterface(IID_IGuidEnumerator, &none), E_NOINTERFACE);
}

TEST_F(ContractTest, EveryHandedOutObjectIsCountedUntilReleased) {
  const std::size_t before = liveInterfaceCount();
  EXPECT_EQ(before, 1u);  // the session's storage root
  IStorageObject* raw = nullptr;
  ASSERT_EQ(storage->openObject(G(kO1), &raw), S_OK);
  EXPECT_EQ(liveInterfaceCount(), 2u);
  EXPECT_EQ(raw->AddRef(), 2u);
  EXPECT_EQ(raw->Release(), 1u);
  IStorageObjectEx* ex = nullptr;
  ASSERT_EQ(raw->QueryInterface(IID_IStorageObjectEx, reinterpret_cast<void**>(&ex)), S_OK);
  EXPECT_EQ(liveInterfaceCount(), 2u) << "the extension is the same object";
  EXPECT_EQ(ex->Release(), 1u);
  EXPECT_EQ(raw->Release(), 0u);
  EXPECT_EQ(liveInterfaceCount(), before);
}

TEST_F(ContractTest, ObjectKeptPastItsSessionFailsSafely) {
  IStorageObject* kept = nullptr;
  ASSERT_EQ(storage->openObject(G(kO1), &kept), S_OK);
  session.reset();
  std::int32_t v = 0;
  EXPECT_EQ(kept->getInteger(kInt, &v), kStoreClosed);
  EXPECT_EQ(kept->Release(), 0u);
}

// --- Transactions -----------------------------------------------------------------

TEST_F(ContractTest, RollbackRestoresAndEndsTheTransaction) {
  ASSERT_EQ(storage->deleteObject(G(kO1), nullptr), S_OK);
  ASSERT_EQ(session->rollback(), S_OK);
  EXPECT_THAT(selectGuids(storage, G(kBase), 1), ElementsAre(kO1, kO4, kO2));
  EXPECT_EQ(storage->deleteObject(G(kO1), nullptr), kNoTransaction);
  auto o1 = openObject(storage, G(kO1));
  ASSERT_TRUE(o1) << "reads go on after the transaction";
  EXPECT_EQ(o1->setReference(kRef, nullptr), kNoTransaction);
  EXPECT_EQ(session->rollback(), kNoTransaction);
  EXPECT_EQ(session->commit(), kNoTransaction);
}

TEST_F(ContractTest, CommitKeepsChangesAndEndsTheTransaction) {
  ASSERT_EQ(storage->deleteObject(G(kO1), nullptr), S_OK);
  ASSERT_EQ(session->commit(), S_OK);
  EXPECT_THAT(selectGuids(storage, G(kBase), 1), ElementsAre(kO4, kO2));
  EXPECT_EQ(storage->deleteObject(G(kO4), nullptr), kNoTransaction);
  EXPECT_EQ(session->rollback(), kNoTransaction);
}

class ResultCodes : public EngineTest {};

TEST_F(ResultCodes, AreDistinctFailures) {
  const HRESULT codes[] = {
      kStoreMissing, kNotAStore, kStoreDamaged,  kStoreLocked, kStoreVersion,   kStoreReadOnly,
      kStoreExists,  kStorageIo, kNoTransaction, kStoreClosed, kBadAttribute,   kTypeMismatch,
      kUnknownClass, kNoValue,   kForeignObject, kBadJson,     kStorageNotFound};
  for (std::size_t i = 0; i < std::size(codes); ++i) {
    EXPECT_LT(codes[i], 0);
    EXPECT_STRNE(resultName(codes[i]), "failure");
    for (std::size_t j = i + 1; j < std::size(codes); ++j) EXPECT_NE(codes[i], codes[j]);
  }
}

}  // namespace
}  // namespace vddb::engine::test
