// The containers of the repair code: growth, the sticky allocation-failed
// flag, reference counting in ObjectList, and flag inheritance of texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/memory.h"
#include "store/guid.h"
#include "store/guid_list.h"
#include "store/guid_list_index.h"
#include "store/object_list.h"
#include "store/wide_string.h"

namespace {

using vddb::platform::clearAllocationFault;
using vddb::platform::failAllocationAt;
using vddb::platform::liveAllocations;

GUID numbered(std::uint32_t n) {
  GUID g{};
  g.Data1 = n;
  return g;
}

class ContainerTest : public ::testing::Test {
 protected:
  void SetUp() override { liveAtStart_ = liveAllocations(); }
  void TearDown() override {
    clearAllocationFault();
    EXPECT_EQ(liveAllocations(), liveAtStart_) << "runtime memory leaked";
  }
  std::uint64_t liveAtStart_ = 0;
};

TEST_F(ContainerTest, GuidListDoublesFromOneElement) {
  GuidList list;
  EXPECT_EQ(list.capacity(), 0U);
  std::vector<std::size_t> capacities;
  for (std::uint32_t n = 1; n <= 5; ++n) {
    ASSERT_TRUE(list.append(numbered(n)));
    capacities.push_back(list.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<std::size_t>{1, 2, 4, 4, 8}));
  ASSERT_EQ(list.size(), 5U);
  for (std::uint32_t n = 1; n <= 5; ++n) EXPECT_EQ(list[n - 1], numbered(n));
  EXPECT_TRUE(list.contains(numbered(3)));
  GUID almost = numbered(3);
  almost.Data4[7] = 1;  // all 16 bytes count
  EXPECT_FALSE(list.contains(almost));
  EXPECT_FALSE(list.allocationFailed());
}

TEST_F(ContainerTest, GuidListThatCannotGrowStaysAsItWasAndKeepsItsFlag) {
  GuidList list;
  ASSERT_TRUE(list.append(numbered(1)));
  ASSERT_TRUE(list.append(numbered(2)));
  failAllocationAt(1);
  EXPECT_FALSE(list.append(numbered(3)));
  EXPECT_TRUE(list.allocationFailed());
  ASSERT_EQ(list.size(), 2U);
  EXPECT_EQ(list.capacity(), 2U);
  EXPECT_EQ(list[0], numbered(1));
  EXPECT_EQ(list[1], numbered(2));

  clearAllocationFault();
  list.clear();
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(list.allocationFailed()) << "emptying keeps the flag";
  EXPECT_TRUE(list.append(numbered(4)));
  EXPECT_TRUE(list.allocationFailed()) << "a later success keeps the flag";
}

TEST_F(ContainerTest, EmptyGuidListThatCannotGetItsFirstBlock) {
  GuidList list;
  failAllocationAt(1);
  EXPECT_FALSE(list.append(numbered(1)));
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(list.capacity(), 0U);
  EXPECT_TRUE(list.allocationFailed());
}

// An object that only counts its references.
class CountedObject : public IStorageObject {
 public:
  HRESULT VDDB_STDCALL QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG VDDB_STDCALL AddRef() override { return static_cast<ULONG>(++references); }
  ULONG VDDB_STDCALL Release() override { return static_cast<ULONG>(--references); }
  HRESULT VDDB_STDCALL getObjectGuid(GUID*) override { return E_FAIL; }
  HRESULT VDDB_STDCALL getClass(IStorageClass**) override { return E_FAIL; }
  HRESULT VDDB_STDCALL isOfClass(std::uint32_t, const GUID*, std::int32_t*) override {
    return E_FAIL;
  }
  HRESULT VDDB_STDCALL setReference(std::uint32_t, IStorageObject*) override { return E_FAIL; }
  HRESULT VDDB_STDCALL setObjectList(std::uint32_t, std::uint32_t, IStorageObject**) override {
    return E_FAIL;
  }
  HRESULT VDDB_STDCALL getInteger(std::uint32_t, std::int32_t*) override { return E_FAIL; }
  HRESULT VDDB_STDCALL getString(std::uint32_t, char16_t**) override { return E_FAIL; }
  HRESULT VDDB_STDCALL getReference(std::uint32_t, IStorageObject**) override { return E_FAIL; }
  HRESULT VDDB_STDCALL getObjectList(std::uint32_t, std::uint32_t, IStorageObject**,
                                     std::uint32_t*) override {
    return E_FAIL;
  }

  int references = 0;
};

// The index answers membership for every entry across its growths (64
// slots at first, kept at most half full) and never for a GUID not added.
TEST_F(ContainerTest, GuidListIndexFindsEveryEntryAcrossGrowths) {
  GuidList list;
  tGuidListIndex index(list);
  EXPECT_FALSE(index.contains(numbered(1)));
  for (std::uint32_t n = 1; n <= 1000; ++n) {
    ASSERT_TRUE(index.reserveOne());
    ASSERT_TRUE(list.append(numbered(n)));
    index.add(list.size() - 1);
  }
  for (std::uint32_t n = 1; n <= 1000; ++n) EXPECT_TRUE(index.contains(numbered(n))) << n;
  EXPECT_FALSE(index.contains(numbered(0)));
  EXPECT_FALSE(index.contains(numbered(1001)));
}

TEST_F(ContainerTest, GuidListIndexThatCannotGrowSaysSoAndKeepsItsEntries) {
  GuidList list;
  tGuidListIndex index(list);
  for (std::uint32_t n = 1; n <= 32; ++n) {  // fills the first table to half
    ASSERT_TRUE(index.reserveOne());
    ASSERT_TRUE(list.append(numbered(n)));
    index.add(list.size() - 1);
  }
  failAllocationAt(1);
  EXPECT_FALSE(index.reserveOne());
  clearAllocationFault();
  for (std::uint32_t n = 1; n <= 32; ++n) EXPECT_TRUE(index.contains(numbered(n))) << n;
  EXPECT_TRUE(index.reserveOne());
}

TEST_F(ContainerTest, ObjectListHoldsOneReferencePerEntryAndReleasesThem) {
  CountedObject a;
  CountedObject b;
  {
    ObjectList list;
    ASSERT_TRUE(list.append(&a));
    ASSERT_TRUE(list.append(&b));
    ASSERT_TRUE(list.append(&a));
    EXPECT_EQ(a.references, 2);
    EXPECT_EQ(b.references, 1);
    EXPECT_EQ(list.size(), 3U);
    EXPECT_EQ(list[1], &b);
    list.clear();
    EXPECT_EQ(a.references, 0);
    EXPECT_EQ(b.references, 0);
    ASSERT_TRUE(list.append(&b));
    EXPECT_EQ(b.references, 1);
  }
  EXPECT_EQ(b.references, 0) << "destroying the list releases its entries";
}

TEST_F(ContainerTest, ObjectListThatCannotGrowTakesNoReference) {
  CountedObject a;
  CountedObject b;
  ObjectList list;
  ASSERT_TRUE(list.append(&a));
  failAllocationAt(1);
  EXPECT_FALSE(list.append(&b));
  EXPECT_EQ(b.references, 0);
  EXPECT_EQ(list.size(), 1U);
  EXPECT_TRUE(list.allocationFailed());
  list.clear();
  EXPECT_EQ(a.references, 0);
  EXPECT_TRUE(list.allocationFailed());
}

TEST_F(ContainerTest, NewTextCanFailAndSaysSo) {
  failAllocationAt(1);
  const tWideString failed;
  EXPECT_TRUE(failed.allocationFailed());
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(failed.c_str()[0], u'\0');
  clearAllocationFault();
  const tWideString fine;
  EXPECT_FALSE(fine.allocationFailed());
}

TEST_F(ContainerTest, CopiedTextStartsWithTheFlagOfItsSource) {
  failAllocationAt(1);
  tWideString failed;
  clearAllocationFault();
  failed.append(u"abc");  // the text works again, its flag stays
  ASSERT_TRUE(failed.allocationFailed());
  ASSERT_EQ(failed.size(), 3U);

  const tWideString copy(failed);
  EXPECT_TRUE(copy.allocationFailed());
  EXPECT_EQ(copy.compare(failed), 0);
  const tWideString clean(u"abc");
  const tWideString cleanCopy(clean);
  EXPECT_FALSE(cleanCopy.allocationFailed());
}

TEST_F(ContainerTest, JoinedTextStartsWithTheFlagOfTheLeftHandText) {
  failAllocationAt(1);
  tWideString failed;
  clearAllocationFault();
  failed.append(u"dev");
  const tWideString clean(u"/1");

  const tWideString leftFailed = failed + clean;
  EXPECT_TRUE(leftFailed.allocationFailed());
  EXPECT_EQ(leftFailed.compare(tWideString(u"dev/1")), 0);

  const tWideString rightFailed = clean + failed;
  EXPECT_FALSE(rightFailed.allocationFailed());
  EXPECT_EQ(rightFailed.compare(tWideString(u"/1dev")), 0);

  const tWideString withLiteral = failed + u"/2";
  EXPECT_TRUE(withLiteral.allocationFailed());
}

// A text appended to itself, whole or in part, across the growth of its
// block: the source lies in the block that growing gives back.
TEST_F(ContainerTest, TextAppendedToItselfKeepsBothCopies) {
  enum class Part { whole, zeroTerminated, secondHalf };
  for (std::size_t length = 0; length <= 2 * tWideString::kInitialCapacity + 2; ++length) {
    for (const Part part : {Part::whole, Part::zeroTerminated, Part::secondHalf}) {
      SCOPED_TRACE(testing::Message() << length << " units, part " << static_cast<int>(part));
      std::u16string expected;
      for (std::size_t i = 0; i < length; ++i) expected.push_back(static_cast<char16_t>(u'a' + i));
      tWideString text(expected.data(), expected.data() + expected.size());
      switch (part) {
        case Part::whole:
          text.append(text);
          expected += expected;
          break;
        case Part::zeroTerminated:
          text.append(text.c_str());
          expected += expected;
          break;
        case Part::secondHalf:
          text.append(text.begin() + length / 2, text.end());
          expected += expected.substr(length / 2);
          break;
      }
      EXPECT_FALSE(text.allocationFailed());
      EXPECT_EQ(std::u16string(text.begin(), text.end()), expected);
      EXPECT_EQ(*text.end(), u'\0');
    }
  }
}

TEST_F(ContainerTest, JoinThatCannotGrowSetsTheFlag) {
  const tWideString left(u"0123456789");
  const tWideString right(u"abcdefghij");    // together beyond the first block
  failAllocationAt(2, /*persistent=*/true);  // the copy of `left` gets its block, growing fails
  const tWideString joined = left + right;
  EXPECT_TRUE(joined.allocationFailed());
  EXPECT_FALSE(left.allocationFailed());
}

}  // namespace
