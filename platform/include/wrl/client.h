#pragma once
// Microsoft::WRL::ComPtr: an owning interface pointer.
#include "../unknwn.h"

#include <utility>

namespace Microsoft::WRL {

template <class T>
class ComPtr {
 public:
  using InterfaceType = T;
  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}
  ComPtr(T* p) noexcept : p_(p) { addRef(); }
  ComPtr(const ComPtr& other) noexcept : p_(other.p_) { addRef(); }
  template <class U>
  ComPtr(const ComPtr<U>& other) noexcept : p_(other.Get()) { addRef(); }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { release(); }

  ComPtr& operator=(const ComPtr& other) noexcept {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }
  ComPtr& operator=(T* p) noexcept {
    ComPtr(p).Swap(*this);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    release();
    return *this;
  }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T** GetAddressOf() noexcept { return &p_; }
  T** ReleaseAndGetAddressOf() noexcept {
    release();
    return &p_;
  }
  T** operator&() noexcept { return ReleaseAndGetAddressOf(); }
  T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Attach(T* p) noexcept {
    release();
    p_ = p;
  }
  void Reset() noexcept { release(); }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }
  HRESULT CopyTo(T** out) const noexcept {
    addRef();
    *out = p_;
    return S_OK;
  }
  template <class U>
  HRESULT As(ComPtr<U>* out) const noexcept {
    return p_->QueryInterface(__uuidof(U), reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
  }
  HRESULT As(REFIID riid, void** out) const noexcept { return p_->QueryInterface(riid, out); }

 private:
  void addRef() const noexcept {
    if (p_) p_->AddRef();
  }
  void release() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  T* p_ = nullptr;
};

template <class T, class U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) {
  return a.Get() == b.Get();
}

}  // namespace Microsoft::WRL
