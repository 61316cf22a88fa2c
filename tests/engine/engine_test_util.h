// Helpers for the engine tests: short GUID literals, a fixture that checks
// every test leaves no engine object alive, and small readers that hold
// every reference in a tScopedRef.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/win32.h"
#include "store/guid.h"
#include "store/scoped_ref.h"

namespace vddb::engine::test {

inline GUID G(const char* text) { return *vddb::parseGuid(text); }

// Every test ends with no engine interface alive.
class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(liveInterfaceCount(), 0u); }

  std::unique_ptr<StoreSession> load(const std::string& json) {
    std::unique_ptr<StoreSession> session;
    std::string error;
    const HRESULT hr = StoreSession::openFromJson(json, session, &error);
    EXPECT_EQ(hr, S_OK) << error;
    return session;
  }
};

inline tScopedRef<IStorageObject> openObject(IkorrinStorage* storage, const GUID& guid,
                                             HRESULT* result = nullptr) {
  tScopedRef<IStorageObject> object;
  const HRESULT hr = storage->openObject(guid, object.put());
  if (result != nullptr) *result = hr;
  return object;
}

inline GUID guidOf(IStorageObject* object) {
  GUID g{};
  EXPECT_EQ(object->getObjectGuid(&g), S_OK);
  return g;
}

// The GUIDs a query selects, through the two calls of a run.
inline std::vector<std::string> runQuery(IkorrinStorage* storage, IStorageQuery* query) {
  std::vector<std::string> out;
  tScopedRef<IGuidEnumerator> e;
  EXPECT_EQ(storage->runQuery(query, e.put()), S_OK);
  if (!e) return out;
  GUID batch[3];
  std::uint32_t got = 0;
  HRESULT hr;
  do {
    hr = e->Next(3, batch, &got);
    for (std::uint32_t i = 0; i < got; ++i) out.push_back(vddb::formatGuid(batch[i]));
  } while (hr == S_OK);
  EXPECT_EQ(hr, S_FALSE);
  return out;
}

inline std::vector<std::string> selectGuids(IkorrinStorage* storage, const GUID& cls,
                                            std::uint32_t flag) {
  tScopedRef<IStorageQuery> q;
  EXPECT_EQ(storage->createQuery(cls, flag, 0, q.put()), S_OK);
  if (!q) return {};
  return runQuery(storage, q.get());
}

// A reference list read by the two-call protocol, as GUID texts.
inline std::vector<std::string> readList(IStorageObject* object, std::uint32_t attr,
                                         const GUID* kind = nullptr) {
  std::vector<std::string> out;
  tScopedRef<IStorageObjectEx> ex;
  if (kind != nullptr) {
    EXPECT_EQ(object->QueryInterface(IID_IStorageObjectEx, ex.putVoid()), S_OK);
  }
  std::uint32_t count = 0;
  HRESULT hr = kind ? ex->getKindObjectList(attr, 0, *kind, nullptr, &count)
                    : object->getObjectList(attr, 0, nullptr, &count);
  EXPECT_EQ(hr, S_OK);
  if (count == 0) return out;
  std::vector<IStorageObject*> slots(count, nullptr);
  std::uint32_t filled = 0;
  hr = kind ? ex->getKindObjectList(attr, count, *kind, slots.data(), &filled)
            : object->getObjectList(attr, count, slots.data(), &filled);
  EXPECT_EQ(hr, S_OK);
  for (std::uint32_t i = 0; i < filled; ++i) {
    tScopedRef<IStorageObject> held(slots[i]);
    out.push_back(vddb::formatGuid(guidOf(held.get())));
  }
  return out;
}

inline std::string readString(IStorageObject* object, std::uint32_t attr, HRESULT* result = nullptr,
                              bool* isNull = nullptr) {
  char16_t* text = nullptr;
  const HRESULT hr = object->getString(attr, &text);
  if (result != nullptr) *result = hr;
  if (isNull != nullptr) *isNull = text == nullptr;
  std::string out;
  for (const char16_t* p = text; p != nullptr && *p != 0; ++p) {
    out.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
  }
  CoTaskMemFree(text);
  return out;
}

}  // namespace vddb::engine::test
