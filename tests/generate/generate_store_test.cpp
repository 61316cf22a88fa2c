// Generated stores: one recipe gives one store, the size asked for, and
// damage that the repair passes find (each its own kind) and mend in one
// run; without damage the repair changes nothing.
#include "generate/generate_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <span>
#include <string>

#include "engine/engine.h"
#include "hwconfig/hwconfig.h"
#include "repair/pass_sequence.h"

namespace vddb::generate {
namespace {

using engine::StoreSession;

std::string dumpOf(StoreSession& session) {
  std::string json;
  EXPECT_EQ(session.dumpJson(json), S_OK);
  return json;
}

std::size_t objectCount(const std::string& dump) {
  return nlohmann::json::parse(dump).at("objects").size();
}

// Runs `rows` of the pass sequence on the open session, as the repair tool
// does through the configuration library.
void runRows(StoreSession& session, std::span<const tUpgradeDowngradeMgr::tPassRow> rows) {
  tStatus2 status;
  tMHWConfiguration* configuration = hwconfig::openConfiguration(session, nullptr, status);
  ASSERT_NE(configuration, nullptr);
  tScopedRef<IkorrinStorage> storage =
      tScopedRef<IkorrinStorage>::share(configuration->getStorage(status));
  tUpgradeDowngradeMgr::resetRepairPassesRunOnce();
  tUpgradeDowngradeMgr::runRepairPassRows(rows, storage, configuration, status);
  tUpgradeDowngradeMgr::resetRepairPassesRunOnce();
  EXPECT_EQ(status.code, 0);
  storage.reset();
  configuration->finalize(status);
}

void repair(StoreSession& session) { runRows(session, tUpgradeDowngradeMgr::repairPassTable()); }

std::unique_ptr<StoreSession> generated(const StoreRecipe& recipe, StoreSummary* summary) {
  std::unique_ptr<StoreSession> session;
  EXPECT_EQ(generateStore(recipe, session, summary), S_OK);
  return session;
}

TEST(GeneratedStore, OneRecipeGivesOneTextAndOneStore) {
  const StoreRecipe recipes[] = {{500, 1, 0.0}, {500, 1, 0.2}, {3000, 77, 1.0}};
  for (const StoreRecipe& recipe : recipes) {
    SCOPED_TRACE(recipe.damageRate);
    std::string first;
    std::string second;
    ASSERT_EQ(generateStoreJson(recipe, first), S_OK);
    ASSERT_EQ(generateStoreJson(recipe, second), S_OK);
    EXPECT_EQ(first, second);
    std::string otherSeed;
    ASSERT_EQ(generateStoreJson({recipe.objects, recipe.seed + 1, recipe.damageRate}, otherSeed),
              S_OK);
    EXPECT_NE(first, otherSeed);

    const auto one = generated(recipe, nullptr);
    const auto two = generated(recipe, nullptr);
    ASSERT_TRUE(one && two);
    EXPECT_EQ(dumpOf(*one), dumpOf(*two));
  }
}

TEST(GeneratedStore, HoldsAboutTheObjectsAskedFor) {
  for (const std::uint64_t objects : {1, 100, 20000}) {
    SCOPED_TRACE(objects);
    StoreSummary summary;
    const auto session = generated({objects, 5, 0.1}, &summary);
    ASSERT_TRUE(session);
    EXPECT_GE(summary.objects, objects);
    EXPECT_LT(summary.objects, objects + 20) << "no item is that large";
    EXPECT_EQ(objectCount(dumpOf(*session)), summary.objects);
  }
}

TEST(GeneratedStore, WithoutDamageTheRepairChangesNothing) {
  for (const std::uint64_t seed : {1, 2, 3}) {
    SCOPED_TRACE(seed);
    StoreSummary summary;
    const auto session = generated({5000, seed, 0.0}, &summary);
    ASSERT_TRUE(session);
    for (const std::uint64_t damaged : summary.damagedForPass) EXPECT_EQ(damaged, 0u);
    const std::string before = dumpOf(*session);
    repair(*session);
    EXPECT_EQ(dumpOf(*session), before);
  }
}

// Each pass alone, on a fresh copy of one damaged store: every damaged item
// of its kind costs it at least one object.
TEST(GeneratedStore, EachPassFindsDamageOfItsOwnKind) {
  const StoreRecipe recipe{10000, 11, 0.1};
  const auto rows = tUpgradeDowngradeMgr::repairPassTable();
  ASSERT_EQ(rows.size(), kRepairPassCount);
  for (std::size_t row = 0; row < rows.size(); ++row) {
    SCOPED_TRACE(rows[row].name);
    StoreSummary summary;
    const auto session = generated(recipe, &summary);
    ASSERT_TRUE(session);
    const std::uint64_t damaged = summary.damagedForPass[row];
    EXPECT_GT(damaged, 0u);
    runRows(*session, rows.subspan(row, 1));
    EXPECT_GE(summary.objects - objectCount(dumpOf(*session)), damaged);
  }
}

TEST(GeneratedStore, OneRepairMendsEveryDamage) {
  for (const double rate : {0.05, 0.5, 1.0}) {
    SCOPED_TRACE(rate);
    StoreSummary summary;
    const auto session = generated({8000, 21, rate}, &summary);
    ASSERT_TRUE(session);
    const std::string before = dumpOf(*session);
    repair(*session);
    const std::string repaired = dumpOf(*session);
    EXPECT_LT(objectCount(repaired), summary.objects);
    repair(*session);
    EXPECT_EQ(dumpOf(*session), repaired) << "a second run found more to do";
  }
}

TEST(GeneratedStore, AStoreFileHoldsWhatTheTextHolds) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("vddb-generate-" + std::to_string(std::random_device{}()) + ".sqlite"))
                               .string();
  std::filesystem::remove(path);
  const StoreRecipe recipe{2000, 9, 0.3};
  StoreSummary summary;
  std::string error;
  ASSERT_EQ(generateStoreFile(recipe, path, false, &error, &summary), S_OK) << error;
  std::unique_ptr<StoreSession> file;
  ASSERT_EQ(StoreSession::openReadOnly(path, file), S_OK);
  StoreSummary inMemory;
  const auto memory = generated(recipe, &inMemory);
  ASSERT_TRUE(memory);
  EXPECT_EQ(dumpOf(*file), dumpOf(*memory));
  EXPECT_EQ(summary.objects, inMemory.objects);
  EXPECT_EQ(summary.damagedForPass, inMemory.damagedForPass);
  file.reset();

  EXPECT_EQ(generateStoreFile({10, 1, 0.0}, path, false, &error), engine::kStoreExists);
  EXPECT_EQ(generateStoreFile({10, 1, 0.0}, path, true, &error), S_OK) << error;
  ASSERT_EQ(StoreSession::openReadOnly(path, file), S_OK);
  EXPECT_LT(objectCount(dumpOf(*file)), 30u);
  file.reset();
  std::filesystem::remove(path);
}

TEST(GeneratedStore, ADamageRateOutside0To1IsRefused) {
  for (const double rate : {-0.1, 1.5, std::numeric_limits<double>::quiet_NaN()}) {
    SCOPED_TRACE(rate);
    std::string json = "untouched";
    EXPECT_EQ(generateStoreJson({10, 1, rate}, json), E_INVALIDARG);
    EXPECT_EQ(json, "untouched");
    std::unique_ptr<StoreSession> session;
    EXPECT_EQ(generateStore({10, 1, rate}, session), E_INVALIDARG);
    EXPECT_FALSE(session);
  }
}

}  // namespace
}  // namespace vddb::generate
