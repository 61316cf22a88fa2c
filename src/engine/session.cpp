#include <sqlite3.h>

#include <cstdlib>
#include <sstream>
#include <vector>

#include "engine/com_objects.h"
#include "engine/engine.h"
#include "engine/json_io.h"
#include "engine/store.h"
#include "platform/files.h"

namespace vddb::engine {
namespace {

// A write session's page cache may grow to 256 MB (a negative size counts
// KiB): a repair reads objects at random, and SQLite's default of 2 MB would
// send most of those reads of a large store back to the file. It fills only
// as far as the session reads.
constexpr char kWriteSessionCacheSize[] = "PRAGMA cache_size = -262144";

// A call that ran out of memory fails with E_OUTOFMEMORY; whatever it had
// opened is closed as its owners go.
template <class Call>
HRESULT guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

class Session final : public StoreSession {
 public:
  Session(std::shared_ptr<Store> store, IkorrinStorage* root) noexcept
      : _store(std::move(store)), _root(root) {}
  ~Session() override {
    _root->Release();
    _store->close();  // rolls back what was not committed, releases the lock
  }

  IkorrinStorage* storage() noexcept override { return _root; }
  void setChangeObserver(ChangeObserver* observer) noexcept override {
    _store->setChangeObserver(observer);
  }
  HRESULT commit() override { return _store->commit(); }
  HRESULT journal(std::vector<JournalSummary>& entries) override {
    return guarded([&] { return _store->readJournal(entries); });
  }
  HRESULT journalEntry(std::int64_t number, JournalEntry& entry, std::string* error) override {
    return guarded([&] { return _store->readJournalEntry(number, entry, error); });
  }
  HRESULT undo(std::int64_t number, std::int64_t& undone, std::vector<JournalConflict>& conflicts,
               std::string* error) override {
    return guarded([&] { return _store->undoJournalEntry(number, undone, conflicts, error); });
  }
  HRESULT pruneJournal(std::size_t keep, std::int64_t& dropped) override {
    return guarded([&] { return _store->pruneJournal(keep, dropped); });
  }
  HRESULT rollback() override { return _store->rollback(); }
  HRESULT dumpJson(std::string& json, std::string* error) override {
    try {
      std::ostringstream out;
      const HRESULT hr = writeJson(*_store, out, false, error);
      if (hr >= 0) json = std::move(out).str();
      return hr;
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT dumpJson(std::ostream& out, bool allClasses, std::string* error) override {
    return writeJson(*_store, out, allClasses, error);
  }
  HRESULT openingCheck(std::vector<std::string>& findings) const override {
    findings = _openingFindings;
    return _openingResult;
  }
  void setOpeningCheck(HRESULT result, std::vector<std::string> findings) noexcept {
    _openingResult = result;
    _openingFindings = std::move(findings);
  }
  HRESULT checkIntegrity(IntegrityCheck depth, std::vector<std::string>& findings) override {
    try {
      return _store->checkIntegrity(depth == IntegrityCheck::kFull, findings);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  std::shared_ptr<Store> _store;
  IkorrinStorage* _root;
  HRESULT _openingResult = S_OK;
  std::vector<std::string> _openingFindings;
};

HRESULT makeSession(std::shared_ptr<Store> store, std::unique_ptr<StoreSession>& session) {
  IkorrinStorage* root = createStorageRoot(store);
  if (root == nullptr) return E_OUTOFMEMORY;
  session.reset(new (std::nothrow) Session(std::move(store), root));
  if (!session) {
    root->Release();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

}  // namespace

std::string defaultStorePath() {
  const char* configured = std::getenv("VARKEL_DDB_PATH");
  if (configured != nullptr && configured[0] != '\0') return configured;
  return platform::defaultStoreFile();
}

HRESULT StoreSession::open(const std::string& path, std::unique_ptr<StoreSession>& session) {
  session.reset();
  return guarded([&] {
    std::shared_ptr<Store> store;
    const HRESULT hr = Store::openFile(path, Store::Mode::kWrite, store);
    if (hr < 0) return hr;
    // Damage that the session's calls would never read must still not be
    // saved over: what the check finds ends the session's writes at once, as
    // damage met later would (the store stays reachable, so a repair reports
    // it instead of waiting for a store that will not heal).
    // The check reads every page; with room for them in the cache, the
    // session's own reads of them come from memory afterwards, so the check
    // costs little more than a read of the file.
    sqlite3_exec(store->db(), kWriteSessionCacheSize, nullptr, nullptr, nullptr);
    std::vector<std::string> findings;
    HRESULT checked = E_OUTOFMEMORY;
    try {
      checked = store->checkIntegrity(false, findings);
    } catch (const std::bad_alloc&) {
      store->storageFault(E_OUTOFMEMORY);
    }
    const HRESULT made = makeSession(std::move(store), session);
    if (made >= 0) static_cast<Session&>(*session).setOpeningCheck(checked, std::move(findings));
    return made;
  });
}

HRESULT StoreSession::openReadOnly(const std::string& path,
                                   std::unique_ptr<StoreSession>& session) {
  session.reset();
  return guarded([&] {
    std::shared_ptr<Store> store;
    const HRESULT hr = Store::openFile(path, Store::Mode::kRead, store);
    if (hr < 0) return hr;
    return makeSession(std::move(store), session);
  });
}

HRESULT StoreSession::openFromJson(std::string_view json, std::unique_ptr<StoreSession>& session,
                                   std::string* error) {
  session.reset();
  return guarded([&] {
    std::shared_ptr<Store> store;
    HRESULT hr = Store::createNew("", store, error);
    if (hr < 0) return hr;
    hr = loadJson(*store, json, error);
    if (hr < 0) return hr;  // the store is dropped with everything in it
    hr = store->finishLoad(true, error);
    if (hr < 0) return hr;
    hr = store->begin();
    if (hr < 0) {
      if (error != nullptr) *error = std::string("cannot build the store: ") + resultName(hr);
      return hr;
    }
    return makeSession(std::move(store), session);
  });
}

namespace {

// `temp`: the new store's file, once there is one.
HRESULT createFromJson(std::istream& json, const std::string& path, bool replace, std::string& temp,
                       std::string* error) {
  const auto fail = [&](HRESULT hr, const std::string& text) {
    if (error != nullptr) *error = text;
    return hr;
  };
  // Only a store of this engine is ever replaced: whatever else is at the
  // path (a text file, a folder, a device) may be someone's and stays. The
  // old store's write lock is held until the new one takes its place, so
  // someone working on it keeps it.
  std::shared_ptr<Store> old;
  platform::PathInfo target;
  std::string why;
  if (!platform::inspectPath(path, false, target, &why)) return fail(kStorageIo, why);
  if (target.kind != platform::PathKind::kMissing) {
    if (!replace) return fail(kStoreExists, path + " exists (use --force to replace it)");
    static constexpr char kOnlyStores[] = "; --force replaces only a store of this engine";
    switch (target.kind) {
      case platform::PathKind::kFile:
        break;
      case platform::PathKind::kDirectory:
        return fail(kNotAStore, path + " is a folder" + kOnlyStores);
      case platform::PathKind::kLink:
        return fail(kNotAStore, path + " is a symbolic link" + kOnlyStores + ", not a link to one");
      default:
        return fail(kNotAStore, path + " is a device or another special file" + kOnlyStores);
    }
    const HRESULT hr = Store::openToReplace(path, old, &why);
    if (hr == kStoreLocked) return fail(kStoreLocked, path + " is locked by another process");
    if (hr == kStoreReadOnly) return fail(kStoreReadOnly, why + "; it is left as it is");
    if (hr == kNotAStore) {
      return fail(kNotAStore, path + " holds something other than a store" + kOnlyStores);
    }
    if (hr < 0) {
      return fail(kNotAStore,
                  path + " cannot be recognised as a store (" + why + ")" + kOnlyStores);
    }
  }

  if (!platform::createUniqueFile(path + ".loading-", temp, &why)) return fail(kStorageIo, why);

  std::shared_ptr<Store> store;
  HRESULT hr = Store::createNew(temp, store, error);
  if (hr >= 0) hr = loadJson(*store, json, error);
  if (hr >= 0) hr = store->finishLoad(true, error);
  if (store) store->close();
  // Where an open file cannot be replaced, the old store's lock is let go
  // just before the new one takes its place.
  if (!platform::canReplaceOpenFile()) old.reset();
  if (hr >= 0 && !platform::replaceFile(temp, path, &why)) hr = fail(kStorageIo, why);
  if (hr < 0) {
    platform::removeFile(temp);
    temp.clear();
    return hr;
  }
  temp.clear();  // in place now: from here on the load has succeeded
  guarded([&] {
    platform::syncFolderOf(path);
    return S_OK;
  });
  return S_OK;
}

}  // namespace

HRESULT createStoreFromJson(std::istream& json, const std::string& path, bool replace,
                            std::string* error) {
  std::string temp;
  const HRESULT hr = guarded([&] { return createFromJson(json, path, replace, temp, error); });
  if (hr == E_OUTOFMEMORY) {
    // A half-made file goes (the store that wrote it closed on the way out),
    // and the path is as it was.
    if (!temp.empty()) guarded([&] { return platform::removeFile(temp) ? S_OK : E_FAIL; });
    // Short enough for the string's own buffer: no allocation.
    if (error != nullptr && error->empty()) *error = "out of memory";
  }
  return hr;
}

std::size_t liveInterfaceCount() noexcept { return liveObjectCount(); }

const char* resultName(HRESULT result) noexcept {
  switch (result) {
    case S_OK:
      return "success";
    case kStoreMissing:
      return "store missing";
    case kNotAStore:
      return "not a store";
    case kStoreDamaged:
      return "store damaged";
    case kStoreLocked:
      return "store locked";
    case kStoreVersion:
      return "unsupported store version";
    case kStoreReadOnly:
      return "store read-only";
    case kStoreExists:
      return "store exists";
    case kStorageIo:
      return "storage I/O error";
    case kNoTransaction:
      return "no transaction";
    case kStoreClosed:
      return "store closed";
    case kBadAttribute:
      return "attribute not declared";
    case kTypeMismatch:
      return "attribute type mismatch";
    case kUnknownClass:
      return "unknown class";
    case kNoValue:
      return "no value";
    case kForeignObject:
      return "object of another store";
    case kBadJson:
      return "invalid JSON store";
    case kJournalEntryMissing:
      return "no such journal entry";
    case kUndoConflict:
      return "undo refused by a later change";
    case kStorageNotFound:
      return "object not found";
    case E_OUTOFMEMORY:
      return "out of memory";
    case E_POINTER:
      return "null pointer";
    case E_INVALIDARG:
      return "invalid argument";
    case E_NOINTERFACE:
      return "no such interface";
    default:
      return result < 0 ? "failure" : "success";
  }
}

}  // namespace vddb::engine
