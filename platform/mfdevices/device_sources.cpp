// MFEnumDeviceSources over the machine's cameras and started virtual cameras,
// the activation objects it hands out, and the physical cameras' media source.
#include <combaseapi.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>
#include <wrl/implements.h>

#include <atomic>
#include <mutex>
#include <new>
#include <optional>

#include "core/faults.h"
#include "mfdevices/attributes_forwarder.h"
#include "mfdevices/camera_media_source.h"
#include "mfdevices/consent_store.h"
#include "mfdevices/frame_server.h"
#include "mfdevices/virtual_camera_store.h"

namespace tesmira::platform::mfdevices {
namespace {
using Microsoft::WRL::ChainInterfaces;
using Microsoft::WRL::ComPtr;
using Microsoft::WRL::RuntimeClass;
using Microsoft::WRL::RuntimeClassFlags;

// KSCATEGORY_VIDEO_CAMERA
constexpr GUID kVideoCameraCategory = {0xe5323777, 0xf976, 0x4f5b, {0x9b, 0x55, 0xb9, 0x46, 0x99, 0xc4, 0x6e, 0x44}};

class CameraMediaSource final
    : public RuntimeClass<RuntimeClassFlags<Microsoft::WRL::ClassicCom>,
                          ChainInterfaces<IMFMediaSource, IMFMediaEventGenerator>, ICameraDeviceSource> {
 public:
  HRESULT initialize(std::unique_ptr<cameras::ICameraDevice> device) {
    device_ = std::move(device);
    return MFCreateEventQueue(&events_);
  }

  STDMETHODIMP takeDevice(std::unique_ptr<cameras::ICameraDevice>& device) override {
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (!device_) return MF_E_NOT_AVAILABLE;
    device = std::move(device_);
    return S_OK;
  }

  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override {
    ComPtr<IMFMediaEventQueue> queue;
    if (HRESULT hr = liveQueue(queue); FAILED(hr)) return hr;
    return queue->GetEvent(flags, event);  // may block: called without our lock
  }
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    std::lock_guard lock(mutex_);
    return shutDown_ ? MF_E_SHUTDOWN : events_->BeginGetEvent(callback, state);
  }
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    std::lock_guard lock(mutex_);
    return shutDown_ ? MF_E_SHUTDOWN : events_->EndGetEvent(result, event);
  }
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) override {
    std::lock_guard lock(mutex_);
    return shutDown_ ? MF_E_SHUTDOWN : events_->QueueEventParamVar(type, extendedType, status, value);
  }

  STDMETHODIMP GetCharacteristics(DWORD* characteristics) override {
    if (!characteristics) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    *characteristics = MFMEDIASOURCE_IS_LIVE;
    return S_OK;
  }

  // One video stream offering the camera's modes, the first selected.
  STDMETHODIMP CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override {
    if (!descriptor) return E_POINTER;
    *descriptor = nullptr;
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (!device_) return MF_E_NOT_AVAILABLE;
    std::vector<ComPtr<IMFMediaType>> types;
    for (const cameras::CameraMode& mode : device_->modes()) {
      ComPtr<IMFMediaType> type;
      if (HRESULT hr = mediaTypeOf(mode, &type); FAILED(hr)) return hr;
      types.push_back(type);
    }
    if (types.empty()) return MF_E_INVALIDMEDIATYPE;
    std::vector<IMFMediaType*> raw;
    for (auto& t : types) raw.push_back(t.Get());
    ComPtr<IMFStreamDescriptor> stream;
    HRESULT hr = MFCreateStreamDescriptor(0, DWORD(raw.size()), raw.data(), &stream);
    if (FAILED(hr)) return hr;
    ComPtr<IMFMediaTypeHandler> handler;
    if (SUCCEEDED(stream->GetMediaTypeHandler(&handler))) handler->SetCurrentMediaType(raw[0]);
    IMFStreamDescriptor* streams[] = {stream.Get()};
    hr = MFCreatePresentationDescriptor(1, streams, descriptor);
    if (SUCCEEDED(hr)) (*descriptor)->SelectStream(0);
    return hr;
  }

  STDMETHODIMP Start(IMFPresentationDescriptor*, const GUID*, const PROPVARIANT*) override {
    return queueState(MESourceStarted);
  }
  STDMETHODIMP Stop() override { return queueState(MESourceStopped); }
  STDMETHODIMP Pause() override { return queueState(MESourcePaused); }

  // Ends a read that waits; the camera itself stops when the last reference goes.
  STDMETHODIMP Shutdown() override {
    ComPtr<IMFMediaEventQueue> events;
    {
      std::lock_guard lock(mutex_);
      if (shutDown_) return MF_E_SHUTDOWN;
      shutDown_ = true;
      events = events_;
    }
    {
      std::lock_guard lock(mutex_);
      if (device_) device_->cancel();
    }
    events->Shutdown();
    return S_OK;
  }

 private:
  ~CameraMediaSource() override {
    if (device_) {
      device_->cancel();
      device_->stop();
    }
  }

  HRESULT liveQueue(ComPtr<IMFMediaEventQueue>& queue) {
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    queue = events_;
    return S_OK;
  }

  HRESULT queueState(MediaEventType type) {
    std::lock_guard lock(mutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    return events_->QueueEventParamVar(type, GUID_NULL, S_OK, nullptr);
  }

  std::mutex mutex_;
  std::unique_ptr<cameras::ICameraDevice> device_;
  ComPtr<IMFMediaEventQueue> events_;
  bool shutDown_ = false;
};

// One enumerated device: a physical camera or a started virtual camera.
class DeviceActivate final : public AttributesForwarder<IMFActivate> {
 public:
  HRESULT initialize(const std::wstring& friendlyName, const std::wstring& link, bool hardware,
                     std::optional<vcams::VirtualCameraRecord> virtualCamera) {
    virtualCamera_ = std::move(virtualCamera);
    link_ = link;
    HRESULT hr = createStore(6);
    if (SUCCEEDED(hr)) hr = store_->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    if (SUCCEEDED(hr)) hr = store_->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, friendlyName.c_str());
    if (SUCCEEDED(hr)) hr = store_->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, link.c_str());
    if (SUCCEEDED(hr)) hr = store_->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_CATEGORY, kVideoCameraCategory);
    if (SUCCEEDED(hr)) hr = store_->SetUINT32(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_HW_SOURCE, hardware ? 1 : 0);
    return hr;
  }

  STDMETHODIMP ActivateObject(REFIID riid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (virtualCamera_) {
      const HRESULT activated = activateVirtualCamera(*virtualCamera_, store_.Get(), riid, object);
      // The frame server tells the capability access manager which application opened it.
      if (SUCCEEDED(activated) && !inUse_.exchange(true)) consent::recordCameraUse(true);
      return activated;
    }
    std::unique_ptr<cameras::ICameraDevice> device;
    HRESULT hr = cameras::openCamera(link_, device);
    if (FAILED(hr)) return hr;
    if (FAILED(hr = device->activationError())) return hr;
    ComPtr<CameraMediaSource> source;
    source.Attach(new (std::nothrow) CameraMediaSource);
    if (!source) return E_OUTOFMEMORY;
    hr = source->initialize(std::move(device));
    if (FAILED(hr)) return hr;
    return source->QueryInterface(riid, object);
  }
  STDMETHODIMP ShutdownObject() override {
    if (inUse_.exchange(false)) consent::recordCameraUse(false);
    return S_OK;
  }
  STDMETHODIMP DetachObject() override { return S_OK; }

 private:
  std::atomic<bool> inUse_{false};
  std::wstring link_;
  std::optional<vcams::VirtualCameraRecord> virtualCamera_;
};

HRESULT makeActivate(const std::wstring& name, const std::wstring& link, bool hardware,
                     std::optional<vcams::VirtualCameraRecord> virtualCamera, ComPtr<IMFActivate>& out) {
  ComPtr<DeviceActivate> activate;
  activate.Attach(new (std::nothrow) DeviceActivate);
  if (!activate) return E_OUTOFMEMORY;
  HRESULT hr = activate->initialize(name, link, hardware, std::move(virtualCamera));
  if (SUCCEEDED(hr)) out = activate;
  return hr;
}

}  // namespace

GUID subtypeOf(cameras::PixelFormat format) {
  switch (format) {
    case cameras::PixelFormat::NV12: return MFVideoFormat_NV12;
    case cameras::PixelFormat::YUYV: return MFVideoFormat_YUY2;
    case cameras::PixelFormat::BGR24: return MFVideoFormat_RGB24;
  }
  return MFVideoFormat_NV12;
}

HRESULT mediaTypeOf(const cameras::CameraMode& mode, IMFMediaType** type) {
  ComPtr<IMFMediaType> t;
  HRESULT hr = MFCreateMediaType(&t);
  if (SUCCEEDED(hr)) hr = t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = t->SetGUID(MF_MT_SUBTYPE, subtypeOf(mode.format));
  if (SUCCEEDED(hr)) hr = MFSetAttributeSize(t.Get(), MF_MT_FRAME_SIZE, mode.width, mode.height);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(t.Get(), MF_MT_FRAME_RATE, mode.fpsNumerator, mode.fpsDenominator);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(t.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  if (SUCCEEDED(hr)) hr = t->SetUINT32(MF_MT_DEFAULT_STRIDE, cameras::minimumStride(mode.format, mode.width));
  if (SUCCEEDED(hr)) {
    hr = t->SetUINT32(MF_MT_SAMPLE_SIZE,
                      UINT32(cameras::frameBytes(mode.format, cameras::minimumStride(mode.format, mode.width), mode.height)));
  }
  if (SUCCEEDED(hr)) *type = t.Detach();
  return hr;
}

}  // namespace tesmira::platform::mfdevices

STDAPI MFEnumDeviceSources(IMFAttributes* attributes, IMFActivate*** sources, UINT32* count) {
  namespace md = tesmira::platform::mfdevices;
  using Microsoft::WRL::ComPtr;
  if (!attributes || !sources || !count) return E_POINTER;
  *sources = nullptr;
  *count = 0;
  if (const auto injected = tesmira::platform::faults::take("MFEnumDeviceSources")) return HRESULT(*injected);
  GUID type{};
  if (FAILED(attributes->GetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, &type))) return E_INVALIDARG;
  std::vector<ComPtr<IMFActivate>> devices;
  if (type == MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID) {
    for (const auto& camera : tesmira::platform::cameras::listCameras()) {
      ComPtr<IMFActivate> activate;
      if (HRESULT hr = md::makeActivate(camera.friendlyName, camera.symbolicLink, true, std::nullopt, activate); FAILED(hr)) {
        return hr;
      }
      devices.push_back(activate);
    }
    for (auto& camera : tesmira::platform::vcams::visibleCameras()) {
      ComPtr<IMFActivate> activate;
      const std::wstring name = camera.friendlyName, link = camera.symbolicLink;
      if (HRESULT hr = md::makeActivate(name, link, false, std::move(camera), activate); FAILED(hr)) return hr;
      devices.push_back(activate);
    }
  } else if (type != MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_AUDCAP_GUID) {
    return E_INVALIDARG;
  }
  if (devices.empty()) return S_OK;
  auto* array = static_cast<IMFActivate**>(CoTaskMemAlloc(sizeof(IMFActivate*) * devices.size()));
  if (!array) return E_OUTOFMEMORY;
  for (size_t i = 0; i < devices.size(); ++i) array[i] = devices[i].Detach();
  *sources = array;
  *count = UINT32(devices.size());
  return S_OK;
}
