// IStorageReferrers on the engine's storage root: the objects that refer to
// an object through a single reference, as a scan of the class would find
// them, while references are set, cleared, deleted and rolled back.
#include "engine/referrers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "engine_test_util.h"

namespace vddb::engine::test {
namespace {

constexpr const char* kConfiguration = "c344f8cd-b1e2-4a40-95e0-4123b6cbcb56";
constexpr const char* kDerived = "c344f8cd-0000-4000-8000-00000000000d";
constexpr const char* kAccessoryClass = "f6b7cf79-b4d4-452a-8adc-f5dd93386c45";
constexpr const char* kHolder = "08e33cd6-13dc-3a39-16cb-e1215a713fb9";
constexpr std::uint32_t kAccessory = 0x20C0F011;

std::string numbered(const char* kind, int n) {
  char text[40];
  std::snprintf(text, sizeof text, "%s%06d-0000-4000-8000-000000000000", kind, n);
  return text;
}
std::string accessory(int n) { return numbered("a0", n); }
std::string configuration(int n) { return numbered("c0", n); }

// Accessories 1 to 3; configurations 1 and 2 of accessory 1, 3 of accessory
// 2, 4 (of a derived class) of accessory 1, 5 of an accessory that is gone,
// 6 of none.
const std::string kStore = R"({"classes": [{"guid": ")" + std::string(kDerived) +
                           R"(", "base": ")" + kConfiguration + R"(", "attributes": []}],
  "objects": [
    {"guid": ")" + accessory(1) +
                           R"(", "class": ")" + kAccessoryClass + R"("},
    {"guid": ")" + accessory(2) +
                           R"(", "class": ")" + kAccessoryClass + R"("},
    {"guid": ")" + accessory(3) +
                           R"(", "class": ")" + kAccessoryClass + R"("},
    {"guid": ")" + configuration(1) +
                           R"(", "class": ")" + kConfiguration +
                           R"(", "values": {"0x20C0F011": ")" + accessory(1) + R"("}},
    {"guid": ")" + configuration(2) +
                           R"(", "class": ")" + kConfiguration +
                           R"(", "values": {"0x20C0F011": ")" + accessory(1) + R"("}},
    {"guid": ")" + configuration(3) +
                           R"(", "class": ")" + kConfiguration +
                           R"(", "values": {"0x20C0F011": ")" + accessory(2) + R"("}},
    {"guid": ")" + configuration(4) +
                           R"(", "class": ")" + kDerived + R"(", "values": {"0x20C0F011": ")" +
                           accessory(1) + R"("}},
    {"guid": ")" + configuration(5) +
                           R"(", "class": ")" + kConfiguration +
                           R"(", "values": {"0x20C0F011": ")" + accessory(9) + R"("}},
    {"guid": ")" + configuration(6) +
                           R"(", "class": ")" + kConfiguration + R"("}]})";

std::string errorText(HRESULT hr) {
  char text[32];
  std::snprintf(text, sizeof text, "error 0x%08X", static_cast<unsigned>(hr));
  return text;
}

// The referrers as GUID texts, or the failure as "error 0x...".
std::vector<std::string> referrers(IkorrinStorage* storage, const std::string& classGuid,
                                   std::uint32_t flag, std::uint32_t attribute,
                                   const std::string& target) {
  tScopedRef<IStorageReferrers> finder;
  EXPECT_EQ(storage->QueryInterface(IID_IStorageReferrers, finder.putVoid()), S_OK);
  if (!finder) return {"no interface"};
  tScopedRef<IGuidEnumerator> found;
  const HRESULT hr =
      finder->findReferrers(G(classGuid.c_str()), flag, attribute, G(target.c_str()), found.put());
  if (hr < 0) {
    EXPECT_FALSE(found);
    return {errorText(hr)};
  }
  std::vector<std::string> out;
  GUID batch[4];
  std::uint32_t delivered = 0;
  do {
    EXPECT_GE(found->Next(4, batch, &delivered), 0);
    for (std::uint32_t i = 0; i < delivered; ++i) out.push_back(formatGuid(batch[i]));
  } while (delivered == 4);
  return out;
}

// What a scan of every configuration finds: the answer findReferrers must give.
std::vector<std::string> scanned(IkorrinStorage* storage, const std::string& target) {
  std::vector<std::string> out;
  for (const std::string& guid : selectGuids(storage, G(kConfiguration), 1)) {
    const auto object = openObject(storage, G(guid.c_str()));
    tScopedRef<IStorageObject> referred;
    EXPECT_EQ(object->getReference(kAccessory, referred.put()), S_OK);
    if (referred && formatGuid(guidOf(referred.get())) == target) out.push_back(guid);
  }
  return out;
}

class ReferrersTest : public EngineTest {};

struct Question {
  const char* what;
  std::string classGuid;
  std::uint32_t flag;
  std::uint32_t attribute;
  std::string target;
  std::vector<std::string> answer;
};

TEST_F(ReferrersTest, AnswersAsAScanOfTheClassWould) {
  const auto session = load(kStore);
  ASSERT_TRUE(session);
  const Question questions[] = {
      {"derived classes too, ascending",
       kConfiguration,
       1,
       kAccessory,
       accessory(1),
       {configuration(1), configuration(2), configuration(4)}},
      {"that class only",
       kConfiguration,
       0,
       kAccessory,
       accessory(1),
       {configuration(1), configuration(2)}},
      {"the derived class", kDerived, 1, kAccessory, accessory(1), {configuration(4)}},
      {"another target", kConfiguration, 1, kAccessory, accessory(2), {configuration(3)}},
      {"nothing refers to it", kConfiguration, 1, kAccessory, accessory(3), {}},
      {"a target that is gone", kConfiguration, 1, kAccessory, accessory(9), {}},
      {"an unknown class",
       numbered("e0", 1),
       1,
       kAccessory,
       accessory(1),
       {errorText(kUnknownClass)}},
      {"an attribute the class lacks",
       kConfiguration,
       1,
       0x20C00021,
       accessory(1),
       {errorText(kBadAttribute)}},
      {"a reference list", kHolder, 1, 0xEEC001A4, accessory(1), {errorText(kTypeMismatch)}},
      {"a flag out of range",
       kConfiguration,
       2,
       kAccessory,
       accessory(1),
       {errorText(E_INVALIDARG)}},
  };
  for (const Question& q : questions) {
    SCOPED_TRACE(q.what);
    EXPECT_EQ(referrers(session->storage(), q.classGuid, q.flag, q.attribute, q.target), q.answer);
  }
}

TEST_F(ReferrersTest, TheRootOffersItAsOneObject) {
  const auto session = load(kStore);
  ASSERT_TRUE(session);
  tScopedRef<IStorageReferrers> finder;
  ASSERT_EQ(session->storage()->QueryInterface(IID_IStorageReferrers, finder.putVoid()), S_OK);
  tScopedRef<IkorrinStorage> back;
  ASSERT_EQ(finder->QueryInterface(IID_IkorrinStorage, back.putVoid()), S_OK);
  EXPECT_EQ(back.get(), session->storage());
  EXPECT_EQ(
      finder->findReferrers(G(kConfiguration), 1, kAccessory, G(accessory(1).c_str()), nullptr),
      E_POINTER);
}

// Each step changes the store after the index was built; both accessories
// are asked after every step.
struct Step {
  const char* what;
  void (*change)(IkorrinStorage*, StoreSession&);
  std::vector<std::string> ofAccessory1;
  std::vector<std::string> ofAccessory2;
};

void setAccessory(IkorrinStorage* storage, int configurationNumber, int accessoryNumber) {
  const auto object = openObject(storage, G(configuration(configurationNumber).c_str()));
  tScopedRef<IStorageObject> target;
  if (accessoryNumber > 0) target = openObject(storage, G(accessory(accessoryNumber).c_str()));
  EXPECT_EQ(object->setReference(kAccessory, target.get()), S_OK);
}

TEST_F(ReferrersTest, FollowsEveryChangeAfterItWasBuilt) {
  const auto session = load(kStore);
  ASSERT_TRUE(session);
  IkorrinStorage* storage = session->storage();
  ASSERT_EQ(referrers(storage, kConfiguration, 1, kAccessory, accessory(1)).size(), 3u);
  const Step steps[] = {
      {"a reference set to it",
       [](IkorrinStorage* s, StoreSession&) { setAccessory(s, 3, 1); },
       {configuration(1), configuration(2), configuration(3), configuration(4)},
       {}},
      {"a referrer deleted",
       [](IkorrinStorage* s, StoreSession&) {
         EXPECT_EQ(s->deleteObject(G(configuration(2).c_str()), nullptr), S_OK);
       },
       {configuration(1), configuration(3), configuration(4)},
       {}},
      {"a reference cleared",
       [](IkorrinStorage* s, StoreSession&) { setAccessory(s, 1, 0); },
       {configuration(3), configuration(4)},
       {}},
      {"a reference set where there was none",
       [](IkorrinStorage* s, StoreSession&) { setAccessory(s, 6, 2); },
       {configuration(3), configuration(4)},
       {configuration(6)}},
      {"the target deleted",
       [](IkorrinStorage* s, StoreSession&) {
         EXPECT_EQ(s->deleteObject(G(accessory(1).c_str()), nullptr), S_OK);
       },
       {},
       {configuration(6)}},
      {"everything rolled back",
       [](IkorrinStorage*, StoreSession& session) { EXPECT_EQ(session.rollback(), S_OK); },
       {configuration(1), configuration(2), configuration(4)},
       {configuration(3)}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.change(storage, *session);
    EXPECT_EQ(referrers(storage, kConfiguration, 1, kAccessory, accessory(1)), step.ofAccessory1);
    EXPECT_EQ(referrers(storage, kConfiguration, 1, kAccessory, accessory(2)), step.ofAccessory2);
  }
}

// Random changes between random questions, then more changes in a row than
// the index replays, then a rollback: every answer is the scan's.
TEST_F(ReferrersTest, AgreesWithAScanThroughRandomChanges) {
  constexpr int kAccessories = 30;
  constexpr int kConfigurations = 300;
  std::mt19937 random(7);
  std::string objects;
  for (int a = 1; a <= kAccessories; ++a) {
    objects += R"({"guid": ")" + accessory(a) + R"(", "class": ")" + kAccessoryClass + R"("},)";
  }
  for (int c = 1; c <= kConfigurations; ++c) {
    objects += R"({"guid": ")" + configuration(c) + R"(", "class": ")" + kConfiguration +
               R"(", "values": {"0x20C0F011": ")" + accessory(1 + random() % kAccessories) +
               R"("}})" + (c < kConfigurations ? "," : "");
  }
  const auto session = load(R"({"objects": [)" + objects + "]}");
  ASSERT_TRUE(session);
  IkorrinStorage* storage = session->storage();
  const auto agreeOn = [&](int a) {
    EXPECT_EQ(referrers(storage, kConfiguration, 1, kAccessory, accessory(a)),
              scanned(storage, accessory(a)))
        << accessory(a);
  };
  const auto change = [&](bool mayDelete) {
    const int c = 1 + static_cast<int>(random() % kConfigurations);
    if (mayDelete && random() % 10 == 0) {
      storage->deleteObject(G(configuration(c).c_str()), nullptr);  // may be gone already
      return;
    }
    tScopedRef<IStorageObject> object;
    if (storage->openObject(G(configuration(c).c_str()), object.put()) < 0) return;
    tScopedRef<IStorageObject> target;
    const int a = static_cast<int>(random() % (kAccessories + 1));  // 0: cleared
    if (a > 0) target = openObject(storage, G(accessory(a).c_str()));
    EXPECT_EQ(object->setReference(kAccessory, target.get()), S_OK);
  };
  for (int round = 0; round < 400; ++round) {
    change(true);
    if (round % 4 == 0) agreeOn(1 + static_cast<int>(random() % kAccessories));
  }
  // About 5,000 values written without a question between them.
  for (int burst = 0; burst < 6000; ++burst) change(false);
  for (int a = 1; a <= kAccessories; ++a) agreeOn(a);
  ASSERT_EQ(session->rollback(), S_OK);
  for (int a = 1; a <= kAccessories; ++a) agreeOn(a);
}

TEST_F(ReferrersTest, PastItsSessionItFailsAsStoreClosed) {
  tScopedRef<IkorrinStorage> kept;
  {
    const auto session = load(kStore);
    ASSERT_TRUE(session);
    kept = tScopedRef<IkorrinStorage>::share(session->storage());
    EXPECT_EQ(referrers(kept.get(), kConfiguration, 1, kAccessory, accessory(2)),
              std::vector<std::string>{configuration(3)});
  }
  EXPECT_EQ(referrers(kept.get(), kConfiguration, 1, kAccessory, accessory(2)),
            std::vector<std::string>{errorText(kStoreClosed)});
}

}  // namespace
}  // namespace vddb::engine::test
