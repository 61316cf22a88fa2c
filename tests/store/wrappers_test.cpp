// The call wrappers on the real engine behind the fault-injecting decorator:
// no call on an error code, the storage-result mapping, warnings kept, the
// unmapped extension request, and every reference given back.
#include "store/wrappers.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "engine/engine.h"
#include "store/guid.h"
#include "support/fault_injection.h"

namespace vddb::store {
namespace {

constexpr GUID kDerivedClass = guidLiteral("a0000000-0000-4000-8000-000000000002");
constexpr GUID kFirst = guidLiteral("b0000000-0000-4000-8000-000000000001");
constexpr GUID kSecond = guidLiteral("b0000000-0000-4000-8000-000000000002");
constexpr std::uint32_t kReference = 0x20C00021;
constexpr std::uint32_t kNumber = 0x58C00020;

constexpr const char* kStore = R"({"format": "vddb-store/1",
  "classes": [
    {"guid": "a0000000-0000-4000-8000-000000000001",
     "attributes": [{"id": "0x20C00021", "type": "ref", "owning": false}]},
    {"guid": "a0000000-0000-4000-8000-000000000002", "base": "a0000000-0000-4000-8000-000000000001",
     "attributes": [{"id": "0x58C00020", "type": "int"}]}],
  "objects": [
    {"guid": "b0000000-0000-4000-8000-000000000001", "class": "a0000000-0000-4000-8000-000000000002",
     "values": {"0x20C00021": "b0000000-0000-4000-8000-000000000002", "0x58C00020": 5}},
    {"guid": "b0000000-0000-4000-8000-000000000002", "class": "a0000000-0000-4000-8000-000000000002",
     "values": {}}]})";

constexpr HRESULT kNotFoundResult = static_cast<HRESULT>(0x80040309U);
constexpr HRESULT kOutOfMemoryResult = static_cast<HRESULT>(0x8007000EU);

// What the wrappers are called on, obtained before any fault is armed.
struct Subjects {
  IkorrinStorage* storage = nullptr;
  tScopedRef<IStorageQuery> query;
  tScopedRef<IStorageObject> object;
  tScopedRef<IStorageClass> derivedClass;
};

// One wrapper: its operation name in the decorator's journal and a call
// that keeps what it handed out until the holder ends.
struct WrapperCase {
  const char* operation;
  std::function<bool(Subjects&, std::int32_t&)> call;  // true: a reference came back
  bool handsOutOnSuccess;
};
void PrintTo(const WrapperCase& c, std::ostream* os) { *os << c.operation; }

template <class T>
bool handedOut(const tScopedRef<T>& holder) {
  return static_cast<bool>(holder);
}

const WrapperCase kWrappers[] = {
    {"createQuery",
     [](Subjects& s, std::int32_t& code) {
       return handedOut(createQuery(s.storage, kDerivedClass, 1, code));
     },
     true},
    {"deleteObject",
     [](Subjects& s, std::int32_t& code) {
       handedOut(deleteObject(s.storage, kSecond, code));
       return false;  // the engine may or may not hand something back
     },
     false},
    {"openObject",
     [](Subjects& s, std::int32_t& code) { return handedOut(openObject(s.storage, kFirst, code)); },
     true},
    {"runQuery",
     [](Subjects& s, std::int32_t& code) {
       return handedOut(runQuery(s.storage, s.query.get(), code));
     },
     true},
    {"getClass",
     [](Subjects& s, std::int32_t& code) { return handedOut(getClass(s.object.get(), code)); },
     true},
    {"getReference",
     [](Subjects& s, std::int32_t& code) {
       return handedOut(getReference(s.object.get(), kReference, code));
     },
     true},
    {"getBaseClass",
     [](Subjects& s, std::int32_t& code) {
       return handedOut(getBaseClass(s.derivedClass.get(), code));
     },
     true},
    {"getAttribute",
     [](Subjects& s, std::int32_t& code) {
       return handedOut(getAttribute(s.derivedClass.get(), kNumber, code));
     },
     true},
    {"enumAttributeIds",
     [](Subjects& s, std::int32_t& code) {
       return handedOut(enumAttributeIds(s.derivedClass.get(), code));
     },
     true},
};

// Opens the store behind the decorator and checks on tear-down that every
// reference was given back.
class StoreSubjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(engine::StoreSession::openFromJson(kStore, session_, &error), S_OK) << error;
    storage_ = injector_.wrap(session_->storage());
    subjects_.storage = storage_.get();
    std::int32_t code = 0;
    subjects_.query = createQuery(subjects_.storage, kDerivedClass, 1, code);
    subjects_.object = openObject(subjects_.storage, kFirst, code);
    subjects_.derivedClass = getClass(subjects_.object.get(), code);
    ASSERT_EQ(code, 0);
    ASSERT_TRUE(subjects_.query && subjects_.object && subjects_.derivedClass);
    injector_.clearJournal();
  }

  void TearDown() override {
    subjects_ = Subjects{};
    storage_.reset();
    session_.reset();
    EXPECT_EQ(test::liveFaultWrappers(), 0U) << "a wrapped reference was not released";
    EXPECT_EQ(engine::liveInterfaceCount(), 0U) << "an engine reference was not released";
  }

  test::FaultInjector injector_;
  std::unique_ptr<engine::StoreSession> session_;
  tScopedRef<IkorrinStorage> storage_;
  Subjects subjects_;
};

class WrapperTest : public StoreSubjectsTest, public ::testing::WithParamInterface<WrapperCase> {
 protected:
  bool call(std::int32_t& code) { return GetParam().call(subjects_, code); }
  std::size_t calls() const { return injector_.count(GetParam().operation); }
};

TEST_P(WrapperTest, ErrorCodeMakesNoCallAndReturnsNothing) {
  std::int32_t code = -7;
  EXPECT_FALSE(call(code));
  EXPECT_EQ(code, -7);
  EXPECT_EQ(calls(), 0U);
}

TEST_P(WrapperTest, NotFoundOverAWarningBecomesStatusNotFound) {
  injector_.failCallsFrom(GetParam().operation, 1, kNotFoundResult);
  std::int32_t code = 3;
  EXPECT_FALSE(call(code));
  EXPECT_EQ(code, -50401);
  EXPECT_EQ(calls(), 1U);
}

TEST_P(WrapperTest, OtherFailureIsKeptAsItsSignedValue) {
  injector_.failCallsFrom(GetParam().operation, 1, kOutOfMemoryResult);
  std::int32_t code = 0;
  EXPECT_FALSE(call(code));
  EXPECT_EQ(code, -2147024882);
}

TEST_P(WrapperTest, SuccessAfterAWarningKeepsTheWarning) {
  std::int32_t code = 3;
  EXPECT_EQ(call(code), GetParam().handsOutOnSuccess);
  EXPECT_EQ(code, 3);
  EXPECT_EQ(calls(), 1U);
}

INSTANTIATE_TEST_SUITE_P(Each, WrapperTest, ::testing::ValuesIn(kWrappers),
                         [](const ::testing::TestParamInfo<WrapperCase>& info) {
                           return std::string(info.param.operation);
                         });

// The extension request and the in-place calls, on the same store.
using InPlaceCallTest = StoreSubjectsTest;

TEST_F(InPlaceCallTest, FailedExtensionRequestIsKeptUnmapped) {
  injector_.failCallsFrom("QueryInterface:IStorageObjectEx", 1, kNotFoundResult);
  std::int32_t code = 3;
  const auto ex =
      queryExtension<IStorageObjectEx>(subjects_.object.get(), IID_IStorageObjectEx, code);
  EXPECT_FALSE(ex);
  EXPECT_EQ(code, -2147220727);
}

TEST_F(InPlaceCallTest, ExtensionRequestOnAnErrorCodeMakesNoCall) {
  std::int32_t code = -1;
  const auto ex =
      queryExtension<IStorageObjectEx>(subjects_.object.get(), IID_IStorageObjectEx, code);
  EXPECT_FALSE(ex);
  EXPECT_EQ(code, -1);
  EXPECT_EQ(injector_.count("QueryInterface"), 0U);

  code = 0;
  const auto granted =
      queryExtension<IStorageObjectEx>(subjects_.object.get(), IID_IStorageObjectEx, code);
  EXPECT_TRUE(granted);
  EXPECT_EQ(code, 0);
}

TEST_F(InPlaceCallTest, InPlaceCallFollowsTheSameRule) {
  std::int32_t value = 0;
  std::int32_t code = 2;
  EXPECT_EQ(callStore(code, [&] { return subjects_.object->getInteger(kNumber, &value); }), S_OK);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(code, 2);

  injector_.failCallsFrom("getInteger", 1, kNotFoundResult);
  EXPECT_EQ(callStore(code, [&] { return subjects_.object->getInteger(kNumber, &value); }),
            kNotFoundResult);
  EXPECT_EQ(code, StatusNotFound);

  const std::size_t before = injector_.count("getInteger");
  EXPECT_EQ(callStore(code, [&] { return subjects_.object->getInteger(kNumber, &value); }),
            StatusNotFound);
  EXPECT_EQ(injector_.count("getInteger"), before) << "no call on an error code";
}

}  // namespace
}  // namespace vddb::store
