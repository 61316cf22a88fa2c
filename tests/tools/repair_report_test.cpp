// vddb check and vddb repair on real store files: the preview reports what
// the repair then does, record for record; the check leaves the file as it
// was; and the records account for exactly the change between the dumps.
// The stores: the example, every end-to-end case, and 200 generated stores
// of several sizes, seeds and shares of damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "generate/generate_store.h"
#include "journal_command.h"
#include "repair_command.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using vddb::tool::RepairCommand;

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Result {
  int exitCode = -1;
  json report;
  std::string err;
};

Result run(const fs::path& store, bool preview, bool untilClean = false) {
  RepairCommand command;
  command.store = store.string();
  command.preview = preview;
  command.json = true;
  command.untilClean = untilClean;
  std::ostringstream out, err;
  Result result;
  result.exitCode = vddb::tool::runRepairCommand(command, out, err);
  result.err = err.str();
  result.report = json::parse(out.str());
  // Written by hand, laid out as the JSON library lays out the same values.
  EXPECT_EQ(out.str(), nlohmann::ordered_json::parse(out.str()).dump(2) + "\n");
  return result;
}

std::string dumpText(const fs::path& store) {
  std::unique_ptr<vddb::engine::StoreSession> session;
  EXPECT_GE(vddb::engine::StoreSession::openReadOnly(store.string(), session), 0) << store;
  std::string text;
  EXPECT_GE(session->dumpJson(text), 0);
  return text;
}

// vddb show --json or vddb undo on `store`: the exit code and the output.
std::pair<int, std::string> journalCommand(int (*run)(const vddb::tool::JournalCommand&,
                                                      std::ostream&, std::ostream&),
                                           const fs::path& store) {
  vddb::tool::JournalCommand command;
  command.store = store.string();
  command.json = true;
  std::ostringstream out, err;
  const int exitCode = run(command, out, err);
  return {exitCode, out.str() + err.str()};
}

std::map<std::string, json> objectsOf(const json& dumped) {
  std::map<std::string, json> objects;
  for (const json& object : dumped["objects"]) objects[object["guid"]] = object;
  return objects;
}

// What identifies a record across two runs: code, object and what went with it.
std::vector<std::string> recordKeys(const json& report) {
  std::vector<std::string> keys;
  for (const json& run : report["runs"]) {
    for (const json& problem : run["problems"]) {
      keys.push_back(problem["code"].get<std::string>() + " " + problem["object"].dump() + " " +
                     problem["deleted"].dump() + " " + problem["message"].get<std::string>());
    }
  }
  return keys;
}

// Whether `after` is `before` less references to deleted objects: the store
// reads a reference to a deleted object as absent, so a dump shows it gone.
bool onlyDeletedTargetsGone(const json& before, const json& after,
                            const std::set<std::string>& deleted) {
  auto live = [&](const json& value) {
    if (value.is_string() && deleted.count(value.get<std::string>())) return json(nullptr);
    if (!value.is_array()) return value;
    json kept = json::array();
    for (const json& entry : value) {
      if (!deleted.count(entry.get<std::string>())) kept.push_back(entry);
    }
    return kept;
  };
  return live(before) == after || (after.is_null() && live(before).empty());
}

// Where a store comes from: a JSON file, or the generator.
struct StoreSource {
  std::string name;
  fs::path json;  // empty: generated
  vddb::generate::StoreRecipe recipe{};
};

// The stores one test runs over (one file, or a batch of generated ones).
struct StoreBatch {
  std::string name;
  std::vector<StoreSource> sources;
};

// Test listings name a batch, not its bytes.
void PrintTo(const StoreBatch& batch, std::ostream* out) { *out << batch.name; }

class RepairReportTest : public ::testing::TestWithParam<StoreBatch> {
 protected:
  void SetUp() override {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : name) {
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    _dir = fs::temp_directory_path() / ("vddb-report-" + name);
    fs::remove_all(_dir);
    fs::create_directories(_dir);
  }
  void TearDown() override { fs::remove_all(_dir); }

  fs::path load(const StoreSource& source, const std::string& name) {
    const fs::path store = _dir / name;
    fs::remove(store);
    std::string error;
    if (source.json.empty()) {
      EXPECT_GE(vddb::generate::generateStoreFile(source.recipe, store.string(), false, &error), 0)
          << error;
    } else {
      std::ifstream in(source.json, std::ios::binary);
      EXPECT_GE(vddb::engine::createStoreFromJson(in, store.string(), false, &error), 0) << error;
    }
    return store;
  }

  void previewEqualsRepairAndAccountsForTheDump(const StoreSource& source);
  void untilCleanLeavesNothingForCheck(const StoreSource& source);

  fs::path _dir;
};

TEST_P(RepairReportTest, PreviewEqualsRepairAndAccountsForTheDump) {
  for (const StoreSource& source : GetParam().sources) {
    SCOPED_TRACE(source.name);
    previewEqualsRepairAndAccountsForTheDump(source);
    if (HasFailure()) return;
  }
}

TEST_P(RepairReportTest, UntilCleanLeavesNothingForCheck) {
  for (const StoreSource& source : GetParam().sources) {
    SCOPED_TRACE(source.name);
    untilCleanLeavesNothingForCheck(source);
    if (HasFailure()) return;
  }
}

void RepairReportTest::previewEqualsRepairAndAccountsForTheDump(const StoreSource& source) {
  const fs::path checked = load(source, "checked.sqlite");
  const fs::path repaired = load(source, "repaired.sqlite");
  const std::string bytesBefore = readFile(checked);

  const Result check = run(checked, /*preview=*/true);
  EXPECT_EQ(readFile(checked), bytesBefore) << "check must leave the file byte for byte";

  const std::string beforeText = dumpText(repaired);
  const json before = json::parse(beforeText);
  const Result repair = run(repaired, /*preview=*/false);
  const std::string afterText = dumpText(repaired);
  const json after = json::parse(afterText);

  ASSERT_EQ(recordKeys(check.report), recordKeys(repair.report)) << check.err << repair.err;
  const json& problems = repair.report["runs"][0]["problems"];
  const std::size_t changes = repair.report["runs"][0]["total"];
  const bool endedEarly = std::any_of(problems.begin(), problems.end(), [](const json& p) {
    return p["action"] == "pass ended by a failure";
  });
  EXPECT_EQ(check.exitCode, problems.empty() ? 0 : 4);
  EXPECT_EQ(repair.exitCode, endedEarly ? 4 : changes == 0 ? 0 : 1) << repair.err;

  // Every deleted object is claimed by exactly one record, and every record
  // claims only objects that are gone.
  const auto objectsBefore = objectsOf(before);
  const auto objectsAfter = objectsOf(after);
  std::set<std::string> gone;
  for (const auto& [guid, object] : objectsBefore) {
    if (!objectsAfter.count(guid)) gone.insert(guid);
  }
  std::multiset<std::string> claimed;
  std::set<std::pair<std::string, std::string>> claimedValues;
  for (const json& problem : problems) {
    for (const json& guid : problem["deleted"]) claimed.insert(guid.get<std::string>());
    for (const json& value : problem["changed"]) {
      claimedValues.emplace(value["object"].get<std::string>(),
                            value["attribute"].get<std::string>());
    }
    if (problem["class"].is_string()) {
      EXPECT_EQ(problem["class"], objectsBefore.at(problem["object"])["class"]);
    }
  }
  EXPECT_EQ(claimed, std::multiset<std::string>(gone.begin(), gone.end()));

  // A value changed on an object that stays is claimed, unless it only lost
  // references to objects that went.
  for (const auto& [guid, object] : objectsAfter) {
    const json& oldValues = objectsBefore.at(guid)["values"];
    const json& newValues = object["values"];
    std::set<std::string> attributes;
    for (const auto& [id, value] : oldValues.items()) attributes.insert(id);
    for (const auto& [id, value] : newValues.items()) attributes.insert(id);
    for (const std::string& id : attributes) {
      const json oldValue = oldValues.value(id, json());
      const json newValue = newValues.value(id, json());
      if (oldValue == newValue) continue;
      std::string upper = id;
      for (std::size_t i = 2; i < upper.size(); ++i)
        upper[i] = static_cast<char>(std::toupper(upper[i]));
      EXPECT_TRUE(claimedValues.count({guid, upper}) ||
                  onlyDeletedTargetsGone(oldValue, newValue, gone))
          << guid << " " << id << ": " << oldValue << " -> " << newValue;
    }
  }

  // The journal entry holds what went, as the dump showed it, and every
  // value changed, as before and after; its undo gives back the store
  // byte for byte, and undoing the undo gives back the repair.
  const auto [shown, entryText] = journalCommand(&vddb::tool::runShow, repaired);
  if (beforeText == afterText) {
    EXPECT_EQ(shown, 8) << "a repair that changed nothing leaves no entry";
    return;
  }
  ASSERT_EQ(shown, 0) << entryText;
  const json entry = json::parse(entryText);
  EXPECT_EQ(entry["entry"]["problems"], changes);
  EXPECT_EQ(entry["problems"].size(), problems.size());
  std::set<std::string> journalled;
  for (const json& object : entry["deletedObjects"]) {
    journalled.insert(object["guid"].get<std::string>());
    EXPECT_EQ(object, objectsBefore.at(object["guid"])) << "as the dump showed it";
  }
  EXPECT_EQ(journalled, gone);
  for (const json& change : entry["changedValues"]) {
    const std::string guid = change["object"];
    std::string id = change["attribute"];
    id = "0x" + id.substr(2);
    EXPECT_EQ(change["before"], objectsBefore.at(guid)["values"].value(id, json())) << guid << id;
    EXPECT_EQ(change["after"], objectsAfter.at(guid)["values"].value(id, json())) << guid << id;
  }
  EXPECT_EQ(journalCommand(&vddb::tool::runUndo, repaired).first, 0);
  EXPECT_TRUE(dumpText(repaired) == beforeText) << "the undo is not exact";
  EXPECT_EQ(journalCommand(&vddb::tool::runUndo, repaired).first, 0);
  EXPECT_TRUE(dumpText(repaired) == afterText) << "the undo of the undo is not the repair";
}

// The fixed order of the passes can leave damage that a later pass
// uncovered; --until-clean repeats the repair until a run changes nothing,
// after which a check finds nothing.
void RepairReportTest::untilCleanLeavesNothingForCheck(const StoreSource& source) {
  const fs::path store = load(source, "store.sqlite");
  const Result repair = run(store, /*preview=*/false, /*untilClean=*/true);
  const json& runs = repair.report["runs"];
  ASSERT_FALSE(runs.empty()) << repair.err;
  // A pass that ends early leaves what it could not reach, run after run.
  if (repair.exitCode == 4) return;
  EXPECT_EQ(runs.back()["total"], 0);
  EXPECT_EQ(repair.exitCode, runs.front()["total"] == 0 ? 0 : 1);
  // Two duplicate link records are all that name an object: the last pass
  // deletes them, and only the next run's eleventh pass finds the object.
  if (source.json.filename() == "needs-two-runs.json") {
    ASSERT_EQ(runs.size(), 3U);
    EXPECT_EQ(runs[1]["problems"][0]["code"], "P1103");
  }
  const Result check = run(store, /*preview=*/true);
  EXPECT_EQ(check.exitCode, 0) << check.report.dump(1);
}

std::string testName(std::string name) {
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

std::vector<StoreBatch> fileStores() {
  std::vector<fs::path> inputs{VDDB_EXAMPLE_STORE, VDDB_TEST_STORES "/needs-two-runs.json"};
  for (const auto& entry : fs::directory_iterator(VDDB_E2E_CASES)) {
    if (fs::exists(entry.path() / "input.json")) inputs.push_back(entry.path() / "input.json");
  }
  std::sort(inputs.begin(), inputs.end());
  std::vector<StoreBatch> batches;
  for (const fs::path& input : inputs) {
    const std::string name = testName(input.filename() == "input.json"
                                          ? input.parent_path().filename().string()
                                          : input.stem().string());
    batches.push_back({name, {{name, input, {}}}});
  }
  return batches;
}

// Eight batches of 25 generated stores: 100 to 2,500 objects, 2% to 60% of
// the items damaged, every seed different. Under the sanitizers and under
// Wine, where a store costs several times as much, the first 7 of each
// batch: still every rate of damage and sizes across the range.
std::vector<StoreBatch> generatedStores() {
  constexpr double kDamage[] = {0.02, 0.1, 0.3, 0.6};
#ifdef VDDB_FEWER_SWEEP_RUNS
  constexpr std::uint64_t kStoresRun = 7;
#else
  constexpr std::uint64_t kStoresRun = 25;
#endif
  std::vector<StoreBatch> batches;
  for (std::uint64_t batch = 0; batch < 8; ++batch) {
    StoreBatch stores{std::string("generated_").append(std::to_string(batch)), {}};
    for (std::uint64_t i = 0; i < kStoresRun; ++i) {
      const std::uint64_t seed = batch * 25 + i + 1;
      const vddb::generate::StoreRecipe recipe{100 + (seed * 97) % 2400, seed,
                                               kDamage[seed % 4]};
      std::string name = "generated store, seed ";
      name.append(std::to_string(seed)).append(", ").append(std::to_string(recipe.objects));
      name.append(" objects, damage ").append(std::to_string(recipe.damageRate));
      stores.sources.push_back({name, {}, recipe});
    }
    batches.push_back(std::move(stores));
  }
  return batches;
}

std::string batchName(const ::testing::TestParamInfo<StoreBatch>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Stores, RepairReportTest, ::testing::ValuesIn(fileStores()), batchName);
INSTANTIATE_TEST_SUITE_P(Generated, RepairReportTest, ::testing::ValuesIn(generatedStores()),
                         batchName);

}  // namespace
