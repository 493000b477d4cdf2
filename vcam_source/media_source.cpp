// The live media source and its single video stream.
#include "vcam_source/media_source.h"

#include <ks.h>
#include <ksproxy.h>
#include <ksmedia.h>
#include <mfapi.h>
#include <mferror.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "common/hresult.h"
#include "common/sdk_compat.h"
#include "vcam_source/channels.h"
#include "vcam_source/media_types.h"
#include "vcam_source/source_log.h"
#include "vcam_source/status_card.h"
#include "vcam_source/wrl_classes.h"

// IKsControl as this module declares it, so that it carries its IID. It adds
// nothing to IKsControl, so a caller holding an IKsControl pointer calls the same slots.
struct DECLSPEC_UUID("28F54685-06FD-11D2-B27A-00A0C9223196") IKsControlWithUuid : IKsControl {};
#ifdef __CRT_UUID_DECL
__CRT_UUID_DECL(IKsControlWithUuid, 0x28F54685, 0x06FD, 0x11D2, 0xB2, 0x7A, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96)
#endif

namespace tesmira::vcam {
namespace {

using Microsoft::WRL::ChainInterfaces;
using Microsoft::WRL::ClassicCom;
using Microsoft::WRL::ComPtr;
using Microsoft::WRL::RuntimeClass;
using Microsoft::WRL::RuntimeClassFlags;
using Lock = std::lock_guard<std::mutex>;

constexpr uint64_t kLastGoodFrameMaxAgeMs = 500;
constexpr DWORD kFrameReadyWaitMs = 100;

enum class SourceState : uint32_t { Stopped = 0, Started = 1, Paused = 2, ShutDown = 3 };

class TesmiraMediaSource;

// The frame rate as numerator and denominator; a type without one runs at 30/1.
void frameRate(IMFMediaType* type, UINT32* numerator, UINT32* denominator) {
  if (FAILED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, numerator, denominator))) {
    *numerator = kDefaultCaptureMode.fpsNumerator;
    *denominator = kDefaultCaptureMode.fpsDenominator;
  }
}

// Whether two media types describe the same offer: subtype, frame size and rate,
// the rates compared as ratios (60/2 is 30/1).
bool sameOffer(IMFMediaType* a, IMFMediaType* b) {
  GUID sa{}, sb{};
  UINT64 fa = 0, fb = 0;
  if (FAILED(a->GetGUID(MF_MT_SUBTYPE, &sa)) || FAILED(b->GetGUID(MF_MT_SUBTYPE, &sb)) || sa != sb) return false;
  if (FAILED(a->GetUINT64(MF_MT_FRAME_SIZE, &fa)) || FAILED(b->GetUINT64(MF_MT_FRAME_SIZE, &fb)) || fa != fb) return false;
  UINT32 na = 0, da = 0, nb = 0, db = 0;
  frameRate(a, &na, &da);
  frameRate(b, &nb, &db);
  return da && db && uint64_t(na) * db == uint64_t(nb) * da;
}

// IMFMediaEventGenerator answered from the queue that eventQueue hands out.
template <class... Interfaces>
class EventGenerator : public RuntimeClass<RuntimeClassFlags<ClassicCom>, Interfaces...> {
 public:
  STDMETHOD(GetEvent)(DWORD flags, IMFMediaEvent** event) override {
    return withQueue([&](IMFMediaEventQueue* queue) { return queue->GetEvent(flags, event); });
  }
  STDMETHOD(BeginGetEvent)(IMFAsyncCallback* callback, IUnknown* state) override {
    return withQueue([&](IMFMediaEventQueue* queue) { return queue->BeginGetEvent(callback, state); });
  }
  STDMETHOD(EndGetEvent)(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return withQueue([&](IMFMediaEventQueue* queue) { return queue->EndGetEvent(result, event); });
  }
  STDMETHOD(QueueEvent)(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) override {
    return withQueue([&](IMFMediaEventQueue* queue) { return queue->QueueEventParamVar(type, extendedType, status, value); });
  }

 protected:
  // The live queue; MF_E_SHUTDOWN once the object is shut down.
  virtual HRESULT eventQueue(IMFMediaEventQueue** queue) = 0;

 private:
  // The queue is taken under the object's lock and called outside it.
  template <class Call>
  HRESULT withQueue(Call call) {
    ComPtr<IMFMediaEventQueue> queue;
    HRESULT hr = eventQueue(&queue);
    return FAILED(hr) ? hr : call(queue.Get());
  }
};

class TesmiraMediaStream final
    : public EventGenerator<ChainInterfaces<IMFMediaStream2, IMFMediaStream, IMFMediaEventGenerator>> {
 public:
  HRESULT initialize(TesmiraMediaSource* source, IMFMediaType** types, DWORD count);
  HRESULT start(IMFMediaType* type);
  HRESULT pause();
  HRESULT stop();
  void shutdown();
  // Serves the requests held while the stream was paused, oldest first, once it runs again.
  void serveHeld();
  HRESULT getAttributes(IMFAttributes** out);
  HRESULT getDescriptor(IMFStreamDescriptor** out);
  // The offered type matching `type`, or null: only offered types may become current.
  IMFMediaType* offeredType(IMFMediaType* type);
  void clearSourceLink() {
    Lock lock(stateMutex_);
    source_ = nullptr;
  }

  STDMETHOD(GetMediaSource)(IMFMediaSource** source) override;
  STDMETHOD(GetStreamDescriptor)(IMFStreamDescriptor** descriptor) override { return getDescriptor(descriptor); }
  STDMETHOD(RequestSample)(IUnknown* token) override;
  STDMETHOD(SetStreamState)(MF_STREAM_STATE value) override;
  STDMETHOD(GetStreamState)(MF_STREAM_STATE* value) override;

 private:
  HRESULT eventQueue(IMFMediaEventQueue** queue) override;
  // One sample for the request, from the channel, the last good frame or a card.
  HRESULT makeSample(IUnknown* token, IMFMediaType* type, IMFSample** out);
  // Queues the sample while the stream runs. Paused meanwhile, the request goes
  // back to the front of the held ones (S_FALSE), since nothing may follow
  // MEStreamPaused before MEStreamStarted; stopped, it is dropped.
  HRESULT deliver(IMFSample* sample, IUnknown* token);
  // The held requests, taken under the state mutex so that the caller releases them outside it.
  std::vector<ComPtr<IUnknown>> takeHeldLocked() {
    std::vector<ComPtr<IUnknown>> held;
    held.swap(held_);
    return held;
  }

  std::mutex stateMutex_;
  TesmiraMediaSource* source_ = nullptr;
  ComPtr<IMFMediaEventQueue> queue_;
  ComPtr<IMFStreamDescriptor> descriptor_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<IMFMediaType> currentType_;
  int32_t state_ = MF_STREAM_STATE_STOPPED;
  bool shutDown_ = false;
  // Requests accepted while paused (their tokens, null ones too), and whether a
  // thread is serving them: a later request waits until it is done, so that it
  // comes after them and the serving thread has an end.
  std::vector<ComPtr<IUnknown>> held_;
  bool servingHeld_ = false;
  std::condition_variable heldServed_;
  std::vector<ComPtr<IMFMediaType>> offered_;  // set once by initialize
  std::atomic<uint64_t> requestCounter_{0};

  std::mutex frameMutex_;
  VcamControlWriter control_;
  FrameChannelReader reader_;
  std::vector<uint8_t> lastGoodFrame_;
  uint32_t lastGoodWidth_ = 0;
  uint32_t lastGoodHeight_ = 0;
  uint64_t lastGoodTick_ = 0;
  StatusCardSelector cards_;
  StatusCardCache cardCache_;
};

class TesmiraMediaSource final
    : public EventGenerator<ChainInterfaces<IMFMediaSourceEx, IMFMediaSource, IMFMediaEventGenerator>, IMFGetService,
                            IKsControlWithUuid, IMFSampleAllocatorControl> {
 public:
  ~TesmiraMediaSource() override {
    // An application may release the source without Shutdown while it keeps the stream.
    if (stream_) stream_->clearSourceLink();
  }
  HRESULT initialize(IMFAttributes* activationStore);

  // The count is kept here so that the stream can take a reference only while
  // one is still held: its link stays set until the destructor clears it.
  STDMETHOD_(ULONG, AddRef)() override { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }
  STDMETHOD_(ULONG, Release)() override {
    const ULONG left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  // A new reference, unless the last one is already gone; called under the stream's lock.
  bool addRefUnlessReleased() {
    ULONG references = references_.load(std::memory_order_relaxed);
    while (references != 0)
      if (references_.compare_exchange_weak(references, references + 1, std::memory_order_relaxed)) return true;
    return false;
  }

  STDMETHOD(GetCharacteristics)(DWORD* characteristics) override;
  STDMETHOD(CreatePresentationDescriptor)(IMFPresentationDescriptor** descriptor) override;
  STDMETHOD(Start)(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition) override;
  STDMETHOD(Stop)() override;
  STDMETHOD(Pause)() override;
  STDMETHOD(Shutdown)() override;
  STDMETHOD(GetSourceAttributes)(IMFAttributes** attributes) override;
  STDMETHOD(GetStreamAttributes)(DWORD streamIdentifier, IMFAttributes** attributes) override;
  STDMETHOD(SetD3DManager)(IUnknown*) override {
    logSource(L"media source SetD3DManager");
    return S_OK;
  }

  STDMETHOD(GetService)(REFGUID service, REFIID riid, LPVOID* object) override {
    logSource(L"media source GetService service=" + guidToText(service) + L" riid=" + guidToText(riid) + L" rejected");
    if (!object) return E_POINTER;
    *object = nullptr;
    return MF_E_UNSUPPORTED_SERVICE;
  }

  STDMETHOD(KsProperty)(PKSPROPERTY id, ULONG idLength, LPVOID, ULONG, ULONG* bytesReturned) override {
    return rejectKs(L"KsProperty", id, idLength, bytesReturned);
  }
  STDMETHOD(KsMethod)(PKSMETHOD id, ULONG idLength, LPVOID, ULONG, ULONG* bytesReturned) override {
    return rejectKs(L"KsMethod", id, idLength, bytesReturned);
  }
  STDMETHOD(KsEvent)(PKSEVENT id, ULONG idLength, LPVOID, ULONG, ULONG* bytesReturned) override {
    return rejectKs(L"KsEvent", id, idLength, bytesReturned);
  }

  STDMETHOD(SetDefaultAllocator)(DWORD streamId, IUnknown* allocator) override {
    logSource(L"media source SetDefaultAllocator stream=" + std::to_wstring(streamId) +
              L" allocator=" + std::to_wstring(reinterpret_cast<uintptr_t>(allocator)));
    return S_OK;
  }
  STDMETHOD(GetAllocatorUsage)(DWORD streamId, DWORD* inputStreamId, MFSampleAllocatorUsage* usage) override {
    logSource(L"media source GetAllocatorUsage stream=" + std::to_wstring(streamId));
    if (!inputStreamId || !usage) return E_POINTER;
    if (streamId != 0) return MF_E_INVALIDSTREAMNUMBER;
    *inputStreamId = 0;
    *usage = MFSampleAllocatorUsage_UsesCustomAllocator;
    logSource(L"media source GetAllocatorUsage returning custom allocator inputStream=" + std::to_wstring(*inputStreamId));
    return S_OK;
  }

 private:
  HRESULT eventQueue(IMFMediaEventQueue** queue) override {
    Lock lock(mutex_);
    if (state_ == SourceState::ShutDown) return MF_E_SHUTDOWN;
    if (!queue_) return E_UNEXPECTED;
    return queue_.CopyTo(queue);
  }
  static HRESULT rejectKs(const wchar_t* name, const KSIDENTIFIER* id, ULONG idLength, ULONG* bytesReturned) {
    std::wstring prefix = std::wstring(L"media source ") + name;
    if (id && idLength >= sizeof(KSIDENTIFIER)) {
      wchar_t flags[16];
      std::swprintf(flags, 16, L"%x", unsigned(id->Flags));
      logSource(prefix + L" set=" + guidToText(id->Set) + L" id=" + std::to_wstring(id->Id) + L" flags=0x" + flags +
                L" rejected");
    } else {
      logSource(prefix + L" rejected");
    }
    if (bytesReturned) *bytesReturned = 0;
    return HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
  }
  HRESULT attachSensorProfiles();

  std::mutex mutex_;
  ComPtr<IMFMediaEventQueue> queue_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<IMFPresentationDescriptor> descriptor_;
  ComPtr<TesmiraMediaStream> stream_;
  SourceState state_ = SourceState::Stopped;
  bool streamAnnounced_ = false;  // MENewStream was queued by an earlier Start
  std::atomic<ULONG> references_{1};
};

// ---- stream ------------------------------------------------------------------

HRESULT TesmiraMediaStream::initialize(TesmiraMediaSource* source, IMFMediaType** types, DWORD count) {
  logSource(L"stream Initialize mediaTypeCount=" + std::to_wstring(count));
  Lock lock(stateMutex_);
  source_ = source;
  attributes_.Reset();
  RETURN_IF_FAILED(MFCreateAttributes(&attributes_, 8));
  RETURN_IF_FAILED(attributes_->SetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, PINNAME_VIDEO_CAPTURE));
  RETURN_IF_FAILED(attributes_->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 0));
  RETURN_IF_FAILED(attributes_->SetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, 1));
  RETURN_IF_FAILED(attributes_->SetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, MFFrameSourceTypes_Color));

  descriptor_.Reset();
  RETURN_IF_FAILED(MFCreateStreamDescriptor(0, count, types, &descriptor_));
  RETURN_IF_FAILED(descriptor_->SetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, PINNAME_VIDEO_CAPTURE));
  RETURN_IF_FAILED(descriptor_->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 0));
  RETURN_IF_FAILED(descriptor_->SetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, MFFrameSourceTypes_Color));

  ComPtr<IMFMediaTypeHandler> handler;
  HRESULT hr = descriptor_->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(types[0]);
  if (FAILED(hr)) {
    logSource(L"stream Initialize failed setting default type: " + hresultToText(hr));
    return hr;
  }
  currentType_ = types[0];
  offered_.assign(types, types + count);
  for (DWORD i = 0; i < count; ++i)
    logSource(L"stream supported type[" + std::to_wstring(i) + L"] " + describeMediaType(types[i]));
  logSource(L"stream default type " + describeMediaType(currentType_.Get()));
  queue_.Reset();
  return MFCreateEventQueue(&queue_);
}

IMFMediaType* TesmiraMediaStream::offeredType(IMFMediaType* type) {
  if (!type) return nullptr;
  for (auto& offered : offered_)
    if (offered.Get() == type || sameOffer(offered.Get(), type)) return offered.Get();
  return nullptr;
}

HRESULT TesmiraMediaStream::start(IMFMediaType* requested) {
  IMFMediaType* type = requested ? offeredType(requested) : nullptr;
  if (requested && !type) {
    // Checked before anything is stamped or made current.
    logSource(L"stream Start rejected: media type not offered type=" + describeMediaType(requested));
    return MF_E_INVALIDMEDIATYPE;
  }
  logSource(L"stream Start requested type=" + describeMediaType(type));
  cards_.onStreamStart(GetTickCount64());
  control_.stamp(true, type);
  HRESULT hr;
  {
    Lock lock(stateMutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (type) {
      currentType_ = type;
      ComPtr<IMFMediaTypeHandler> handler;
      hr = descriptor_->GetMediaTypeHandler(&handler);
      if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(type);
      if (FAILED(hr)) {
        logSource(L"stream Start SetCurrentMediaType failed: " + hresultToText(hr) + L" type=" + describeMediaType(type));
        return hr;
      }
    }
    state_ = MF_STREAM_STATE_RUNNING;
    hr = queue_->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr);
  }
  RETURN_IF_FAILED_LOG(logSource, L"stream Start queue event", hr);
  logSource(L"stream Start succeeded");
  return hr;
}

HRESULT TesmiraMediaStream::pause() {
  logSource(L"stream Pause");
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  if (state_ != MF_STREAM_STATE_RUNNING) return MF_E_INVALID_STATE_TRANSITION;
  state_ = MF_STREAM_STATE_PAUSED;
  HRESULT hr = queue_->QueueEventParamVar(MEStreamPaused, GUID_NULL, S_OK, nullptr);
  if (FAILED(hr)) state_ = MF_STREAM_STATE_RUNNING;
  return hr;
}

HRESULT TesmiraMediaStream::stop() {
  std::vector<ComPtr<IUnknown>> dropped;
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  state_ = MF_STREAM_STATE_STOPPED;
  dropped = takeHeldLocked();
  return queue_->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
}

void TesmiraMediaStream::shutdown() {
  logSource(L"stream Shutdown");
  std::vector<ComPtr<IUnknown>> released;
  Lock lock(stateMutex_);
  shutDown_ = true;
  source_ = nullptr;
  descriptor_.Reset();
  attributes_.Reset();
  currentType_.Reset();
  released = takeHeldLocked();
  if (queue_) queue_->Shutdown();
  queue_.Reset();
}

void TesmiraMediaStream::serveHeld() {
  {
    Lock lock(stateMutex_);
    if (servingHeld_ || held_.empty()) return;
    servingHeld_ = true;
  }
  for (;;) {
    ComPtr<IUnknown> token;
    ComPtr<IMFMediaType> type;
    {
      Lock lock(stateMutex_);
      if (shutDown_ || state_ != MF_STREAM_STATE_RUNNING || held_.empty()) {
        servingHeld_ = false;
        heldServed_.notify_all();
        return;
      }
      token = held_.front();
      held_.erase(held_.begin());
      type = currentType_;
    }
    ComPtr<IMFSample> sample;
    HRESULT hr = makeSample(token.Get(), type.Get(), &sample);
    if (SUCCEEDED(hr)) hr = deliver(sample.Get(), token.Get());
    if (FAILED(hr) && hr != MF_E_SHUTDOWN && hr != MF_E_MEDIA_SOURCE_WRONGSTATE) {
      // The request was accepted long ago; its failure can only travel as an event.
      logSource(failureText(L"stream RequestSample held request", hr));
      QueueEvent(MEError, GUID_NULL, hr, nullptr);
    }
  }
}

HRESULT TesmiraMediaStream::eventQueue(IMFMediaEventQueue** queue) {
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  if (!queue_) return E_UNEXPECTED;
  return queue_.CopyTo(queue);
}

HRESULT TesmiraMediaStream::getAttributes(IMFAttributes** out) {
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  if (!out) return E_POINTER;
  return attributes_.CopyTo(out);
}

HRESULT TesmiraMediaStream::getDescriptor(IMFStreamDescriptor** out) {
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  if (!out) return E_POINTER;
  return descriptor_.CopyTo(out);
}

STDMETHODIMP TesmiraMediaStream::SetStreamState(MF_STREAM_STATE value) {
  logSource(L"stream SetStreamState state=" + std::to_wstring(int32_t(value)));
  std::vector<ComPtr<IUnknown>> dropped;
  {
    Lock lock(stateMutex_);
    if (shutDown_) return MF_E_SHUTDOWN;
    if (value == MF_STREAM_STATE_RUNNING && state_ == MF_STREAM_STATE_STOPPED) cards_.onStreamStart(GetTickCount64());
    state_ = int32_t(value);
    if (value == MF_STREAM_STATE_STOPPED) dropped = takeHeldLocked();
  }
  if (value == MF_STREAM_STATE_RUNNING) serveHeld();
  return S_OK;
}

STDMETHODIMP TesmiraMediaStream::GetStreamState(MF_STREAM_STATE* value) {
  if (!value) return E_POINTER;
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  *value = MF_STREAM_STATE(state_);
  return S_OK;
}

STDMETHODIMP TesmiraMediaStream::RequestSample(IUnknown* token) {
  ComPtr<IMFMediaType> type;
  {
    std::unique_lock lock(stateMutex_);
    heldServed_.wait(lock, [&] { return !servingHeld_; });
    if (shutDown_) return MF_E_SHUTDOWN;
    // Paused, a request is accepted and served after the restart; held requests
    // that wait for their server go first.
    if (state_ == MF_STREAM_STATE_PAUSED || (state_ == MF_STREAM_STATE_RUNNING && !held_.empty())) {
      held_.emplace_back(token);
      return S_OK;
    }
    // A late request after Stop: the pipeline ignores this answer, and any other
    // failure would end its session.
    if (state_ != MF_STREAM_STATE_RUNNING) return MF_E_MEDIA_SOURCE_WRONGSTATE;
    type = currentType_;
  }
  ComPtr<IMFSample> sample;
  RETURN_IF_FAILED(makeSample(token, type.Get(), &sample));
  const HRESULT hr = deliver(sample.Get(), token);
  return hr == S_FALSE ? S_OK : hr;
}

HRESULT TesmiraMediaStream::deliver(IMFSample* sample, IUnknown* token) {
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  if (state_ == MF_STREAM_STATE_PAUSED) {
    held_.emplace(held_.begin(), token);
    return S_FALSE;
  }
  if (state_ != MF_STREAM_STATE_RUNNING) return MF_E_MEDIA_SOURCE_WRONGSTATE;
  if (!queue_) return E_UNEXPECTED;
  return queue_->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample);
}

HRESULT TesmiraMediaStream::makeSample(IUnknown* token, IMFMediaType* type, IMFSample** out) {
  GUID subtype = MFVideoFormat_NV12;
  UINT32 width = kDefaultCaptureMode.width, height = kDefaultCaptureMode.height;
  UINT32 numerator = kDefaultCaptureMode.fpsNumerator, denominator = kDefaultCaptureMode.fpsDenominator;
  if (type) {
    if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype))) subtype = MFVideoFormat_NV12;
    UINT32 w = 0, h = 0, n = 0, d = 0;
    if (SUCCEEDED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &w, &h))) width = w, height = h;
    if (SUCCEEDED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &n, &d))) numerator = n, denominator = d;
  }
  // Every size below comes from here, so nothing is ever sized from an unchecked type.
  if (!isServableFrameSize(width, height)) return MF_E_INVALIDMEDIATYPE;

  control_.stamp(false, type);
  const uint64_t n = requestCounter_.fetch_add(1) + 1;
  if (n == 1 || n % 300 == 0)
    logSource(L"stream RequestSample #" + std::to_wstring(n) + L" type=" + describeMediaType(type));

  const bool nv12 = subtype == MFVideoFormat_NV12;
  const uint64_t nv12Size = nv12Bytes(width, height);
  const DWORD size = DWORD(nv12 ? nv12Size : uint64_t(width) * height * 4);
  ComPtr<IMFMediaBuffer> buffer;
  RETURN_IF_FAILED(MFCreateMemoryBuffer(size, &buffer));
  BYTE* data = nullptr;
  RETURN_IF_FAILED(buffer->Lock(&data, nullptr, nullptr));
  {
    // One copy out of the channel (straight into the last good frame), one copy or
    // conversion into the buffer.
    Lock lock(frameMutex_);
    reader_.map();
    if (HANDLE ready = reader_.frameReadyEvent()) WaitForSingleObject(ready, kFrameReadyWaitMs);
    const uint8_t* frame = nullptr;
    if (reader_.readFrame(width, height, lastGoodFrame_)) {
      const uint64_t now = GetTickCount64();
      lastGoodWidth_ = width;
      lastGoodHeight_ = height;
      lastGoodTick_ = now;
      cards_.onGoodFrame(now);
      frame = lastGoodFrame_.data();
    } else {
      const uint64_t now = GetTickCount64();
      if (!lastGoodFrame_.empty() && lastGoodWidth_ == width && lastGoodHeight_ == height &&
          now - lastGoodTick_ <= kLastGoodFrameMaxAgeMs) {
        frame = lastGoodFrame_.data();
      } else {
        const std::vector<uint8_t>& card = cardCache_.nv12(cards_.choose(now), width, height);
        if (card.size() == nv12Size) frame = card.data();
      }
    }
    if (!frame) {
      buffer->Unlock();
      return E_UNEXPECTED;
    }
    if (nv12)
      std::memcpy(data, frame, size);
    else
      nv12ToRgb32(frame, width, height, data);
  }
  RETURN_IF_FAILED(buffer->Unlock());
  RETURN_IF_FAILED(buffer->SetCurrentLength(size));

  ComPtr<IMFSample> sample;
  RETURN_IF_FAILED(MFCreateSample(&sample));
  RETURN_IF_FAILED(sample->AddBuffer(buffer.Get()));
  RETURN_IF_FAILED(sample->SetSampleTime(MFGetSystemTime()));
  RETURN_IF_FAILED(sample->SetSampleDuration(sampleDuration(numerator, denominator)));
  if (token) RETURN_IF_FAILED(sample->SetUnknown(MFSampleExtension_Token, token));
  *out = sample.Detach();
  return S_OK;
}

// ---- source ------------------------------------------------------------------

STDMETHODIMP TesmiraMediaStream::GetMediaSource(IMFMediaSource** source) {
  if (!source) return E_POINTER;
  *source = nullptr;
  Lock lock(stateMutex_);
  if (shutDown_) return MF_E_SHUTDOWN;
  // A source whose last reference is gone may still be linked while its destructor
  // waits for this lock: it is never handed out again.
  if (!source_ || !source_->addRefUnlessReleased()) return E_UNEXPECTED;
  *source = static_cast<IMFMediaSource*>(source_);
  return S_OK;
}

HRESULT TesmiraMediaSource::attachSensorProfiles() {
  ComPtr<IMFSensorProfileCollection> collection;
  ComPtr<IMFSensorProfile> profile;
  RETURN_IF_FAILED(MFCreateSensorProfileCollection(&collection));
  RETURN_IF_FAILED(MFCreateSensorProfile(KSCAMERAPROFILE_Legacy, 0, nullptr, &profile));
  RETURN_IF_FAILED(profile->AddProfileFilter(0, L"((RES==;FRT<=30,1;SUT==))"));
  RETURN_IF_FAILED(collection->AddProfile(profile.Get()));
  return attributes_->SetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, collection.Get());
}

HRESULT TesmiraMediaSource::initialize(IMFAttributes* activationStore) {
  logSource(L"media source Initialize");
  Lock lock(mutex_);
  queue_.Reset();
  RETURN_IF_FAILED(MFCreateEventQueue(&queue_));
  attributes_.Reset();
  RETURN_IF_FAILED(MFCreateAttributes(&attributes_, 8));
  // CopyAllItems empties its destination first, so the source's own items come after it.
  if (activationStore) activationStore->CopyAllItems(attributes_.Get());
  RETURN_IF_FAILED(attributes_->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID));
  RETURN_IF_FAILED(attributes_->SetString(MF_DEVSOURCE_ATTRIBUTE_FRIENDLY_NAME, L"Tesmira"));

  HRESULT hr = attachSensorProfiles();
  logSource(FAILED(hr) ? L"media source attach sensor profiles failed (non-fatal): " + hresultToText(hr)
                       : std::wstring(L"media source attached sensor profiles"));

  std::vector<ComPtr<IMFMediaType>> types;
  for (const CameraCapability& mode : readCameraCapabilities()) {
    for (const GUID* subtype : {&MFVideoFormat_NV12, &MFVideoFormat_RGB32}) {
      ComPtr<IMFMediaType> type;
      RETURN_IF_FAILED(makeVideoMediaType(*subtype, mode.width, mode.height, mode.fpsNumerator, mode.fpsDenominator, &type));
      types.push_back(type);
    }
  }
  stream_.Reset();
  stream_ = Microsoft::WRL::Make<TesmiraMediaStream>();
  if (!stream_) return E_OUTOFMEMORY;
  std::vector<IMFMediaType*> raw;
  for (auto& t : types) raw.push_back(t.Get());
  RETURN_IF_FAILED_LOG(logSource, L"media source stream Initialize", stream_->initialize(this, raw.data(), DWORD(raw.size())));
  ComPtr<IMFStreamDescriptor> streamDescriptor;
  RETURN_IF_FAILED(stream_->getDescriptor(&streamDescriptor));
  descriptor_.Reset();
  IMFStreamDescriptor* streams[] = {streamDescriptor.Get()};
  hr = MFCreatePresentationDescriptor(1, streams, &descriptor_);
  if (SUCCEEDED(hr)) hr = descriptor_->SelectStream(0);
  RETURN_IF_FAILED_LOG(logSource, L"media source Initialize", hr);
  logSource(L"media source Initialize succeeded");
  return hr;
}

STDMETHODIMP TesmiraMediaSource::GetCharacteristics(DWORD* characteristics) {
  logSource(L"media source GetCharacteristics");
  if (!characteristics) return E_POINTER;
  Lock lock(mutex_);
  if (state_ == SourceState::ShutDown) return MF_E_SHUTDOWN;
  *characteristics = MFMEDIASOURCE_IS_LIVE | MFMEDIASOURCE_CAN_PAUSE;
  return S_OK;
}

STDMETHODIMP TesmiraMediaSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  logSource(L"media source CreatePresentationDescriptor");
  if (!descriptor) return E_POINTER;
  *descriptor = nullptr;
  Lock lock(mutex_);
  if (state_ == SourceState::ShutDown) return MF_E_SHUTDOWN;
  if (!descriptor_) return MF_E_NOT_INITIALIZED;
  return descriptor_->Clone(descriptor);
}

STDMETHODIMP TesmiraMediaSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                                       const PROPVARIANT* startPosition) {
  logSource(L"media source Start called");
  if (!descriptor || !startPosition) {
    logSource(L"media source Start rejected: invalid descriptor/start position");
    return E_INVALIDARG;
  }
  if (timeFormat && *timeFormat != GUID_NULL) {
    logSource(L"media source Start rejected: unsupported time format " + guidToText(*timeFormat));
    return MF_E_UNSUPPORTED_TIME_FORMAT;
  }
  ComPtr<IMFMediaEventQueue> queue;
  ComPtr<TesmiraMediaStream> stream;
  ComPtr<IMFMediaType> type;
  MediaEventType streamEvent;
  {
    Lock lock(mutex_);
    if (state_ == SourceState::ShutDown) return MF_E_SHUTDOWN;
    DWORD count = 0;
    RETURN_IF_FAILED(descriptor->GetStreamDescriptorCount(&count));
    if (count == 0) return MF_E_INVALIDREQUEST;
    BOOL selected = FALSE;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    RETURN_IF_FAILED(descriptor->GetStreamDescriptorByIndex(0, &selected, &streamDescriptor));
    if (!selected) return MF_E_INVALIDREQUEST;
    ComPtr<IMFMediaTypeHandler> handler;
    ComPtr<IMFMediaType> requested;
    HRESULT hr = streamDescriptor->GetMediaTypeHandler(&handler);
    if (SUCCEEDED(hr)) hr = handler->GetCurrentMediaType(&requested);
    if (FAILED(hr)) {
      logSource(L"media source Start failed getting current media type: " + hresultToText(hr));
      return hr;
    }
    logSource(L"media source Start selected type=" + describeMediaType(requested.Get()));
    if (!stream_) return MF_E_SHUTDOWN;
    type = stream_->offeredType(requested.Get());
    if (!type) {
      logSource(L"media source Start rejected: media type not offered type=" + describeMediaType(requested.Get()));
      return MF_E_INVALIDMEDIATYPE;
    }
    // The one stream is selected in every Start, so only the first one announces it as new.
    streamEvent = streamAnnounced_ ? MEUpdatedStream : MENewStream;
    streamAnnounced_ = true;
    state_ = SourceState::Started;
    // References taken under the lock, calls made after it: Shutdown may release both meanwhile.
    stream = stream_;
    queue = queue_;
  }
  PROPVARIANT startTime;
  PropVariantInit(&startTime);
  startTime.vt = VT_I8;
  startTime.hVal.QuadPart = MFGetSystemTime();
  HRESULT hr = queue ? queue->QueueEventParamUnk(streamEvent, GUID_NULL, S_OK, static_cast<IMFMediaStream*>(stream.Get()))
                     : E_UNEXPECTED;
  if (SUCCEEDED(hr)) hr = stream->start(type.Get());
  if (SUCCEEDED(hr)) hr = queue->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &startTime);
  if (FAILED(hr))
    logSource(failureText(L"media source Start", hr));
  else
    logSource(L"media source Start succeeded");
  // Requests held while paused come after MEStreamStarted; a stream that does not run keeps them.
  stream->serveHeld();
  return hr;
}

STDMETHODIMP TesmiraMediaSource::Stop() {
  logSource(L"media source Stop");
  ComPtr<TesmiraMediaStream> stream;
  {
    Lock lock(mutex_);
    if (state_ == SourceState::ShutDown) return MF_E_SHUTDOWN;
    state_ = SourceState::Stopped;
    stream = stream_;
  }
  if (stream) {
    logSource(L"stream Stop");
    RETURN_IF_FAILED(stream->stop());
  }
  return QueueEvent(MESourceStopped, GUID_NULL, S_OK, nullptr);
}

STDMETHODIMP TesmiraMediaSource::Pause() {
  logSource(L"media source Pause");
  ComPtr<TesmiraMediaStream> stream;
  {
    Lock lock(mutex_);
    if (state_ == SourceState::ShutDown) return MF_E_SHUTDOWN;
    if (state_ != SourceState::Started) {
      logSource(L"media source Pause rejected: source is not started");
      return MF_E_INVALID_STATE_TRANSITION;
    }
    state_ = SourceState::Paused;
    stream = stream_;
  }
  HRESULT hr = stream ? stream->pause() : MF_E_SHUTDOWN;
  if (FAILED(hr)) {
    {
      Lock lock(mutex_);
      if (state_ == SourceState::Paused) state_ = SourceState::Started;
    }
    logSource(failureText(L"media source Pause", hr));
    return hr;
  }
  hr = QueueEvent(MESourcePaused, GUID_NULL, S_OK, nullptr);
  RETURN_IF_FAILED_LOG(logSource, L"media source Pause queue event", hr);
  logSource(L"media source Pause succeeded");
  return hr;
}

STDMETHODIMP TesmiraMediaSource::Shutdown() {
  logSource(L"media source Shutdown");
  Lock lock(mutex_);
  state_ = SourceState::ShutDown;
  descriptor_.Reset();
  attributes_.Reset();
  if (stream_) stream_->shutdown();
  stream_.Reset();
  if (queue_) queue_->Shutdown();
  queue_.Reset();
  return S_OK;
}

STDMETHODIMP TesmiraMediaSource::GetSourceAttributes(IMFAttributes** attributes) {
  logSource(L"media source GetSourceAttributes");
  Lock lock(mutex_);
  if (state_ == SourceState::ShutDown) return MF_E_SHUTDOWN;
  if (!attributes) return E_POINTER;
  return attributes_.CopyTo(attributes);
}

STDMETHODIMP TesmiraMediaSource::GetStreamAttributes(DWORD streamIdentifier, IMFAttributes** attributes) {
  logSource(L"media source GetStreamAttributes stream=" + std::to_wstring(streamIdentifier));
  if (streamIdentifier != 0) return MF_E_INVALIDSTREAMNUMBER;
  ComPtr<TesmiraMediaStream> stream;
  {
    // Read under the source lock (Shutdown releases it); only the stream's lock is held for the rest.
    Lock lock(mutex_);
    stream = stream_;
  }
  if (!stream) return MF_E_SHUTDOWN;
  return stream->getAttributes(attributes);
}

}  // namespace

HRESULT createMediaSource(IMFAttributes* activationStore, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  auto source = Microsoft::WRL::Make<TesmiraMediaSource>();
  if (!source) return E_OUTOFMEMORY;
  RETURN_IF_FAILED_LOG(logSource, L"activate ActivateObject source Initialize", source->initialize(activationStore));
  const HRESULT hr = source->QueryInterface(riid, out);
  RETURN_IF_FAILED_LOG(logSource, L"activate ActivateObject QueryInterface", hr);
  logSource(L"activate ActivateObject succeeded");
  return hr;
}

}  // namespace tesmira::vcam
