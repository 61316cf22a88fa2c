// The COM objects of the engine: the storage root, queries, enumerators,
// objects, class and attribute descriptors. Each holds the store it came
// from, so a reference kept past the end of its session stays safe to call
// (it fails with kStoreClosed).
#pragma once

#include <cstddef>
#include <memory>

#include "engine/store.h"
#include "store/interfaces.h"

namespace vddb::engine {

class Store;

// Creates the storage root of `store`, with one reference for the caller.
// Null when memory is short.
IkorrinStorage* createStorageRoot(std::shared_ptr<Store> store) noexcept;

// The store behind a storage root that createStorageRoot made; null for any
// other storage (a decorator, another engine).
std::shared_ptr<Store> storeOfRoot(IkorrinStorage* root) noexcept;

// Engine objects alive now (all kinds).
std::size_t liveObjectCount() noexcept;

}  // namespace vddb::engine
