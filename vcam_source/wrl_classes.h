#pragma once
// The media source's COM classes are WRL classes. The SDK's WRL wins wherever it
// has implements.h; MinGW-w64 ships only ComPtr, so for it the few classic-COM
// pieces the source uses are supplied here: RuntimeClass with
// RuntimeClassFlags<ClassicCom>, ChainInterfaces and Make.
#if __has_include(<wrl/implements.h>) && !defined(TESMIRA_OWN_WRL_CLASSES)
#include <wrl/implements.h>
#else
#include <unknwn.h>
#include <wrl/client.h>

#include <atomic>
#include <new>
#include <utility>

#include "common/com_ownership.h"

namespace Microsoft::WRL {

enum RuntimeClassType { WinRt = 0x1, ClassicCom = 0x2, WinRtClassicComMix = 0x3 };
template <unsigned int flags>
struct RuntimeClassFlags {};

// Derives from the first (most derived) interface; QueryInterface for any of the
// chain answers with that one pointer.
template <class Derived, class... Bases>
struct ChainInterfaces : Derived {};

namespace Details {
template <class I>
struct Entry {
  using Interface = I;
  static bool answers(REFIID riid) { return IsEqualGUID(riid, __uuidof(I)); }
};
template <class Derived, class... Bases>
struct Entry<ChainInterfaces<Derived, Bases...>> {
  using Interface = Derived;
  static bool answers(REFIID riid) {
    return IsEqualGUID(riid, __uuidof(Derived)) || (IsEqualGUID(riid, __uuidof(Bases)) || ...);
  }
};
template <class First, class...>
struct FirstOf {
  using Interface = typename Entry<First>::Interface;
};
}  // namespace Details

template <class Flags, class... Interfaces>
class RuntimeClass;

template <unsigned int flags, class... Interfaces>
class RuntimeClass<RuntimeClassFlags<flags>, Interfaces...> : public Interfaces... {
  static_assert(flags == ClassicCom, "only classic COM classes are supplied");

 public:
  RuntimeClass() = default;
  RuntimeClass(const RuntimeClass&) = delete;
  RuntimeClass& operator=(const RuntimeClass&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (IsEqualGUID(riid, __uuidof(IUnknown))) {
      // One IUnknown pointer for the object, whichever interface is asked.
      *object = static_cast<typename Details::FirstOf<Interfaces...>::Interface*>(this);
    } else {
      (void)((Details::Entry<Interfaces>::answers(riid) &&
              (*object = static_cast<typename Details::Entry<Interfaces>::Interface*>(this), true)) ||
             ...);
    }
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~RuntimeClass() = default;

 private:
  std::atomic<ULONG> refs_{1};
};

// The new object's first reference belongs to the returned pointer; empty when
// memory runs out.
template <class T, class... Args>
ComPtr<T> Make(Args&&... args) {
  return tesmira::adoptReference(new (std::nothrow) T(std::forward<Args>(args)...));
}

}  // namespace Microsoft::WRL
#endif
