// purgeDuplicateLinkRecords on the real engine in memory, up to 100,000 link
// records. Each record's first object and number are read once and the
// groups found through a hash index, so time per record should stay flat as
// the store grows. For contrast, PairwiseReads is the search that re-reads
// every later record for each record (reads only, no deletions).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/catalog.h"
#include "engine/engine.h"
#include "repair/passes.h"
#include "status/status_rules.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/wrappers.h"

namespace {

namespace model = vddb::model;

std::string objectId(unsigned kind, unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", kind, n);
  return text;
}

// `records` link records, all naming one second object. With `duplicates`,
// one record in ten shares its first object and number with the next one;
// otherwise every record has a first object of its own.
std::string store(unsigned records, bool duplicates) {
  const std::string linkRecord = vddb::formatGuid(model::kLinkRecordClass);
  const std::string linkTarget = vddb::formatGuid(model::kLinkTargetClass);
  const auto key = [](std::uint32_t id) {
    return '"' + vddb::engine::formatAttributeId(id) + "\":";
  };
  const std::string named = objectId(0x0c000000, 1);
  std::string json = R"({"format":"vddb-store/1","objects":[{"guid":")" + named + R"(","class":")" +
                     linkTarget + R"("})";
  json.reserve(std::size_t{records} * 300);
  for (unsigned i = 0; i < records; ++i) {
    const unsigned first = duplicates && i % 10 == 1 ? i - 1 : i;
    if (first == i) {
      json += R"(,{"guid":")" + objectId(0x0f000000, i) + R"(","class":")" + linkTarget + R"("})";
    }
    json += R"(,{"guid":")" + objectId(0x0a000000, i) + R"(","class":")" + linkRecord +
            R"(","values":{)" + key(model::kLinkRecordFirstObject) + '"' +
            objectId(0x0f000000, first) + R"(",)" + key(model::kLinkRecordSecondObject) + '"' +
            named + R"(",)" + key(model::kLinkRecordNumber) + "7}}";
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
    tScopedRef<IStorageObject> first =
        vddb::store::getReference(record, model::kLinkRecordFirstObject, code);
    if (first) vddb::store::callStore(code, [&] { return first->getObjectGuid(&guid); });
    vddb::store::callStore(code,
                           [&] { return record->getInteger(model::kLinkRecordNumber, &number); });
  };
  for (auto _ : state) {
    tStatus2 status;
    ObjectList list;
    vddb::store::collectObjectsOfClass(model::kLinkRecordClass, storage.get(), list, status);
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
