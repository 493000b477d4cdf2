// MFCreateSourceReaderFromMediaSource over a camera device's media source: one
// video stream, synchronous reads, NV12 or RGB32 made in the reader when video
// processing is enabled.
#include <mfapi.h>
#include <mferror.h>
#include <mfreadwrite.h>
#include <wrl/implements.h>

#include <d3d11.h>

#include <mutex>
#include <vector>

#include "d3d11/texture_fill.h"
#include "mfdevices/camera_media_source.h"
#include "mfdevices/consent_store.h"
#include "mfreader/camera_reader.h"

using Microsoft::WRL::ComPtr;

namespace tesmira::platform::mfreader {
namespace {

struct SubtypeGuid {
  Subtype subtype;
  const GUID& guid;
};
const SubtypeGuid kSubtypes[] = {{Subtype::NV12, MFVideoFormat_NV12},
                                 {Subtype::YUY2, MFVideoFormat_YUY2},
                                 {Subtype::RGB24, MFVideoFormat_RGB24},
                                 {Subtype::RGB32, MFVideoFormat_RGB32}};

const GUID& guidOf(Subtype subtype) {
  for (const SubtypeGuid& entry : kSubtypes) {
    if (entry.subtype == subtype) return entry.guid;
  }
  return MFVideoFormat_NV12;
}

std::optional<Subtype> subtypeOf(const GUID& guid) {
  for (const SubtypeGuid& entry : kSubtypes) {
    if (entry.guid == guid) return entry.subtype;
  }
  return std::nullopt;
}

uint64_t sampleBytes(const VideoType& type) {
  const uint64_t rows = type.subtype == Subtype::NV12 ? uint64_t{type.height} + type.height / 2 : type.height;
  return rows * type.stride;
}

HRESULT makeMediaType(const VideoType& type, IMFMediaType** out) {
  ComPtr<IMFMediaType> mediaType;
  HRESULT hr = MFCreateMediaType(&mediaType);
  if (SUCCEEDED(hr)) hr = mediaType->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = mediaType->SetGUID(MF_MT_SUBTYPE, guidOf(type.subtype));
  if (SUCCEEDED(hr) && !type.withoutFrameSize) {
    hr = MFSetAttributeSize(mediaType.Get(), MF_MT_FRAME_SIZE, type.width, type.height);
  }
  if (SUCCEEDED(hr) && !type.withoutFrameRate && type.fpsNumerator > 0 && type.fpsDenominator > 0) {
    hr = MFSetAttributeRatio(mediaType.Get(), MF_MT_FRAME_RATE, type.fpsNumerator, type.fpsDenominator);
  }
  if (SUCCEEDED(hr) && (type.rangeMin[0] || type.rangeMin[1])) {
    hr = MFSetAttributeRatio(mediaType.Get(), MF_MT_FRAME_RATE_RANGE_MIN, type.rangeMin[0], type.rangeMin[1]);
  }
  if (SUCCEEDED(hr) && (type.rangeMax[0] || type.rangeMax[1])) {
    hr = MFSetAttributeRatio(mediaType.Get(), MF_MT_FRAME_RATE_RANGE_MAX, type.rangeMax[0], type.rangeMax[1]);
  }
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(mediaType.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_DEFAULT_STRIDE, type.stride);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, TRUE);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, TRUE);
  if (SUCCEEDED(hr)) hr = mediaType->SetUINT32(MF_MT_SAMPLE_SIZE, UINT32(std::min<uint64_t>(sampleBytes(type), UINT32_MAX)));
  if (SUCCEEDED(hr)) *out = mediaType.Detach();
  return hr;
}

// A sample's buffer over a camera texture. Its bytes live on the GPU: Lock is not
// offered, callers take the texture through IMFDXGIBuffer.
class DxgiBuffer final : public Microsoft::WRL::RuntimeClass<IMFMediaBuffer, IMFDXGIBuffer> {
 public:
  DxgiBuffer(ComPtr<ID3D11Texture2D> texture, DWORD length) : texture_(std::move(texture)), length_(length) {}

  STDMETHODIMP Lock(BYTE**, DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP Unlock() override { return E_NOTIMPL; }
  STDMETHODIMP GetCurrentLength(DWORD* length) override {
    if (length == nullptr) return E_POINTER;
    *length = length_;
    return S_OK;
  }
  STDMETHODIMP SetCurrentLength(DWORD length) override { return length == length_ ? S_OK : E_INVALIDARG; }
  STDMETHODIMP GetMaxLength(DWORD* length) override { return GetCurrentLength(length); }

  STDMETHODIMP GetResource(REFIID riid, LPVOID* object) override {
    if (object == nullptr) return E_POINTER;
    return texture_->QueryInterface(riid, object);
  }
  STDMETHODIMP GetSubresourceIndex(UINT* subresource) override {
    if (subresource == nullptr) return E_POINTER;
    *subresource = 0;
    return S_OK;
  }
  STDMETHODIMP GetUnknown(REFIID, REFIID, LPVOID* object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    return MF_E_NOT_FOUND;
  }
  STDMETHODIMP SetUnknown(REFIID, IUnknown*) override { return E_NOTIMPL; }

 private:
  ComPtr<ID3D11Texture2D> texture_;
  DWORD length_;
};

// The device manager's current device, or why there is none.
HRESULT managedDevice(IMFDXGIDeviceManager* manager, ComPtr<ID3D11Device>& device) {
  HANDLE handle = nullptr;
  HRESULT hr = manager->OpenDeviceHandle(&handle);
  if (FAILED(hr)) return hr;
  hr = manager->LockDevice(handle, IID_PPV_ARGS(&device), TRUE);
  if (SUCCEEDED(hr)) manager->UnlockDevice(handle, FALSE);
  manager->CloseDeviceHandle(handle);
  return hr;
}

bool onlyOursLeft(IUnknown* object) {
  const ULONG references = object->AddRef();
  object->Release();
  return references == 2;
}

bool isVideoStream(DWORD index) { return index == 0 || index == MF_SOURCE_READER_FIRST_VIDEO_STREAM; }

class SourceReader final : public Microsoft::WRL::RuntimeClass<IMFSourceReader> {
 public:
  SourceReader(ComPtr<IMFMediaSource> source, std::unique_ptr<cameras::ICameraDevice> device, bool allowConversion,
               ComPtr<IMFDXGIDeviceManager> d3dManager, bool shutdownSource)
      : source_(std::move(source)),
        device_(std::move(device)),
        reader_(std::in_place, device_.get(), allowConversion),
        d3dManager_(std::move(d3dManager)),
        shutdownSource_(shutdownSource) {}

  ~SourceReader() override {
    reader_.reset();  // stops the camera
    consent::recordCameraUse(false);
    device_.reset();
    // By default the reader owns the source's lifetime, as on Windows.
    if (shutdownSource_) source_->Shutdown();
  }

  STDMETHODIMP GetStreamSelection(DWORD streamIndex, BOOL* selected) override {
    if (selected == nullptr) return E_POINTER;
    if (!isVideoStream(streamIndex)) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(mutex_);
    *selected = selected_ ? TRUE : FALSE;
    return S_OK;
  }

  STDMETHODIMP SetStreamSelection(DWORD streamIndex, BOOL selected) override {
    if (!isVideoStream(streamIndex) && streamIndex != MF_SOURCE_READER_ALL_STREAMS) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(mutex_);
    selected_ = selected != FALSE;
    return S_OK;
  }

  STDMETHODIMP GetNativeMediaType(DWORD streamIndex, DWORD mediaTypeIndex, IMFMediaType** mediaType) override {
    if (mediaType == nullptr) return E_POINTER;
    *mediaType = nullptr;
    if (!isVideoStream(streamIndex)) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(mutex_);
    if (const HRESULT scripted = reader_->nativeTypeError(mediaTypeIndex); FAILED(scripted)) return scripted;
    const std::optional<VideoType> type = reader_->nativeType(mediaTypeIndex);
    if (!type) return MF_E_NO_MORE_TYPES;
    return makeMediaType(*type, mediaType);
  }

  STDMETHODIMP GetCurrentMediaType(DWORD streamIndex, IMFMediaType** mediaType) override {
    if (mediaType == nullptr) return E_POINTER;
    *mediaType = nullptr;
    if (!isVideoStream(streamIndex)) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(mutex_);
    return makeMediaType(reader_->currentType(), mediaType);
  }

  STDMETHODIMP SetCurrentMediaType(DWORD streamIndex, DWORD* reserved, IMFMediaType* mediaType) override {
    if (mediaType == nullptr) return E_POINTER;
    if (!isVideoStream(streamIndex)) return MF_E_INVALIDSTREAMNUMBER;
    GUID major = GUID_NULL;
    GUID subtype = GUID_NULL;
    if (FAILED(mediaType->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video) {
      return MF_E_INVALIDMEDIATYPE;
    }
    WantedType wanted;
    if (SUCCEEDED(mediaType->GetGUID(MF_MT_SUBTYPE, &subtype))) wanted.subtype = subtypeOf(subtype);
    if (!wanted.subtype) return MF_E_INVALIDMEDIATYPE;
    UINT32 width = 0, height = 0, numerator = 0, denominator = 0;
    if (SUCCEEDED(MFGetAttributeSize(mediaType, MF_MT_FRAME_SIZE, &width, &height))) {
      wanted.width = width;
      wanted.height = height;
    }
    if (SUCCEEDED(MFGetAttributeRatio(mediaType, MF_MT_FRAME_RATE, &numerator, &denominator))) {
      wanted.fpsNumerator = numerator;
      wanted.fpsDenominator = denominator;
    }
    std::lock_guard lock(mutex_);
    return reader_->setCurrentType(wanted);
  }

  STDMETHODIMP SetCurrentPosition(REFGUID, const PROPVARIANT&) override { return MF_E_INVALIDREQUEST; }

  STDMETHODIMP ReadSample(DWORD streamIndex, DWORD controlFlags, DWORD* actualStreamIndex, DWORD* streamFlags,
                          LONGLONG* timestamp, IMFSample** sample) override {
    if (streamFlags == nullptr || sample == nullptr) return E_POINTER;
    *sample = nullptr;
    *streamFlags = 0;
    if (actualStreamIndex != nullptr) *actualStreamIndex = 0;
    if (timestamp != nullptr) *timestamp = 0;
    if (!isVideoStream(streamIndex) && streamIndex != MF_SOURCE_READER_ANY_STREAM) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(mutex_);
    if (!selected_) return MF_E_INVALIDREQUEST;

    if (d3dManager_ && reader_->currentType().subtype == Subtype::RGB32) {
      return readTexture(streamFlags, timestamp, sample);
    }
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    ReadResult result;
    const HRESULT hr = reader_->read(result, [&](size_t bytes) -> uint8_t* {
      if (bytes > UINT32_MAX) return nullptr;
      buffer = reusableBuffer(DWORD(bytes));
      if (!buffer && FAILED(MFCreateMemoryBuffer(DWORD(bytes), &buffer))) return nullptr;
      DWORD max = 0;
      if (FAILED(buffer->Lock(&data, &max, nullptr))) return nullptr;
      return data;
    });
    if (data != nullptr) buffer->Unlock();
    *streamFlags = result.flags;
    if (timestamp != nullptr) *timestamp = result.timestamp;
    if (FAILED(hr) || !result.sample) return hr;

    ComPtr<IMFSample> made;
    HRESULT made_hr = buffer->SetCurrentLength(DWORD(result.length));
    if (SUCCEEDED(made_hr)) made_hr = MFCreateSample(&made);
    if (SUCCEEDED(made_hr)) made_hr = made->AddBuffer(buffer.Get());
    if (SUCCEEDED(made_hr)) made_hr = made->SetSampleTime(result.timestamp);
    if (SUCCEEDED(made_hr) && result.duration > 0) made_hr = made->SetSampleDuration(result.duration);
    if (FAILED(made_hr)) return made_hr;
    spare_ = buffer;
    *sample = made.Detach();
    return S_OK;
  }

  STDMETHODIMP Flush(DWORD streamIndex) override {
    if (!isVideoStream(streamIndex) && streamIndex != MF_SOURCE_READER_ALL_STREAMS) return MF_E_INVALIDSTREAMNUMBER;
    return S_OK;  // synchronous reads leave nothing queued
  }

  STDMETHODIMP GetServiceForStream(DWORD streamIndex, REFGUID service, REFIID riid, LPVOID* object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (streamIndex == MF_SOURCE_READER_MEDIASOURCE && service == GUID_NULL) return source_->QueryInterface(riid, object);
    return MF_E_UNSUPPORTED_SERVICE;
  }

  STDMETHODIMP GetPresentationAttribute(DWORD, REFGUID, PROPVARIANT* value) override {
    if (value == nullptr) return E_POINTER;
    return MF_E_ATTRIBUTENOTFOUND;
  }

 private:
  // RGB32 on the manager's device: the converted frame goes into a B8G8R8X8 texture
  // that nobody but this reader references any more (or a new one).
  HRESULT readTexture(DWORD* streamFlags, LONGLONG* timestamp, IMFSample** sample) {
    ReadResult result;
    const HRESULT hr = reader_->read(result, [&](size_t bytes) -> uint8_t* {
      scratch_.resize(bytes);
      return scratch_.data();
    });
    *streamFlags = result.flags;
    if (timestamp != nullptr) *timestamp = result.timestamp;
    if (FAILED(hr) || !result.sample) return hr;
    const VideoType& type = reader_->currentType();
    if (result.length < uint64_t{type.width} * type.height * 4) return S_OK;

    ComPtr<ID3D11Device> device;
    if (const HRESULT deviceHr = managedDevice(d3dManager_.Get(), device); FAILED(deviceHr)) return deviceHr;
    ComPtr<ID3D11Texture2D> texture;
    if (const HRESULT made = freeTexture(device.Get(), type.width, type.height, texture); FAILED(made)) return made;
    if (const HRESULT filled = d3d11::fillTexture(texture.Get(), scratch_.data(), type.width * 4); FAILED(filled)) {
      return filled;
    }
    auto buffer = Microsoft::WRL::Make<DxgiBuffer>(texture, DWORD(result.length));
    if (!buffer) return E_OUTOFMEMORY;
    ComPtr<IMFSample> made;
    HRESULT made_hr = MFCreateSample(&made);
    if (SUCCEEDED(made_hr)) made_hr = made->AddBuffer(buffer.Get());
    if (SUCCEEDED(made_hr)) made_hr = made->SetSampleTime(result.timestamp);
    if (SUCCEEDED(made_hr) && result.duration > 0) made_hr = made->SetSampleDuration(result.duration);
    if (FAILED(made_hr)) return made_hr;
    *sample = made.Detach();
    return S_OK;
  }

  // A pooled texture of this size on this device that only the pool still holds:
  // one that someone references is never refilled.
  HRESULT freeTexture(ID3D11Device* device, UINT width, UINT height, ComPtr<ID3D11Texture2D>& out) {
    for (auto it = textures_.begin(); it != textures_.end();) {
      D3D11_TEXTURE2D_DESC desc{};
      (*it)->GetDesc(&desc);
      ComPtr<ID3D11Device> owner;
      (*it)->GetDevice(&owner);
      if (desc.Width != width || desc.Height != height || owner.Get() != device) {
        it = textures_.erase(it);
        continue;
      }
      if (onlyOursLeft(it->Get())) {
        out = *it;
        return S_OK;
      }
      ++it;
    }
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8X8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    if (const HRESULT hr = device->CreateTexture2D(&desc, nullptr, &out); FAILED(hr)) return hr;
    // Beyond a few textures still held elsewhere, a new one is not kept for refilling.
    if (textures_.size() < kTexturePool) textures_.push_back(out);
    return S_OK;
  }

  static constexpr size_t kTexturePool = 4;

  // The previous sample's buffer once its reader let it go, so that frame after
  // frame reuses one allocation.
  ComPtr<IMFMediaBuffer> reusableBuffer(DWORD bytes) {
    if (!spare_) return nullptr;
    DWORD max = 0;
    const ULONG references = spare_->AddRef();
    spare_->Release();
    if (references != 2 || FAILED(spare_->GetMaxLength(&max)) || max < bytes) return nullptr;
    return spare_;
  }

  ComPtr<IMFMediaSource> source_;
  std::unique_ptr<cameras::ICameraDevice> device_;
  std::mutex mutex_;
  std::optional<CameraReader> reader_;
  ComPtr<IMFDXGIDeviceManager> d3dManager_;  // RGB32 samples come as textures on its device
  std::vector<uint8_t> scratch_;
  std::vector<ComPtr<ID3D11Texture2D>> textures_;
  bool shutdownSource_;
  bool selected_ = true;
  ComPtr<IMFMediaBuffer> spare_;
};

}  // namespace
}  // namespace tesmira::platform::mfreader

STDAPI MFCreateSourceReaderFromMediaSource(IMFMediaSource* mediaSource, IMFAttributes* attributes,
                                           IMFSourceReader** sourceReader) {
  using namespace tesmira::platform::mfreader;
  if (sourceReader == nullptr) return E_POINTER;
  *sourceReader = nullptr;
  if (mediaSource == nullptr) return E_POINTER;

  bool allowConversion = false;
  bool shutdownSource = true;
  ComPtr<IMFDXGIDeviceManager> d3dManager;
  if (attributes != nullptr) {
    ComPtr<IUnknown> callback;
    if (SUCCEEDED(attributes->GetUnknown(MF_SOURCE_READER_ASYNC_CALLBACK, IID_PPV_ARGS(&callback)))) return E_NOTIMPL;
    allowConversion = MFGetAttributeUINT32(attributes, MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, 0) != 0 ||
                      MFGetAttributeUINT32(attributes, MF_SOURCE_READER_ENABLE_VIDEO_PROCESSING, 0) != 0;
    shutdownSource = MFGetAttributeUINT32(attributes, MF_SOURCE_READER_DISCONNECT_MEDIASOURCE_ON_SHUTDOWN, 0) == 0;
    attributes->GetUnknown(MF_SOURCE_READER_D3D_MANAGER, IID_PPV_ARGS(&d3dManager));
  }

  ComPtr<ICameraDeviceSource> camera;
  if (FAILED(mediaSource->QueryInterface(IID_PPV_ARGS(&camera)))) return MF_E_UNSUPPORTED_FORMAT;
  std::unique_ptr<tesmira::platform::cameras::ICameraDevice> device;
  if (const HRESULT hr = camera->takeDevice(device); FAILED(hr)) return hr;
  if (!device) return MF_E_NOT_AVAILABLE;

  ComPtr<IMFMediaSource> source(mediaSource);
  auto reader = Microsoft::WRL::Make<SourceReader>(std::move(source), std::move(device), allowConversion, std::move(d3dManager),
                                                   shutdownSource);
  if (!reader) return E_OUTOFMEMORY;
  // An application reading a physical camera shows in the user's consent store.
  tesmira::platform::consent::recordCameraUse(true);
  *sourceReader = reader.Detach();
  return S_OK;
}
