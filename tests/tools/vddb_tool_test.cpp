// The vddb tool as a user runs it: a child process per command, its exit
// code, standard output and standard error.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using vddb::engine::StoreSession;

const std::string kTool = VDDB_TOOL_PATH;
const std::string kRepairTool = VDDB_REPAIR_TOOL_PATH;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vddb-tool-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::filesystem::remove_all(dir);
    EXPECT_EQ(vddb::engine::liveInterfaceCount(), 0u);
  }

  std::string file(const std::string& name) const { return dir + "/" + name; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (name != "stdout" && name != "stderr" && name != "stdin") out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // Runs the tool to its end, standard input from `input`.
  ToolRun run(const std::vector<std::string>& args, const std::string& input = "") {
    return runProgram(kTool, args, {}, input);
  }

  // Runs `program` to its end with `environment` (NAME=value) added.
  ToolRun runProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment, const std::string& input = "") {
    writeFile(file("stdin"), input);
    const pid_t child = ::fork();
    if (child == 0) {
      const int in = ::open(file("stdin").c_str(), O_RDONLY);
      const int out = ::open(file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = ::open(file("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(in, 0);
      ::dup2(out, 1);
      ::dup2(err, 2);
      for (const std::string& e : environment) ::putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ToolRun r;
    int status = 0;
    ::waitpid(child, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(file("stdout"));
    r.err = readFile(file("stderr"));
    return r;
  }

  // Runs the tool to its end with its standard error on a terminal (a
  // pseudo-terminal that this process reads); `err` is what the terminal got.
  ToolRun runOnTerminal(const std::vector<std::string>& args) {
    int terminal = -1, side = -1;
    ToolRun r;
    if (::openpty(&terminal, &side, nullptr, nullptr, nullptr) != 0) return r;
    const pid_t child = ::fork();
    if (child == 0) {
      const int out = ::open(file("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, 1);
      ::dup2(side, 2);
      ::close(terminal);
      std::vector<char*> argv{const_cast<char*>(kTool.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(kTool.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(side);
    // Read as it comes, or a full terminal would hold the tool up; the read
    // fails once the tool has closed its side.
    char block[4096];
    for (ssize_t got; (got = ::read(terminal, block, sizeof block)) > 0;) r.err.append(block, got);
    ::close(terminal);
    int status = 0;
    ::waitpid(child, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(file("stdout"));
    return r;
  }

  // The canonical dump of `json` made in this process.
  static std::string canonical(const std::string& json) {
    std::unique_ptr<StoreSession> s;
    std::string text;
    EXPECT_EQ(StoreSession::openFromJson(json, s), S_OK);
    if (s) {
      EXPECT_EQ(s->dumpJson(text), S_OK);
    }
    return text;
  }

  std::string dir;
};

const std::string kInput = R"({"objects": [
  {"guid": "0000000B-0000-0000-0000-000000000000", "class": "850f6895-31ba-4eff-b2e8-1197ff1db2e4",
   "values": {"0xB8C0F010": "PXI1Slot2 \u00c4"}},
  {"guid": "0000000a-0000-0000-0000-000000000000", "class": "c344f8cd-b1e2-4a40-95e0-4123b6cbcb56",
   "values": {"0x58C0F013": 4294967295, "0x20C0F012": "0000000b-0000-0000-0000-000000000000"}}]})";

TEST_F(ToolTest, LoadThenDumpGivesTheCanonicalInput) {
  writeFile(file("in.json"), kInput);
  const ToolRun load = run({"load", file("in.json"), file("ddb.sqlite")});
  EXPECT_EQ(load.exitCode, 0) << load.err;
  EXPECT_THAT(load.err, IsEmpty());
  EXPECT_THAT(names(), ElementsAre("ddb.sqlite", "in.json"));
  const ToolRun dump = run({"dump", file("ddb.sqlite")});
  EXPECT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_EQ(dump.out, canonical(kInput));
  EXPECT_THAT(dump.out, HasSubstr("\"0x58C0F013\": -1"));

  // Loading the dump again gives the dump again.
  writeFile(file("again.json"), dump.out);
  EXPECT_EQ(run({"load", file("again.json"), file("again.sqlite")}).exitCode, 0);
  EXPECT_EQ(run({"dump", file("again.sqlite")}).out, dump.out);
}

TEST_F(ToolTest, LoadReadsStandardInputAndAllClassesListsTheCatalog) {
  EXPECT_EQ(run({"load", "-", file("ddb.sqlite")}, kInput).exitCode, 0);
  const ToolRun all = run({"dump", "--all-classes", file("ddb.sqlite")});
  EXPECT_EQ(all.exitCode, 0);
  EXPECT_THAT(all.out, HasSubstr("\"guid\": \"c6f302b8-5260-43c3-a81d-bf741e6d3a80\""));
  EXPECT_THAT(run({"dump", file("ddb.sqlite")}).out, HasSubstr("\"classes\": [],"));
}

TEST_F(ToolTest, LoadRefusesAnExistingStoreUnlessForced) {
  writeFile(file("in.json"), kInput);
  writeFile(file("empty.json"), "{}");
  ASSERT_EQ(run({"load", file("in.json"), file("ddb.sqlite")}).exitCode, 0);
  const std::string before = readFile(file("ddb.sqlite"));
  const ToolRun refused = run({"load", file("empty.json"), file("ddb.sqlite")});
  EXPECT_EQ(refused.exitCode, 8);
  EXPECT_THAT(refused.err, HasSubstr("exists (use --force to replace it)"));
  EXPECT_EQ(readFile(file("ddb.sqlite")), before);
  EXPECT_EQ(run({"load", "--force", file("empty.json"), file("ddb.sqlite")}).exitCode, 0);
  EXPECT_THAT(run({"dump", file("ddb.sqlite")}).out, HasSubstr("\"objects\": []"));
}

struct BadValue {
  const char* name;
  std::string json;  // the value of 0x58C003EA
  const char* message;
};

TEST_F(ToolTest, FailedLoadNamesObjectAndAttributeOnOneLineAndLeavesNothing) {
  const BadValue cases[] = {
      {"wrong type", R"("seven")", "expected an integer"},
      {"nested 100,000 deep", std::string(100'000, '[') + std::string(100'000, ']'),
       "nested deeper than"},
      {"beyond JSON numbers", "1e400", "the number \"1e400\" is out of range"},
  };
  for (const BadValue& c : cases) {
    SCOPED_TRACE(c.name);
    writeFile(file("bad.json"), R"({"objects": [{"guid": "00000001-0000-0000-0000-000000000000",
        "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f", "values": {"0x58C003EA": )" +
                                    c.json + "}}]}");
    const ToolRun r = run({"load", file("bad.json"), file("ddb.sqlite")});
    EXPECT_EQ(r.exitCode, 8);
    EXPECT_THAT(r.err, StartsWith("vddb load: "));
    EXPECT_THAT(r.err, HasSubstr("object 00000001-0000-0000-0000-000000000000: attribute "
                                 "0x58C003EA: " +
                                 std::string(c.message)));
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
    EXPECT_THAT(names(), ElementsAre("bad.json")) << "a temporary store was left";
  }
  const ToolRun missing = run({"load", file("none.json"), file("ddb.sqlite")});
  EXPECT_EQ(missing.exitCode, 8);
  EXPECT_THAT(missing.err, HasSubstr("cannot read"));
}

TEST_F(ToolTest, GenerateRepeatsItselfAndRefusesAnExistingStoreUnlessForced) {
  const std::vector<std::string> recipe = {"--objects", "300", "--seed", "4", "--damage", "0.2"};
  const auto generate = [&](const std::string& db, std::vector<std::string> extra) {
    std::vector<std::string> args = {"generate", file(db)};
    args.insert(args.end(), recipe.begin(), recipe.end());
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args);
  };
  const ToolRun first = generate("one.sqlite", {});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_THAT(first.out, StartsWith(file("one.sqlite") + ": 3"));  // about 300 objects
  EXPECT_THAT(first.out, HasSubstr("damaged for passes 1-12:"));
  ASSERT_EQ(generate("two.sqlite", {}).exitCode, 0);
  const std::string dump = run({"dump", file("one.sqlite")}).out;
  EXPECT_THAT(dump, HasSubstr("\"0x20C0F012\""));
  EXPECT_EQ(run({"dump", file("two.sqlite")}).out, dump);

  const std::string before = readFile(file("one.sqlite"));
  const ToolRun refused = run({"generate", file("one.sqlite"), "-n", "5", "-s", "1"});
  EXPECT_EQ(refused.exitCode, 8);
  EXPECT_THAT(refused.err, HasSubstr("exists (use --force to replace it)"));
  EXPECT_EQ(readFile(file("one.sqlite")), before);
  EXPECT_EQ(run({"generate", file("one.sqlite"), "-n", "5", "-s", "1", "--force"}).exitCode, 0);
  EXPECT_NE(run({"dump", file("one.sqlite")}).out, dump);
  EXPECT_THAT(names(), ElementsAre("one.sqlite", "two.sqlite"));
}

// The long commands keep a progress line on standard error only while it is
// a terminal: written to a file, standard error holds nothing; on a
// terminal it holds the line, taken back at the end, and standard output and
// the exit code are the same either way.
TEST_F(ToolTest, ProgressIsDrawnOnlyOnATerminal) {
  const std::string base = file("base.sqlite");
  ASSERT_EQ(run({"generate", "-n", "2000", "-s", "3", "--damage", "0.05", base}).exitCode, 0);
  writeFile(file("in.json"), run({"dump", base}).out);
  const struct {
    std::vector<std::string> args;
    const char* line;  // a text the line shows
  } cases[] = {
      {{"generate", "-n", "2000", "-s", "3", "--force", file("new.sqlite")},
       "\rgenerating: all generated, building the store"},
      {{"load", "--force", file("in.json"), file("new.sqlite")},
       "\rloading: all read, building the store"},
      {{"dump", "--verify", base}, "\rdumping: checking the store file"},
      {{"check", file("copy.sqlite")}, "\rcheck: pass 12 of 12 purgeDuplicateLinkRecords"},
      {{"repair", file("copy.sqlite")}, "\rrepair: saving"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::filesystem::copy_file(base, file("copy.sqlite"),
                               std::filesystem::copy_options::overwrite_existing);
    const ToolRun plain = run(c.args);
    EXPECT_THAT(plain.err, IsEmpty());
    std::filesystem::copy_file(base, file("copy.sqlite"),
                               std::filesystem::copy_options::overwrite_existing);
    const ToolRun drawn = runOnTerminal(c.args);
    EXPECT_EQ(drawn.exitCode, plain.exitCode);
    EXPECT_EQ(drawn.out, plain.out);
    EXPECT_THAT(drawn.err, HasSubstr(c.line));
    EXPECT_THAT(drawn.err, StartsWith("\r"));
    EXPECT_EQ(drawn.err.back(), '\r') << "the line is taken back";
  }
}

struct FailingCommand {
  const char* name;
  std::vector<std::string> args;  // "@" stands for the temporary directory
  int exitCode;
  const char* message;
};

TEST_F(ToolTest, ErrorsGoToStandardErrorWithANonZeroExit) {
  writeFile(file("text.txt"), "not a store");
  writeFile(file("bad.json"), "{\"objects\": [\n  {\"guid\": \"x\",,}\n]}\n");
  const FailingCommand cases[] = {
      {"no subcommand", {}, 16, "A subcommand is required"},
      {"unknown subcommand", {"frobnicate"}, 16,
       "vddb: 'frobnicate' is not a command; the commands are load, dump, lock, check, repair, "
       "generate"},
      {"dump without store", {"dump"}, 16, "DB is required"},
      {"dump of a missing store", {"dump", "@/none.sqlite"}, 8, "store missing (0x80040A01)"},
      {"dump of a text file", {"dump", "@/text.txt"}, 8, "not a store (0x80040A02)"},
      {"lock of a missing store", {"lock", "@/none.sqlite", "--seconds", "1"}, 8, "store missing"},
      {"lock with a bad time", {"lock", "@/none.sqlite", "--seconds", "soon"}, 16, ""},
      {"load with one argument", {"load", "@/text.txt"}, 16, "DB is required"},
      {"load of a JSON syntax error",
       {"load", "@/bad.json", "@/x.sqlite"},
       8,
       "/bad.json:2:16: syntax error while parsing object key - unexpected ','"},
      {"load of a missing file",
       {"load", "@/none.json", "@/x.sqlite"},
       8,
       "/none.json: No such file or directory"},
      {"generate without a size", {"generate", "@/g.sqlite", "--seed", "1"}, 16, "--objects"},
      {"generate with too much damage",
       {"generate", "@/g.sqlite", "-n", "10", "-s", "1", "--damage", "1.5"},
       16,
       "--damage"},
  };
  for (const FailingCommand& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args;
    for (std::string a : c.args) {
      if (a[0] == '@') a = dir + a.substr(1);
      args.push_back(a);
    }
    const ToolRun r = run(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_FALSE(r.err.empty());
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_THAT(r.out, IsEmpty());
  }
  EXPECT_THAT(names(), ElementsAre("bad.json", "text.txt"));
}

// The page of a store file that holds the root of the table or index `name`.
int rootPage(const std::string& path, const std::string& name) {
  sqlite3* db = nullptr;
  int page = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* select = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_master WHERE name = ?1", -1, &select,
                           nullptr) == SQLITE_OK) {
      sqlite3_bind_text(select, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(select) == SQLITE_ROW) page = sqlite3_column_int(select, 0);
    }
    sqlite3_finalize(select);
  }
  sqlite3_close(db);
  return page;
}

// A zeroed page of an index that a dump never reads: the plain dump reads
// the tables and succeeds, --verify checks the whole file and refuses.
TEST_F(ToolTest, DumpVerifyFindsDamageThatAPlainDumpDoesNotRead) {
  writeFile(file("in.json"), kInput);
  ASSERT_EQ(run({"load", file("in.json"), file("ddb.sqlite")}).exitCode, 0);
  const ToolRun healthy = run({"dump", "--verify", file("ddb.sqlite")});
  EXPECT_EQ(healthy.exitCode, 0) << healthy.err;
  EXPECT_EQ(healthy.out, canonical(kInput));

  const int page = rootPage(file("ddb.sqlite"), "int_values_by_value");
  ASSERT_GT(page, 1);
  std::string bytes = readFile(file("ddb.sqlite"));
  bytes.replace(static_cast<std::size_t>(page - 1) * 4096, 4096, std::string(4096, '\0'));
  writeFile(file("ddb.sqlite"), bytes);

  EXPECT_EQ(run({"dump", file("ddb.sqlite")}).out, canonical(kInput));
  const ToolRun verified = run({"dump", "--verify", file("ddb.sqlite")});
  EXPECT_EQ(verified.exitCode, 8);
  EXPECT_THAT(verified.out, IsEmpty());
  EXPECT_THAT(verified.err,
              StartsWith("vddb dump: " + file("ddb.sqlite") + ": store damaged (0x80040A03)\n"));
  EXPECT_THAT(verified.err, HasSubstr("Page " + std::to_string(page)));
  EXPECT_EQ(readFile(file("ddb.sqlite")), bytes);
}

// A writer that shuts readers out (as a repair does while it saves): the
// dump says it waits and dumps once the writer is done, or, with --wait 0
// or when the writer stays, fails as locked.
TEST_F(ToolTest, DumpWaitsForAWriterThatShutsReadersOut) {
  writeFile(file("in.json"), kInput);
  ASSERT_EQ(run({"load", file("in.json"), file("ddb.sqlite")}).exitCode, 0);
  struct Case {
    const char* wait;
    int holdMilliseconds;
    int exitCode;
    const char* err;
  };
  const Case cases[] = {
      {"5", 700, 0, "another process is writing the store; waiting up to 5 s for it\n"},
      {"1", 3000, 8, "store locked (0x80040A04)"},
      {"0", 700, 8, "store locked (0x80040A04)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("--wait ") + c.wait);
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(file("ddb.sqlite").c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(c.holdMilliseconds));
      sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr);
    });
    const ToolRun dumped = run({"dump", "--wait", c.wait, file("ddb.sqlite")});
    release.join();
    sqlite3_close(writer);
    EXPECT_EQ(dumped.exitCode, c.exitCode) << dumped.err;
    EXPECT_THAT(dumped.err, HasSubstr(c.err));
    if (c.exitCode == 0) {
      EXPECT_EQ(dumped.out, canonical(kInput));
    }
  }
}

TEST_F(ToolTest, HelpIsEverywhere) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"},
                                             {"load", "--help"},
                                             {"dump", "--help"},
                                             {"lock", "--help"},
                                             {"generate", "--help"}}) {
    const ToolRun r = run(args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_THAT(r.out, HasSubstr("Usage: vddb"));
  }
  const ToolRun version = run({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_THAT(version.out, ::testing::MatchesRegex("vddb [0-9]+\\.[0-9]+\\.[0-9]+\n"));
}

// A `vddb lock` child whose first line of output is awaited.
class LockHolder {
 public:
  LockHolder(const std::string& db, const std::string& seconds) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return;
    _pid = ::fork();
    if (_pid == 0) {
      ::dup2(pipeFds[1], 1);
      ::close(pipeFds[0]);
      ::execl(kTool.c_str(), kTool.c_str(), "lock", db.c_str(), "--seconds", seconds.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    _out = ::fdopen(pipeFds[0], "r");
  }
  ~LockHolder() {
    if (_pid > 0) {
      ::kill(_pid, SIGKILL);
      ::waitpid(_pid, nullptr, 0);
    }
    if (_out != nullptr) std::fclose(_out);
  }
  std::string line() {
    char buffer[512];
    return std::fgets(buffer, sizeof buffer, _out) != nullptr ? buffer : "";
  }
  int stop(int signal) {
    if (signal != 0) ::kill(_pid, signal);
    int status = 0;
    ::waitpid(_pid, &status, 0);
    _pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t _pid = -1;
  std::FILE* _out = nullptr;
};

TEST_F(ToolTest, LockHoldsOffWritersUntilInterrupted) {
  writeFile(file("in.json"), kInput);
  ASSERT_EQ(run({"load", file("in.json"), file("ddb.sqlite")}).exitCode, 0);
  LockHolder holder(file("ddb.sqlite"), "60");
  EXPECT_EQ(holder.line(), "locked " + file("ddb.sqlite") + "\n");

  std::unique_ptr<StoreSession> s;
  EXPECT_EQ(StoreSession::open(file("ddb.sqlite"), s), vddb::engine::kStoreLocked);
  const ToolRun second = run({"lock", file("ddb.sqlite"), "--seconds", "1"});
  EXPECT_EQ(second.exitCode, 8);
  EXPECT_THAT(second.err, HasSubstr("store locked"));
  const ToolRun dump = run({"dump", file("ddb.sqlite")});
  EXPECT_EQ(dump.exitCode, 0) << "a dump needs no write lock";
  EXPECT_EQ(dump.out, canonical(kInput));

  EXPECT_EQ(holder.stop(SIGTERM), 0);
  EXPECT_EQ(StoreSession::open(file("ddb.sqlite"), s), S_OK);
}

// `vddb check` killed at points spread over its run (opening, the passes,
// the revert) leaves the store file byte for byte as it was, and the next
// check reports what the first would have.
TEST_F(ToolTest, CheckKilledAnywhereLeavesTheFileAsItWas) {
#ifdef VDDB_SANITIZED_TESTS
  GTEST_SKIP() << "what a killed process left is checked in the other builds";
#endif
  const std::string db = file("ddb.sqlite");
  ASSERT_EQ(run({"generate", "-n", "20000", "-s", "5", "--damage", "0.2", db}).exitCode, 0);
  const std::string pristine = readFile(db);
  const auto started = std::chrono::steady_clock::now();
  const ToolRun whole = run({"check", "--json", db});
  const auto duration = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(whole.exitCode, 4) << whole.err;
  constexpr int kPoints = 12;
  for (int point = 0; point < kPoints; ++point) {
    SCOPED_TRACE("killed at " + std::to_string(point) + "/" + std::to_string(kPoints));
    const pid_t child = ::fork();
    if (child == 0) {
      const int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(kTool.c_str(), kTool.c_str(), "check", db.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    std::this_thread::sleep_for(duration * point / kPoints);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(readFile(db) == pristine) << "the store file changed";
  }
  const ToolRun again = run({"check", "--json", db});
  EXPECT_EQ(again.exitCode, 4);
  EXPECT_EQ(again.out, whole.out);
  EXPECT_TRUE(readFile(db) == pristine);
}

TEST_F(ToolTest, LockEndsByItselfAndOnInterrupt) {
  writeFile(file("in.json"), kInput);
  ASSERT_EQ(run({"load", file("in.json"), file("ddb.sqlite")}).exitCode, 0);
  {
    LockHolder holder(file("ddb.sqlite"), "0");
    EXPECT_THAT(holder.line(), StartsWith("locked "));
    EXPECT_EQ(holder.line(), "released " + file("ddb.sqlite") + "\n");
    EXPECT_EQ(holder.stop(0), 0);
  }
  {
    LockHolder holder(file("ddb.sqlite"), "60");
    EXPECT_THAT(holder.line(), StartsWith("locked "));
    EXPECT_EQ(holder.stop(SIGINT), 0);
  }
  std::unique_ptr<StoreSession> s;
  EXPECT_EQ(StoreSession::open(file("ddb.sqlite"), s), S_OK);
}

// The repair tool started while `vddb lock` holds the store finds it
// unreachable, says once that it waits, and repairs once the lock is gone.
TEST_F(ToolTest, RepairWaitsWhileTheStoreIsLockedThenRepairs) {
  writeFile(file("in.json"), kInput);
  ASSERT_EQ(run({"load", file("in.json"), file("ddb.sqlite")}).exitCode, 0);
  LockHolder holder(file("ddb.sqlite"), "4");
  ASSERT_EQ(holder.line(), "locked " + file("ddb.sqlite") + "\n");

  const ToolRun repair = runProgram(
      kRepairTool, {},
      {"VARKEL_DDB_PATH=" + file("ddb.sqlite"), "VARKEL_REGISTRY_FILE=" + file("no-registry.reg")});
  EXPECT_EQ(repair.exitCode, 0);
  EXPECT_EQ(repair.out,
            "Unable to detect the installed Strenda version!  Please reinstall Strenda"
            "Repairing Varkel Device Driver Database.\n"
            "Waiting for Korrin Database...\n"
            "Successfully completed repair.\n");
  EXPECT_EQ(holder.line(), "released " + file("ddb.sqlite") + "\n");
  EXPECT_EQ(holder.stop(0), 0);
}

}  // namespace

// check and repair on stores they cannot finish: the exit code says which
// way, standard error says why, and nothing is saved where nothing could be.
TEST_F(ToolTest, CheckAndRepairSayWhyTheyCannotFinish) {
  writeFile(file("text.txt"), "not a store");
  // A link record without its number ends the last pass; the unreferenced
  // object before it is repaired all the same.
  writeFile(file("ends.json"), R"({"objects": [
    {"guid": "00000001-0000-0000-0000-000000000000", "class": "08e33cd6-13dc-3a39-16cb-e1215a713fb9", "values": {}},
    {"guid": "00000002-0000-0000-0000-000000000000", "class": "bd95268d-8af7-3ac4-9697-9fed9a8dc51f",
     "values": {"0x20C003E8": "00000003-0000-0000-0000-000000000000", "0x20C003E9": "00000004-0000-0000-0000-000000000000"}},
    {"guid": "00000003-0000-0000-0000-000000000000", "class": "f6b7cf79-b4d4-452a-8adc-f5dd93386c45", "values": {}},
    {"guid": "00000004-0000-0000-0000-000000000000", "class": "c1b74069-2108-3d9c-6dbd-f106bc02ca2e", "values": {}}]})");
  ASSERT_EQ(run({"load", file("ends.json"), file("ends.sqlite")}).exitCode, 0);
  writeFile(file("in.json"), kInput);
  ASSERT_EQ(run({"load", file("in.json"), file("locked.sqlite")}).exitCode, 0);
  LockHolder holder(file("locked.sqlite"), "60");
  ASSERT_EQ(holder.line(), "locked " + file("locked.sqlite") + "\n");

  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* err;  // in standard error
    const char* out;  // in standard output
  };
  const Case cases[] = {
      {{"check", "@/none.sqlite"}, 8, "store missing (0x80040A01)", ""},
      {{"repair", "@/text.txt"}, 8, "not a store (0x80040A02)", ""},
      {{"check", "@/locked.sqlite"}, 8, "store locked (0x80040A04) (try --wait SECONDS)", ""},
      {{"repair", "@/locked.sqlite", "--wait", "1"}, 8, "waiting up to 1 seconds", ""},
      {{"check", "@/ends.sqlite"},
       4,
       "",
       "P1299 pass ended early: getInteger failed with -2147218923 (0x80040A15)"},
      {{"repair", "@/ends.sqlite"}, 4, "", "P0601 unreferenced object 00000001-"},
      {{"check", "@/ends.sqlite", "--json"}, 4, "", "\"call\": \"getInteger\""},
      {{"check", "@/ends.sqlite", "--wait"}, 16, "--wait", ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    for (std::string a : c.args) args.push_back(a[0] == '@' ? dir + a.substr(1) : a);
    SCOPED_TRACE(args[0] + " " + args[1]);
    const ToolRun r = run(args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.err));
    EXPECT_THAT(r.out, HasSubstr(c.out));
  }
  // The repair saved what it repaired before the last pass ended.
  const ToolRun dump = run({"dump", file("ends.sqlite")});
  EXPECT_THAT(dump.out, Not(HasSubstr("00000001-0000-0000-0000-000000000000")));
  EXPECT_THAT(dump.out, HasSubstr("00000002-0000-0000-0000-000000000000"));
  EXPECT_EQ(holder.stop(SIGTERM), 0);
}
