// purgeDuplicateLinkRecords on the real engine in memory, up to 100,000 link
// records. Each record's first object and number are read once and the
// groups found through a hash index, so time per record should stay flat as
// the store grows. For contrast, PairwiseReads is the search that re-reads
// every later record for each record (reads only, no deletions).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/wrappers.h"

namespace {

constexpr const char* kLinkRecord = "bd95268d-8af7-3ac4-9697-9fed9a8dc51f";
constexpr const char* kNamedObject = "c1b74069-2108-3d9c-6dbd-f106bc02ca2e";

std::string objectId(unsigned kind, unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", kind, n);
  return text;
}

// `records` link records, all naming one second object. With `duplicates`,
// one record in ten shares its first object and number with the next one;
// otherwise every record has a first object of its own.
std::string store(unsigned records, bool duplicates) {
  const std::string named = objectId(0x0c000000, 1);
  std::string json = R"({"format":"vddb-store/1","objects":[{"guid":")" + named + R"(","class":")" +
                     kNamedObject + R"("})";
  json.reserve(std::size_t{records} * 300);
  for (unsigned i = 0; i < records; ++i) {
    const unsigned first = duplicates && i % 10 == 1 ? i - 1 : i;
    if (first == i) {
      json += R"(,{"guid":")" + objectId(0x0f000000, i) + R"(","class":")" + kNamedObject + R"("})";
    }
    json += R"(,{"guid":")" + objectId(0x0a000000, i) + R"(","class":")" + kLinkRecord +
            R"(","values":{"0x20C003E8":")" + objectId(0x0f000000, first) + R"(","0x20C003E9":")" +
            named + R"(","0x58C003EA":7}})";
  }
  return json + "]}";
}

std::unique_ptr<vddb::engine::StoreSession> open(const std::string& json) {
  std::unique_ptr<vddb::engine::StoreSession> session;
  if (vddb::engine::StoreSession::openFromJson(json, session) < 0) return nullptr;
  return session;
}

void runPass(vddb::engine::StoreSession& session, benchmark::State& state) {
  tScopedRef<IkorrinStorage> storage = tScopedRef<IkorrinStorage>::share(session.storage());
  tStatus2 status;
  tUpgradeDowngradeMgr::purgeDuplicateLinkRecords(storage, status);
  if (status.code < 0) state.SkipWithError("the pass failed");
}

// One in ten records is a duplicate: each iteration needs a fresh store.
void DuplicateLinkRecords(benchmark::State& state) {
  const auto records = static_cast<unsigned>(state.range(0));
  const std::string json = store(records, true);
  for (auto _ : state) {
    state.PauseTiming();
    auto session = open(json);
    if (!session) {
      state.SkipWithError("store did not load");
      break;
    }
    state.ResumeTiming();
    runPass(*session, state);
    state.PauseTiming();
    session.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(DuplicateLinkRecords)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// No duplicates: the pass only reads, so one store serves every iteration.
void DistinctLinkRecords(benchmark::State& state) {
  const auto records = static_cast<unsigned>(state.range(0));
  auto session = open(store(records, false));
  if (!session) {
    state.SkipWithError("store did not load");
    return;
  }
  for (auto _ : state) runPass(*session, state);
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(DistinctLinkRecords)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// The pairwise search's reads: for each record, its own first object, GUID
// and number, then the same for every later record.
void PairwiseReads(benchmark::State& state) {
  const auto records = static_cast<unsigned>(state.range(0));
  auto session = open(store(records, false));
  if (!session) {
    state.SkipWithError("store did not load");
    return;
  }
  tScopedRef<IkorrinStorage> storage = tScopedRef<IkorrinStorage>::share(session->storage());
  const auto readKey = [](IStorageObject* record, GUID& guid, std::int32_t& number,
                          std::int32_t& code) {
    tScopedRef<IStorageObject> first = vddb::store::getReference(record, 0x20C003E8, code);
    if (first) vddb::store::callStore(code, [&] { return first->getObjectGuid(&guid); });
    vddb::store::callStore(code, [&] { return record->getInteger(0x58C003EA, &number); });
  };
  for (auto _ : state) {
    tStatus2 status;
    ObjectList list;
    vddb::store::collectObjectsOfClass(*vddb::parseGuid(kLinkRecord), storage.get(), list, status);
    std::size_t equal = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
      GUID a{};
      std::int32_t na = 0;
      readKey(list[i], a, na, status.code);
      for (std::size_t j = i + 1; j < list.size(); ++j) {
        GUID b{};
        std::int32_t nb = 0;
        readKey(list[j], b, nb, status.code);
        if (na == nb && a == b) ++equal;
      }
    }
    benchmark::DoNotOptimize(equal);
  }
  state.SetItemsProcessed(state.iterations() * records);
}
BENCHMARK(PairwiseReads)->Arg(250)->Arg(500)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
