// Wrappers for the store calls that hand out one reference. Each applies
// the status rule: with a negative code no call is made and the result is
// empty; a failing result is recorded by the storage mapping (0x80040309
// becomes StatusNotFound); a warning does not stop the call. The returned
// holder owns whatever the call handed out, so nothing leaks on any path.
#pragma once

#include <cstdint>

#include "status/status_rules.h"
#include "store/interfaces.h"
#include "store/scoped_ref.h"

namespace vddb::store {

tScopedRef<IStorageQuery> createQuery(IkorrinStorage* storage, const GUID& classGuid,
                                      std::uint32_t flag, std::int32_t& code);
tScopedRef<IUnknown> deleteObject(IkorrinStorage* storage, const GUID& objectGuid,
                                  std::int32_t& code);
tScopedRef<IStorageObject> openObject(IkorrinStorage* storage, const GUID& objectGuid,
                                      std::int32_t& code);
tScopedRef<IGuidEnumerator> runQuery(IkorrinStorage* storage, IStorageQuery* query,
                                     std::int32_t& code);
tScopedRef<IStorageClass> getClass(IStorageObject* object, std::int32_t& code);
tScopedRef<IStorageObject> getReference(IStorageObject* object, std::uint32_t attributeId,
                                        std::int32_t& code);
tScopedRef<IStorageClass> getBaseClass(IStorageClass* storageClass, std::int32_t& code);
tScopedRef<IStorageAttribute> getAttribute(IStorageClass* storageClass, std::uint32_t attributeId,
                                           std::int32_t& code);
tScopedRef<IAttributeIdEnumerator> enumAttributeIds(IStorageClass* storageClass,
                                                    std::int32_t& code);

// Asks for an extension interface. A failure is recorded as it stands,
// without the mapping.
template <class Ex>
tScopedRef<Ex> queryExtension(IUnknown* object, const IID& iid, std::int32_t& code) {
  tScopedRef<Ex> ex;
  if (!isGood(code)) return ex;
  recordInterfaceResult(code, object->QueryInterface(iid, ex.putVoid()));
  return ex;
}

// An in-place call under the same rule: made only on a good code, a failing
// result recorded by the mapping. Returns the call's result, or the code
// when no call was made.
template <class Call>
std::int32_t callStore(std::int32_t& code, Call&& call) {
  if (!isGood(code)) return code;
  const std::int32_t result = call();
  recordStorageResult(code, result);
  return result;
}

}  // namespace vddb::store
