#include "store/wrappers.h"

namespace vddb::store {

namespace {

// The common shape: empty result, no call on a bad code, mapping on failure.
// Should the call throw, the holder releases what it had handed out.
template <class T, class Call>
tScopedRef<T> wrap(std::int32_t& code, Call&& call) {
  tScopedRef<T> out;
  if (!isGood(code)) return out;
  recordStorageResult(code, call(out.put()));
  return out;
}

}  // namespace

tScopedRef<IStorageQuery> createQuery(IkorrinStorage* storage, const GUID& classGuid,
                                      std::uint32_t flag, std::int32_t& code) {
  return wrap<IStorageQuery>(
      code, [&](IStorageQuery** out) { return storage->createQuery(classGuid, flag, 0, out); });
}

tScopedRef<IUnknown> deleteObject(IkorrinStorage* storage, const GUID& objectGuid,
                                  std::int32_t& code) {
  return wrap<IUnknown>(code,
                        [&](IUnknown** out) { return storage->deleteObject(objectGuid, out); });
}

tScopedRef<IStorageObject> openObject(IkorrinStorage* storage, const GUID& objectGuid,
                                      std::int32_t& code) {
  return wrap<IStorageObject>(
      code, [&](IStorageObject** out) { return storage->openObject(objectGuid, out); });
}

tScopedRef<IGuidEnumerator> runQuery(IkorrinStorage* storage, IStorageQuery* query,
                                     std::int32_t& code) {
  return wrap<IGuidEnumerator>(
      code, [&](IGuidEnumerator** out) { return storage->runQuery(query, out); });
}

tScopedRef<IStorageClass> getClass(IStorageObject* object, std::int32_t& code) {
  return wrap<IStorageClass>(code, [&](IStorageClass** out) { return object->getClass(out); });
}

tScopedRef<IStorageObject> getReference(IStorageObject* object, std::uint32_t attributeId,
                                        std::int32_t& code) {
  return wrap<IStorageObject>(
      code, [&](IStorageObject** out) { return object->getReference(attributeId, out); });
}

tScopedRef<IStorageClass> getBaseClass(IStorageClass* storageClass, std::int32_t& code) {
  return wrap<IStorageClass>(code,
                             [&](IStorageClass** out) { return storageClass->getBaseClass(out); });
}

tScopedRef<IStorageAttribute> getAttribute(IStorageClass* storageClass, std::uint32_t attributeId,
                                           std::int32_t& code) {
  return wrap<IStorageAttribute>(
      code, [&](IStorageAttribute** out) { return storageClass->getAttribute(attributeId, out); });
}

tScopedRef<IAttributeIdEnumerator> enumAttributeIds(IStorageClass* storageClass,
                                                    std::int32_t& code) {
  return wrap<IAttributeIdEnumerator>(
      code, [&](IAttributeIdEnumerator** out) { return storageClass->enumAttributeIds(out); });
}

}  // namespace vddb::store
