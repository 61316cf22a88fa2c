// vddb: the companion tool for people who look after a store.
//
//   vddb load FILE.json DB [--force]   build a store from JSON
//   vddb dump DB [--all-classes] [--verify] [--wait S]
//                                      canonical JSON on standard output
//   vddb lock DB [--seconds N]         hold the write lock for a while
//   vddb check DB [--json] [--wait S]  what a repair would change, changing nothing
//   vddb repair DB [--json] [--wait S] [--until-clean]
//                                      the repair, with its report
//   vddb generate --objects N --seed S [--damage RATE] DB [--force]
//                                      build a generated store
//   vddb history DB [--json] [--prune KEEP]
//                                      the journal of committed changes
//   vddb show DB [N] [--json]          one entry: what it deleted and changed
//   vddb undo DB [N] [--wait S]        revert an entry (itself journalled)
//
// Messages go to standard error; every failure exits non-zero (8 for a
// store or file problem, including a store that dump --verify finds
// damaged, 16 for a usage mistake, as file-system checkers do; check and
// repair add 1 and 4). While standard error is a terminal, load, dump,
// generate, check and repair keep a progress line there. docs/vddb.md has
// the details.
#ifdef _WIN32
#include "platform/win32.h"
#else
#include <signal.h>
#include <time.h>
#endif

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "generate_command.h"
#include "journal_command.h"
#include "platform/terminal.h"
#include "progress.h"
#include "repair_command.h"

namespace {

using vddb::engine::StoreSession;
using vddb::tool::ProgressLine;

constexpr int kExitFailure = 8;
constexpr int kExitUsage = 16;

int report(const std::string& command, const std::string& message) {
  std::cerr << "vddb " << command << ": " << message << "\n";
  return kExitFailure;
}

std::string describe(HRESULT hr, const std::string& path) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return path + ": " + vddb::engine::resultName(hr) + " (" + code + ")";
}

int load(const std::string& jsonPath, const std::string& dbPath, bool force, bool progress) {
  std::ifstream file;
  std::istream* in = &std::cin;
  if (jsonPath != "-") {
    file.open(jsonPath, std::ios::binary);
    if (!file) return report("load", "cannot read " + jsonPath + ": " + std::strerror(errno));
    in = &file;
  }
  std::string error;
  HRESULT hr = S_OK;
  ProgressLine line(progress ? &std::cerr : nullptr);
  if (line.on()) {
    // How far the reading has come is how far the load has come; the size
    // of standard input is not known.
    std::error_code failed;
    const std::uintmax_t size = jsonPath == "-" ? 0 : std::filesystem::file_size(jsonPath, failed);
    vddb::tool::ProgressReadBuffer counted(*in->rdbuf(), failed ? 0 : size, "loading", line);
    std::istream countedIn(&counted);
    hr = vddb::engine::createStoreFromJson(countedIn, dbPath, force, &error);
    line.clear();
  } else {
    hr = vddb::engine::createStoreFromJson(*in, dbPath, force, &error);
  }
  if (hr < 0) {
    // What is wrong with the JSON is said with its file (a syntax error as
    // FILE:LINE:COLUMN); what is wrong with the store names the store.
    if (hr != vddb::engine::kBadJson) {
      return report("load", error.empty() ? describe(hr, dbPath) : error);
    }
    const std::string source = jsonPath == "-" ? std::string("standard input") : jsonPath;
    const bool placed = !error.empty() && std::isdigit(static_cast<unsigned char>(error[0]));
    return report("load", source + (placed ? ":" : ": ") + (error.empty() ? "malformed JSON" : error));
  }
  return 0;
}

// "dumping: 37%" on the progress line.
class DumpLine final : public vddb::engine::DumpProgress {
 public:
  explicit DumpLine(ProgressLine& line) : _line(line) {}
  void objectsWritten(std::uint64_t written, std::uint64_t total) noexcept override {
    try {
      if (_line.due()) {
        _line.draw("dumping: " + (total > 0 ? vddb::tool::percentOf(written, total)
                                            : vddb::tool::groupedCount(written) + " objects"));
      }
    } catch (const std::bad_alloc&) {
      // Only a display: the dump goes on without it.
    }
  }

 private:
  ProgressLine& _line;
};

int dump(const std::string& dbPath, bool allClasses, bool verify, unsigned waitSeconds,
         bool progress) {
  // A reader is shut out only while a writer saves (or, for a repair whose
  // changes outgrow its page cache, from the first spilled page until it
  // ends): wait for the store then, saying so once, rather than fail.
  std::unique_ptr<StoreSession> session;
  HRESULT hr = StoreSession::openReadOnly(dbPath, session);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  if (hr == vddb::engine::kStoreLocked && waitSeconds > 0) {
    std::cerr << "vddb dump: " << dbPath << ": another process is writing the store; waiting up to "
              << waitSeconds << " s for it" << std::endl;
    while (hr == vddb::engine::kStoreLocked && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      hr = StoreSession::openReadOnly(dbPath, session);
    }
  }
  if (hr < 0) return report("dump", describe(hr, dbPath));
  ProgressLine line(progress ? &std::cerr : nullptr);
  if (verify) {
    // The full check: every page, and every index against its table. A
    // plain dump reads only the tables and would miss a damaged index.
    line.draw("dumping: checking the store file");
    std::vector<std::string> findings;
    hr = session->checkIntegrity(StoreSession::IntegrityCheck::kFull, findings);
    line.clear();
    if (hr < 0) {
      report("dump", describe(hr, dbPath));
      for (const std::string& finding : findings) report("dump", dbPath + ": " + finding);
      return kExitFailure;
    }
  }
  std::string error;
  if (line.on()) {
    DumpLine dumpLine(line);
    hr = vddb::engine::dumpJsonWithProgress(*session, std::cout, allClasses, dumpLine, &error);
    line.clear();
  } else {
    hr = session->dumpJson(std::cout, allClasses, &error);
  }
  if (hr < 0) return report("dump", dbPath + ": " + (error.empty() ? describe(hr, dbPath) : error));
  return 0;
}

#ifdef _WIN32
// Console interrupts (Ctrl+C, Ctrl+Break, closing the window) end the wait
// through this event, so that the lock is released in order.
HANDLE gStopEvent = nullptr;

BOOL WINAPI onConsoleStop(DWORD /*event*/) {
  SetEvent(gStopEvent);
  return TRUE;
}

int lock(const std::string& dbPath, unsigned seconds) {
  gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&onConsoleStop, TRUE);

  std::unique_ptr<StoreSession> session;
  const HRESULT hr = StoreSession::open(dbPath, session);
  if (hr < 0) return report("lock", describe(hr, dbPath));
  std::cout << "locked " << dbPath << std::endl;

  const bool interrupted = WaitForSingleObject(gStopEvent, seconds * 1000U) == WAIT_OBJECT_0;
  session.reset();  // rolls back (nothing was changed) and releases the lock
  std::cout << "released " << dbPath << (interrupted ? " (interrupted)" : "") << std::endl;
  return 0;
}
#else
int lock(const std::string& dbPath, unsigned seconds) {
  // Taken as signals to wait for, so that an interrupt ends the wait and
  // the lock is released in order.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  std::unique_ptr<StoreSession> session;
  const HRESULT hr = StoreSession::open(dbPath, session);
  if (hr < 0) return report("lock", describe(hr, dbPath));
  std::cout << "locked " << dbPath << std::endl;

  timespec left{static_cast<time_t>(seconds), 0};
  siginfo_t info{};
  const int signal = sigtimedwait(&stop, &info, &left);
  session.reset();  // rolls back (nothing was changed) and releases the lock
  std::cout << "released " << dbPath << (signal > 0 ? " (interrupted)" : "") << std::endl;
  return 0;
}
#endif

// The --wait option of a command that may find the store busy: SECONDS from
// 0 (fail at once) to a day, the same for every such command.
void addWaitOption(CLI::App& command, unsigned& seconds, const std::string& description) {
  command.add_option("--wait", seconds, description)->check(CLI::Range(0u, 86400u));
}

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  CLI::App app{
      "vddb: load, dump, lock, check, repair and generate a Varkel device driver database store, "
      "and show and undo the changes in its journal",
      "vddb"};
  app.set_version_flag("--version", std::string("vddb ") + VDDB_VERSION);
  app.require_subcommand(1);

  std::string jsonPath;
  std::string dbPath;
  bool force = false;
  bool allClasses = false;
  bool verify = false;
  unsigned dumpWait = 60;
  unsigned seconds = 60;

  CLI::App* loadCmd = app.add_subcommand(
      "load",
      "Create the store DB from FILE.json (vddb-store/1). The store is built beside DB "
      "and renamed into place; a failed load leaves nothing.");
  loadCmd->add_option("FILE.json", jsonPath, "the JSON store, or - for standard input")->required();
  loadCmd->add_option("DB", dbPath, "the store file to create")->required();
  loadCmd->add_flag("-f,--force", force, "replace DB when it exists (not while it is locked)");

  CLI::App* dumpCmd =
      app.add_subcommand("dump",
                         "Write the store DB as canonical JSON to standard output. Reads the last "
                         "committed state without taking the write lock.");
  dumpCmd->add_option("DB", dbPath, "the store file")->required();
  dumpCmd->add_flag("--all-classes", allClasses,
                    "write the built-in classes too, not only those the store defines differently");
  dumpCmd->add_flag("--verify", verify,
                    "check the whole file first (SQLite's integrity check); a damaged store is "
                    "reported with what SQLite found and exits 8, without a dump");
  addWaitOption(*dumpCmd, dumpWait,
                "while another process is saving the store, wait up to SECONDS for it "
                "(default 60; 0 fails at once)");

  CLI::App* lockCmd = app.add_subcommand(
      "lock",
      "Hold the write lock of DB: prints \"locked DB\" once it has it, releases it after "
      "the given time or on SIGINT/SIGTERM, then prints \"released DB\".");
  lockCmd->add_option("DB", dbPath, "the store file")->required();
  lockCmd->add_option("-s,--seconds", seconds, "how long to hold the lock (default 60)")
      ->check(CLI::Range(0u, 86400u));

  vddb::tool::RepairCommand checkOptions;
  checkOptions.preview = true;
  CLI::App* checkCmd = app.add_subcommand(
      "check",
      "Run the twelve repair passes on DB in its transaction and report every change they "
      "would make, then revert: the file is left as it was. Exit 0: nothing to repair; 4: "
      "problems found; 8: the store could not be checked; 16: usage.");
  checkCmd->add_option("DB", checkOptions.store, "the store file")->required();
  checkCmd->add_flag("--json", checkOptions.json, "one JSON document (vddb-report/1)");
  addWaitOption(*checkCmd, checkOptions.waitSeconds,
                "wait up to SECONDS while another process holds the store");

  vddb::tool::RepairCommand repairOptions;
  CLI::App* repairCmd = app.add_subcommand(
      "repair",
      "Repair DB as vddb-repair does (same passes, same save-or-revert rule) and report every "
      "change. Exit 0: nothing to repair; 1: repaired and saved; 4: a pass ended early (what "
      "was repaired is saved); 8: nothing saved; 16: usage.");
  repairCmd->add_option("DB", repairOptions.store, "the store file")->required();
  repairCmd->add_flag("--json", repairOptions.json, "one JSON document (vddb-report/1)");
  addWaitOption(*repairCmd, repairOptions.waitSeconds,
                "wait up to SECONDS while another process holds the store");
  repairCmd->add_flag("--until-clean", repairOptions.untilClean,
                      "repeat the repair, each run its own transaction, until a run changes "
                      "nothing (at most 8 runs)");
  vddb::tool::GenerateArguments generate;
  CLI::App* generateCmd = app.add_subcommand(
      "generate",
      "Create the store DB with about N objects: saved chassis and connector blocks with their "
      "slots, devices with their accessories, link records, named objects and more. The same "
      "seed gives the same store; RATE is the share of items that carry damage the repair mends.");
  generateCmd->add_option("DB", generate.storePath, "the store file to create")->required();
  generateCmd->add_option("-n,--objects", generate.objects, "about how many objects")
      ->required()
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{100000000}));
  generateCmd->add_option("-s,--seed", generate.seed, "the seed of the random choices")->required();
  generateCmd->add_option("-d,--damage", generate.damageRate, "0..1 (default 0: no damage)")
      ->check(CLI::Range(0.0, 1.0));
  generateCmd->add_flag("-f,--force", generate.force,
                        "replace DB when it exists (not while it is locked)");

  vddb::tool::JournalCommand history;
  std::size_t keep = 0;
  CLI::App* historyCmd = app.add_subcommand(
      "history",
      "List the journal of DB: one line per committed change (number, time, the program and "
      "command that made it, objects deleted and created, values changed, problems reported).");
  historyCmd->add_option("DB", history.store, "the store file")->required();
  historyCmd->add_flag("--json", history.json, "one JSON document (vddb-history/1)");
  CLI::Option* pruneOption =
      historyCmd->add_option("--prune", keep, "drop all but the newest KEEP entries instead");
  addWaitOption(*historyCmd, history.waitSeconds,
                "with --prune: wait up to SECONDS while another process holds the store");

  vddb::tool::JournalCommand show;
  CLI::App* showCmd = app.add_subcommand(
      "show",
      "Show journal entry N of DB (default the latest): the objects it deleted or created as in "
      "the dump, the values it changed as before and after, and for a repair the problem records "
      "of its report beside the changes they explain.");
  showCmd->add_option("DB", show.store, "the store file")->required();
  showCmd->add_option("N", show.entry, "the entry's number")->check(CLI::PositiveNumber);
  showCmd->add_flag("--json", show.json, "one JSON document (vddb-entry/1)");

  vddb::tool::JournalCommand undo;
  CLI::App* undoCmd = app.add_subcommand(
      "undo",
      "Revert journal entry N of DB (default the latest) in one transaction, recorded as an "
      "entry of its own. Refused, changing nothing, when a later entry touched the same objects. "
      "Exit 0: done; 8: refused or failed; 16: usage.");
  undoCmd->add_option("DB", undo.store, "the store file")->required();
  undoCmd->add_option("N", undo.entry, "the entry's number")->check(CLI::PositiveNumber);
  addWaitOption(*undoCmd, undo.waitSeconds,
                "wait up to SECONDS while another process holds the store");

  // A word where the command goes that names none: say so and list them,
  // rather than CLI11's "a subcommand is required".
  std::string commands;
  bool known = false;
  for (const CLI::App* command : app.get_subcommands({})) {
    commands += (commands.empty() ? "" : ", ") + command->get_name();
    known = known || (argc > 1 && command->get_name() == argv[1]);
  }
  if (argc > 1 && argv[1][0] != '-' && !known) {
    std::cerr << "vddb: '" << argv[1] << "' is not a command; the commands are " << commands
              << " (vddb --help says more)\n";
    return kExitUsage;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  // The progress line is for a person at a terminal. A dump to the same
  // terminal would write its text over the line, so it keeps none then.
  const bool progress = vddb::platform::standardErrorIsTerminal();
  checkOptions.progress = progress;
  repairOptions.progress = progress;
  generate.progress = progress;
  // Memory running out where a command does not catch it itself ends the
  // command with a message instead of an abort; a session it had open rolls
  // back on the way out.
  try {
    if (loadCmd->parsed()) return load(jsonPath, dbPath, force, progress);
    if (dumpCmd->parsed()) {
      return dump(dbPath, allClasses, verify, dumpWait,
                  progress && !vddb::platform::standardOutputIsTerminal());
    }
    if (historyCmd->parsed()) {
      if (*pruneOption) history.prune = keep;
      return vddb::tool::runHistory(history, std::cout, std::cerr);
    }
    if (showCmd->parsed()) return vddb::tool::runShow(show, std::cout, std::cerr);
    if (undoCmd->parsed()) return vddb::tool::runUndo(undo, std::cout, std::cerr);
    if (lockCmd->parsed()) return lock(dbPath, seconds);
    if (checkCmd->parsed()) return vddb::tool::runRepairCommand(checkOptions, std::cout, std::cerr);
    if (repairCmd->parsed()) {
      vddb::engine::setJournalOrigin("vddb", "repair");
      return vddb::tool::runRepairCommand(repairOptions, std::cout, std::cerr);
    }
    if (generateCmd->parsed()) return vddb::tool::runGenerate(generate);
  } catch (const std::bad_alloc&) {
    std::cerr << "vddb: out of memory\n";
    return kExitFailure;
  }
  return kExitUsage;
}
