// The owned-object walk over long chains and wide trees, on the real engine
// in memory. Time per object should stay flat as the store grows: the
// visited test is a hash index beside the collected list, and the explicit
// stack keeps a chain of any length off the thread's stack. For contrast,
// LinearScanWalk is the plain recursion with a linear visited scan.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "status/status_rules.h"
#include "store/guid_list.h"
#include "store/model_ids.h"
#include "store/object_list.h"
#include "store/readers.h"
#include "store/storage_walk.h"
#include "store/wrappers.h"

namespace {

constexpr const char* kNode = "c1000000-0000-4000-8000-000000000001";

std::string objectId(unsigned n) {
  char text[40];
  std::snprintf(text, sizeof text, "0b000000-0000-4000-8000-%012x", n);
  return text;
}

std::string header() {
  return std::string(R"({"format":"vddb-store/1","classes":[{"guid":")") + kNode +
         R"(","attributes":[{"id":"0x20C00010","type":"ref","owning":true},)"
         R"({"id":"0xEEC00012","type":"reflist","owning":true}]}],"objects":[)";
}

std::string object(unsigned n, const std::string& values) {
  return R"({"guid":")" + objectId(n) + R"(","class":")" + kNode + R"(","values":{)" + values +
         "}}";
}

// Object n owns object n + 1 through a single reference.
std::string chain(unsigned length) {
  std::string json = header();
  json.reserve(json.size() + std::size_t{length} * 150);
  for (unsigned n = 1; n <= length; ++n) {
    if (n > 1) json += ',';
    json += object(n, n < length ? R"("0x20C00010":")" + objectId(n + 1) + '"' : std::string());
  }
  return json + "]}";
}

// A tree of `count` objects in which every object owns up to 16 others
// through its reference list (object k owns 16k - 14 .. 16k + 1): wide and
// shallow, with many lists.
std::string tree(unsigned count) {
  std::string json = header();
  json.reserve(json.size() + std::size_t{count} * 200);
  for (unsigned k = 1; k <= count; ++k) {
    std::string list;
    for (unsigned c = 16 * (k - 1) + 2; c <= 16 * (k - 1) + 17 && c <= count; ++c) {
      list += (list.empty() ? R"("0xEEC00012":[")" : R"(,")") + objectId(c) + '"';
    }
    if (k > 1) json += ',';
    json += object(k, list.empty() ? list : list + "]");
  }
  return json + "]}";
}

// Object 1 owns objects 2 .. count through one reference list.
std::string flat(unsigned count) {
  std::string json = header();
  std::string list = R"("0xEEC00012":[)";
  for (unsigned n = 2; n <= count; ++n) {
    if (n > 2) list += ',';
    list += '"' + objectId(n) + '"';
  }
  json += object(1, list + "]");
  for (unsigned n = 2; n <= count; ++n) json += ',' + object(n, "");
  return json + "]}";
}

std::unique_ptr<vddb::engine::StoreSession> openStore(const std::string& json,
                                                      benchmark::State& state) {
  std::unique_ptr<vddb::engine::StoreSession> session;
  std::string error;
  if (vddb::engine::StoreSession::openFromJson(json, session, &error) != S_OK) {
    state.SkipWithError(("store not built: " + error).c_str());
  }
  return session;
}

tScopedRef<IStorageObject> start(vddb::engine::StoreSession& session) {
  std::int32_t code = 0;
  return vddb::store::openObject(session.storage(), *vddb::parseGuid(objectId(1)), code);
}

void walk(benchmark::State& state, const std::string& json) {
  const auto objects = static_cast<std::size_t>(state.range(0));
  auto session = openStore(json, state);
  if (!session) return;
  for (auto _ : state) {
    GuidList collected;
    vddb::store::collectOwnedObjects(start(*session), collected);
    if (collected.size() != objects) state.SkipWithError("walk collected the wrong number");
    benchmark::DoNotOptimize(collected.data());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void ChainWalk(benchmark::State& state) {
  walk(state, chain(static_cast<unsigned>(state.range(0))));
}
BENCHMARK(ChainWalk)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

void TreeWalk(benchmark::State& state) { walk(state, tree(static_cast<unsigned>(state.range(0)))); }
BENCHMARK(TreeWalk)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// One object owning all the others through a single list: the engine must
// not make reads next to one very large list value cost more (it once did).
void FlatListWalk(benchmark::State& state) {
  walk(state, flat(static_cast<unsigned>(state.range(0))));
}
BENCHMARK(FlatListWalk)->RangeMultiplier(10)->Range(1000, 100000)->Unit(benchmark::kMillisecond);

// Collects and deletes a chain; the store is rebuilt outside the timing.
void ChainDelete(benchmark::State& state) {
  const std::string json = chain(static_cast<unsigned>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    auto session = openStore(json, state);
    if (!session) return;
    auto object = start(*session);
    state.ResumeTiming();
    if (vddb::store::deleteWithOwned(session->storage(), object.get()) != S_OK) {
      state.SkipWithError("a deletion failed");
    }
    state.PauseTiming();
    object.reset();
    session.reset();
    state.ResumeTiming();
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ChainDelete)
    ->RangeMultiplier(10)
    ->Range(1000, 1000000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Complexity(benchmark::oN);

// The walk as a plain recursion with a linear visited scan, making the same
// store calls; on the tree (shallow, so the recursion itself is harmless) it
// is quadratic in the number of objects.
void linearScanWalk(tScopedRef<IStorageObject> object, GuidList& collected) {
  using namespace vddb::store;
  if (!object) return;
  std::int32_t code = 0;
  GUID guid{};
  callStore(code, [&] { return object->getObjectGuid(&guid); });
  if (collected.contains(guid)) return;
  collected.append(guid);
  tScopedRef<IStorageClass> level = getClass(object.get(), code);
  while (level && isGood(code)) {
    GUID levelGuid{};
    callStore(code, [&] { return level->getClassGuid(&levelGuid); });
    tScopedRef<IAttributeIdEnumerator> ids = enumAttributeIds(level.get(), code);
    std::uint32_t id = 0;
    std::uint32_t delivered = 0;
    while (ids && isGood(code) && ids->Next(1, &id, &delivered) == S_OK) {
      tScopedRef<IStorageAttribute> attribute = getAttribute(level.get(), id, code);
      std::uint32_t type = 0;
      std::uint32_t flag = 1;
      if (attribute) callStore(code, [&] { return attribute->getType(&type); });
      const bool excluded =
          levelGuid == vddb::model::kHardwareItemClass && id == vddb::model::kReferrerList;
      if (excluded) continue;
      if (type != kAttributeTypeReference && type != kAttributeTypeReferenceList) continue;
      if (attribute) callStore(code, [&] { return attribute->getFlag(&flag); });
      if (flag != 0) continue;
      if (type == kAttributeTypeReference) {
        linearScanWalk(getReference(object.get(), id, code), collected);
      } else {
        ObjectList owned = readObjectList(object.get(), id, code);
        for (IStorageObject* o : owned)
          linearScanWalk(tScopedRef<IStorageObject>::share(o), collected);
      }
    }
    if (!isGood(code)) break;
    level = getBaseClass(level.get(), code);
  }
}

void LinearScanWalk(benchmark::State& state) {
  auto session = openStore(tree(static_cast<unsigned>(state.range(0))), state);
  if (!session) return;
  for (auto _ : state) {
    GuidList collected;
    linearScanWalk(start(*session), collected);
    benchmark::DoNotOptimize(collected.data());
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(LinearScanWalk)
    ->RangeMultiplier(4)
    ->Range(1024, 65536)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNSquared);

}  // namespace

BENCHMARK_MAIN();
