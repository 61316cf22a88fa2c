#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include "platform/win32.h"
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "engine/com_objects.h"
#include "engine/engine.h"
#include "engine/json_io.h"
#include "engine/store.h"

namespace vddb::engine {
namespace {

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
  HRESULT checkIntegrity(std::string& findings) override {
    return _store->checkIntegrity(findings);
  }
  HRESULT commit() override { return _store->commit(); }
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

 private:
  std::shared_ptr<Store> _store;
  IkorrinStorage* _root;
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

bool fileExists(const std::string& path) {
  struct stat info {};
#ifdef _WIN32
  return ::stat(path.c_str(), &info) == 0;  // no symbolic links to tell apart
#else
  return ::lstat(path.c_str(), &info) == 0;
#endif
}

// Puts the new store in place of `to`. Windows' rename does not replace an
// existing file; MoveFileEx does, and write-through makes it durable.
bool replaceFile(const std::string& from, const std::string& to) {
#ifdef _WIN32
  return ::MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
  return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

// Makes a rename durable: the directory entry must reach the disk too.
void syncDirectoryOf(const std::string& path) {
#ifdef _WIN32
  (void)path;  // MOVEFILE_WRITE_THROUGH already waited for it
#else
  const std::size_t slash = path.find_last_of('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
#endif
}

}  // namespace

std::string defaultStorePath() {
  const char* configured = std::getenv("VARKEL_DDB_PATH");
  if (configured != nullptr && configured[0] != '\0') return configured;
#ifdef _WIN32
  const char* programData = std::getenv("ProgramData");
  return std::string(programData != nullptr ? programData : "C:\\ProgramData") +
         "\\Varkel\\ddb.sqlite";
#else
  return "/var/lib/varkel/ddb.sqlite";
#endif
}

HRESULT StoreSession::open(const std::string& path, std::unique_ptr<StoreSession>& session) {
  session.reset();
  std::shared_ptr<Store> store;
  const HRESULT hr = Store::openFile(path, Store::Mode::kWrite, store);
  if (hr < 0) return hr;
  return makeSession(std::move(store), session);
}

HRESULT StoreSession::openReadOnly(const std::string& path,
                                   std::unique_ptr<StoreSession>& session) {
  session.reset();
  std::shared_ptr<Store> store;
  const HRESULT hr = Store::openFile(path, Store::Mode::kRead, store);
  if (hr < 0) return hr;
  return makeSession(std::move(store), session);
}

HRESULT StoreSession::openFromJson(std::string_view json, std::unique_ptr<StoreSession>& session,
                                   std::string* error) {
  session.reset();
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
}

HRESULT createStoreFromJson(std::istream& json, const std::string& path, bool replace,
                            std::string* error) {
  const auto fail = [&](HRESULT hr, const std::string& text) {
    if (error != nullptr) *error = text;
    return hr;
  };
  // Someone working on the store we would replace keeps it.
  std::shared_ptr<Store> old;
  if (fileExists(path)) {
    if (!replace) return fail(kStoreExists, path + " exists (use --force to replace it)");
    if (Store::openFile(path, Store::Mode::kWrite, old) == kStoreLocked) {
      return fail(kStoreLocked, path + " is locked by another process");
    }
  }

  std::string temp = path + ".loading-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return fail(kStorageIo, "cannot create a file beside " + path);
#ifndef _WIN32
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
#endif
  ::close(fd);

  std::shared_ptr<Store> store;
  HRESULT hr = Store::createNew(temp, store, error);
  if (hr >= 0) hr = loadJson(*store, json, error);
  if (hr >= 0) hr = store->finishLoad(true, error);
  if (store) store->close();
#ifdef _WIN32
  // Windows cannot replace a file that is open: the old store's lock is let
  // go just before the new one takes its place.
  if (old) old.reset();
#endif
  if (hr >= 0 && !replaceFile(temp, path)) {
    hr = fail(kStorageIo, "cannot rename the new store to " + path);
  }
  if (hr < 0) {
    std::remove(temp.c_str());
    return hr;
  }
  syncDirectoryOf(path);
  return S_OK;
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
