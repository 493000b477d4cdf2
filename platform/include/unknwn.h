#pragma once
// IUnknown and IClassFactory, and the IID lookup that stands in for __uuidof.
#include "guiddef.h"
#include "minwindef.h"
#include "winerror.h"

#include <type_traits>

#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDAPI extern "C" TESMIRA_EXPORT HRESULT STDAPICALLTYPE
#define STDAPI_(type) extern "C" TESMIRA_EXPORT type STDAPICALLTYPE
#define PURE = 0
#define THIS_
#define THIS void
#define DECLSPEC_NOVTABLE
#define DECLSPEC_UUID(x)
#define interface struct

namespace tesmira::com {
// Specialized for every interface by TESMIRA_INTERFACE_IID.
template <class T>
struct InterfaceIid;
}  // namespace tesmira::com

// Binds an interface type to its documented IID and defines IID_<name>.
#define TESMIRA_INTERFACE_IID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  DEFINE_GUID(IID_##name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8);           \
  template <>                                                                 \
  struct tesmira::com::InterfaceIid<name> {                                   \
    static constexpr const GUID& value = IID_##name;                          \
  }

// MinGW-w64's binder, for interfaces that product code declares itself (the
// Windows SDK's compilers take DECLSPEC_UUID on the declaration instead).
#define __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
  template <>                                                         \
  struct tesmira::com::InterfaceIid<type> {                           \
    static constexpr GUID value = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}; \
  };

#define __uuidof(T) (::tesmira::com::InterfaceIid<std::remove_cv_t<std::remove_reference_t<T>>>::value)
#define IID_PPV_ARGS(pp) __uuidof(decltype(**(pp))), reinterpret_cast<void**>(pp)

struct IUnknown {
  STDMETHOD(QueryInterface)(REFIID riid, void** object) = 0;
  STDMETHOD_(ULONG, AddRef)() = 0;
  STDMETHOD_(ULONG, Release)() = 0;
  template <class Q>
  HRESULT QueryInterface(Q** object) {
    return QueryInterface(__uuidof(Q), reinterpret_cast<void**>(object));
  }

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
TESMIRA_INTERFACE_IID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

struct IClassFactory : IUnknown {
  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** object) = 0;
  STDMETHOD(LockServer)(BOOL lock) = 0;
};
TESMIRA_INTERFACE_IID(IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

typedef HRESULT(STDAPICALLTYPE* LPFNGETCLASSOBJECT)(REFCLSID, REFIID, LPVOID*);
typedef HRESULT(STDAPICALLTYPE* LPFNCANUNLOADNOW)();
