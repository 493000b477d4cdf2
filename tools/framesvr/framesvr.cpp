#include "tools/framesvr/framesvr.h"

#include "common/hresult.h"
#include "common/pixel_format.h"

#include <mfapi.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <wrl/implements.h>

#include <chrono>

namespace tesmira::framesvr {

using Microsoft::WRL::ComPtr;

// Rearms BeginGetEvent after every event and keeps them for the harness.
class EventPump : public Microsoft::WRL::RuntimeClass<IMFAsyncCallback> {
 public:
  explicit EventPump(IMFMediaEventGenerator* generator) : generator_(generator) {}
  HRESULT begin() { return generator_->BeginGetEvent(this, nullptr); }
  STDMETHOD(GetParameters)(DWORD*, DWORD*) override { return E_NOTIMPL; }
  STDMETHOD(Invoke)(IMFAsyncResult* result) override {
    ComPtr<IMFMediaEvent> event;
    HRESULT hr = generator_->EndGetEvent(result, &event);
    {
      std::lock_guard lock(mutex_);
      if (FAILED(hr)) {
        ended_ = true;
      } else {
        MediaEventType type = MEUnknown;
        event->GetType(&type);
        seen_.push_back(type);
        pending_.push_back(event);
      }
    }
    arrived_.notify_all();
    if (SUCCEEDED(hr) && FAILED(generator_->BeginGetEvent(this, nullptr))) {
      std::lock_guard lock(mutex_);
      ended_ = true;
    }
    return S_OK;
  }
  // The next event of `type` (earlier ones of other types are skipped), or null on time-out.
  ComPtr<IMFMediaEvent> waitFor(MediaEventType type, DWORD timeoutMs) {
    std::unique_lock lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      while (!pending_.empty()) {
        ComPtr<IMFMediaEvent> event = pending_.front();
        pending_.pop_front();
        MediaEventType t = MEUnknown;
        event->GetType(&t);
        if (t == type) return event;
      }
      if (ended_ || arrived_.wait_until(lock, deadline) == std::cv_status::timeout) return nullptr;
    }
  }
  std::vector<MediaEventType> seen() const {
    std::lock_guard lock(mutex_);
    return seen_;
  }
  void detach() {
    std::lock_guard lock(mutex_);
    ended_ = true;
  }

 private:
  ComPtr<IMFMediaEventGenerator> generator_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<ComPtr<IMFMediaEvent>> pending_;
  std::vector<MediaEventType> seen_;
  bool ended_ = false;
};

namespace {

VideoFormat formatOf(IMFMediaType* type) {
  VideoFormat f;
  type->GetGUID(MF_MT_SUBTYPE, &f.subtype);
  MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &f.width, &f.height);
  MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &f.numerator, &f.denominator);
  return f;
}

bool matches(const VideoFormat& wanted, const VideoFormat& offered) {
  return (wanted.subtype == GUID_NULL || wanted.subtype == offered.subtype) &&
         (!wanted.width || wanted.width == offered.width) && (!wanted.height || wanted.height == offered.height) &&
         (!wanted.numerator || wanted.numerator == offered.numerator) &&
         (!wanted.denominator || wanted.denominator == offered.denominator);
}

// The type handler of stream 0 of a presentation descriptor.
HRESULT streamTypeHandler(IMFPresentationDescriptor* pd, IMFMediaTypeHandler** handler) {
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> sd;
  HRESULT hr = pd->GetStreamDescriptorByIndex(0, &selected, &sd);
  return FAILED(hr) ? hr : sd->GetMediaTypeHandler(handler);
}

// The object an event carries (a stream, a sample) as T.
template <class T>
HRESULT eventObject(IMFMediaEvent* event, T** object) {
  PROPVARIANT value;
  PropVariantInit(&value);
  event->GetValue(&value);
  HRESULT hr = value.vt == VT_UNKNOWN && value.punkVal ? value.punkVal->QueryInterface(IID_PPV_ARGS(object)) : E_UNEXPECTED;
  PropVariantClear(&value);
  return hr;
}

// The symbolic link the frame server gives a virtual camera it opens.
constexpr const wchar_t* kSymbolicLink = L"\\\\?\\SWD#VCAMDEVAPI#Tesmira#{e5323777-f976-4f5b-9b55-b94699c46e44}";

}  // namespace

FrameServerHarness::FrameServerHarness() = default;

FrameServerHarness::~FrameServerHarness() { shutdown(); }

HRESULT FrameServerHarness::load(const std::filesystem::path& module, REFCLSID clsid) {
  module_ = LoadLibraryW(module.wstring().c_str());
  if (!module_) return HRESULT_FROM_WIN32(GetLastError());
  auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
  if (!getClassObject) return HRESULT_FROM_WIN32(GetLastError());
  ComPtr<IClassFactory> factory;
  RETURN_IF_FAILED(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())));
  ComPtr<IMFActivate> activate;
  RETURN_IF_FAILED(factory->CreateInstance(nullptr, IID_IMFActivate, reinterpret_cast<void**>(activate.GetAddressOf())));
  return useActivate(activate.Get());
}

HRESULT FrameServerHarness::useActivate(IMFActivate* activate) {
  if (!activate) return E_POINTER;
  activate_ = activate;
  return S_OK;
}

HRESULT FrameServerHarness::activate(const std::wstring& friendlyName) {
  if (!activate_) return E_UNEXPECTED;
  RETURN_IF_FAILED(activate_->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID));
  RETURN_IF_FAILED(activate_->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, friendlyName.c_str()));
  RETURN_IF_FAILED(activate_->SetString(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_SYMBOLIC_LINK, kSymbolicLink));
  RETURN_IF_FAILED(activate_->ActivateObject(IID_IMFMediaSourceEx, reinterpret_cast<void**>(source_.ReleaseAndGetAddressOf())));
  sourcePump_ = Microsoft::WRL::Make<EventPump>(source_.Get());
  RETURN_IF_FAILED(sourcePump_->begin());

  ComPtr<IMFPresentationDescriptor> pd;
  ComPtr<IMFMediaTypeHandler> handler;
  RETURN_IF_FAILED(source_->CreatePresentationDescriptor(&pd));
  RETURN_IF_FAILED(streamTypeHandler(pd.Get(), &handler));
  formats_.clear();
  for (DWORD i = 0;; ++i) {
    ComPtr<IMFMediaType> type;
    if (handler->GetMediaTypeByIndex(i, &type) != S_OK) break;
    formats_.push_back(formatOf(type.Get()));
  }
  return S_OK;
}

std::vector<VideoFormat> FrameServerHarness::formats() const { return formats_; }

HRESULT FrameServerHarness::start(const VideoFormat& wanted, DWORD timeoutMs) {
  if (!source_) return E_UNEXPECTED;
  ComPtr<IMFPresentationDescriptor> pd;
  ComPtr<IMFMediaTypeHandler> handler;
  RETURN_IF_FAILED(source_->CreatePresentationDescriptor(&pd));
  RETURN_IF_FAILED(streamTypeHandler(pd.Get(), &handler));
  ComPtr<IMFMediaType> chosen;
  for (DWORD i = 0;; ++i) {
    ComPtr<IMFMediaType> type;
    if (handler->GetMediaTypeByIndex(i, &type) != S_OK) break;
    if (matches(wanted, formatOf(type.Get()))) {
      chosen = type;
      break;
    }
  }
  if (!chosen) return MF_E_INVALIDMEDIATYPE;
  RETURN_IF_FAILED(handler->SetCurrentMediaType(chosen.Get()));
  RETURN_IF_FAILED(pd->SelectStream(0));
  PROPVARIANT position;
  PropVariantInit(&position);
  RETURN_IF_FAILED(source_->Start(pd.Get(), &GUID_NULL, &position));

  // MENewStream (or MEUpdatedStream on a restart) carries the stream.
  ComPtr<IMFMediaEvent> streamEvent;
  if (!stream_) {
    streamEvent = sourcePump_->waitFor(MENewStream, timeoutMs);
    if (!streamEvent) return MF_E_INVALIDREQUEST;
    RETURN_IF_FAILED(eventObject(streamEvent.Get(), &stream_));
    streamPump_ = Microsoft::WRL::Make<EventPump>(stream_.Get());
    RETURN_IF_FAILED(streamPump_->begin());
  }
  if (!sourcePump_->waitFor(MESourceStarted, timeoutMs)) return MF_E_INVALIDREQUEST;
  if (!streamPump_->waitFor(MEStreamStarted, timeoutMs)) return MF_E_INVALIDREQUEST;
  current_ = formatOf(chosen.Get());
  return S_OK;
}

HRESULT FrameServerHarness::requestSample(ReceivedSample& received, DWORD timeoutMs) {
  if (!stream_) return E_UNEXPECTED;
  RETURN_IF_FAILED(stream_->RequestSample(nullptr));
  ComPtr<IMFMediaEvent> event = streamPump_->waitFor(MEMediaSample, timeoutMs);
  if (!event) return MF_E_NOT_AVAILABLE;
  ComPtr<IMFSample> sample;
  RETURN_IF_FAILED(eventObject(event.Get(), &sample));
  ComPtr<IMFMediaBuffer> buffer;
  RETURN_IF_FAILED(sample->ConvertToContiguousBuffer(&buffer));
  BYTE* data = nullptr;
  DWORD length = 0;
  RETURN_IF_FAILED(buffer->Lock(&data, nullptr, &length));
  received.bytes.assign(data, data + length);
  buffer->Unlock();
  received.format = current_;
  sample->GetSampleTime(&received.time);
  sample->GetSampleDuration(&received.duration);
  return S_OK;
}

HRESULT FrameServerHarness::stop(DWORD timeoutMs) {
  if (!source_) return E_UNEXPECTED;
  RETURN_IF_FAILED(source_->Stop());
  return sourcePump_->waitFor(MESourceStopped, timeoutMs) ? S_OK : MF_E_INVALIDREQUEST;
}

HRESULT FrameServerHarness::shutdown() {
  if (sourcePump_) sourcePump_->detach();
  if (streamPump_) streamPump_->detach();
  HRESULT hr = source_ ? source_->Shutdown() : S_OK;
  stream_.Reset();
  source_.Reset();
  if (activate_) activate_->ShutdownObject();
  activate_.Reset();
  return hr;
}

std::vector<MediaEventType> FrameServerHarness::sourceEvents() const {
  return sourcePump_ ? sourcePump_->seen() : std::vector<MediaEventType>{};
}

std::vector<MediaEventType> FrameServerHarness::streamEvents() const {
  return streamPump_ ? streamPump_->seen() : std::vector<MediaEventType>{};
}

std::wstring formatText(const VideoFormat& f) {
  std::wstring name = f.subtype == MFVideoFormat_NV12 ? L"NV12" : f.subtype == MFVideoFormat_RGB32 ? L"RGB32" : L"other";
  return name + L" " + std::to_wstring(f.width) + L"x" + std::to_wstring(f.height) + L" @" + std::to_wstring(f.numerator) +
         L"/" + std::to_wstring(f.denominator);
}

bool parseSubtype(const std::string& text, GUID& subtype) {
  if (text == "nv12" || text == "NV12") {
    subtype = MFVideoFormat_NV12;
    return true;
  }
  if (text == "rgb32" || text == "RGB32") {
    subtype = MFVideoFormat_RGB32;
    return true;
  }
  return false;
}

bool writeSamplePng(const ReceivedSample& sample, const std::filesystem::path& file) {
  const int w = int(sample.format.width), h = int(sample.format.height);
  cv::Mat bgr;
  if (sample.format.subtype == MFVideoFormat_NV12 && sample.bytes.size() == nv12Bytes(w, h)) {
    cv::Mat nv12(h + h / 2, w, CV_8UC1, const_cast<uint8_t*>(sample.bytes.data()));
    cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
  } else if (sample.format.subtype == MFVideoFormat_RGB32 && sample.bytes.size() == size_t(w) * h * 4) {
    cv::Mat bgra(h, w, CV_8UC4, const_cast<uint8_t*>(sample.bytes.data()));
    cv::cvtColor(bgra, bgr, cv::COLOR_BGRA2BGR);
  } else {
    return false;
  }
  return cv::imwrite(file.string(), bgr);
}

}  // namespace tesmira::framesvr
