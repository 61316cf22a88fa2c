// The COM vocabulary the store interfaces are written in. On Windows these
// are the real COM types, so the interfaces are ABI-compatible COM
// interfaces; elsewhere identical stand-ins.
#pragma once

#include <cstdint>

#include "platform/win32.h"

#ifdef _WIN32
#include <unknwn.h>
#define VDDB_STDCALL STDMETHODCALLTYPE
#else
#define VDDB_STDCALL

using HRESULT = std::int32_t;
using ULONG = std::uint32_t;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using REFIID = const IID&;

constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002U);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003U);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005U);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000EU);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057U);

struct IUnknown {
  virtual HRESULT VDDB_STDCALL QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG VDDB_STDCALL AddRef() = 0;
  virtual ULONG VDDB_STDCALL Release() = 0;

 protected:
  ~IUnknown() = default;
};

inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
#endif
