#pragma once
// The calls an application makes to reach the stream and its samples, free of
// gtest so that the benchmarks drive the source the same way the tests do.
#include <windows.h>
#include <mfapi.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace tesmira::vcam::testing {

using Microsoft::WRL::ComPtr;

// A test pattern whose every byte depends on its position and the seed.
inline std::vector<uint8_t> patternNv12(uint32_t w, uint32_t h, uint8_t seed = 0) {
  std::vector<uint8_t> frame(size_t(w) * h * 3 / 2);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = uint8_t(i * 7 + i / 4093 + seed);
  return frame;
}

// Every event queued so far, without waiting.
inline std::vector<MediaEventType> drainEvents(IMFMediaEventGenerator* generator,
                                               std::vector<ComPtr<IMFMediaEvent>>* events = nullptr) {
  std::vector<MediaEventType> types;
  for (;;) {
    ComPtr<IMFMediaEvent> event;
    if (generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) != S_OK) return types;
    MediaEventType type = 0;
    event->GetType(&type);
    types.push_back(type);
    if (events) events->push_back(event);
  }
}

// The object an event carries (a stream, a sample) as T; null when it carries none.
template <class T>
ComPtr<T> eventObject(IMFMediaEvent* event) {
  ComPtr<T> object;
  PROPVARIANT value;
  PropVariantInit(&value);
  if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UNKNOWN && value.punkVal)
    value.punkVal->QueryInterface(IID_PPV_ARGS(&object));
  PropVariantClear(&value);
  return object;
}

// Takes every queued event and hands out the object of the first one of `types`.
template <class T>
ComPtr<T> firstEventObject(IMFMediaEventGenerator* generator, std::initializer_list<MediaEventType> types) {
  std::vector<ComPtr<IMFMediaEvent>> events;
  drainEvents(generator, &events);
  for (auto& event : events) {
    MediaEventType type = 0;
    event->GetType(&type);
    if (std::find(types.begin(), types.end(), type) != types.end()) return eventObject<T>(event.Get());
  }
  return nullptr;
}

// The type handler of stream 0 of a presentation descriptor.
inline ComPtr<IMFMediaTypeHandler> streamTypeHandler(IMFPresentationDescriptor* pd) {
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> sd;
  ComPtr<IMFMediaTypeHandler> handler;
  if (SUCCEEDED(pd->GetStreamDescriptorByIndex(0, &selected, &sd))) sd->GetMediaTypeHandler(&handler);
  return handler;
}

// A presentation descriptor with offered type `index` current on stream 0; the
// first failing call's result.
inline HRESULT selectOfferedType(IMFMediaSource* source, DWORD index, IMFPresentationDescriptor** pd) {
  HRESULT hr = source->CreatePresentationDescriptor(pd);
  if (FAILED(hr)) return hr;
  ComPtr<IMFMediaTypeHandler> handler = streamTypeHandler(*pd);
  ComPtr<IMFMediaType> type;
  if (!handler) return E_UNEXPECTED;
  if (FAILED(hr = handler->GetMediaTypeByIndex(index, &type))) return hr;
  return handler->SetCurrentMediaType(type.Get());
}

// Starts the source with offered type `index`; the stream its start event carries.
inline HRESULT startWithType(IMFMediaSource* source, DWORD index, IMFMediaStream2** stream) {
  ComPtr<IMFPresentationDescriptor> pd;
  HRESULT hr = selectOfferedType(source, index, &pd);
  PROPVARIANT start;
  PropVariantInit(&start);
  if (SUCCEEDED(hr)) hr = source->Start(pd.Get(), nullptr, &start);
  if (SUCCEEDED(hr)) *stream = firstEventObject<IMFMediaStream2>(source, {MENewStream, MEUpdatedStream}).Detach();
  return hr;
}

}  // namespace tesmira::vcam::testing
