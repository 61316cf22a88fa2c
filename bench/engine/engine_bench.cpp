// Store engine costs: loading and dumping a generated store, and the
// per-call costs the repair passes pay (openObject, getReference,
// getObjectList, a query with a condition and its enumeration).
//
// Short by default (a 100,000-object store). VDDB_BENCH_OBJECTS=1000000
// measures the million-object store of docs/store-engine.md.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "engine/catalog.h"
#include "engine/engine.h"
#include "store/model_ids.h"
#include "store/scoped_ref.h"

namespace {

using vddb::engine::StoreSession;
namespace model = vddb::model;

std::int64_t storeSize() {
  const char* configured = std::getenv("VDDB_BENCH_OBJECTS");
  return configured != nullptr ? std::atoll(configured) : 100000;
}

std::string guidText(std::uint32_t kind, std::uint32_t i) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4000-8000-%012x", (i * 2654435761U), kind, i);
  return text;
}
GUID guid(std::uint32_t kind, std::uint32_t i) { return *vddb::parseGuid(guidText(kind, i)); }

// Four objects per unit: a link record naming a target twice, the target,
// a companion listing the record and owning the target, and a named object.
void writeStore(const std::string& path, std::int64_t objects) {
  const auto cls = [](const GUID& g) { return "\", \"class\": \"" + vddb::formatGuid(g) + "\""; };
  const auto key = [](std::uint32_t id) {
    return "\"" + vddb::engine::formatAttributeId(id) + "\": ";
  };
  std::ofstream out(path, std::ios::binary);
  out << "{\"format\": \"vddb-store/1\", \"classes\": [], \"objects\": [\n";
  const auto units = static_cast<std::uint32_t>(objects / 4);
  for (std::uint32_t i = 0; i < units; ++i) {
    const std::string record = guidText(1, i);
    const std::string target = guidText(2, i);
    out << (i ? ",\n" : "") << "{\"guid\": \"" << record << cls(model::kLinkRecordClass)
        << ", \"values\": {" << key(model::kLinkRecordFirstObject) << '"' << target << "\", "
        << key(model::kLinkRecordSecondObject) << '"' << target << "\", "
        << key(model::kLinkRecordNumber) << i << "}},\n"
        << "{\"guid\": \"" << target << cls(model::kLinkTargetClass) << "},\n"
        << "{\"guid\": \"" << guidText(3, i) << cls(model::kTrelixCompanionClass)
        << ", \"values\": {" << key(model::kReferrerList) << "[\"" << record << "\"], "
        << key(model::kOwnedObjectList) << "[\"" << target << "\", \"" << record << "\", \""
        << guidText(4, i) << "\"]}},\n"
        << "{\"guid\": \"" << guidText(4, i) << cls(model::kNamedObjectClass) << ", \"values\": {"
        << key(model::kNamedObjectName) << "\"name-" << i << "\"}}";
  }
  out << "\n]}\n";
}

double peakRssMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // Linux reports kilobytes
}

struct Files {
  std::string dir;
  std::string json;
  std::string store;
  Files() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vddb-bench-XXXXXX").string();
    dir = ::mkdtemp(pattern.data()) != nullptr ? pattern : "/tmp";
    json = dir + "/store.json";
    store = dir + "/ddb.sqlite";
  }
  ~Files() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
};

Files& files() {
  static Files f;
  return f;
}

// The store the per-call benchmarks read, built once.
const std::string& loadedStore() {
  static const std::string path = [] {
    writeStore(files().json, storeSize());
    std::ifstream in(files().json, std::ios::binary);
    std::string error;
    if (vddb::engine::createStoreFromJson(in, files().store, true, &error) < 0) {
      std::fprintf(stderr, "load failed: %s\n", error.c_str());
      std::abort();
    }
    return files().store;
  }();
  return path;
}

void BM_LoadJsonFile(benchmark::State& state) {
  writeStore(files().json, state.range(0));
  const auto jsonBytes = std::filesystem::file_size(files().json);
  const std::string target = files().dir + "/load.sqlite";
  for (auto _ : state) {
    std::ifstream in(files().json, std::ios::binary);
    std::string error;
    if (vddb::engine::createStoreFromJson(in, target, true, &error) < 0) {
      state.SkipWithError(error.c_str());
      break;
    }
  }
  state.counters["objects"] = static_cast<double>(state.range(0));
  state.counters["json_MB"] = static_cast<double>(jsonBytes) / 1e6;
  state.counters["store_MB"] = static_cast<double>(std::filesystem::file_size(target)) / 1e6;
  state.counters["peak_rss_MB"] = peakRssMegabytes();
}

void BM_DumpJson(benchmark::State& state) {
  const std::string& path = loadedStore();
  const std::string out = files().dir + "/dump.json";
  for (auto _ : state) {
    std::unique_ptr<StoreSession> s;
    if (StoreSession::openReadOnly(path, s) < 0) {
      state.SkipWithError("open failed");
      break;
    }
    std::ofstream file(out, std::ios::binary);
    if (s->dumpJson(file, false) < 0) state.SkipWithError("dump failed");
  }
  state.counters["objects"] = static_cast<double>(storeSize());
  state.counters["peak_rss_MB"] = peakRssMegabytes();
}

// A write session on the loaded store, shared by the per-call benchmarks.
IkorrinStorage* session() {
  static std::unique_ptr<StoreSession> s = [] {
    std::unique_ptr<StoreSession> opened;
    if (StoreSession::open(loadedStore(), opened) < 0) std::abort();
    return opened;
  }();
  return s->storage();
}

std::uint32_t units() { return static_cast<std::uint32_t>(storeSize() / 4); }

void BM_OpenObject(benchmark::State& state) {
  IkorrinStorage* storage = session();
  std::mt19937 gen(1);
  for (auto _ : state) {
    tScopedRef<IStorageObject> o;
    benchmark::DoNotOptimize(storage->openObject(guid(1, gen() % units()), o.put()));
  }
}

void BM_GetReference(benchmark::State& state) {
  IkorrinStorage* storage = session();
  std::mt19937 gen(2);
  for (auto _ : state) {
    state.PauseTiming();
    tScopedRef<IStorageObject> record;
    storage->openObject(guid(1, gen() % units()), record.put());
    state.ResumeTiming();
    tScopedRef<IStorageObject> target;
    benchmark::DoNotOptimize(record->getReference(model::kLinkRecordFirstObject, target.put()));
  }
}

void BM_GetObjectList(benchmark::State& state) {
  IkorrinStorage* storage = session();
  std::mt19937 gen(3);
  for (auto _ : state) {
    state.PauseTiming();
    tScopedRef<IStorageObject> companion;
    storage->openObject(guid(3, gen() % units()), companion.put());
    state.ResumeTiming();
    std::uint32_t count = 0;
    companion->getObjectList(model::kOwnedObjectList, 0, nullptr, &count);
    IStorageObject* slots[3] = {};
    companion->getObjectList(model::kOwnedObjectList, count, slots, &count);
    for (std::uint32_t i = 0; i < count; ++i) slots[i]->Release();
  }
}

// The orphan sweep's match query: one string condition, one GUID asked for.
void BM_StringQueryAndEnumerate(benchmark::State& state) {
  IkorrinStorage* storage = session();
  std::mt19937 gen(4);
  for (auto _ : state) {
    const std::string name = "name-" + std::to_string(gen() % units());
    const std::u16string text(name.begin(), name.end());
    tScopedRef<IStorageQuery> q;
    storage->createQuery(model::kNamedObjectClass, 0, 0, q.put());
    tScopedRef<IStorageQueryEx> ex;
    q->QueryInterface(IID_IStorageQueryEx, ex.putVoid());
    ex->addStringCondition(model::kNamedObjectName, text.c_str());
    tScopedRef<IGuidEnumerator> e;
    storage->runQuery(q.get(), e.put());
    GUID g{};
    std::uint32_t got = 0;
    benchmark::DoNotOptimize(e->Next(1, &g, &got));
  }
}

// A whole class: what collectObjectsOfClass starts with.
void BM_ClassQueryAndEnumerate(benchmark::State& state) {
  IkorrinStorage* storage = session();
  std::uint64_t delivered = 0;
  for (auto _ : state) {
    tScopedRef<IStorageQuery> q;
    storage->createQuery(model::kLinkRecordClass, 1, 0, q.put());
    tScopedRef<IGuidEnumerator> e;
    storage->runQuery(q.get(), e.put());
    GUID batch[16];
    std::uint32_t got = 0;
    while (e->Next(16, batch, &got) == S_OK) delivered += got;
    delivered += got;
  }
  state.counters["objects_per_run"] = static_cast<double>(units());
  state.counters["objects/s"] =
      benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}

// A store whose classes form one base chain of N, loaded in memory: the
// catalog's check of the chains must stay linear in N.
void BM_LoadClassChain(benchmark::State& state) {
  const auto length = static_cast<std::uint32_t>(state.range(0));
  std::string json = "{\"classes\": [";
  for (std::uint32_t n = 0; n < length; ++n) {
    json += (n ? "," : "") + std::string("{\"guid\": \"") + guidText(9, n) + "\"";
    if (n > 0) json += ", \"base\": \"" + guidText(9, n - 1) + "\"";
    json += "}";
  }
  json += "], \"objects\": []}";
  for (auto _ : state) {
    std::unique_ptr<StoreSession> loaded;
    if (StoreSession::openFromJson(json, loaded) < 0) state.SkipWithError("load failed");
  }
  state.SetComplexityN(state.range(0));
}

BENCHMARK(BM_LoadClassChain)
    ->RangeMultiplier(2)
    ->Range(2500, 20000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();
BENCHMARK(BM_LoadJsonFile)->Arg(storeSize())->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DumpJson)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenObject);
BENCHMARK(BM_GetReference);
BENCHMARK(BM_GetObjectList);
BENCHMARK(BM_StringQueryAndEnumerate);
BENCHMARK(BM_ClassQueryAndEnumerate)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
