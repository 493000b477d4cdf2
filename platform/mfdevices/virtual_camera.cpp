// MFCreateVirtualCamera and IMFVirtualCamera: a started camera is kept in the
// machine root and enumerated among the video capture devices.
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfvirtualcamera.h>
#include <processthreadsapi.h>
#include <wrl/client.h>

#include <mutex>
#include <new>

#include "base/modules.h"
#include "mfdevices/attributes_forwarder.h"
#include "mfdevices/scripted_failures.h"
#include "mfdevices/virtual_camera_store.h"

namespace tesmira::platform::mfdevices {
namespace {
using Microsoft::WRL::ComPtr;

// GetProcAddress(LoadLibraryW(L"mfsensorgroup.dll"), "MFCreateVirtualCamera") finds us.
const bool kModuleRegistered = (registerSystemModule(L"mfsensorgroup.dll"), true);

class VirtualCamera final : public AttributesForwarder<IMFVirtualCamera> {
 public:
  HRESULT initialize(vcams::VirtualCameraRecord config) {
    config_ = std::move(config);
    return createStore(4);
  }

  STDMETHODIMP AddDeviceSourceInfo(LPCWSTR deviceSourceInfo) override {
    if (!deviceSourceInfo) return E_POINTER;
    if (!*deviceSourceInfo) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (const auto failure = takeScriptedFailure("IMFVirtualCamera::AddDeviceSourceInfo")) return *failure;
    config_.deviceSources.push_back(deviceSourceInfo);
    return S_OK;
  }
  STDMETHODIMP AddProperty(const DEVPROPKEY*, DEVPROPTYPE, const BYTE*, ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP AddRegistryEntry(LPCWSTR, LPCWSTR, DWORD, const BYTE*, ULONG) override { return E_NOTIMPL; }

  STDMETHODIMP Start(IMFAsyncCallback* callback) override {
    HRESULT hr = startNow();
    if (callback) {
      // The caller learns the outcome through its callback, as from the real frame server.
      ComPtr<IMFAsyncResult> result;
      if (SUCCEEDED(MFCreateAsyncResult(nullptr, callback, nullptr, &result))) {
        result->SetStatus(hr);
        MFInvokeCallback(result.Get());
      }
    }
    return hr;
  }

  STDMETHODIMP Stop() override { return Remove(); }

  STDMETHODIMP Remove() override {
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    return vcams::removeStored(config_);
  }

  STDMETHODIMP GetMediaSource(IMFMediaSource** mediaSource) override {
    if (!mediaSource) return E_POINTER;
    *mediaSource = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP SendCameraProperty(REFGUID, ULONG, ULONG, void*, ULONG, void*, ULONG, ULONG*) override {
    return E_NOTIMPL;
  }
  STDMETHODIMP CreateSyncEvent(REFGUID, ULONG, ULONG, HANDLE, IMFCameraSyncObject** object) override {
    if (object) *object = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP CreateSyncSemaphore(REFGUID, ULONG, ULONG, HANDLE, LONG, IMFCameraSyncObject** object) override {
    if (object) *object = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP Shutdown() override {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    return S_OK;
  }

 private:
  HRESULT startNow() {
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (const auto failure = takeScriptedFailure("IMFVirtualCamera::Start")) return *failure;
    vcams::VirtualCameraRecord record = config_;
    record.strings = stringAttributes();
    record.symbolicLink = vcams::symbolicLinkFor(record);
    const HRESULT hr = vcams::saveStarted(record);
    if (FAILED(hr)) return hr;
    return store_->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, record.symbolicLink.c_str());
  }

  // The string attributes the creator stored on the camera travel with it.
  std::map<GUID, std::wstring> stringAttributes() {
    std::map<GUID, std::wstring> strings;
    UINT32 count = 0;
    store_->GetCount(&count);
    for (UINT32 i = 0; i < count; ++i) {
      GUID key{};
      PROPVARIANT value;
      PropVariantInit(&value);
      if (SUCCEEDED(store_->GetItemByIndex(i, &key, &value)) && value.vt == VT_LPWSTR && value.pwszVal) {
        strings[key] = value.pwszVal;
      }
      PropVariantClear(&value);
    }
    return strings;
  }

  std::mutex mutex_;
  vcams::VirtualCameraRecord config_;
  bool shutDown_ = false;
};

}  // namespace
}  // namespace tesmira::platform::mfdevices

using tesmira::platform::mfdevices::VirtualCamera;

STDAPI MFCreateVirtualCamera(MFVirtualCameraType type, MFVirtualCameraLifetime lifetime, MFVirtualCameraAccess access,
                             LPCWSTR friendlyName, LPCWSTR sourceId, const GUID* categories, ULONG categoryCount,
                             IMFVirtualCamera** virtualCamera) {
  namespace vcams = tesmira::platform::vcams;
  if (!virtualCamera) return E_POINTER;
  *virtualCamera = nullptr;
  if (type != MFVirtualCameraType_SoftwareCameraSource ||
      (lifetime != MFVirtualCameraLifetime_Session && lifetime != MFVirtualCameraLifetime_System) ||
      (access != MFVirtualCameraAccess_CurrentUser && access != MFVirtualCameraAccess_AllUsers) || !friendlyName ||
      !*friendlyName || !sourceId || !*sourceId || (categoryCount && !categories)) {
    return E_INVALIDARG;
  }
  if (const auto failure = tesmira::platform::mfdevices::takeScriptedFailure("MFCreateVirtualCamera")) return *failure;
  vcams::VirtualCameraRecord config;
  config.friendlyName = friendlyName;
  config.sourceId = sourceId;
  config.type = type;
  config.lifetime = lifetime;
  config.access = access;
  config.owner = vcams::currentUserName();
  config.ownerProcess = GetCurrentProcessId();
  config.categories.assign(categories, categories + categoryCount);
  Microsoft::WRL::ComPtr<VirtualCamera> camera;
  camera.Attach(new (std::nothrow) VirtualCamera);
  if (!camera) return E_OUTOFMEMORY;
  const HRESULT hr = camera->initialize(std::move(config));
  if (FAILED(hr)) return hr;
  *virtualCamera = camera.Detach();
  return S_OK;
}
