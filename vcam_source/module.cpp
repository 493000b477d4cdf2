// The COM server: its two exports and the class factory.
#include <windows.h>

#include "vcam_source/media_source.h"
#include "vcam_source/source_log.h"
#include "vcam_source/wrl_classes.h"

namespace tesmira::vcam {
namespace {

class TesmiraClassFactory final
    : public Microsoft::WRL::RuntimeClass<Microsoft::WRL::RuntimeClassFlags<Microsoft::WRL::ClassicCom>, IClassFactory> {
 public:
  STDMETHOD(CreateInstance)(IUnknown* outer, REFIID riid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return createMediaSourceActivate(riid, out);
  }
  STDMETHOD(LockServer)(BOOL) override { return S_OK; }
};

}  // namespace
}  // namespace tesmira::vcam

using namespace tesmira::vcam;

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllCanUnloadNow() { return S_FALSE; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* out) {
  logSource(L"DllGetClassObject clsid=" + guidToText(rclsid) + L" riid=" + guidToText(riid));
  if (!out) return E_POINTER;
  *out = nullptr;
  if (rclsid != CLSID_TesmiraMediaSource) return CLASS_E_CLASSNOTAVAILABLE;
  auto factory = Microsoft::WRL::Make<TesmiraClassFactory>();
  if (!factory) return E_OUTOFMEMORY;
  if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
  return factory->QueryInterface(riid, out);
}
