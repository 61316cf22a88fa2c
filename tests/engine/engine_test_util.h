// Helpers for the engine tests: short GUID literals, a fixture that checks
// every test leaves no engine object alive, and small readers that hold
// every reference in a tScopedRef.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "../support/posix_shims.h"
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

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace vddb::engine::test {

// A fresh directory for one test, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vddb-engine-XXXXXX").string();
    _path = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return _path; }
  std::string file(const std::string& name) const { return _path + "/" + name; }
  // The names in the directory, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(_path)) {
      out.push_back(entry.path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::string _path;
};

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline HRESULT createStore(const std::string& path, const std::string& json,
                           std::string* error = nullptr) {
  std::istringstream in(json);
  return createStoreFromJson(in, path, false, error);
}

inline std::string dumpFile(const std::string& path) {
  std::unique_ptr<StoreSession> s;
  if (StoreSession::openReadOnly(path, s) < 0) return "<cannot open>";
  std::string text;
  if (s->dumpJson(text) < 0) return "<cannot dump>";
  return text;
}

}  // namespace vddb::engine::test
