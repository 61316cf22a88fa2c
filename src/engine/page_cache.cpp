#include <sqlite3.h>

#include <cinttypes>
#include <cstdio>

#include "engine/com_objects.h"
#include "engine/engine.h"
#include "engine/store.h"

namespace vddb::engine {

HRESULT setPageCacheLimit(StoreSession& session, std::uint64_t bytes) noexcept {
  const std::shared_ptr<Store> store = storeOfRoot(session.storage());
  if (!store) return E_INVALIDARG;
  if (!store->isOpen()) return kStoreClosed;
  // A negative cache_size counts KiB instead of pages.
  char pragma[64];
  std::snprintf(pragma, sizeof pragma, "PRAGMA cache_size = -%" PRIu64, bytes / 1024);
  return resultFromSqlite(sqlite3_exec(store->db(), pragma, nullptr, nullptr, nullptr));
}

}  // namespace vddb::engine
