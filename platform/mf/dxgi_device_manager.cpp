// MFCreateDXGIDeviceManager: the Direct3D 11 device a source reader fills its
// texture samples on. Handles opened before a ResetDevice go stale, as on Windows.
#include <d3d11.h>
#include <mfapi.h>
#include <wrl/client.h>
#include <wrl/implements.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

namespace tesmira::platform::mf {
namespace {

using Microsoft::WRL::ComPtr;

std::atomic<UINT> gNextToken{1};

class DeviceManager final : public Microsoft::WRL::RuntimeClass<IMFDXGIDeviceManager> {
 public:
  explicit DeviceManager(UINT token) : token_(token) {}

  STDMETHODIMP ResetDevice(IUnknown* device, UINT resetToken) override {
    if (device == nullptr || resetToken != token_) return E_INVALIDARG;
    ComPtr<ID3D11Device> d3d;
    if (FAILED(device->QueryInterface(IID_PPV_ARGS(&d3d)))) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    device_ = d3d;
    ++generation_;
    return S_OK;
  }

  STDMETHODIMP OpenDeviceHandle(HANDLE* handle) override {
    if (handle == nullptr) return E_POINTER;
    *handle = nullptr;
    std::lock_guard lock(mutex_);
    if (!device_) return MF_E_DXGI_DEVICE_NOT_INITIALIZED;
    const uintptr_t value = nextHandle_++;
    handles_[value] = generation_;
    *handle = reinterpret_cast<HANDLE>(value);
    return S_OK;
  }

  STDMETHODIMP CloseDeviceHandle(HANDLE handle) override {
    std::lock_guard lock(mutex_);
    return handles_.erase(reinterpret_cast<uintptr_t>(handle)) == 1 ? S_OK : E_HANDLE;
  }

  STDMETHODIMP TestDevice(HANDLE handle) override {
    std::lock_guard lock(mutex_);
    return check(handle);
  }

  // The device itself; callers serialise its immediate context with ID3D11Multithread.
  STDMETHODIMP LockDevice(HANDLE handle, REFIID riid, void** object, BOOL) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    std::lock_guard lock(mutex_);
    if (const HRESULT hr = check(handle); FAILED(hr)) return hr;
    return device_->QueryInterface(riid, object);
  }

  STDMETHODIMP UnlockDevice(HANDLE handle, BOOL) override {
    std::lock_guard lock(mutex_);
    return handles_.count(reinterpret_cast<uintptr_t>(handle)) == 1 ? S_OK : E_HANDLE;
  }

  // No video decoding or processing services on this device.
  STDMETHODIMP GetVideoService(HANDLE handle, REFIID, void** service) override {
    if (service == nullptr) return E_POINTER;
    *service = nullptr;
    std::lock_guard lock(mutex_);
    if (const HRESULT hr = check(handle); FAILED(hr)) return hr;
    return E_NOINTERFACE;
  }

 private:
  HRESULT check(HANDLE handle) const {
    const auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end()) return E_HANDLE;
    return found->second == generation_ ? S_OK : MF_E_DXGI_NEW_VIDEO_DEVICE;
  }

  const UINT token_;
  std::mutex mutex_;
  ComPtr<ID3D11Device> device_;
  uint64_t generation_ = 0;
  uintptr_t nextHandle_ = 1;
  std::map<uintptr_t, uint64_t> handles_;
};

}  // namespace
}  // namespace tesmira::platform::mf

STDAPI MFCreateDXGIDeviceManager(UINT* resetToken, IMFDXGIDeviceManager** manager) {
  if (resetToken == nullptr || manager == nullptr) return E_POINTER;
  *manager = nullptr;
  const UINT token = tesmira::platform::mf::gNextToken.fetch_add(1);
  auto made = Microsoft::WRL::Make<tesmira::platform::mf::DeviceManager>(token);
  if (!made) return E_OUTOFMEMORY;
  *resetToken = token;
  *manager = made.Detach();
  return S_OK;
}
