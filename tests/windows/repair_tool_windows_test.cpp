// vddb-repair.exe and vddb.exe as a Windows user meets them: the Strenda
// version key written with the system's reg.exe, stores made with vddb.exe,
// standard output compared byte for byte as the console program writes it
// (the C runtime's text mode turns every "\n" into "\r\n"), and the exit
// code compared as the whole 32-bit value that Windows keeps (a POSIX shell,
// Wine's caller included, sees only its low 8 bits).
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "engine/result_codes.h"
#include "windows_process.h"

namespace vddb::windows_test {
namespace {

namespace fs = std::filesystem;

const std::string kVddb = windowsPath(VDDB_EXE);
const std::string kRepairTool = windowsPath(VDDB_REPAIR_EXE);
const std::string kCases = windowsPath(VDDB_E2E_CASES);
const std::string kWorkRoot = windowsPath(VDDB_WORK_DIR);

constexpr const char* kWarning =
    "Unable to detect the installed Strenda version!  Please reinstall Strenda";
constexpr const char* kRepairing = "Repairing Varkel Device Driver Database.\r\n";
constexpr const char* kSuccess = "Successfully completed repair.\r\n";
constexpr const char* kWaiting = "Waiting for Korrin Database...\r\n";
constexpr const char* kTimedOut = "Operation timed out waiting for Korrin to start\r\n";
constexpr const char* kUnreachable =
    "Unable to communicate with Corvessa.   Please contact Varkel Technical Support.\r\n";

// The engine's codes that these runs end with; the expected lines below
// spell them out.
static_assert(engine::kStoreLocked == static_cast<HRESULT>(0x80040A04U));
static_assert(engine::kStoreMissing == static_cast<HRESULT>(0x80040A01U));

class WindowsToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
      if (c == '/') c = '.';
    }
    work = kWorkRoot + "\\" + name;
    std::error_code ignored;
    fs::remove_all(work, ignored);
    fs::create_directories(work);
    SetEnvironmentVariableA("VARKEL_DDB_PATH", nullptr);
  }
  void TearDown() override { SetEnvironmentVariableA("VARKEL_DDB_PATH", nullptr); }

  // The key as an installation leaves it: three decimal texts.
  void installStrenda() {
    removeStrenda();
    for (const char* value : {"versionMajor", "versionMinor", "versionUpdate"}) {
      ASSERT_EQ(reg({"add", kStrendaKey, "/v", value, "/t", "REG_SZ", "/d", "3", "/f"}, work), 0U);
    }
  }
  void removeStrenda() {
    reg({"delete", kStrendaKey, "/f"}, work);  // fails harmlessly when absent
  }

  // A store file made by vddb.exe from `json`, and VARKEL_DDB_PATH naming it.
  std::string loadStore(const std::string& json, const std::string& name = "store.sqlite") {
    const std::string store = work + "\\" + name;
    const ProcessResult load = run({kVddb, "load", json, store}, work, "load");
    EXPECT_TRUE(load.finished);
    EXPECT_EQ(load.exitCode, 0U) << load.err;
    EXPECT_EQ(load.err, "");
    SetEnvironmentVariableA("VARKEL_DDB_PATH", store.c_str());
    return store;
  }

  ProcessResult repair(const std::string& tag = "repair", std::uint32_t ms = 200000) {
    return run({kRepairTool}, work, tag, ms);
  }

  std::string dump(const std::string& store, const std::string& tag = "dump") {
    const ProcessResult result = run({kVddb, "dump", store}, work, tag);
    EXPECT_EQ(result.exitCode, 0U) << result.err;
    return result.out;
  }

  std::string work;
};

// --- The shared end-to-end cases, on Windows ------------------------------------

std::vector<std::string> sharedCases() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(kCases, error)) {
    if (fs::exists(entry.path() / "input.json")) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class SharedCase : public WindowsToolTest, public ::testing::WithParamInterface<std::string> {};

// The case files hold the bytes a POSIX build writes and the exit status a
// POSIX shell sees (the low 8 bits). Here every line ends in "\r\n", and the
// exit code is the whole status code: the one the failure line prints, or
// the file's value when the run succeeded.
TEST_P(SharedCase, RepairsAndDumpsAsTheCaseExpects) {
  const std::string dir = kCases + "\\" + GetParam();
  const auto caseFile = [&](const std::string& name, const std::string& fallback = "") {
    const std::string path = dir + "\\" + name;
    return fs::exists(path) || fallback.empty() ? path : dir + "\\" + fallback;
  };

  RegistryGuard registry;
  if (fs::exists(dir + "\\registry.reg")) {
    removeStrenda();
    ASSERT_EQ(reg({"import", dir + "\\registry.reg"}, work), 0U);
  } else {
    installStrenda();
  }
  const std::string store = loadStore(dir + "\\input.json");

  for (int pass = 1; pass <= 2; ++pass) {
    SCOPED_TRACE("run " + std::to_string(pass));
    const std::string suffix = pass == 1 ? "" : "-2";
    const ProcessResult result = repair("repair" + suffix);
    ASSERT_TRUE(result.finished);
    const std::string expected = textModeLineEnds(
        readFile(caseFile("expected-output" + suffix + ".txt", "expected-output.txt")));
    EXPECT_EQ(result.out, expected);

    const long shellStatus =
        std::strtol(readFile(caseFile("expected-exit-code" + suffix, "expected-exit-code")).c_str(),
                    nullptr, 10);
    EXPECT_EQ(result.exitCode & 0xFFU, static_cast<std::uint32_t>(shellStatus));
    const std::string failure = "Operation failed with error code ";
    const std::size_t at = result.out.find(failure);
    if (at != std::string::npos) {
      EXPECT_EQ(result.signedExitCode(),
                std::strtol(result.out.c_str() + at + failure.size(), nullptr, 10));
    } else {
      EXPECT_EQ(result.exitCode, static_cast<std::uint32_t>(shellStatus));
    }

    // std::cout is in text mode too: the dump has "\r\n" line ends.
    EXPECT_EQ(dump(store, "dump" + suffix),
              textModeLineEnds(readFile(dir + "\\expected-dump.json")));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, SharedCase, ::testing::ValuesIn(sharedCases()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

// --- The version probe against the real registry ------------------------------

struct ProbeCase {
  const char* name;
  // reg.exe argument lists run on a key that was first removed.
  std::vector<std::vector<std::string>> setup;
  bool warns;
};

std::vector<std::string> addValue(const char* value, const std::string& data,
                                  const char* type = "REG_SZ") {
  return {"add", kStrendaKey, "/v", value, "/t", type, "/d", data, "/f"};
}

// 1023 bytes is the limit the probe passes, and a string value's data
// includes its terminating zero.
const std::vector<ProbeCase> kProbeCases = {
    {"AllThreeValues",
     {addValue("versionMajor", "19"), addValue("versionMinor", "5"),
      addValue("versionUpdate", "0")},
     false},
    {"KeyMissing", {}, true},
    {"UpdateMissing", {addValue("versionMajor", "19"), addValue("versionMinor", "5")}, true},
    {"ValueOf1022CharactersFits",
     {addValue("versionMajor", "19"), addValue("versionMinor", std::string(1022, '7')),
      addValue("versionUpdate", "0")},
     false},
    {"ValueOf1023CharactersDoesNot",
     {addValue("versionMajor", "19"), addValue("versionMinor", std::string(1023, '7')),
      addValue("versionUpdate", "0")},
     true},
    {"TypeIsIgnored",
     {addValue("versionMajor", "19", "REG_DWORD"), addValue("versionMinor", "5", "REG_DWORD"),
      addValue("versionUpdate", "0", "REG_EXPAND_SZ")},
     false},
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const ProbeCase& probe, std::ostream* out) { *out << probe.name; }

class VersionProbe : public WindowsToolTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(VersionProbe, WarnsOnlyWhenAValueCannotBeRead) {
  RegistryGuard registry;
  removeStrenda();
  for (const auto& arguments : GetParam().setup) ASSERT_EQ(reg(arguments, work), 0U);
  loadStore(windowsPath(VDDB_E2E_CASES "/f_no_damage/input.json"));

  const ProcessResult result = repair();
  ASSERT_TRUE(result.finished);
  // The warning has no line end: the announcement follows on its line.
  EXPECT_EQ(result.out, std::string(GetParam().warns ? kWarning : "") + kRepairing + kSuccess);
  EXPECT_EQ(result.exitCode, 0U);
}

INSTANTIATE_TEST_SUITE_P(Registry, VersionProbe, ::testing::ValuesIn(kProbeCases),
                         [](const ::testing::TestParamInfo<ProbeCase>& info) {
                           return std::string(info.param.name);
                         });

// --- Reaching the store and failing after it -----------------------------------

// Another process (vddb.exe lock) holds the store's write lock for a few
// seconds: the tool waits, says so once, and repairs when the lock is gone.
TEST_F(WindowsToolTest, WaitsForAStoreThatIsLockedForAWhile) {
  RegistryGuard registry;
  installStrenda();
  const std::string store = loadStore(windowsPath(VDDB_E2E_CASES "/f_no_damage/input.json"));
  ChildProcess holder({kVddb, "lock", store, "--seconds", "4"}, work, "lock");
  ASSERT_TRUE(holder.waitForOutput("locked ", 30000));

  const ULONGLONG began = GetTickCount64();
  const ProcessResult result = repair();
  const ULONGLONG elapsed = GetTickCount64() - began;
  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.out, std::string(kRepairing) + kWaiting + kSuccess);
  EXPECT_EQ(result.exitCode, 0U);
  EXPECT_GE(elapsed, 3000U);

  const ProcessResult held = holder.wait(30000);
  EXPECT_EQ(held.exitCode, 0U) << held.err;
  EXPECT_EQ(held.out, "locked " + store + "\r\nreleased " + store + "\r\n");
}

// A reader keeps its shared lock on the store file, so the commit cannot get
// the file: saving fails after the store was reached, the configuration is
// reverted, and the engine's code ends the run. Windows keeps all 32 bits
// of it; a POSIX shell would see 4.
TEST_F(WindowsToolTest, AFailedSaveEndsWithTheWhole32BitCode) {
  RegistryGuard registry;
  installStrenda();
  // A store with something to repair, so that the commit has pages to write.
  const std::string store = loadStore(windowsPath(VDDB_E2E_CASES "/f_link_records/input.json"));
  const std::string before = dump(store, "dump-before");

  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open_v2(store.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr),
      SQLITE_OK);

  const ProcessResult result = repair();
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(reader);

  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.out, std::string(kRepairing) +
                            "Operation failed with error code -2147218940  (hex 0x80040A04). "
                            "Please contact Varkel Technical Support\r\n");
  EXPECT_EQ(result.exitCode, 0x80040A04U);
  EXPECT_EQ(result.signedExitCode(), -2147218940);
  // Reverted: the store is as it was.
  EXPECT_EQ(dump(store, "dump-after"), before);
}

// No store at all: attempts every 3 seconds until more than 90 seconds have
// passed on the C runtime's clock, then the two closing lines and the
// engine's "store missing" code. The one slow test of the suite.
TEST_F(WindowsToolTest, GivesUpOnAnUnreachableStoreAfterNinetySeconds) {
  RegistryGuard registry;
  installStrenda();
  const std::string missing = work + "\\missing.sqlite";
  SetEnvironmentVariableA("VARKEL_DDB_PATH", missing.c_str());

  const ULONGLONG began = GetTickCount64();
  ChildProcess tool({kRepairTool}, work, "repair");
  // Once the key has been read the registry is free for the other tests.
  ASSERT_TRUE(tool.waitForOutput(kRepairing, 30000));
  registry.release();
  const ProcessResult result = tool.wait(200000);
  const ULONGLONG elapsed = GetTickCount64() - began;

  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.out, std::string(kRepairing) + kWaiting + kTimedOut + kUnreachable);
  EXPECT_EQ(result.exitCode, 0x80040A01U);
  EXPECT_EQ(result.signedExitCode(), -2147218943);
  EXPECT_GT(elapsed, 90000U);
  EXPECT_LT(elapsed, 120000U);
  EXPECT_FALSE(fs::exists(missing));
}

// --- vddb.exe ---------------------------------------------------------------------

TEST_F(WindowsToolTest, VddbRefusesMalformedJsonAndLeavesNoStore) {
  writeFile(work + "\\bad.json", "{\"format\": \"vddb-store/1\", \"objects\": [");
  const std::string store = work + "\\store.sqlite";
  const ProcessResult load = run({kVddb, "load", work + "\\bad.json", store}, work, "load");
  ASSERT_TRUE(load.finished);
  EXPECT_EQ(load.exitCode, 8U);
  EXPECT_EQ(load.err.rfind("vddb load: ", 0), 0U) << load.err;
  EXPECT_FALSE(fs::exists(store));
  for (const auto& entry : fs::directory_iterator(work)) {
    EXPECT_EQ(entry.path().filename().string().find("store.sqlite"), std::string::npos)
        << entry.path().string();
  }
}

TEST_F(WindowsToolTest, VddbReplacesAStoreOnlyWhenForced) {
  const std::string json = windowsPath(VDDB_E2E_CASES "/f_no_damage/input.json");
  const std::string store = loadStore(json);
  const std::string first = dump(store, "dump-first");
  const ProcessResult again = run({kVddb, "load", json, store}, work, "load-again");
  EXPECT_EQ(again.exitCode, 8U);
  const ProcessResult forced = run({kVddb, "load", "--force", json, store}, work, "load-forced");
  EXPECT_EQ(forced.exitCode, 0U) << forced.err;
  EXPECT_EQ(dump(store, "dump-forced"), first);
}

}  // namespace
}  // namespace vddb::windows_test
