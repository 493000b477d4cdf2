#pragma once
// Microsoft::WRL::RuntimeClass for classic COM: a 32-bit atomic reference count
// that starts at 1, QueryInterface over the listed interfaces (a ChainInterfaces
// entry answers every interface of its chain with the same pointer), no
// aggregation, no free-threaded marshaller, no IInspectable.
#include "client.h"

#include <atomic>
#include <new>
#include <tuple>

namespace Microsoft::WRL {

enum RuntimeClassType { ClassicCom = 0x2 };
template <unsigned int flags>
struct RuntimeClassFlags {};

// The first interface is the one handed out; the rest are its bases.
template <class First, class... Bases>
struct ChainInterfaces : First {
  static bool answers(REFIID riid) { return riid == __uuidof(First) || ((riid == __uuidof(Bases)) || ...); }
};

namespace Details {
template <class I>
struct InterfaceTraits {
  using Base = I;
  static bool answers(REFIID riid) { return riid == __uuidof(I); }
};
template <class First, class... Bases>
struct InterfaceTraits<ChainInterfaces<First, Bases...>> {
  using Base = First;
  static bool answers(REFIID riid) { return ChainInterfaces<First, Bases...>::answers(riid); }
};
template <class T>
struct IsFlags : std::false_type {};
template <unsigned int f>
struct IsFlags<RuntimeClassFlags<f>> : std::true_type {};
}  // namespace Details

template <class... Entries>
class RuntimeClass;

template <unsigned int flags, class... Interfaces>
class RuntimeClass<RuntimeClassFlags<flags>, Interfaces...> : public Interfaces... {
 public:
  RuntimeClass() = default;
  RuntimeClass(const RuntimeClass&) = delete;
  RuntimeClass& operator=(const RuntimeClass&) = delete;

  STDMETHOD(QueryInterface)(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (riid == __uuidof(IUnknown)) {
      *object = firstInterface();
    } else {
      (void)((Details::InterfaceTraits<Interfaces>::answers(riid) &&
              (*object = static_cast<typename Details::InterfaceTraits<Interfaces>::Base*>(this), true)) ||
             ...);
    }
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  STDMETHOD_(ULONG, AddRef)() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHOD_(ULONG, Release)() override {
    ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~RuntimeClass() = default;

 private:
  IUnknown* firstInterface() {
    return static_cast<typename Details::InterfaceTraits<std::tuple_element_t<0, std::tuple<Interfaces...>>>::Base*>(this);
  }
  std::atomic<ULONG> refs_{1};
};

template <class... Interfaces>
class RuntimeClass : public RuntimeClass<RuntimeClassFlags<ClassicCom>, Interfaces...> {};

// Creates an object with its first reference owned by the returned pointer;
// an empty pointer when memory runs out.
template <class T, class... Args>
ComPtr<T> Make(Args&&... args) {
  ComPtr<T> result;
  result.Attach(new (std::nothrow) T(std::forward<Args>(args)...));
  return result;
}

}  // namespace Microsoft::WRL
