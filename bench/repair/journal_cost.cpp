// What the journal costs a repair: generates a store with every kind of
// damage the passes mend, then repairs fresh copies of it in turn with the
// journal and without, as vddb-repair does (open, twelve passes, save), and
// prints the median wall and CPU time of each and their ratio; then the
// size of the journal entry beside the size of the rows of the objects the
// repair deleted.
//
//   vddb_journal_cost [OBJECTS [DAMAGE [ROUNDS]]]   (100000 0.05 5)
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/repair_transaction.h"
#include "engine/engine.h"
#include "generate/generate_store.h"
#include "repair/pass_sequence.h"
#include "status/status_rules.h"
#include "store/guid.h"

#ifdef _WIN32
#include "platform/win32.h"
#define setenv(name, value, overwrite) _putenv_s(name, value)
#endif

namespace fs = std::filesystem;

namespace {

struct Times {
  double wall = 0, cpu = 0;
};

Times repairCopy(const fs::path& original, const fs::path& work, bool journal) {
  fs::copy_file(original, work, fs::copy_options::overwrite_existing);
  setenv("VARKEL_DDB_PATH", work.string().c_str(), 1);
  vddb::engine::setJournalling(journal);
  const auto wall = std::chrono::steady_clock::now();
  const std::clock_t cpu = std::clock();
  bool reached = false;
  tStatus2 status;
  tUpgradeDowngradeMgr::resetRepairPassesRunOnce();  // the passes run once per process otherwise
  vddb::app::runRepairTransaction(reached, status);
  Times t;
  t.cpu = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
  t.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  if (!reached || !isGood(status)) std::fprintf(stderr, "the repair failed: %d\n", status.code);
  return t;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The bytes of `object`'s rows and of their index entries in the store.
std::int64_t rowBytes(sqlite3* db, const GUID& object, bool withIndexes) {
  static const char* const kRows[] = {
      "SELECT count(*), coalesce(sum(length(guid) + length(class)), 0) FROM objects WHERE guid = ?1",
      "SELECT count(*), coalesce(sum(length(object) + 16), 0) FROM int_values WHERE object = ?1",
      "SELECT count(*), coalesce(sum(length(object) + 16 + length(value)), 0) FROM string_values"
      " WHERE object = ?1",
      "SELECT count(*), coalesce(sum(length(object) + 8 + length(targets)), 0) FROM ref_values"
      " WHERE object = ?1"};
  // An index entry: the key's columns and the row's key (16 to 32 bytes).
  static const std::int64_t kIndexEntry[] = {32, 32, 64, 32};
  unsigned char key[16];
  vddb::guidToKeyBytes(object, key);
  std::int64_t bytes = 0;
  for (int t = 0; t < 4; ++t) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, kRows[t], -1, &st, nullptr);
    sqlite3_bind_blob(st, 1, key, 16, SQLITE_STATIC);
    if (sqlite3_step(st) == SQLITE_ROW) {
      bytes += sqlite3_column_int64(st, 1);
      if (withIndexes) bytes += sqlite3_column_int64(st, 0) * kIndexEntry[t];
    }
    sqlite3_finalize(st);
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t objects = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100000;
  const double damage = argc > 2 ? std::strtod(argv[2], nullptr) : 0.05;
  const int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
  const fs::path dir = fs::temp_directory_path() / "vddb-journal-cost";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path original = dir / "store.sqlite";
  const fs::path work = dir / "work.sqlite";
  std::string error;
  if (vddb::generate::generateStoreFile({objects, 1, damage}, original.string(), true, &error) < 0) {
    std::fprintf(stderr, "cannot generate the store: %s\n", error.c_str());
    return 1;
  }
  std::vector<double> wall[2], cpu[2];
  for (int r = 0; r < rounds; ++r) {
    for (const bool journal : {false, true}) {  // interleaved: drift hits both alike
      const Times t = repairCopy(original, work, journal);
      wall[journal].push_back(t.wall);
      cpu[journal].push_back(t.cpu);
    }
  }
  std::printf("%llu objects, damage %.2f, median of %d: seconds wall (cpu)\n",
              static_cast<unsigned long long>(objects), damage, rounds);
  std::printf("  repair without the journal  %7.3f (%7.3f)\n", median(wall[0]), median(cpu[0]));
  std::printf("  repair with the journal     %7.3f (%7.3f)\n", median(wall[1]), median(cpu[1]));
  std::printf("  journal's share             %+6.1f%% (%+6.1f%%)\n",
              100 * (median(wall[1]) / median(wall[0]) - 1),
              100 * (median(cpu[1]) / median(cpu[0]) - 1));

  // The last copy was repaired with the journal: its entry, against the
  // rows of the objects it deleted as the store held them before.
  std::unique_ptr<vddb::engine::StoreSession> session;
  vddb::engine::JournalEntry entry;
  if (vddb::engine::StoreSession::openReadOnly(work.string(), session) < 0 ||
      session->journalEntry(0, entry) < 0) {
    std::fprintf(stderr, "cannot read the journal entry\n");
    return 1;
  }
  sqlite3* db = nullptr;
  sqlite3_open_v2(original.string().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  std::int64_t rows = 0, rowsAndIndexes = 0;
  for (const auto& object : entry.deleted) {
    rows += rowBytes(db, object.guid, false);
    rowsAndIndexes += rowBytes(db, object.guid, true);
  }
  sqlite3_close(db);
  std::printf("  entry: %lld objects deleted, %lld values changed, %lld bytes\n",
              static_cast<long long>(entry.summary.deleted),
              static_cast<long long>(entry.summary.changed),
              static_cast<long long>(entry.summary.bytes));
  std::printf("  the deleted objects' rows: %lld bytes of values, %lld with their index entries\n",
              static_cast<long long>(rows), static_cast<long long>(rowsAndIndexes));
  fs::remove_all(dir);
  return 0;
}
