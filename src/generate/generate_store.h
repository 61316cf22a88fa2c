// Generated stores: realistic stores of any size, healthy or carrying the
// kinds of damage the repair passes mend, for tests, benchmarks and the
// `vddb generate` command. docs/vddb.md describes what a store holds.
//
// A store is a function of its recipe: the same recipe gives the same JSON
// text byte for byte, and so the same store and the same dump. Object GUIDs
// are random (version 4), as in a real store, so the objects of every class
// are spread over the whole GUID order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>

#include "engine/engine.h"

namespace vddb::generate {

struct StoreRecipe {
  // About this many objects: items are added until the count is reached, so
  // the last one may go a few objects over.
  std::uint64_t objects = 0;
  std::uint64_t seed = 0;
  // 0..1: the share of items (a chassis with its slots and companion, a
  // device with its accessories, a group of link records, ...) that carry
  // one kind of damage. With 0 the repair finds nothing to do.
  double damageRate = 0.0;
};

inline constexpr std::size_t kRepairPassCount = 12;

// What a generated store holds.
struct StoreSummary {
  std::uint64_t objects = 0;
  std::uint64_t items = 0;
  // Per repair pass (index 0: pass 1), the items damaged for that pass.
  std::array<std::uint64_t, kRepairPassCount> damagedForPass{};
};

// E_INVALIDARG for a recipe out of range (damage rate outside 0..1).
HRESULT checkRecipe(const StoreRecipe& recipe) noexcept;

// The store as vddb-store/1 JSON, written to `out` as it is produced (memory
// stays flat). E_FAIL when `out` fails.
HRESULT writeStoreJson(const StoreRecipe& recipe, std::ostream& out,
                       StoreSummary* summary = nullptr) noexcept;

// The same text in a string.
HRESULT generateStoreJson(const StoreRecipe& recipe, std::string& json,
                          StoreSummary* summary = nullptr) noexcept;

// The store in memory, with its write transaction open, as
// engine::StoreSession::openFromJson gives it.
HRESULT generateStore(const StoreRecipe& recipe, std::unique_ptr<engine::StoreSession>& session,
                      StoreSummary* summary = nullptr) noexcept;

// Told how far the generation of a store file has come, each time the load
// asks for more text. A progress display only watches.
class GenerateProgress {
 public:
  // `objects` are generated; `all`: that is all of them, and the load now
  // builds the store.
  virtual void objectsGenerated(std::uint64_t objects, bool all) noexcept = 0;

 protected:
  ~GenerateProgress() = default;
};

// The store file `path`, built as engine::createStoreFromJson builds one
// (beside `path`, renamed into place): an existing file is refused with
// kStoreExists unless `replace` is set. The JSON text is streamed into the
// load and never held whole.
HRESULT generateStoreFile(const StoreRecipe& recipe, const std::string& path, bool replace,
                          std::string* error = nullptr, StoreSummary* summary = nullptr,
                          GenerateProgress* progress = nullptr) noexcept;

}  // namespace vddb::generate
