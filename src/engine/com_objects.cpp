#include "engine/com_objects.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/reference_index.h"
#include "engine/referrers.h"
#include "platform/win32.h"
#include "store/scoped_ref.h"

namespace vddb::engine {
namespace {

std::atomic<std::size_t> gLiveObjects{0};

// Answered only by the engine's own queries: lets runQuery find its query
// behind any wrapper that forwards QueryInterface.
constexpr IID kIidEngineQuery = vddb::guidLiteral("5b7d0c3e-9f61-4e28-b1a4-0d8e6c2f9a31");

// Every COM entry point turns a C++ exception into a result: nothing may
// cross the interface.
template <class F>
HRESULT guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// A failing call is told to the session's change observer by name, so that
// a report can say which call ended a pass.
template <class F>
HRESULT reportFailure(const std::shared_ptr<Store>& store, const char* call, F&& body) noexcept {
  const HRESULT hr = body();
  if (hr < 0) {
    if (ChangeObserver* observer = store->changeObserver()) observer->callFailed(call, hr);
  }
  return hr;
}

class LiveCounted {
 protected:
  LiveCounted() noexcept { gLiveObjects.fetch_add(1, std::memory_order_relaxed); }
  ~LiveCounted() { gLiveObjects.fetch_sub(1, std::memory_order_relaxed); }
  std::atomic<ULONG> _refs{1};
};

#define VDDB_ENGINE_REFCOUNT                               \
  ULONG VDDB_STDCALL AddRef() override { return ++_refs; } \
  ULONG VDDB_STDCALL Release() override {                  \
    const ULONG left = --_refs;                            \
    if (left == 0) delete this;                            \
    return left;                                           \
  }

template <class T>
HRESULT handOut(T* created, T** out) noexcept {
  *out = created;
  return created != nullptr ? S_OK : E_OUTOFMEMORY;
}

// --- Descriptors -----------------------------------------------------------

class EngineAttribute final : public IStorageAttribute, LiveCounted {
 public:
  EngineAttribute(std::shared_ptr<Store> store, const AttributeDef& def) noexcept
      : _store(std::move(store)), _def(def) {}
  VDDB_ENGINE_REFCOUNT

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IStorageAttribute)) return E_NOINTERFACE;
    *object = static_cast<IStorageAttribute*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT VDDB_STDCALL getType(std::uint32_t* type) override {
    if (type == nullptr) return E_POINTER;
    if (!_store->isOpen()) return kStoreClosed;
    *type = _def.type;
    return S_OK;
  }
  HRESULT VDDB_STDCALL getFlag(std::uint32_t* flag) override {
    if (flag == nullptr) return E_POINTER;
    if (!_store->isOpen()) return kStoreClosed;
    *flag = _def.owning ? 0 : 1;
    return S_OK;
  }

 private:
  ~EngineAttribute() = default;
  std::shared_ptr<Store> _store;
  AttributeDef _def;
};

class EngineIdEnumerator final : public IAttributeIdEnumerator, LiveCounted {
 public:
  EngineIdEnumerator(std::shared_ptr<Store> store, std::vector<std::uint32_t> ids) noexcept
      : _store(std::move(store)), _ids(std::move(ids)) {}
  VDDB_ENGINE_REFCOUNT

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IAttributeIdEnumerator)) return E_NOINTERFACE;
    *object = static_cast<IAttributeIdEnumerator*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT VDDB_STDCALL Next(std::uint32_t count, std::uint32_t* ids,
                            std::uint32_t* delivered) override {
    if (delivered != nullptr) *delivered = 0;
    if (count > 0 && ids == nullptr) return E_POINTER;
    if (count > 1 && delivered == nullptr) return E_POINTER;
    const std::size_t n = std::min<std::size_t>(count, _ids.size() - _next);
    std::copy_n(_ids.begin() + static_cast<std::ptrdiff_t>(_next), n, ids);
    _next += n;
    if (delivered != nullptr) *delivered = static_cast<std::uint32_t>(n);
    return n == count ? S_OK : S_FALSE;
  }

 private:
  ~EngineIdEnumerator() = default;
  std::shared_ptr<Store> _store;
  std::vector<std::uint32_t> _ids;
  std::size_t _next = 0;
};

class EngineClass final : public IStorageClass, LiveCounted {
 public:
  EngineClass(std::shared_ptr<Store> store, const ClassDef* cls) noexcept
      : _store(std::move(store)), _cls(cls) {}
  VDDB_ENGINE_REFCOUNT

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IStorageClass)) return E_NOINTERFACE;
    *object = static_cast<IStorageClass*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT VDDB_STDCALL getClassGuid(GUID* guid) override {
    if (guid == nullptr) return E_POINTER;
    if (!_store->isOpen()) return kStoreClosed;
    *guid = _cls->guid;
    return S_OK;
  }
  HRESULT VDDB_STDCALL getBaseClass(IStorageClass** baseClass) override {
    if (baseClass == nullptr) return E_POINTER;
    *baseClass = nullptr;
    if (!_store->isOpen()) return kStoreClosed;
    if (_cls->baseDef == nullptr) return S_OK;
    return handOut<IStorageClass>(new (std::nothrow) EngineClass(_store, _cls->baseDef), baseClass);
  }
  HRESULT VDDB_STDCALL getAttribute(std::uint32_t attributeId,
                                    IStorageAttribute** attribute) override {
    if (attribute == nullptr) return E_POINTER;
    *attribute = nullptr;
    if (!_store->isOpen()) return kStoreClosed;
    const AttributeDef* def = _cls->ownAttribute(attributeId);
    if (def == nullptr) return kBadAttribute;
    return handOut<IStorageAttribute>(new (std::nothrow) EngineAttribute(_store, *def), attribute);
  }
  HRESULT VDDB_STDCALL enumAttributeIds(IAttributeIdEnumerator** enumerator) override {
    if (enumerator == nullptr) return E_POINTER;
    *enumerator = nullptr;
    if (!_store->isOpen()) return kStoreClosed;
    return guarded([&] {
      std::vector<std::uint32_t> ids;
      ids.reserve(_cls->attributes.size());
      for (const AttributeDef& a : _cls->attributes) ids.push_back(a.id);
      return handOut<IAttributeIdEnumerator>(
          new (std::nothrow) EngineIdEnumerator(_store, std::move(ids)), enumerator);
    });
  }

 private:
  ~EngineClass() = default;
  std::shared_ptr<Store> _store;
  const ClassDef* _cls;
};

// --- Queries -----------------------------------------------------------------

class EngineGuidEnumerator final : public IGuidEnumerator, LiveCounted {
 public:
  explicit EngineGuidEnumerator(std::vector<GUID> guids) noexcept : _guids(std::move(guids)) {}
  VDDB_ENGINE_REFCOUNT

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_IUnknown) && !(iid == IID_IGuidEnumerator)) return E_NOINTERFACE;
    *object = static_cast<IGuidEnumerator*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT VDDB_STDCALL Next(std::uint32_t count, GUID* guids, std::uint32_t* delivered) override {
    if (delivered != nullptr) *delivered = 0;
    if (count > 0 && guids == nullptr) return E_POINTER;
    if (count > 1 && delivered == nullptr) return E_POINTER;
    const std::size_t n = std::min<std::size_t>(count, _guids.size() - _next);
    std::copy_n(_guids.begin() + static_cast<std::ptrdiff_t>(_next), n, guids);
    _next += n;
    if (delivered != nullptr) *delivered = static_cast<std::uint32_t>(n);
    return n == count ? S_OK : S_FALSE;
  }

 private:
  ~EngineGuidEnumerator() = default;
  std::vector<GUID> _guids;  // the snapshot taken by runQuery
  std::size_t _next = 0;
};

class EngineQuery final : public IStorageQuery, public IStorageQueryEx, LiveCounted {
 public:
  EngineQuery(std::shared_ptr<Store> store, std::vector<const ClassDef*> classes) noexcept
      : _store(std::move(store)), _classes(std::move(classes)) {}
  VDDB_ENGINE_REFCOUNT

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IStorageQuery || iid == kIidEngineQuery) {
      *object = static_cast<IStorageQuery*>(this);
    } else if (iid == IID_IStorageQueryEx) {
      *object = static_cast<IStorageQueryEx*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  HRESULT VDDB_STDCALL addCondition(std::uint32_t attributeId, std::int32_t value) override {
    return reportFailure(_store, "addCondition", [&]() -> HRESULT {
      if (!_store->isOpen()) return kStoreClosed;
      return guarded([&] {
        QueryCondition c;
        c.attributeId = attributeId;
        c.integer = value;
        _conditions.push_back(std::move(c));
        return S_OK;
      });
    });
  }
  HRESULT VDDB_STDCALL addStringCondition(std::uint32_t attributeId,
                                          const char16_t* text) override {
    return reportFailure(_store, "addStringCondition", [&]() -> HRESULT {
      if (text == nullptr) return E_POINTER;
      if (!_store->isOpen()) return kStoreClosed;
      return guarded([&] {
        QueryCondition c;
        c.attributeId = attributeId;
        c.isString = true;
        c.text = text;
        _conditions.push_back(std::move(c));
        return S_OK;
      });
    });
  }

  HRESULT run(std::vector<GUID>& out) { return _store->selectObjects(_classes, _conditions, out); }
  const Store* store() const noexcept { return _store.get(); }

 private:
  ~EngineQuery() = default;
  std::shared_ptr<Store> _store;
  std::vector<const ClassDef*> _classes;
  std::vector<QueryCondition> _conditions;
};

// --- Objects -------------------------------------------------------------------

class DeleteResult final : public IUnknown, LiveCounted {
 public:
  VDDB_ENGINE_REFCOUNT
  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!(iid == IID_IUnknown)) return E_NOINTERFACE;
    *object = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }

 private:
  ~DeleteResult() = default;
};

class EngineObject final : public IStorageObject, public IStorageObjectEx, LiveCounted {
 public:
  EngineObject(std::shared_ptr<Store> store, const GUID& guid, const ClassDef* cls) noexcept
      : _store(std::move(store)), _guid(guid), _cls(cls) {}
  VDDB_ENGINE_REFCOUNT

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IStorageObject) {
      *object = static_cast<IStorageObject*>(this);
    } else if (iid == IID_IStorageObjectEx) {
      *object = static_cast<IStorageObjectEx*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  HRESULT VDDB_STDCALL getObjectGuid(GUID* guid) override {
    if (guid == nullptr) return E_POINTER;
    if (const HRESULT hr = usable(); hr < 0) return hr;
    *guid = _guid;
    return S_OK;
  }
  HRESULT VDDB_STDCALL getClass(IStorageClass** storageClass) override {
    if (storageClass == nullptr) return E_POINTER;
    *storageClass = nullptr;
    if (const HRESULT hr = usable(); hr < 0) return hr;
    return handOut<IStorageClass>(new (std::nothrow) EngineClass(_store, _cls), storageClass);
  }
  HRESULT VDDB_STDCALL isOfClass(std::uint32_t flag, const GUID* classGuid,
                                 std::int32_t* result) override {
    if (classGuid == nullptr || result == nullptr) return E_POINTER;
    *result = 0;
    if (flag > 1) return E_INVALIDARG;
    if (const HRESULT hr = usable(); hr < 0) return hr;
    *result = (flag == 1 ? Catalog::isA(_cls, *classGuid) : _cls->guid == *classGuid) ? 1 : 0;
    return S_OK;
  }
  HRESULT VDDB_STDCALL setReference(std::uint32_t attributeId, IStorageObject* target) override {
    return reportFailure(_store, "setReference", [&]() -> HRESULT {
      return guarded([&] {
        HRESULT hr = writable(attributeId, kAttributeTypeReference);
        if (hr < 0) return hr;
        if (target == nullptr)
          return observed(_store->writeReferences(_guid, attributeId, nullptr, 0), attributeId);
        GUID targetGuid{};
        hr = target->getObjectGuid(&targetGuid);
        if (hr < 0) return hr;
        return observed(_store->writeReferences(_guid, attributeId, &targetGuid, 1), attributeId);
      });
    });
  }
  HRESULT VDDB_STDCALL setObjectList(std::uint32_t attributeId, std::uint32_t count,
                                     IStorageObject** objects) override {
    return reportFailure(_store, "setObjectList", [&]() -> HRESULT {
      if (count > 0 && objects == nullptr) return E_POINTER;
      return guarded([&] {
        HRESULT hr = writable(attributeId, kAttributeTypeReferenceList);
        if (hr < 0) return hr;
        std::vector<GUID> targets(count);
        for (std::uint32_t i = 0; i < count; ++i) {
          if (objects[i] == nullptr) return E_POINTER;
          hr = objects[i]->getObjectGuid(&targets[i]);
          if (hr < 0) return hr;
        }
        return observed(_store->writeReferences(_guid, attributeId, targets.data(), targets.size()),
                        attributeId);
      });
    });
  }
  // Passes a successful write on to the store's change observer.
  HRESULT observed(HRESULT hr, std::uint32_t attributeId) const noexcept {
    if (hr >= 0) {
      if (ChangeObserver* observer = _store->changeObserver())
        observer->valueChanged(_guid, attributeId);
    }
    return hr;
  }
  HRESULT VDDB_STDCALL getInteger(std::uint32_t attributeId, std::int32_t* value) override {
    return reportFailure(_store, "getInteger", [&]() -> HRESULT {
      if (value == nullptr) return E_POINTER;
      HRESULT hr = readable(attributeId, kAttributeTypeInteger);
      if (hr < 0) return hr;
      std::int32_t v = 0;
      hr = _store->readInteger(_guid, attributeId, v);
      if (hr < 0) return hr;
      if (hr == S_FALSE) return kNoValue;
      *value = v;
      return S_OK;
    });
  }
  HRESULT VDDB_STDCALL getString(std::uint32_t attributeId, char16_t** text) override {
    return reportFailure(_store, "getString", [&]() -> HRESULT {
      if (text == nullptr) return E_POINTER;
      *text = nullptr;
      return guarded([&] {
        HRESULT hr = readable(attributeId, kAttributeTypeString);
        if (hr < 0) return hr;
        std::u16string value;
        hr = _store->readString(_guid, attributeId, value);
        if (hr < 0) return hr;
        if (hr == S_FALSE) return S_OK;
        auto* block = static_cast<char16_t*>(CoTaskMemAlloc((value.size() + 1) * sizeof(char16_t)));
        if (block == nullptr) return E_OUTOFMEMORY;
        std::copy(value.begin(), value.end(), block);
        block[value.size()] = u'\0';
        *text = block;
        return S_OK;
      });
    });
  }
  HRESULT VDDB_STDCALL getReference(std::uint32_t attributeId, IStorageObject** target) override {
    return reportFailure(_store, "getReference", [&]() -> HRESULT {
      if (target == nullptr) return E_POINTER;
      *target = nullptr;
      return guarded([&] {
        HRESULT hr = readable(attributeId, kAttributeTypeReference);
        if (hr < 0) return hr;
        std::vector<GUID> targets;
        hr = _store->readReferences(_guid, attributeId, targets);
        if (hr < 0) return hr;
        if (targets.empty()) return S_OK;
        const ClassDef* cls = nullptr;
        hr = _store->objectClass(targets.front(), cls);
        if (hr == kStorageNotFound) return S_OK;  // dangling: reads as empty
        if (hr < 0) return hr;
        return handOut<IStorageObject>(
            new (std::nothrow) EngineObject(_store, targets.front(), cls), target);
      });
    });
  }
  HRESULT VDDB_STDCALL getObjectList(std::uint32_t attributeId, std::uint32_t capacity,
                                     IStorageObject** objects, std::uint32_t* count) override {
    return reportFailure(_store, "getObjectList", [&]() -> HRESULT {
      return readList(attributeId, capacity, nullptr, objects, count);
    });
  }
  HRESULT VDDB_STDCALL getKindObjectList(std::uint32_t attributeId, std::uint32_t capacity,
                                         const GUID& kindGuid, IStorageObject** objects,
                                         std::uint32_t* count) override {
    return reportFailure(_store, "getKindObjectList", [&]() -> HRESULT {
      return readList(attributeId, capacity, &kindGuid, objects, count);
    });
  }

 private:
  ~EngineObject() = default;

  HRESULT usable() const noexcept {
    if (!_store->isOpen()) return kStoreClosed;
    if (_store->isDeleted(_guid)) return kStorageNotFound;
    return S_OK;
  }
  HRESULT readable(std::uint32_t attributeId, std::uint32_t type) const noexcept {
    if (const HRESULT hr = usable(); hr < 0) return hr;
    const AttributeDef* def = Catalog::resolve(_cls, attributeId);
    if (def == nullptr) return kBadAttribute;
    return def->type == type ? S_OK : kTypeMismatch;
  }
  HRESULT writable(std::uint32_t attributeId, std::uint32_t type) const noexcept {
    if (const HRESULT hr = _store->writeState(); hr < 0) return hr;
    return readable(attributeId, type);
  }

  // The two-call protocol of getObjectList, optionally filtered by kind.
  HRESULT readList(std::uint32_t attributeId, std::uint32_t capacity, const GUID* kind,
                   IStorageObject** objects, std::uint32_t* count) {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    if (capacity > 0 && objects == nullptr) return E_POINTER;
    for (std::uint32_t i = 0; i < capacity; ++i) objects[i] = nullptr;
    return guarded([&] {
      HRESULT hr = readable(attributeId, kAttributeTypeReferenceList);
      if (hr < 0) return hr;
      std::span<const Store::ListEntry> entries;
      hr = _store->readListEntries(_guid, attributeId, kind, capacity, entries);
      if (hr < 0) return hr;
      std::uint32_t found = 0;
      for (const Store::ListEntry& entry : entries) {
        if (capacity > 0) {
          objects[found] = new (std::nothrow) EngineObject(_store, entry.object, entry.cls);
          if (objects[found] == nullptr) {
            for (std::uint32_t i = 0; i < found; ++i) {
              objects[i]->Release();
              objects[i] = nullptr;
            }
            return E_OUTOFMEMORY;
          }
        }
        ++found;
      }
      *count = found;
      return S_OK;
    });
  }

  std::shared_ptr<Store> _store;
  GUID _guid;
  const ClassDef* _cls;
};

// --- Storage root ----------------------------------------------------------------

class EngineStorage final : public IkorrinStorage, public IStorageReferrers, LiveCounted {
 public:
  explicit EngineStorage(std::shared_ptr<Store> store) noexcept : _store(std::move(store)) {}
  VDDB_ENGINE_REFCOUNT

  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IkorrinStorage) {
      *object = static_cast<IkorrinStorage*>(this);
    } else if (iid == IID_IStorageReferrers) {
      *object = static_cast<IStorageReferrers*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  HRESULT VDDB_STDCALL findReferrers(const GUID& classGuid, std::uint32_t flag,
                                     std::uint32_t attributeId, const GUID& target,
                                     IGuidEnumerator** enumerator) override {
    return reportFailure(_store, "findReferrers", [&]() -> HRESULT {
      if (enumerator == nullptr) return E_POINTER;
      *enumerator = nullptr;
      if (flag > 1) return E_INVALIDARG;
      if (!_store->isOpen()) return kStoreClosed;
      const ClassDef* cls = _store->catalog().find(classGuid);
      if (cls == nullptr) return kUnknownClass;
      const AttributeDef* def = Catalog::resolve(cls, attributeId);
      if (def == nullptr) return kBadAttribute;
      if (def->type != kAttributeTypeReference) return kTypeMismatch;
      return guarded([&] {
        if (!_referrers) _referrers = std::make_unique<ReferenceIndex>(_store);
        std::vector<const ClassDef*> classes;
        if (flag == 1) {
          classes = Catalog::selfAndDerived(cls);
        } else {
          classes.push_back(cls);
        }
        std::vector<GUID> guids;
        const HRESULT hr = _referrers->referrers(classes, attributeId, target, guids);
        if (hr < 0) return hr;
        return handOut<IGuidEnumerator>(new (std::nothrow) EngineGuidEnumerator(std::move(guids)),
                                        enumerator);
      });
    });
  }
  HRESULT VDDB_STDCALL createQuery(const GUID& classGuid, std::uint32_t flag,
                                   std::uint32_t reserved, IStorageQuery** query) override {
    return reportFailure(_store, "createQuery", [&]() -> HRESULT {
      if (query == nullptr) return E_POINTER;
      *query = nullptr;
      if (flag > 1 || reserved != 0) return E_INVALIDARG;
      if (!_store->isOpen()) return kStoreClosed;
      const ClassDef* cls = _store->catalog().find(classGuid);
      if (cls == nullptr) return kUnknownClass;
      return guarded([&] {
        std::vector<const ClassDef*> classes;
        if (flag == 1) {
          classes = Catalog::selfAndDerived(cls);
        } else {
          classes.push_back(cls);
        }
        return handOut<IStorageQuery>(new (std::nothrow) EngineQuery(_store, std::move(classes)),
                                      query);
      });
    });
  }
  HRESULT VDDB_STDCALL deleteObject(const GUID& objectGuid, IUnknown** result) override {
    return reportFailure(_store, "deleteObject", [&]() -> HRESULT {
      if (result != nullptr) *result = nullptr;
      return guarded([&] {
        // The observer is told the class too, which only a lookup before the
        // deletion can give.
        ChangeObserver* observer = _store->changeObserver();
        const ClassDef* cls = nullptr;
        if (observer != nullptr && _store->objectClass(objectGuid, cls) < 0) cls = nullptr;
        const HRESULT hr = _store->deleteObject(objectGuid);
        if (hr >= 0 && observer != nullptr) {
          observer->objectDeleted(objectGuid, cls != nullptr ? cls->guid : GUID{});
        }
        if (hr < 0 || result == nullptr) return hr;
        return handOut<IUnknown>(new (std::nothrow) DeleteResult(), result);
      });
    });
  }
  HRESULT VDDB_STDCALL openObject(const GUID& objectGuid, IStorageObject** object) override {
    return reportFailure(_store, "openObject", [&]() -> HRESULT {
      if (object == nullptr) return E_POINTER;
      *object = nullptr;
      return guarded([&] {
        const ClassDef* cls = nullptr;
        const HRESULT hr = _store->objectClass(objectGuid, cls);
        if (hr < 0) return hr;
        return handOut<IStorageObject>(new (std::nothrow) EngineObject(_store, objectGuid, cls),
                                       object);
      });
    });
  }
  HRESULT VDDB_STDCALL runQuery(IStorageQuery* query, IGuidEnumerator** enumerator) override {
    return reportFailure(_store, "runQuery", [&]() -> HRESULT {
      if (enumerator == nullptr) return E_POINTER;
      *enumerator = nullptr;
      if (query == nullptr) return E_POINTER;
      if (!_store->isOpen()) return kStoreClosed;
      return guarded([&] {
        void* found = nullptr;
        if (query->QueryInterface(kIidEngineQuery, &found) < 0 || found == nullptr) {
          return kForeignObject;
        }
        // Released on every way out, also when the run runs out of memory.
        const tScopedRef<EngineQuery> own(
            static_cast<EngineQuery*>(static_cast<IStorageQuery*>(found)));
        HRESULT hr = own->store() == _store.get() ? S_OK : kForeignObject;
        std::vector<GUID> guids;
        if (hr >= 0) hr = own->run(guids);
        if (hr < 0) return hr;
        return handOut<IGuidEnumerator>(new (std::nothrow) EngineGuidEnumerator(std::move(guids)),
                                        enumerator);
      });
    });
  }

  const std::shared_ptr<Store>& store() const noexcept { return _store; }

 private:
  ~EngineStorage() = default;
  std::shared_ptr<Store> _store;
  // Built on the first findReferrers; it watches the connection from then on.
  std::unique_ptr<ReferenceIndex> _referrers;
};

}  // namespace

IkorrinStorage* createStorageRoot(std::shared_ptr<Store> store) noexcept {
  return new (std::nothrow) EngineStorage(std::move(store));
}

std::shared_ptr<Store> storeOfRoot(IkorrinStorage* root) noexcept {
  auto* own = dynamic_cast<EngineStorage*>(root);
  return own != nullptr ? own->store() : nullptr;
}

std::size_t liveObjectCount() noexcept { return gLiveObjects.load(std::memory_order_relaxed); }

}  // namespace vddb::engine
