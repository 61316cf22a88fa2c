#include "engine/reference_index.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>

namespace vddb::engine {

namespace {

// A single reference is stored as a list of one target.
constexpr std::size_t kOneTarget = 16;

// More written values than this (or than the index holds) between two
// lookups are not worth replaying: the index is built again instead.
constexpr std::size_t kWrittenReplayFloor = 4096;

}  // namespace

ReferenceIndex::~ReferenceIndex() { unhook(); }

HRESULT ReferenceIndex::hook() {
  if (_hooked) return S_OK;
  sqlite3* db = _store->db();
  // One index per connection: hooks set by anyone else are kept, and then
  // the index cannot know about writes.
  void* previous = sqlite3_update_hook(db, &ReferenceIndex::onUpdate, this);
  if (previous != nullptr) {
    sqlite3_update_hook(db, nullptr, nullptr);
    return E_FAIL;
  }
  sqlite3_rollback_hook(db, &ReferenceIndex::onRollback, this);
  _hooked = true;
  return S_OK;
}

void ReferenceIndex::unhook() noexcept {
  // A closed connection took its hooks with it.
  if (!_hooked || !_store->isOpen()) return;
  sqlite3_update_hook(_store->db(), nullptr, nullptr);
  sqlite3_rollback_hook(_store->db(), nullptr, nullptr);
  _hooked = false;
}

void ReferenceIndex::onUpdate(void* self, int operation, const char* database, const char* table,
                              long long rowid) noexcept {
  auto* index = static_cast<ReferenceIndex*>(self);
  // A deleted value adds no referrer; the answers are checked anyway.
  if (operation == SQLITE_DELETE || index->_stale) return;
  if (std::strcmp(table, "ref_values") != 0 || std::strcmp(database, "main") != 0) return;
  if (index->_written.size() >= std::max(kWrittenReplayFloor, index->_entries)) {
    index->_stale = true;
    return;
  }
  try {
    index->_written.push_back(rowid);
  } catch (const std::bad_alloc&) {
    index->_stale = true;
  }
}

void ReferenceIndex::onRollback(void* self) noexcept {
  static_cast<ReferenceIndex*>(self)->_stale = true;
}

bool ReferenceIndex::covers(std::uint32_t attr) const noexcept {
  return std::find(_attributes.begin(), _attributes.end(), attr) != _attributes.end();
}

void ReferenceIndex::drop() noexcept {
  _referrers.clear();
  _attributes.clear();
  _written.clear();
  _entries = 0;
  _stale = false;
}

HRESULT ReferenceIndex::build(std::uint32_t attr) {
  // length() of a blob is read from the record header: the long lists are
  // not loaded.
  Statement scan;
  int rc = scan.prepare(_store->db(),
                        "SELECT object, targets FROM ref_values WHERE attr = ?1 AND "
                        "length(targets) = 16");
  if (rc != SQLITE_OK) return _store->storageFailure(rc);
  StatementUse use(scan);
  use.bindInt(1, attr);
  while ((rc = use.step()) == SQLITE_ROW) {
    std::size_t size = 0;
    const unsigned char* targets = use.columnBlob(1, size);
    if (size != kOneTarget) continue;
    _referrers[Key{attr, guidFromKeyBytes(targets)}].push_back(use.columnGuid(0));
    ++_entries;
  }
  if (rc != SQLITE_DONE) {
    drop();  // a part of the attribute's entries: built again next time
    return _store->storageFailure(rc);
  }
  _attributes.push_back(attr);
  return S_OK;
}

HRESULT ReferenceIndex::catchUp() {
  if (_written.empty()) return S_OK;
  Statement row;
  int rc =
      row.prepare(_store->db(), "SELECT object, attr, targets FROM ref_values WHERE rowid = ?1");
  if (rc != SQLITE_OK) return _store->storageFailure(rc);
  for (const long long rowid : _written) {
    StatementUse use(row);
    use.bindInt(1, rowid);
    rc = use.step();
    if (rc == SQLITE_DONE) continue;  // written, then deleted
    if (rc != SQLITE_ROW) {
      drop();
      return _store->storageFailure(rc);
    }
    const auto attr = static_cast<std::uint32_t>(use.columnInt(1));
    std::size_t size = 0;
    const unsigned char* targets = use.columnBlob(2, size);
    if (size != kOneTarget || !covers(attr)) continue;
    _referrers[Key{attr, guidFromKeyBytes(targets)}].push_back(use.columnGuid(0));
    ++_entries;
  }
  _written.clear();
  return S_OK;
}

HRESULT ReferenceIndex::referrers(const std::vector<const ClassDef*>& classes, std::uint32_t attr,
                                  const GUID& target, std::vector<GUID>& out) {
  out.clear();
  if (!_store->isOpen()) return kStoreClosed;
  if (_stale) drop();
  HRESULT hr = hook();
  if (hr < 0) return hr;
  if (!covers(attr)) {
    hr = build(attr);
    if (hr < 0) {
      drop();
      return hr;
    }
  }
  hr = catchUp();
  if (hr < 0) {
    drop();
    return hr;
  }

  const ClassDef* targetClass = nullptr;
  hr = _store->objectClass(target, targetClass);
  if (hr == kStorageNotFound) return S_OK;  // references to it dangle
  if (hr < 0) return hr;
  const auto found = _referrers.find(Key{attr, target});
  if (found == _referrers.end()) return S_OK;

  // Checked against the current values; what no longer refers to the target
  // (deleted, or set to another object) leaves the index for good.
  std::vector<GUID>& candidates = found->second;
  const std::size_t held = candidates.size();
  std::sort(candidates.begin(), candidates.end(), GuidLess{});
  candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
  std::vector<GUID> kept;
  std::vector<GUID> value;
  for (const GUID& candidate : candidates) {
    const ClassDef* cls = nullptr;
    hr = _store->objectClass(candidate, cls);
    if (hr == kStorageNotFound) continue;
    if (hr < 0) return hr;
    hr = _store->readReferences(candidate, attr, value);
    if (hr < 0) return hr;
    if (value.size() != 1 || !(value.front() == target)) continue;
    kept.push_back(candidate);
    const AttributeDef* def = Catalog::resolve(cls, attr);
    if (def == nullptr || def->type != kAttributeTypeReference) continue;
    if (std::find(classes.begin(), classes.end(), cls) != classes.end()) out.push_back(candidate);
  }
  _entries -= held - kept.size();
  if (kept.empty()) {
    _referrers.erase(found);
  } else {
    candidates.swap(kept);
  }
  return S_OK;
}

}  // namespace vddb::engine
