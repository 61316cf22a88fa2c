#include "support/fault_injection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iterator>
#include <map>
#include <typeindex>
#include <typeinfo>
#include <utility>

#include "store/guid.h"

namespace vddb::test {

namespace {

std::size_t gLiveWrappers = 0;  // over every injector; tests run on one thread

std::string hexText(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(value));
  return buffer;
}

std::string guidText(const GUID* guid) { return guid != nullptr ? formatGuid(*guid) : "null"; }

// UTF-16 in a readable form: printable ASCII as it is, everything else as \uXXXX.
std::string wideText(const char16_t* text) {
  if (text == nullptr) return "null";
  std::string out = "\"";
  for (; *text != 0; ++text) {
    if (*text >= 0x20 && *text < 0x7F && *text != u'"' && *text != u'\\') {
      out.push_back(static_cast<char>(*text));
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(*text));
      out += buffer;
    }
  }
  return out + "\"";
}

std::string joinArgs(std::initializer_list<std::string> parts) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += ", ";
    out += part;
  }
  return out;
}

// Every interface a wrapper stands for, with the operations its wrapper
// journals (QueryInterface aside, which every interface has).
struct InterfaceOperations {
  const char* interfaceName;
  std::initializer_list<const char*> operations;
};
const InterfaceOperations kInterfaces[] = {
    {"IUnknown", {}},
    {"IkorrinStorage", {"createQuery", "deleteObject", "openObject", "runQuery"}},
    {"IStorageQuery", {"addCondition"}},
    {"IStorageQueryEx", {"addStringCondition"}},
    {"IGuidEnumerator", {"Next"}},
    {"IStorageObject",
     {"getObjectGuid", "getClass", "isOfClass", "setReference", "setObjectList", "getInteger",
      "getString", "getReference", "getObjectList"}},
    {"IStorageObjectEx", {"getKindObjectList"}},
    {"IStorageClass", {"getClassGuid", "getBaseClass", "getAttribute", "enumAttributeIds"}},
    {"IStorageAttribute", {"getType", "getFlag"}},
    {"IAttributeIdEnumerator", {"Next"}},
};

const InterfaceOperations* findInterface(std::string_view name) {
  for (const InterfaceOperations& i : kInterfaces) {
    if (name == i.interfaceName) return &i;
  }
  return nullptr;
}

// Whether `operation` (unqualified) is a call of `within`, or of any
// interface when `within` is null. QueryInterface may name the interface
// asked for, by name or (for one the store does not know) by GUID.
bool isOperationOf(const InterfaceOperations* within, std::string_view operation) {
  constexpr std::string_view kQuery = "QueryInterface";
  if (operation.substr(0, kQuery.size()) == kQuery) {
    if (operation.size() == kQuery.size()) return true;
    if (operation[kQuery.size()] != ':') return false;
    const std::string_view asked = operation.substr(kQuery.size() + 1);
    return findInterface(asked) != nullptr || parseGuid(asked).has_value();
  }
  const auto names = [&](const InterfaceOperations& i) {
    return std::find(i.operations.begin(), i.operations.end(), operation) != i.operations.end();
  };
  if (within != nullptr) return names(*within);
  return std::any_of(std::begin(kInterfaces), std::end(kInterfaces), names);
}

// Whether some call of a wrapper counts under `name` (the names at the top
// of the header).
bool isKnownOperation(std::string_view name) {
  const std::size_t colons = name.find("::");
  if (colons == std::string_view::npos) return isOperationOf(nullptr, name);
  const InterfaceOperations* within = findInterface(name.substr(0, colons));
  return within != nullptr && isOperationOf(within, name.substr(colons + 2));
}

// A fault on a name that no call carries would never fire, and the test
// that set it would pass without testing anything.
bool checkOperationName(std::string_view name) {
  if (isKnownOperation(name)) return true;
  ADD_FAILURE() << "FaultInjector: no call is named \"" << name << "\"";
  return false;
}

// Nulls an out reference or zeroes an out count before the call, so that a
// failed or injected call leaves them so.
template <class T>
void clearOut(T* out) {
  if (out != nullptr) *out = T{};
}

}  // namespace

namespace detail {

class Wrapper;

struct Fault {
  std::string operation;
  std::uint64_t nth;
  HRESULT result;
  bool persistent;
};

struct HiddenInterface {
  std::optional<std::string> target;  // none: every object
  IID iid;
};

struct ShortenedRead {
  std::string operation;
  std::uint32_t attributeId;
  std::uint32_t missing;
};

struct InjectorState {
  std::vector<JournalEntry> journal;
  std::map<std::string, std::uint64_t, std::less<>> counters;
  std::vector<Fault> faults;
  std::vector<HiddenInterface> hidden;
  std::vector<ShortenedRead> shortened;
  // Live wrappers by the inner pointer and the interface they stand for.
  std::map<std::pair<const void*, std::type_index>, Wrapper*> wrappers;
  std::size_t liveWrappers = 0;

  // Counts the call under each of its names; returns a fault's result when
  // one of them is due.
  std::optional<HRESULT> count(const std::vector<std::string>& names) {
    for (const std::string& name : names) ++counters[name];
    for (const Fault& fault : faults) {
      const auto it = counters.find(fault.operation);
      if (it == counters.end()) continue;
      bool named = false;
      for (const std::string& name : names) named = named || name == fault.operation;
      if (!named) continue;
      const std::uint64_t n = it->second;
      if (n == fault.nth || (fault.persistent && n >= fault.nth)) return fault.result;
    }
    return std::nullopt;
  }

  bool hides(const std::string& target, const IID& iid) const {
    for (const HiddenInterface& h : hidden) {
      if (h.iid == iid && (!h.target || *h.target == target)) return true;
    }
    return false;
  }

  std::uint32_t missingEntries(std::string_view operation, std::uint32_t attributeId) const {
    std::uint32_t missing = 0;
    for (const ShortenedRead& s : shortened) {
      if (s.operation == operation && s.attributeId == attributeId) missing += s.missing;
    }
    return missing;
  }
};

// What every wrapper shares: its own reference count, its place in the
// identity map, and the journaling of its calls.
class Wrapper {
 public:
  Wrapper(const Wrapper&) = delete;
  Wrapper& operator=(const Wrapper&) = delete;
  virtual ~Wrapper() {
    _state->wrappers.erase(_key);
    --_state->liveWrappers;
    --gLiveWrappers;
  }

  virtual IUnknown* innerUnknown() const noexcept = 0;
  const std::string& target() const noexcept { return _target; }
  ULONG addRef() noexcept { return ++_references; }
  ULONG release() noexcept {
    const ULONG left = --_references;
    if (left == 0) delete this;
    return left;
  }

 protected:
  Wrapper(std::shared_ptr<InjectorState> state, const char* interfaceName, std::string target,
          const void* inner, std::type_index kind)
      : _state(std::move(state)),
        _interfaceName(interfaceName),
        _target(std::move(target)),
        _key(inner, kind) {
    _state->wrappers.emplace(_key, this);
    ++_state->liveWrappers;
    ++gLiveWrappers;
  }

  struct Pending {
    std::size_t entry;
    std::optional<HRESULT> injected;
  };

  // Journals the call and counts it; says whether a fault takes its place.
  Pending enter(const char* operation, std::string arguments, const std::string& qualifier = {}) {
    const std::size_t entry = _state->journal.size();
    _state->journal.push_back({_interfaceName, operation, _target, std::move(arguments), 0, false});
    std::string plain = operation;
    std::string qualified = _interfaceName + "::" + plain;
    // Keeps the table of names above in step with the wrappers.
    checkOperationName(qualifier.empty() ? qualified : qualified + ":" + qualifier);
    std::vector<std::string> names{plain, qualified};
    if (!qualifier.empty()) {
      names.push_back(plain + ":" + qualifier);
      names.push_back(qualified + ":" + qualifier);
    }
    return {entry, _state->count(names)};
  }

  HRESULT leave(const Pending& pending, HRESULT result) {
    JournalEntry& entry = _state->journal[pending.entry];
    entry.injected = pending.injected.has_value();
    entry.result = result;
    return result;
  }

  // The common case: journal, then either the fault's result or the call.
  template <class Forward>
  HRESULT run(const char* operation, std::string arguments, Forward&& forward) {
    const Pending pending = enter(operation, std::move(arguments));
    if (pending.injected) return leave(pending, *pending.injected);
    return leave(pending, forward());
  }

  HRESULT queryInterface(REFIID iid, void** out);

  // Fewer slots for the filling call of a two-call read, when a fault says so.
  std::uint32_t fillCapacity(std::string_view operation, std::uint32_t attributeId,
                             std::uint32_t capacity) const {
    const std::uint32_t missing = _state->missingEntries(operation, attributeId);
    if (capacity == 0 || missing == 0) return capacity;
    return capacity > missing ? capacity - missing : 0;
  }

  std::shared_ptr<InjectorState> _state;

 private:
  std::string _interfaceName;
  std::string _target;
  std::pair<const void*, std::type_index> _key;
  ULONG _references = 1;
};

// A wrapper of one interface I. It is an I itself, so it can be handed out
// wherever the store hands out an I.
template <class I>
class WrapperOf : public I, public Wrapper {
 public:
  HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** out) override {
    return queryInterface(iid, out);
  }
  ULONG VDDB_STDCALL AddRef() override { return addRef(); }
  ULONG VDDB_STDCALL Release() override { return release(); }

  IUnknown* innerUnknown() const noexcept override { return _inner.get(); }
  I* inner() const noexcept { return _inner.get(); }

 protected:
  // Takes over the caller's reference on `inner`.
  WrapperOf(std::shared_ptr<InjectorState> state, I* inner, const char* name, std::string target)
      : Wrapper(std::move(state), name, std::move(target), inner, std::type_index(typeid(I))),
        _inner(inner) {}

  tScopedRef<I> _inner;
};

// The target text of a new wrapper: objects and classes by their GUID,
// read from the inner object directly (or from the inner decorator's
// wrapper) so that it leaves no journal entry.
inline std::string targetOf(IStorageObject* inner, std::string) {
  if (auto* wrapper = dynamic_cast<Wrapper*>(inner)) return wrapper->target();
  GUID guid{};
  return inner->getObjectGuid(&guid) >= 0 ? formatGuid(guid) : std::string();
}
inline std::string targetOf(IStorageClass* inner, std::string) {
  if (auto* wrapper = dynamic_cast<Wrapper*>(inner)) return wrapper->target();
  GUID guid{};
  return inner->getClassGuid(&guid) >= 0 ? formatGuid(guid) : std::string();
}
template <class I>
std::string targetOf(I*, std::string given) {
  return given;
}

// The wrapper for `inner`, taking over the caller's reference on it: the
// live wrapper of that pointer when there is one, a new one otherwise.
template <class W, class I>
I* adopt(const std::shared_ptr<InjectorState>& state, I* inner, std::string target = {}) {
  if (inner == nullptr) return nullptr;
  const auto found =
      state->wrappers.find({static_cast<const void*>(inner), std::type_index(typeid(I))});
  if (found != state->wrappers.end()) {
    auto* existing = static_cast<W*>(found->second);
    existing->addRef();
    inner->Release();
    return existing;
  }
  return new W(state, inner, targetOf(inner, std::move(target)));
}

// Replaces the reference a forwarded call handed out with its wrapper.
template <class W, class I>
HRESULT wrapOut(const std::shared_ptr<InjectorState>& state, HRESULT result, I** out,
                std::string target = {}) {
  if (out != nullptr && *out != nullptr) *out = adopt<W>(state, *out, std::move(target));
  return result;
}

// What the store must see of an object handed back to it.
template <class I>
I* unwrap(I* object) {
  if (auto* wrapper = dynamic_cast<WrapperOf<I>*>(object)) return wrapper->inner();
  return object;
}

std::string objectText(IStorageObject* object) {
  if (object == nullptr) return "null";
  if (auto* wrapper = dynamic_cast<Wrapper*>(object)) return wrapper->target();
  return "object";
}

// One small class per interface, one forwarding line (or a few) per method.

class UnknownWrapper final : public WrapperOf<IUnknown> {
 public:
  UnknownWrapper(std::shared_ptr<InjectorState> s, IUnknown* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IUnknown", std::move(target)) {}
};

class AttributeWrapper final : public WrapperOf<IStorageAttribute> {
 public:
  AttributeWrapper(std::shared_ptr<InjectorState> s, IStorageAttribute* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IStorageAttribute", std::move(target)) {}

  HRESULT VDDB_STDCALL getType(std::uint32_t* type) override {
    return run("getType", "", [&] { return _inner->getType(type); });
  }
  HRESULT VDDB_STDCALL getFlag(std::uint32_t* flag) override {
    return run("getFlag", "", [&] { return _inner->getFlag(flag); });
  }
};

class AttributeIdEnumeratorWrapper final : public WrapperOf<IAttributeIdEnumerator> {
 public:
  AttributeIdEnumeratorWrapper(std::shared_ptr<InjectorState> s, IAttributeIdEnumerator* inner,
                               std::string target)
      : WrapperOf(std::move(s), inner, "IAttributeIdEnumerator", std::move(target)) {}

  HRESULT VDDB_STDCALL Next(std::uint32_t count, std::uint32_t* ids,
                            std::uint32_t* delivered) override {
    clearOut(delivered);
    return run("Next", std::to_string(count), [&] { return _inner->Next(count, ids, delivered); });
  }
};

class GuidEnumeratorWrapper final : public WrapperOf<IGuidEnumerator> {
 public:
  GuidEnumeratorWrapper(std::shared_ptr<InjectorState> s, IGuidEnumerator* inner,
                        std::string target)
      : WrapperOf(std::move(s), inner, "IGuidEnumerator", std::move(target)) {}

  HRESULT VDDB_STDCALL Next(std::uint32_t count, GUID* guids, std::uint32_t* delivered) override {
    clearOut(delivered);
    return run("Next", std::to_string(count),
               [&] { return _inner->Next(count, guids, delivered); });
  }
};

class ClassWrapper final : public WrapperOf<IStorageClass> {
 public:
  ClassWrapper(std::shared_ptr<InjectorState> s, IStorageClass* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IStorageClass", std::move(target)) {}

  HRESULT VDDB_STDCALL getClassGuid(GUID* guid) override {
    return run("getClassGuid", "", [&] { return _inner->getClassGuid(guid); });
  }
  HRESULT VDDB_STDCALL getBaseClass(IStorageClass** base) override {
    clearOut(base);
    return run("getBaseClass", "",
               [&] { return wrapOut<ClassWrapper>(_state, _inner->getBaseClass(base), base); });
  }
  HRESULT VDDB_STDCALL getAttribute(std::uint32_t id, IStorageAttribute** attribute) override {
    clearOut(attribute);
    return run("getAttribute", attributeText(id), [&] {
      return wrapOut<AttributeWrapper>(_state, _inner->getAttribute(id, attribute), attribute,
                                       attributeText(id));
    });
  }
  HRESULT VDDB_STDCALL enumAttributeIds(IAttributeIdEnumerator** enumerator) override {
    clearOut(enumerator);
    return run("enumAttributeIds", "", [&] {
      return wrapOut<AttributeIdEnumeratorWrapper>(_state, _inner->enumAttributeIds(enumerator),
                                                   enumerator, target());
    });
  }
};

class ObjectWrapper;

// The slots a two-call read filled, each replaced by its wrapper; a read
// asked for fewer than its caller reported never claims more than it asked.
void wrapSlots(const std::shared_ptr<InjectorState>& state, IStorageObject** objects,
               std::uint32_t capacity, std::uint32_t asked, std::uint32_t* count);

class ObjectExWrapper final : public WrapperOf<IStorageObjectEx> {
 public:
  ObjectExWrapper(std::shared_ptr<InjectorState> s, IStorageObjectEx* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IStorageObjectEx", std::move(target)) {}

  HRESULT VDDB_STDCALL getKindObjectList(std::uint32_t id, std::uint32_t capacity, const GUID& kind,
                                         IStorageObject** objects, std::uint32_t* count) override {
    clearOut(count);
    for (std::uint32_t i = 0; objects != nullptr && i < capacity; ++i) objects[i] = nullptr;
    return run("getKindObjectList",
               joinArgs({attributeText(id), std::to_string(capacity), formatGuid(kind)}), [&] {
                 const std::uint32_t asked = fillCapacity("getKindObjectList", id, capacity);
                 const HRESULT hr = _inner->getKindObjectList(id, asked, kind, objects, count);
                 wrapSlots(_state, objects, capacity, asked, count);
                 return hr;
               });
  }
};

class ObjectWrapper final : public WrapperOf<IStorageObject> {
 public:
  ObjectWrapper(std::shared_ptr<InjectorState> s, IStorageObject* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IStorageObject", std::move(target)) {}

  HRESULT VDDB_STDCALL getObjectGuid(GUID* guid) override {
    return run("getObjectGuid", "", [&] { return _inner->getObjectGuid(guid); });
  }
  HRESULT VDDB_STDCALL getClass(IStorageClass** storageClass) override {
    clearOut(storageClass);
    return run("getClass", "", [&] {
      return wrapOut<ClassWrapper>(_state, _inner->getClass(storageClass), storageClass);
    });
  }
  HRESULT VDDB_STDCALL isOfClass(std::uint32_t flag, const GUID* classGuid,
                                 std::int32_t* result) override {
    return run("isOfClass", joinArgs({std::to_string(flag), guidText(classGuid)}),
               [&] { return _inner->isOfClass(flag, classGuid, result); });
  }
  HRESULT VDDB_STDCALL setReference(std::uint32_t id, IStorageObject* target) override {
    return run("setReference", joinArgs({attributeText(id), objectText(target)}),
               [&] { return _inner->setReference(id, unwrap(target)); });
  }
  HRESULT VDDB_STDCALL setObjectList(std::uint32_t id, std::uint32_t count,
                                     IStorageObject** objects) override {
    return run("setObjectList", joinArgs({attributeText(id), std::to_string(count)}), [&] {
      std::vector<IStorageObject*> inner(count, nullptr);
      for (std::uint32_t i = 0; objects != nullptr && i < count; ++i) inner[i] = unwrap(objects[i]);
      return _inner->setObjectList(id, count, objects != nullptr ? inner.data() : nullptr);
    });
  }
  HRESULT VDDB_STDCALL getInteger(std::uint32_t id, std::int32_t* value) override {
    return run("getInteger", attributeText(id), [&] { return _inner->getInteger(id, value); });
  }
  HRESULT VDDB_STDCALL getString(std::uint32_t id, char16_t** text) override {
    clearOut(text);
    return run("getString", attributeText(id), [&] { return _inner->getString(id, text); });
  }
  HRESULT VDDB_STDCALL getReference(std::uint32_t id, IStorageObject** target) override {
    clearOut(target);
    return run("getReference", attributeText(id), [&] {
      return wrapOut<ObjectWrapper>(_state, _inner->getReference(id, target), target);
    });
  }
  HRESULT VDDB_STDCALL getObjectList(std::uint32_t id, std::uint32_t capacity,
                                     IStorageObject** objects, std::uint32_t* count) override {
    clearOut(count);
    for (std::uint32_t i = 0; objects != nullptr && i < capacity; ++i) objects[i] = nullptr;
    return run("getObjectList", joinArgs({attributeText(id), std::to_string(capacity)}), [&] {
      const std::uint32_t asked = fillCapacity("getObjectList", id, capacity);
      const HRESULT hr = _inner->getObjectList(id, asked, objects, count);
      wrapSlots(_state, objects, capacity, asked, count);
      return hr;
    });
  }
};

void wrapSlots(const std::shared_ptr<InjectorState>& state, IStorageObject** objects,
               std::uint32_t capacity, std::uint32_t asked, std::uint32_t* count) {
  if (objects == nullptr || capacity == 0 || count == nullptr) return;
  const std::uint32_t filled = *count < asked ? *count : asked;
  for (std::uint32_t i = 0; i < filled; ++i) objects[i] = adopt<ObjectWrapper>(state, objects[i]);
  if (*count > asked) *count = asked;
}

class QueryExWrapper final : public WrapperOf<IStorageQueryEx> {
 public:
  QueryExWrapper(std::shared_ptr<InjectorState> s, IStorageQueryEx* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IStorageQueryEx", std::move(target)) {}

  HRESULT VDDB_STDCALL addStringCondition(std::uint32_t id, const char16_t* text) override {
    return run("addStringCondition", joinArgs({attributeText(id), wideText(text)}),
               [&] { return _inner->addStringCondition(id, text); });
  }
};

class QueryWrapper final : public WrapperOf<IStorageQuery> {
 public:
  QueryWrapper(std::shared_ptr<InjectorState> s, IStorageQuery* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IStorageQuery", std::move(target)) {}

  HRESULT VDDB_STDCALL addCondition(std::uint32_t id, std::int32_t value) override {
    return run("addCondition", joinArgs({attributeText(id), std::to_string(value)}),
               [&] { return _inner->addCondition(id, value); });
  }
};

class StorageWrapper final : public WrapperOf<IkorrinStorage> {
 public:
  StorageWrapper(std::shared_ptr<InjectorState> s, IkorrinStorage* inner, std::string target)
      : WrapperOf(std::move(s), inner, "IkorrinStorage", std::move(target)) {}

  HRESULT VDDB_STDCALL createQuery(const GUID& classGuid, std::uint32_t flag,
                                   std::uint32_t reserved, IStorageQuery** query) override {
    clearOut(query);
    return run("createQuery",
               joinArgs({formatGuid(classGuid), std::to_string(flag), std::to_string(reserved)}),
               [&] {
                 return wrapOut<QueryWrapper>(_state,
                                              _inner->createQuery(classGuid, flag, reserved, query),
                                              query, formatGuid(classGuid));
               });
  }
  HRESULT VDDB_STDCALL deleteObject(const GUID& objectGuid, IUnknown** result) override {
    clearOut(result);
    return run("deleteObject", formatGuid(objectGuid), [&] {
      return wrapOut<UnknownWrapper>(_state, _inner->deleteObject(objectGuid, result), result,
                                     formatGuid(objectGuid));
    });
  }
  HRESULT VDDB_STDCALL openObject(const GUID& objectGuid, IStorageObject** object) override {
    clearOut(object);
    return run("openObject", formatGuid(objectGuid), [&] {
      return wrapOut<ObjectWrapper>(_state, _inner->openObject(objectGuid, object), object);
    });
  }
  HRESULT VDDB_STDCALL runQuery(IStorageQuery* query, IGuidEnumerator** enumerator) override {
    clearOut(enumerator);
    const std::string queryTarget = query != nullptr && dynamic_cast<Wrapper*>(query)
                                        ? dynamic_cast<Wrapper*>(query)->target()
                                        : std::string(query ? "query" : "null");
    return run("runQuery", queryTarget, [&] {
      return wrapOut<GuidEnumeratorWrapper>(_state, _inner->runQuery(unwrap(query), enumerator),
                                            enumerator, queryTarget);
    });
  }
};

// A successful QueryInterface hands out the wrapper of what the inner object
// handed out; an interface the decorator cannot wrap is refused.
void* wrapByIid(const std::shared_ptr<InjectorState>& state, REFIID iid, void* raw,
                const std::string& target) {
  if (iid == IID_IStorageObject)
    return adopt<ObjectWrapper>(state, static_cast<IStorageObject*>(raw));
  if (iid == IID_IStorageObjectEx) {
    return adopt<ObjectExWrapper>(state, static_cast<IStorageObjectEx*>(raw), target);
  }
  if (iid == IID_IStorageQuery) {
    return adopt<QueryWrapper>(state, static_cast<IStorageQuery*>(raw), target);
  }
  if (iid == IID_IStorageQueryEx) {
    return adopt<QueryExWrapper>(state, static_cast<IStorageQueryEx*>(raw), target);
  }
  if (iid == IID_IkorrinStorage) {
    return adopt<StorageWrapper>(state, static_cast<IkorrinStorage*>(raw), target);
  }
  if (iid == IID_IGuidEnumerator) {
    return adopt<GuidEnumeratorWrapper>(state, static_cast<IGuidEnumerator*>(raw), target);
  }
  if (iid == IID_IStorageClass) return adopt<ClassWrapper>(state, static_cast<IStorageClass*>(raw));
  if (iid == IID_IStorageAttribute) {
    return adopt<AttributeWrapper>(state, static_cast<IStorageAttribute*>(raw), target);
  }
  if (iid == IID_IAttributeIdEnumerator) {
    return adopt<AttributeIdEnumeratorWrapper>(state, static_cast<IAttributeIdEnumerator*>(raw),
                                               target);
  }
  if (iid == IID_IUnknown) return adopt<UnknownWrapper>(state, static_cast<IUnknown*>(raw), target);
  static_cast<IUnknown*>(raw)->Release();
  return nullptr;
}

HRESULT Wrapper::queryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  const std::string name = interfaceName(iid);
  Pending pending = enter("QueryInterface", name, name);
  if (!pending.injected && _state->hides(_target, iid)) pending.injected = E_NOINTERFACE;
  if (pending.injected) return leave(pending, *pending.injected);
  void* raw = nullptr;
  HRESULT hr = innerUnknown()->QueryInterface(iid, &raw);
  if (hr >= 0 && raw != nullptr) {
    *out = wrapByIid(_state, iid, raw, _target);
    if (*out == nullptr) hr = E_NOINTERFACE;
  }
  return leave(pending, hr);
}

}  // namespace detail

std::string JournalEntry::text() const {
  return interfaceName + "::" + operation + "(" + arguments + ")";
}

FaultInjector::FaultInjector() : _state(std::make_shared<detail::InjectorState>()) {}
FaultInjector::~FaultInjector() = default;

tScopedRef<IkorrinStorage> FaultInjector::wrap(IkorrinStorage* storage) {
  if (storage == nullptr) return {};
  storage->AddRef();
  return tScopedRef<IkorrinStorage>(detail::adopt<detail::StorageWrapper>(_state, storage));
}

void FaultInjector::failCall(std::string_view operation, std::uint64_t nth, HRESULT result) {
  if (checkOperationName(operation)) {
    _state->faults.push_back({std::string(operation), nth, result, false});
  }
}

void FaultInjector::failCallsFrom(std::string_view operation, std::uint64_t nth, HRESULT result) {
  if (checkOperationName(operation)) {
    _state->faults.push_back({std::string(operation), nth, result, true});
  }
}

void FaultInjector::hideInterface(const IID& iid) { _state->hidden.push_back({std::nullopt, iid}); }

void FaultInjector::hideInterface(const GUID& target, const IID& iid) {
  _state->hidden.push_back({formatGuid(target), iid});
}

void FaultInjector::shortenListReads(std::string_view operation, std::uint32_t attributeId,
                                     std::uint32_t missing) {
  if (operation != "getObjectList" && operation != "getKindObjectList") {
    ADD_FAILURE() << "FaultInjector: \"" << operation
                  << "\" is not a two-call read (getObjectList, getKindObjectList)";
    return;
  }
  _state->shortened.push_back({std::string(operation), attributeId, missing});
}

void FaultInjector::clearFaults() {
  _state->faults.clear();
  _state->hidden.clear();
  _state->shortened.clear();
}

const std::vector<JournalEntry>& FaultInjector::journal() const { return _state->journal; }

std::vector<std::string> FaultInjector::calls() const {
  std::vector<std::string> out;
  for (const JournalEntry& entry : _state->journal) out.push_back(entry.text());
  return out;
}

std::vector<std::string> FaultInjector::calls(std::string_view operation) const {
  std::vector<std::string> out;
  for (const JournalEntry& entry : _state->journal) {
    if (entry.operation == operation) out.push_back(entry.text());
  }
  return out;
}

std::size_t FaultInjector::count(std::string_view operation) const {
  std::size_t n = 0;
  for (const JournalEntry& entry : _state->journal) n += entry.operation == operation ? 1 : 0;
  return n;
}

void FaultInjector::clearJournal() { _state->journal.clear(); }

std::size_t FaultInjector::liveWrappers() const { return _state->liveWrappers; }

std::size_t liveFaultWrappers() noexcept { return gLiveWrappers; }

IUnknown* innermost(IUnknown* object) noexcept {
  while (auto* wrapper = dynamic_cast<detail::Wrapper*>(object)) object = wrapper->innerUnknown();
  return object;
}

bool sameObject(IUnknown* a, IUnknown* b) noexcept { return innermost(a) == innermost(b); }

std::string interfaceName(const IID& iid) {
  static const std::pair<IID, const char*> kNames[] = {
      {IID_IUnknown, "IUnknown"},
      {IID_IkorrinStorage, "IkorrinStorage"},
      {IID_IStorageQuery, "IStorageQuery"},
      {IID_IStorageQueryEx, "IStorageQueryEx"},
      {IID_IGuidEnumerator, "IGuidEnumerator"},
      {IID_IStorageObject, "IStorageObject"},
      {IID_IStorageObjectEx, "IStorageObjectEx"},
      {IID_IStorageClass, "IStorageClass"},
      {IID_IStorageAttribute, "IStorageAttribute"},
      {IID_IAttributeIdEnumerator, "IAttributeIdEnumerator"},
  };
  for (const auto& [id, name] : kNames) {
    if (id == iid) return name;
  }
  return formatGuid(iid);
}

std::string attributeText(std::uint32_t attributeId) { return hexText(attributeId); }

}  // namespace vddb::test
