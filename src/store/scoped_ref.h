// A scoped owner of one interface reference: released exactly once, on
// every path, when the holder ends or is reset.
#pragma once

#include <utility>

template <class T>
class tScopedRef {
 public:
  tScopedRef() noexcept = default;
  // Takes over a reference the caller already owns.
  explicit tScopedRef(T* adopted) noexcept : _p(adopted) {}
  tScopedRef(const tScopedRef&) = delete;
  tScopedRef& operator=(const tScopedRef&) = delete;
  tScopedRef(tScopedRef&& other) noexcept : _p(std::exchange(other._p, nullptr)) {}
  tScopedRef& operator=(tScopedRef&& other) noexcept {
    if (this != &other) {
      reset();
      _p = std::exchange(other._p, nullptr);
    }
    return *this;
  }
  ~tScopedRef() { reset(); }

  // Takes a reference of its own on a borrowed pointer (null allowed).
  static tScopedRef share(T* borrowed) noexcept {
    if (borrowed != nullptr) borrowed->AddRef();
    return tScopedRef(borrowed);
  }

  T* get() const noexcept { return _p; }
  T* operator->() const noexcept { return _p; }
  explicit operator bool() const noexcept { return _p != nullptr; }

  // The slot for an out argument: drops what is held, then lends the slot.
  T** put() noexcept {
    reset();
    return &_p;
  }
  // For out arguments typed as IUnknown** or void**.
  void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

  void reset() noexcept {
    if (T* p = std::exchange(_p, nullptr)) p->Release();
  }
  // Hands the reference to the caller, who must release it.
  [[nodiscard]] T* detach() noexcept { return std::exchange(_p, nullptr); }

 private:
  T* _p = nullptr;
};
