#include "producer/camera_capture.h"

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <objbase.h>
#include <wrl/client.h>

#include "common/environment.h"
#include "common/hresult.h"
#include "common/vcam_registration.h"
#include "producer/options.h"
#include "producer/producer_log.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

namespace tesmira {

namespace {

using Microsoft::WRL::ComPtr;

constexpr HRESULT kInvalidMediaType = MF_E_INVALIDMEDIATYPE;
// Larger frames than this come from a broken type, never from a webcam.
constexpr uint32_t kMaxFrameSide = 16384;

bool usableFormat(const CaptureFormat& format) {
  return format.width > 0 && format.height > 0 && format.width <= kMaxFrameSide &&
         format.height <= kMaxFrameSide && format.stride >= format.width && format.stride <= 4 * kMaxFrameSide;
}

}  // namespace

HRESULT checkDeliveredFormat(const CameraOpenRequest& request, const CaptureFormat& delivered) {
  if (!usableFormat(delivered)) return kInvalidMediaType;
  if (request.width > 0 && static_cast<uint32_t>(request.width) != delivered.width) return kInvalidMediaType;
  if (request.height > 0 && static_cast<uint32_t>(request.height) != delivered.height) return kInvalidMediaType;
  const bool requestedRate = request.fpsNumerator > 0 && request.fpsDenominator > 0;
  const bool deliveredRate = delivered.fpsNumerator > 0 && delivered.fpsDenominator > 0;
  if (requestedRate && deliveredRate &&
      uint64_t{delivered.fpsNumerator} * static_cast<uint64_t>(request.fpsDenominator) !=
          uint64_t{delivered.fpsDenominator} * static_cast<uint64_t>(request.fpsNumerator)) {
    return kInvalidMediaType;
  }
  return S_OK;
}

bool copyNv12(const BYTE* data, size_t length, const CaptureFormat& format, cv::Mat& nv12) {
  if (data == nullptr || !usableFormat(format)) return false;
  const uint64_t width = format.width;
  const uint64_t height = format.height;
  const uint64_t stride = format.stride;
  if (uint64_t{length} < nv12Bytes(stride, height)) return false;
  const int rows = static_cast<int>(nv12Rows(height));
  nv12.create(rows, static_cast<int>(width), CV_8UC1);
  if (stride == width) {
    std::memcpy(nv12.data, data, nv12Bytes(width, height));
    return true;
  }
  for (uint64_t row = 0; row < height; ++row) {
    std::memcpy(nv12.ptr(static_cast<int>(row)), data + row * stride, width);
  }
  const BYTE* chroma = data + stride * height;
  for (uint64_t row = 0; row < height / 2; ++row) {
    std::memcpy(nv12.ptr(static_cast<int>(height + row)), chroma + row * stride, width);
  }
  return true;
}

bool readTextureToBgr(CaptureDevice& device, StagingCache& staging, CaptureTexture& texture, UINT subresource,
                      int32_t maxWidth, int32_t maxHeight, cv::Mat& bgr) {
  const CaptureTextureDesc desc = texture.desc();
  const bool rgba = desc.format == kTextureFormatR8G8B8A8;
  if (!rgba && desc.format != kTextureFormatB8G8R8A8 && desc.format != kTextureFormatB8G8R8X8) return false;
  if (uint64_t{subresource} >= uint64_t{desc.mipLevels} * desc.arraySize) return false;
  UINT width = desc.width;
  UINT height = desc.height;
  if (maxWidth > 0 && width > static_cast<UINT>(maxWidth)) width = static_cast<UINT>(maxWidth);
  if (maxHeight > 0 && height > static_cast<UINT>(maxHeight)) height = static_cast<UINT>(maxHeight);
  if (width == 0 || height == 0 || width > kMaxFrameSide || height > kMaxFrameSide) return false;

  if (!staging.texture || staging.format != desc.format || staging.width != width || staging.height != height) {
    staging = {};
    CaptureTextureRef created;
    if (FAILED(device.createStagingTexture(desc.format, width, height, created)) || !created) return false;
    staging = {std::move(created), desc.format, width, height};
  }
  device.copySubresourceRegion(*staging.texture, texture, subresource, width, height);
  const BYTE* data = nullptr;
  UINT rowPitch = 0;
  if (FAILED(device.mapRead(*staging.texture, &data, &rowPitch))) return false;
  if (data == nullptr || rowPitch < uint64_t{width} * 4) {
    device.unmap(*staging.texture);
    return false;
  }
  const int blue = rgba ? 2 : 0;
  const int red = rgba ? 0 : 2;
  bgr.create(static_cast<int>(height), static_cast<int>(width), CV_8UC3);
  for (UINT y = 0; y < height; ++y) {
    const BYTE* source = data + uint64_t{y} * rowPitch;
    BYTE* out = bgr.ptr(static_cast<int>(y));
    for (UINT x = 0; x < width; ++x, source += 4, out += 3) {
      out[0] = source[blue];
      out[1] = source[1];
      out[2] = source[red];
    }
  }
  device.unmap(*staging.texture);
  return !bgr.empty();
}

namespace {

class D3D11CaptureTexture final : public CaptureTexture {
 public:
  explicit D3D11CaptureTexture(ComPtr<ID3D11Texture2D> texture) : texture_(std::move(texture)) {}
  CaptureTextureDesc desc() const override {
    D3D11_TEXTURE2D_DESC d{};
    texture_->GetDesc(&d);
    return {d.Width, d.Height, d.MipLevels, d.ArraySize, static_cast<UINT>(d.Format)};
  }
  ID3D11Texture2D* d3dTexture() const override { return texture_.Get(); }

 private:
  ComPtr<ID3D11Texture2D> texture_;
};

ID3D11Texture2D* d3dOf(CaptureTexture& texture) { return texture.d3dTexture(); }

class D3D11CaptureDevice final : public CaptureDevice {
 public:
  explicit D3D11CaptureDevice(ID3D11Device* device) : device_(device) { device_->GetImmediateContext(&context_); }
  ID3D11Device* d3dDevice() const override { return device_.Get(); }

  HRESULT createStagingTexture(UINT format, UINT width, UINT height, CaptureTextureRef& staging) override {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = static_cast<DXGI_FORMAT>(format);
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_STAGING;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ComPtr<ID3D11Texture2D> texture;
    RETURN_IF_FAILED(device_->CreateTexture2D(&desc, nullptr, &texture));
    staging = std::make_shared<D3D11CaptureTexture>(std::move(texture));
    return S_OK;
  }
  void copySubresourceRegion(CaptureTexture& destination, CaptureTexture& source, UINT subresource, UINT width,
                             UINT height) override {
    if (!d3dOf(destination) || !d3dOf(source)) return;
    const D3D11_BOX box{0, 0, 0, width, height, 1};
    context_->CopySubresourceRegion(d3dOf(destination), 0, 0, 0, 0, d3dOf(source), subresource, &box);
  }
  HRESULT mapRead(CaptureTexture& staging, const BYTE** data, UINT* rowPitch) override {
    if (!d3dOf(staging)) return E_INVALIDARG;
    D3D11_MAPPED_SUBRESOURCE mapped{};
    RETURN_IF_FAILED(context_->Map(d3dOf(staging), 0, D3D11_MAP_READ, 0, &mapped));
    *data = static_cast<const BYTE*>(mapped.pData);
    *rowPitch = mapped.RowPitch;
    return S_OK;
  }
  void unmap(CaptureTexture& staging) override {
    if (d3dOf(staging)) context_->Unmap(d3dOf(staging), 0);
  }

 private:
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
};

}  // namespace

std::shared_ptr<CaptureDevice> makeD3D11CaptureDevice(ID3D11Device* device) {
  if (device == nullptr) return nullptr;
  return std::make_shared<D3D11CaptureDevice>(device);
}

CaptureTextureRef wrapD3D11Texture(ID3D11Texture2D* texture) {
  if (texture == nullptr) return nullptr;
  return std::make_shared<D3D11CaptureTexture>(texture);
}

// Converts on the capture thread and swaps the result in under the lock. The
// frames it fills are reused: after a swap it holds the previous stored frame,
// which nobody else references (the consumer takes deep copies).
class CameraCapture::Sink final : public CaptureSampleSink {
 public:
  Sink(CameraCapture& capture, const CaptureFormat& format)
      : capture_(capture), format_(format), formatUsable_(usableFormat(format)) {}

  void onFormatChanged(uint32_t width, uint32_t height, uint32_t stride) override {
    if (width != 0 && height != 0) {
      format_.width = width;
      format_.height = height;
    }
    format_.stride = stride;
    // A type whose rows are narrower than the frame is refused: its samples are dropped.
    formatUsable_ = usableFormat(format_);
  }

  void onNv12(const BYTE* data, size_t length) override {
    if (capture_.textureMode_ || !formatUsable_) return;
    if (!copyNv12(data, length, format_, nv12_)) return;
    if (capture_.convertInReader_) {
      cv::cvtColor(nv12_, bgr_, cv::COLOR_YUV2BGR_NV12);
      if (capture_.mirror_) {
        cv::flip(bgr_, mirrored_, 1);
        std::swap(bgr_, mirrored_);
      }
      store(bgr_, nullptr, 0);
    } else {
      store(nv12_, nullptr, 0);
    }
  }

  void onTexture(const CaptureTextureRef& texture, UINT subresource) override {
    if (!capture_.textureMode_ || !texture || !capture_.device_) return;
    if (!readTextureToBgr(*capture_.device_, capture_.staging_, *texture, subresource,
                          static_cast<int32_t>(format_.width), static_cast<int32_t>(format_.height), bgr_)) {
      return;
    }
    if (capture_.mirror_) {
      cv::flip(bgr_, mirrored_, 1);
      std::swap(bgr_, mirrored_);
    }
    store(bgr_, &texture, subresource);
  }

 private:
  void store(cv::Mat& frame, const CaptureTextureRef* texture, UINT subresource) {
    {
      std::lock_guard lock(capture_.mutex_);
      const bool bgr = frame.type() == CV_8UC3;
      std::swap(bgr ? capture_.bgr_ : capture_.nv12_, frame);
      (bgr ? capture_.nv12_ : capture_.bgr_).release();
      if (texture != nullptr) {
        capture_.texture_ = *texture;
        capture_.subresource_ = subresource;
      }
      ++capture_.producedSequence_;
    }
    capture_.changed_.notify_all();
  }

  CameraCapture& capture_;
  CaptureFormat format_;
  bool formatUsable_;
  cv::Mat nv12_;
  cv::Mat bgr_;
  cv::Mat mirrored_;
};

CameraCapture::CameraCapture() : CameraCapture(mediaFoundationCameraOpener()) {}

CameraCapture::CameraCapture(CameraOpener opener) : opener_(std::move(opener)) {}

CameraCapture::~CameraCapture() { stop(); }

bool CameraCapture::start(int32_t cameraIndex, int32_t width, int32_t height, int32_t fpsNumerator,
                          int32_t fpsDenominator, bool convertInReader, bool mirror,
                          std::shared_ptr<CaptureDevice> device, bool textureMode) {
  stop();
  stop_ = false;
  opened_ = false;
  lastHresult_ = S_OK;
  textureMode_ = textureMode && device != nullptr;
  convertInReader_ = convertInReader || textureMode_;
  mirror_ = mirror;
  device_ = textureMode_ ? std::move(device) : nullptr;
  staging_ = {};
  clearFrames();
  CameraOpenRequest request{cameraIndex, width, height, fpsNumerator, fpsDenominator, textureMode_, device_.get()};
  thread_ = std::thread(&CameraCapture::captureThread, this, request);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return startFinished_; });
  return opened_.load();
}

void CameraCapture::clearFrames() {
  std::lock_guard lock(mutex_);
  startFinished_ = false;
  producedSequence_ = 0;
  consumedSequence_ = 0;
  nv12_.release();
  bgr_.release();
  texture_.reset();
  subresource_ = 0;
}

void CameraCapture::finishStart(bool opened) {
  opened_ = opened;
  {
    std::lock_guard lock(mutex_);
    startFinished_ = true;
  }
  changed_.notify_all();
}

void CameraCapture::captureThread(CameraOpenRequest request) {
  std::unique_ptr<CaptureCamera> camera;
  HRESULT hr = opener_ ? opener_(request, camera) : E_FAIL;
  if (SUCCEEDED(hr) && !camera) hr = E_FAIL;
  CaptureFormat format;
  if (SUCCEEDED(hr)) {
    format = camera->currentFormat();
    hr = checkDeliveredFormat(request, format);
  }
  if (FAILED(hr)) {
    lastHresult_ = hr;
    camera.reset();
    finishStart(false);
    return;
  }
  finishStart(true);

  Sink sink(*this, format);
  while (!stop_) {
    const HRESULT read = camera->readSample(sink);
    if (FAILED(read) || read == S_FALSE) break;
  }
  // The opened flag stays: the main loop notices a dead capture by the frames that stop coming.
}

bool CameraCapture::frameReady() const {
  if (producedSequence_ == consumedSequence_) return false;
  if (textureMode_) return !bgr_.empty() && texture_ != nullptr;
  return convertInReader_ ? !bgr_.empty() : !nv12_.empty();
}

bool CameraCapture::waitFrame(cv::Mat& bgr, int32_t timeoutMs, CaptureTextureRef* texture, UINT* subresource) {
  if (texture != nullptr) texture->reset();
  if (subresource != nullptr) *subresource = 0;
  // Deadline on the system tick, so a frozen test clock holds the wait too;
  // the condition variable waits in short slices and re-checks the tick.
  const ULONGLONG deadline = timeoutMs > 0 ? GetTickCount64() + static_cast<ULONGLONG>(timeoutMs) : 0;
  std::unique_lock lock(mutex_);
  while (!frameReady() && !stop_) {
    if (timeoutMs <= 0) break;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const auto slice = std::chrono::milliseconds(std::min<ULONGLONG>(deadline - now, 10));
    changed_.wait_for(lock, slice);
  }
  if (stop_ || !frameReady()) return false;

  const bool fromNv12 = !convertInReader_;
  if (fromNv12) {
    nv12_.copyTo(takenNv12_);
  } else {
    bgr_.copyTo(bgr);
    if (textureMode_) {
      if (texture != nullptr) *texture = texture_;
      if (subresource != nullptr) *subresource = subresource_;
    }
  }
  consumedSequence_ = producedSequence_;
  lock.unlock();
  if (fromNv12) cv::cvtColor(takenNv12_, bgr, cv::COLOR_YUV2BGR_NV12);
  return true;
}

void CameraCapture::stop() {
  stop_ = true;
  changed_.notify_all();
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) return;  // never from the capture thread itself
    thread_.join();
  }
  opened_ = false;
  clearFrames();
  staging_ = {};
  device_.reset();
  textureMode_ = false;
}

CaptureSwitches readCaptureSwitches() {
  CaptureSwitches switches;
  switches.convertInReader = !environmentBeginsWith(L"TESMIRA_CAPTURE_CONVERT_IN_READER", L'0');
  switches.d3dTexture = environmentBeginsWith(L"TESMIRA_CAPTURE_D3D_TEXTURE", L'1');
  return switches;
}

bool openPhysicalCamera(CameraCapture& capture, bool mirrorOption, const CaptureRequest& request,
                        std::shared_ptr<CaptureDevice> device, const CaptureSwitches& switches, const CaptureLog& log) {
  const bool textureMode = switches.d3dTexture && device != nullptr;
  const bool mirror = switches.convertInReader && mirrorOption;
  const auto width = static_cast<int32_t>(request.width);
  const auto height = static_cast<int32_t>(request.height);
  const auto numerator = static_cast<int32_t>(request.fpsNumerator);
  const auto denominator = static_cast<int32_t>(request.fpsDenominator);
  const std::string index = std::to_string(request.cameraIndex);
  if (!capture.start(request.cameraIndex, width, height, numerator, denominator, switches.convertInReader, mirror,
                     std::move(device), textureMode)) {
    if (log) {
      log("warning: could not open camera index " + index +
          " error=" + std::to_string(static_cast<uint32_t>(capture.lastHresult())));
    }
    return false;
  }
  if (log) {
    log(std::string("physical camera opened (media foundation) capture_convert_in_reader=") +
        (capture.convertInReader() ? "1" : "0") + " capture_d3d_texture=" + (capture.textureMode() ? "1" : "0") +
        " camera-index=" + index + " format=" + std::to_string(request.width) + "x" +
        std::to_string(request.height) + "@" + std::to_string(request.fpsNumerator) + "/" +
        std::to_string(request.fpsDenominator));
  }
  return true;
}

PhysicalCameraSource::PhysicalCameraSource(CaptureLog log, CameraOpener opener)
    : log_(std::move(log)), capture_(std::move(opener)) {}

bool PhysicalCameraSource::open(const CaptureRequest& request, bool mirror, ID3D11Device* device) {
  return openPhysicalCamera(capture_, mirror, request, makeD3D11CaptureDevice(device), readCaptureSwitches(), log_);
}

bool PhysicalCameraSource::waitFrame(CameraFrame& frame, uint32_t timeoutMs) {
  frame = CameraFrame{};
  CaptureTextureRef handed;
  if (!capture_.waitFrame(frame.image, static_cast<int32_t>(std::min<uint32_t>(timeoutMs, INT32_MAX)), &handed,
                          &frame.subresource)) {
    return false;
  }
  if (handed) frame.texture = handed->d3dTexture();
  return true;
}

void PhysicalCameraSource::stop() { capture_.stop(); }

HRESULT PhysicalCameraSource::lastHresult() const { return capture_.lastHresult(); }

// The capture's own flag: in texture mode it converts without mirroring unless asked,
// and the texture is mirrored by the engine's kernel.
bool PhysicalCameraSource::mirrorsInCapture() const { return capture_.mirror(); }

std::unique_ptr<ICaptureSource> makePhysicalCamera(const ProducerOptions&) {
  return std::make_unique<PhysicalCameraSource>([](const std::string& line) { logLine(line); });
}

namespace {

// Row stride of the reader's current NV12 type: its default stride when set
// (a bottom-up negative one counts by its size), else the frame width, which is
// what a bitmap stride of NV12 comes to.
uint32_t nv12Stride(IMFMediaType* type, uint32_t width) {
  UINT32 stride = 0;
  if (SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride)) && stride != 0) {
    const auto signedStride = static_cast<int32_t>(stride);
    return signedStride < 0 ? 0u - stride : stride;
  }
  return width;
}

// The source reader over the activated camera, owned by the capture thread.
class MediaFoundationCamera final : public CaptureCamera {
 public:
  MediaFoundationCamera() {
    comInitialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }
  ~MediaFoundationCamera() override {
    reader_.Reset();
    manager_.Reset();
    if (source_) source_->Shutdown();
    source_.Reset();
    if (mfStarted_) MFShutdown();
    if (comInitialized_) CoUninitialize();
  }

  HRESULT open(const CameraOpenRequest& request) {
    RETURN_IF_FAILED(MFStartup(MF_VERSION, MFSTARTUP_LITE));
    mfStarted_ = true;
    textureMode_ = request.textureMode;
    RETURN_IF_FAILED(activate(request.cameraIndex));

    ComPtr<IMFAttributes> attributes;
    RETURN_IF_FAILED(MFCreateAttributes(&attributes, request.textureMode ? 4 : 1));
    RETURN_IF_FAILED(attributes->SetUINT32(MF_SOURCE_READER_ENABLE_ADVANCED_VIDEO_PROCESSING, TRUE));
    if (request.textureMode) {
      ID3D11Device* device = request.device != nullptr ? request.device->d3dDevice() : nullptr;
      if (device == nullptr) return E_POINTER;
      UINT token = 0;
      RETURN_IF_FAILED(MFCreateDXGIDeviceManager(&token, &manager_));
      RETURN_IF_FAILED(manager_->ResetDevice(device, token));
      RETURN_IF_FAILED(attributes->SetUnknown(MF_SOURCE_READER_D3D_MANAGER, manager_.Get()));
      RETURN_IF_FAILED(attributes->SetUINT32(MF_READWRITE_ENABLE_HARDWARE_TRANSFORMS, TRUE));
    }
    RETURN_IF_FAILED(MFCreateSourceReaderFromMediaSource(source_.Get(), attributes.Get(), &reader_));

    ComPtr<IMFMediaType> wanted;
    RETURN_IF_FAILED(MFCreateMediaType(&wanted));
    RETURN_IF_FAILED(wanted->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
    RETURN_IF_FAILED(wanted->SetGUID(MF_MT_SUBTYPE, request.textureMode ? MFVideoFormat_RGB32 : MFVideoFormat_NV12));
    if (request.width > 0 && request.height > 0) {
      RETURN_IF_FAILED(MFSetAttributeSize(wanted.Get(), MF_MT_FRAME_SIZE, UINT32(request.width), UINT32(request.height)));
    }
    if (request.fpsNumerator > 0 && request.fpsDenominator > 0) {
      RETURN_IF_FAILED(MFSetAttributeRatio(wanted.Get(), MF_MT_FRAME_RATE, UINT32(request.fpsNumerator),
                                           UINT32(request.fpsDenominator)));
    }
    return reader_->SetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, nullptr, wanted.Get());
  }

  CaptureFormat currentFormat() override {
    CaptureFormat format;
    ComPtr<IMFMediaType> type;
    if (FAILED(reader_->GetCurrentMediaType(MF_SOURCE_READER_FIRST_VIDEO_STREAM, &type))) return format;
    UINT32 width = 0, height = 0, numerator = 0, denominator = 0;
    if (SUCCEEDED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height))) {
      format.width = width;
      format.height = height;
    }
    if (SUCCEEDED(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator))) {
      format.fpsNumerator = numerator;
      format.fpsDenominator = denominator;
    }
    format.stride = nv12Stride(type.Get(), format.width);
    return format;
  }

  HRESULT readSample(CaptureSampleSink& sink) override {
    DWORD stream = 0, flags = 0;
    LONGLONG timestamp = 0;
    ComPtr<IMFSample> sample;
    const HRESULT hr =
        reader_->ReadSample(MF_SOURCE_READER_FIRST_VIDEO_STREAM, 0, &stream, &flags, &timestamp, &sample);
    if (FAILED(hr)) return hr;
    if (flags & MF_SOURCE_READERF_ENDOFSTREAM) return S_FALSE;
    if (flags & MF_SOURCE_READERF_CURRENTMEDIATYPECHANGED) {
      const CaptureFormat changed = currentFormat();
      sink.onFormatChanged(changed.width, changed.height, changed.stride);
    }
    if (!sample) return S_OK;
    if (textureMode_) {
      deliverTexture(sample.Get(), sink);
      return S_OK;
    }
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) return S_OK;
    BYTE* data = nullptr;
    DWORD maxLength = 0, length = 0;
    if (FAILED(buffer->Lock(&data, &maxLength, &length))) return S_OK;
    sink.onNv12(data, length);
    buffer->Unlock();
    return S_OK;
  }

 private:
  static void deliverTexture(IMFSample* sample, CaptureSampleSink& sink) {
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFDXGIBuffer> dxgi;
    ComPtr<ID3D11Texture2D> texture;
    if (FAILED(sample->GetBufferByIndex(0, &buffer)) || FAILED(buffer->QueryInterface(IID_PPV_ARGS(&dxgi))) ||
        FAILED(dxgi->GetResource(IID_PPV_ARGS(&texture))) || !texture) {
      return;
    }
    UINT subresource = 0;
    if (FAILED(dxgi->GetSubresourceIndex(&subresource))) subresource = 0;
    sink.onTexture(wrapD3D11Texture(texture.Get()), subresource);
  }

  HRESULT activate(int32_t index) {
    std::vector<ComPtr<IMFActivate>> devices;
    HRESULT hr = enumerateVideoCaptureDevices(devices);
    if (FAILED(hr)) return hr;
    if (index < 0 || static_cast<size_t>(index) >= devices.size()) return MF_E_NOT_FOUND;
    hr = devices[size_t(index)]->ActivateObject(IID_PPV_ARGS(&source_));
    return SUCCEEDED(hr) && !source_ ? E_FAIL : hr;
  }

  bool comInitialized_ = false;
  bool mfStarted_ = false;
  bool textureMode_ = false;
  ComPtr<IMFDXGIDeviceManager> manager_;
  ComPtr<IMFMediaSource> source_;
  ComPtr<IMFSourceReader> reader_;
};

}  // namespace

CameraOpener mediaFoundationCameraOpener() {
  return [](const CameraOpenRequest& request, std::unique_ptr<CaptureCamera>& camera) {
    auto opened = std::make_unique<MediaFoundationCamera>();
    const HRESULT hr = opened->open(request);
    if (SUCCEEDED(hr)) camera = std::move(opened);
    return hr;  // a failed camera releases what it made as it goes
  };
}

}  // namespace tesmira
