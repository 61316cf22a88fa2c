// Queries: the objects of a set of classes, optionally filtered by value
// conditions, in ascending GUID order.
#include <sqlite3.h>

#include <algorithm>

#include "engine/schema.h"
#include "engine/store.h"
#include "store/interfaces.h"

namespace vddb::engine {

HRESULT Store::valueMatches(const GUID& object, const QueryCondition& condition, bool& matches) {
  matches = false;
  if (condition.isString) {
    std::u16string text;
    const HRESULT hr = readString(object, condition.attributeId, text);
    if (hr < 0) return hr;
    matches = hr == S_OK && text == condition.text;
    return S_OK;
  }
  std::int32_t value = 0;
  const HRESULT hr = readInteger(object, condition.attributeId, value);
  if (hr < 0) return hr;
  matches = hr == S_OK && value == condition.integer;
  return S_OK;
}

HRESULT Store::selectObjects(const std::vector<const ClassDef*>& classes,
                             const std::vector<QueryCondition>& conditions,
                             std::vector<GUID>& out) {
  out.clear();
  if (_db == nullptr) return kStoreClosed;
  int rc;
  if (conditions.empty()) {
    for (const ClassDef* cls : classes) {
      StatementUse use(_objectsOfClass);
      use.bindGuid(1, cls->guid);
      while ((rc = use.step()) == SQLITE_ROW) out.push_back(use.columnGuid(0));
      if (rc != SQLITE_DONE) return storageFailure(rc);
    }
    if (classes.size() > 1) std::sort(out.begin(), out.end(), GuidLess{});
    return S_OK;
  }
  // The first condition goes through its value index; the class and the
  // other conditions are checked per candidate by key.
  std::vector<GUID> candidates;
  {
    const QueryCondition& first = conditions.front();
    StatementUse use(first.isString ? _objectsByString : _objectsByInt);
    use.bindInt(1, first.attributeId);
    std::string bytes;
    if (first.isString) {
      schema::encodeUtf16(first.text.data(), first.text.size(), bytes);
      use.bindInt(2, schema::textHash(bytes));
      use.bindBlob(3, bytes.data(), bytes.size());
    } else {
      use.bindInt(2, first.integer);
    }
    while ((rc = use.step()) == SQLITE_ROW) candidates.push_back(use.columnGuid(0));
    if (rc != SQLITE_DONE) return storageFailure(rc);
  }
  for (const GUID& candidate : candidates) {
    const ClassDef* cls = nullptr;
    HRESULT hr = objectClass(candidate, cls);
    if (hr == kStorageNotFound) continue;
    if (hr < 0) return hr;
    if (std::find(classes.begin(), classes.end(), cls) == classes.end()) continue;
    bool all = true;
    for (std::size_t i = 1; i < conditions.size() && all; ++i) {
      hr = valueMatches(candidate, conditions[i], all);
      if (hr < 0) return hr;
    }
    if (all) out.push_back(candidate);
  }
  return S_OK;
}

}  // namespace vddb::engine
