// The referrers of objects through single references, indexed in memory for
// IStorageReferrers (engine/referrers.h). The schema indexes reference values
// by (object, attribute) only, so without this "who refers to X" is a scan of
// every object of the class.
//
// Built per attribute on its first use, from one scan of the reference
// values. SQLite's update hook then reports every reference value written
// (so a value set later is found), and its rollback hook every rollback (which
// may bring back values the index never saw: the index is dropped and built
// again on the next use). Deletions need no report: every answer is checked
// against the current values, which also drops what has gone stale.
//
// Internal to the engine; one per connection (the storage root owns it).
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine/store.h"
#include "store/interfaces.h"

namespace vddb::engine {

class ReferenceIndex {
 public:
  explicit ReferenceIndex(std::shared_ptr<Store> store) noexcept : _store(std::move(store)) {}
  ~ReferenceIndex();
  ReferenceIndex(const ReferenceIndex&) = delete;
  ReferenceIndex& operator=(const ReferenceIndex&) = delete;

  // The objects of `classes` whose single reference `attr` refers to
  // `target`, ascending; none when `target` does not exist. The caller has
  // checked that `attr` is a single reference of the queried class. May
  // throw std::bad_alloc (the COM layer turns it into E_OUTOFMEMORY).
  HRESULT referrers(const std::vector<const ClassDef*>& classes, std::uint32_t attr,
                    const GUID& target, std::vector<GUID>& out);

 private:
  struct Key {
    std::uint32_t attr;
    GUID target;
    bool operator==(const Key& other) const noexcept {
      return attr == other.attr && target == other.target;
    }
  };
  struct KeyHash {
    std::size_t operator()(const Key& key) const noexcept {
      return GuidHash{}(key.target) ^ (std::size_t{key.attr} * 0x9E3779B97F4A7C15ULL);
    }
  };

  HRESULT hook();
  void unhook() noexcept;
  HRESULT build(std::uint32_t attr);
  // Adds the values reported written since the last call.
  HRESULT catchUp();
  bool covers(std::uint32_t attr) const noexcept;
  void drop() noexcept;

  static void onUpdate(void* self, int operation, const char* database, const char* table,
                       long long rowid) noexcept;
  static void onRollback(void* self) noexcept;

  std::shared_ptr<Store> _store;
  bool _hooked = false;
  // Set by the hooks, which may not touch the connection: the work is done
  // at the next lookup.
  bool _stale = false;
  std::vector<long long> _written;  // rowids of reference values written since
  std::vector<std::uint32_t> _attributes;
  std::unordered_map<Key, std::vector<GUID>, KeyHash> _referrers;
  std::size_t _entries = 0;
};

}  // namespace vddb::engine
