// The store engine: the store interfaces implemented on one SQLite database
// file per store. See docs/store-engine.md for the contract and the result
// codes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "store/interfaces.h"

namespace vddb::engine {

// The store file: $VARKEL_DDB_PATH, or the platform default.
std::string defaultStorePath();

// An open store with one write transaction. Everything done through
// storage() between open and commit/rollback is one transaction; the store
// file holds either the state before it or all of it.
class StoreSession {
 public:
  // Opens an existing store file and takes its write lock, waiting for the
  // lock well under a second. Fails with a negative code when the file is
  // missing, is not a store of this engine, is damaged, or another process
  // holds the lock; the file is not changed then.
  static HRESULT open(const std::string& path, std::unique_ptr<StoreSession>& session);

  // A store in memory, built from JSON text in the vddb-store/1 format. For
  // tests and previews. On malformed input returns a negative code and, when
  // `error` is given, a message naming the object and attribute.
  static HRESULT openFromJson(std::string_view json, std::unique_ptr<StoreSession>& session,
                              std::string* error = nullptr);

  virtual ~StoreSession() = default;  // rolls back what was not committed, releases the lock

  // The store's root interface, lent: valid while the session lives.
  virtual IkorrinStorage* storage() noexcept = 0;

  // Makes the changes permanent / discards them. Either ends the transaction;
  // further changes through storage() then fail.
  virtual HRESULT commit() = 0;
  virtual HRESULT rollback() = 0;

  // Canonical JSON (vddb-store/1) of the store as this session sees it.
  virtual HRESULT dumpJson(std::string& json, std::string* error = nullptr) = 0;
};

// Engine interface objects currently alive (storage, queries, enumerators,
// objects, classes, attributes). Tests end by checking it is 0.
std::size_t liveInterfaceCount() noexcept;

}  // namespace vddb::engine
