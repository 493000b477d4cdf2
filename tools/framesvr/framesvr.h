#pragma once
// A stand-in for the Windows Camera Frame Server and the application behind it:
// loads a media source module, activates its source the way the frame server
// does, starts a stream in a chosen format and hands over the samples.
#include <windows.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace tesmira::framesvr {

struct VideoFormat {
  GUID subtype = GUID_NULL;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t numerator = 0;
  uint32_t denominator = 0;
};

struct ReceivedSample {
  VideoFormat format;
  LONGLONG time = 0;
  LONGLONG duration = 0;
  std::vector<uint8_t> bytes;
};

// Events of one generator, collected on the work-queue thread through
// BeginGetEvent as the frame server does.
class EventPump;

class FrameServerHarness {
 public:
  FrameServerHarness();
  ~FrameServerHarness();
  FrameServerHarness(const FrameServerHarness&) = delete;
  FrameServerHarness& operator=(const FrameServerHarness&) = delete;

  // LoadLibraryW, DllGetClassObject(clsid, IClassFactory), CreateInstance(IMFActivate).
  HRESULT load(const std::filesystem::path& module, REFCLSID clsid);
  // Or an activation object someone else made (the registry path of the camera stand-in).
  HRESULT useActivate(IMFActivate* activate);
  // Stores the frame server's attributes on the activation object and activates the source.
  HRESULT activate(const std::wstring& friendlyName = L"Tesmira");

  std::vector<VideoFormat> formats() const;
  // Picks the first offered format equal to `format` (any field 0 matches everything),
  // starts the source and waits for the stream and its start events.
  HRESULT start(const VideoFormat& format, DWORD timeoutMs = 5000);
  // One RequestSample and the MEMediaSample it queues.
  HRESULT requestSample(ReceivedSample& sample, DWORD timeoutMs = 5000);
  HRESULT stop(DWORD timeoutMs = 5000);
  HRESULT shutdown();

  IMFMediaSourceEx* source() const { return source_.Get(); }
  IMFMediaStream* stream() const { return stream_.Get(); }
  // Every event type seen so far on the source and on the stream, in order.
  std::vector<MediaEventType> sourceEvents() const;
  std::vector<MediaEventType> streamEvents() const;

 private:
  HMODULE module_ = nullptr;
  Microsoft::WRL::ComPtr<IMFActivate> activate_;
  Microsoft::WRL::ComPtr<IMFMediaSourceEx> source_;
  Microsoft::WRL::ComPtr<IMFMediaStream> stream_;
  Microsoft::WRL::ComPtr<EventPump> sourcePump_;
  Microsoft::WRL::ComPtr<EventPump> streamPump_;
  std::vector<VideoFormat> formats_;
  VideoFormat current_;
};

std::wstring formatText(const VideoFormat& format);
bool parseSubtype(const std::string& text, GUID& subtype);
// NV12 or RGB32 bytes of the sample as a PNG (via BGR); false on a write failure.
bool writeSamplePng(const ReceivedSample& sample, const std::filesystem::path& file);

}  // namespace tesmira::framesvr
