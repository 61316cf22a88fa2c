// One object holding a reference list of n entries (1,000 to 100,000) and a
// text of the same size in bytes, owning n children that hold no values of
// their own, and 100 named objects. A call on any other object must cost the
// same whatever n is: the engine reads a value row only when that value
// itself is asked for. Reading the wide list itself, and walking and deleting
// the wide object with everything it owns, grow linearly in n.
//
// The children's keys sort right after the wide object's and have no value
// rows, so every lookup of a child's value ends next to the wide object's
// row: the layout that made these calls quadratic when the values lived in
// key-ordered tables. The store is in memory (openFromJson); the costs
// compared are SQLite B-tree lookups, which a file store pays the same way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/win32.h"
#include "store/scoped_ref.h"
#include "store/storage_walk.h"

namespace {

using vddb::engine::StoreSession;

constexpr const char* kClass = "c1000000-0000-4000-8000-0000000000a1";
constexpr std::uint32_t kOwned = 0xEEC00012;  // owning list: the wide object's children
constexpr std::uint32_t kPeers = 0xEEC00013;  // not owning: a named object's two references
constexpr std::uint32_t kNote = 0xB8C00014;   // text: long on the wide object, a name elsewhere
constexpr std::uint32_t kNamed = 100;
constexpr std::uint32_t kFirstNamed = 0x10000000;

// The wide object sorts first, its children right after it, the named
// objects last.
std::string objectId(std::uint32_t n) {
  char text[40];
  std::snprintf(text, sizeof text, "0b000000-0000-4000-8000-%012x", n);
  return text;
}
GUID guid(std::uint32_t n) { return *vddb::parseGuid(objectId(n)); }

// Without `wide`, object 1 holds nothing: the same objects, for comparison.
std::string wideStore(std::uint32_t children, bool wide) {
  std::string json = std::string(R"({"format":"vddb-store/1","classes":[{"guid":")") + kClass +
                     R"(","attributes":[{"id":"0xEEC00012","type":"reflist","owning":true},)"
                     R"({"id":"0xEEC00013","type":"reflist","owning":false},)"
                     R"({"id":"0xB8C00014","type":"string"}]}],"objects":[)";
  json.reserve(std::size_t{children} * 150 + 100);
  json += R"({"guid":")" + objectId(1) + R"(","class":")" + kClass + R"(","values":{)";
  if (wide) {
    json += R"("0xEEC00012":[)";
    for (std::uint32_t n = 2; n <= children + 1; ++n) {
      json += (n > 2 ? ",\"" : "\"") + objectId(n) + '"';
    }
    json += R"(],"0xB8C00014":")" + std::string(std::size_t{children} * 8, 'w') + '"';
  }
  json += "}}";
  for (std::uint32_t n = 2; n <= children + 1; ++n) {
    json += R"(,{"guid":")" + objectId(n) + R"(","class":")" + kClass + R"("})";
  }
  for (std::uint32_t k = 0; k < kNamed; ++k) {
    json += R"(,{"guid":")" + objectId(kFirstNamed + k) + R"(","class":")" + kClass +
            R"(","values":{"0xEEC00013":[")" + objectId(1) + R"(",")" + objectId(2 + k) +
            R"("],"0xB8C00014":"name-)" + std::to_string(k) + "\"}}";
  }
  return json + "]}";
}

std::unique_ptr<StoreSession> openStore(std::uint32_t children, benchmark::State& state,
                                        bool wide = true) {
  std::unique_ptr<StoreSession> session;
  std::string error;
  if (StoreSession::openFromJson(wideStore(children, wide), session, &error) != S_OK) {
    state.SkipWithError(("store not built: " + error).c_str());
  }
  return session;
}

std::uint32_t children(const benchmark::State& state) {
  return static_cast<std::uint32_t>(state.range(0));
}

// A random child, never the wide object.
std::uint32_t someChild(std::mt19937& gen, std::uint32_t count) { return 2 + gen() % count; }

void NeighbourOpenObject(benchmark::State& state) {
  auto session = openStore(children(state), state);
  if (!session) return;
  std::mt19937 gen(1);
  for (auto _ : state) {
    tScopedRef<IStorageObject> o;
    benchmark::DoNotOptimize(
        session->storage()->openObject(guid(someChild(gen, children(state))), o.put()));
  }
}

// Both calls of the two-call protocol on a child's list (it has none: the
// lookup finds no row, next to the wide object's).
void NeighbourGetObjectList(benchmark::State& state) {
  auto session = openStore(children(state), state);
  if (!session) return;
  std::mt19937 gen(2);
  for (auto _ : state) {
    state.PauseTiming();
    tScopedRef<IStorageObject> child;
    session->storage()->openObject(guid(someChild(gen, children(state))), child.put());
    state.ResumeTiming();
    std::uint32_t count = 0;
    child->getObjectList(kPeers, 0, nullptr, &count);
    IStorageObject* slots[2] = {};
    child->getObjectList(kPeers, 2, slots, &count);
    for (std::uint32_t i = 0; i < count && i < 2; ++i) slots[i]->Release();
    if (count != 0) state.SkipWithError("a child has a list");
  }
}

void NeighbourGetString(benchmark::State& state) {
  auto session = openStore(children(state), state);
  if (!session) return;
  std::mt19937 gen(3);
  for (auto _ : state) {
    state.PauseTiming();
    tScopedRef<IStorageObject> child;
    session->storage()->openObject(guid(someChild(gen, children(state))), child.put());
    state.ResumeTiming();
    char16_t* text = nullptr;
    benchmark::DoNotOptimize(child->getString(kNote, &text));
    CoTaskMemFree(text);
  }
}

// A query for a named object's text, as the orphan sweep makes them.
void NamedStringQuery(benchmark::State& state) {
  auto session = openStore(children(state), state);
  if (!session) return;
  IkorrinStorage* storage = session->storage();
  const GUID cls = *vddb::parseGuid(kClass);
  std::mt19937 gen(4);
  for (auto _ : state) {
    const std::string name = "name-" + std::to_string(gen() % kNamed);
    const std::u16string text(name.begin(), name.end());
    tScopedRef<IStorageQuery> q;
    storage->createQuery(cls, 0, 0, q.put());
    tScopedRef<IStorageQueryEx> ex;
    q->QueryInterface(IID_IStorageQueryEx, ex.putVoid());
    ex->addStringCondition(kNote, text.c_str());
    tScopedRef<IGuidEnumerator> e;
    storage->runQuery(q.get(), e.put());
    GUID g{};
    std::uint32_t got = 0;
    e->Next(1, &g, &got);
    if (got != 1) state.SkipWithError("the query found nothing");
  }
}

// Deletes children one by one, in random order, from the same store; with
// wide:0 object 1 holds no list and no text. The cost grows somewhat with
// the number of objects, equally with and without the wide values: in a
// larger store more of the pages a deletion changes are changed for the
// first time in the transaction (and copied to the journal then).
void NeighbourDeleteObject(benchmark::State& state) {
  auto session = openStore(children(state), state, state.range(1) != 0);
  if (!session) return;
  std::vector<std::uint32_t> order(children(state));
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i + 2;
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  std::size_t next = 0;
  for (auto _ : state) {
    if (session->storage()->deleteObject(guid(order[next++]), nullptr) != S_OK) {
      state.SkipWithError("a deletion failed");
    }
  }
}

// Reading the wide list itself: both calls, every entry opened and released.
void WideGetObjectList(benchmark::State& state) {
  auto session = openStore(children(state), state);
  if (!session) return;
  tScopedRef<IStorageObject> wide;
  session->storage()->openObject(guid(1), wide.put());
  std::vector<IStorageObject*> slots(children(state));
  for (auto _ : state) {
    std::uint32_t count = 0;
    wide->getObjectList(kOwned, 0, nullptr, &count);
    wide->getObjectList(kOwned, count, slots.data(), &count);
    for (std::uint32_t i = 0; i < count; ++i) slots[i]->Release();
    if (count != children(state)) state.SkipWithError("wrong entry count");
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Walks the wide object's ownership and deletes it with all its children;
// the store is rebuilt outside the timing.
void WideDeleteWithOwned(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    auto session = openStore(children(state), state);
    if (!session) return;
    tScopedRef<IStorageObject> wide;
    session->storage()->openObject(guid(1), wide.put());
    state.ResumeTiming();
    if (vddb::store::deleteWithOwned(session->storage(), wide.get()) != S_OK) {
      state.SkipWithError("a deletion failed");
    }
    state.PauseTiming();
    tScopedRef<IStorageObject> gone;
    if (session->storage()->openObject(guid(children(state) + 1), gone.put()) !=
        static_cast<HRESULT>(0x80040309)) {
      state.SkipWithError("a child survived");
    }
    wide.reset();
    session.reset();
    state.ResumeTiming();
  }
  state.SetComplexityN(state.range(0));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void sizes(benchmark::internal::Benchmark* b) { b->RangeMultiplier(10)->Range(1000, 100000); }

BENCHMARK(NeighbourOpenObject)->Apply(sizes);
BENCHMARK(NeighbourGetObjectList)->Apply(sizes);
BENCHMARK(NeighbourGetString)->Apply(sizes);
BENCHMARK(NamedStringQuery)->Apply(sizes);
// Fewer iterations than children, so every iteration deletes a live child.
BENCHMARK(NeighbourDeleteObject)
    ->ArgsProduct({{1000, 10000, 100000}, {1, 0}})
    ->ArgNames({"", "wide"})
    ->Iterations(500);
BENCHMARK(WideGetObjectList)
    ->Apply(sizes)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);
BENCHMARK(WideDeleteWithOwned)
    ->Apply(sizes)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
