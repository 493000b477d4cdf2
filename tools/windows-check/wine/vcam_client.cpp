// vcam_client.exe <media source DLL>: drives the PE media source as a Media Foundation
// client does, through the DLL's exports alone, and prints one "passed: <case>" or
// "failed: <case>: <why>" line per case. Built with MinGW-w64 and run under Wine, so
// what it checks holds on a Windows API implementation that is not ours.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/channels.h"
#include "tools/windows-check/wine/result.h"
#include "common/pixel_format.h"
#include "common/sdk_compat.h"
#include "vcam_source/media_source.h"
#include "vcam_source/status_card.h"
#include "vcam_source/tests/stream/source_calls.h"
#include "vcam_source/wrl_classes.h"

struct IProbe : public IUnknown {};
__CRT_UUID_DECL(IProbe, 0x0c9e2c61, 0x7d35, 0x4f0e, 0x9b, 0x1a, 0x52, 0x6d, 0x11, 0x3c, 0x7a, 0x01)

namespace {

using Microsoft::WRL::ComPtr;
using namespace tesmira;
using namespace tesmira::vcam::testing;

using tesmira::wine_checks::failures;
using tesmira::wine_checks::result;

std::string hex(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

void expectHr(const std::string& name, HRESULT want, HRESULT got) {
  result(name, got == want ? "" : "want " + hex(want) + ", got " + hex(got));
}

void expectCount(const std::string& name, ULONG want, ULONG got) {
  result(name, got == want ? "" : "want " + std::to_string(want) + ", got " + std::to_string(got));
}

// The object's reference count as AddRef and Release report it.
ULONG countOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// Every event queued on the generator within `waitMs` until one of `until` arrives
// (or, with none named, whatever is queued once the wait is over).
std::vector<ComPtr<IMFMediaEvent>> eventsUntil(IMFMediaEventGenerator* generator, std::vector<MediaEventType> until,
                                               DWORD waitMs = 10000) {
  std::vector<ComPtr<IMFMediaEvent>> events;
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  for (;;) {
    ComPtr<IMFMediaEvent> event;
    if (generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event) == S_OK) {
      MediaEventType type = 0;
      event->GetType(&type);
      events.push_back(event);
      for (MediaEventType want : until)
        if (type == want) return events;
      continue;
    }
    if (GetTickCount64() >= deadline) return events;
    Sleep(5);
  }
}

std::vector<uint8_t> sampleBytes(IMFSample* sample) {
  ComPtr<IMFMediaBuffer> buffer;
  if (!sample || FAILED(sample->GetBufferByIndex(0, &buffer))) return {};
  BYTE* data = nullptr;
  DWORD current = 0;
  if (FAILED(buffer->Lock(&data, nullptr, &current))) return {};
  std::vector<uint8_t> bytes(data, data + current);
  buffer->Unlock();
  return bytes;
}

std::vector<MediaEventType> typesOf(const std::vector<ComPtr<IMFMediaEvent>>& events) {
  std::vector<MediaEventType> types;
  for (const auto& event : events) {
    MediaEventType type = 0;
    event->GetType(&type);
    types.push_back(type);
  }
  return types;
}

std::string listOf(const std::vector<MediaEventType>& types) {
  std::string text = "[";
  for (size_t i = 0; i < types.size(); ++i) text += (i ? " " : "") + std::to_string(types[i]);
  return text + "]";
}

void expectEvents(const std::string& name, const std::vector<MediaEventType>& want,
                  const std::vector<MediaEventType>& got) {
  result(name, got == want ? "" : "want " + listOf(want) + ", got " + listOf(got));
}

// The next sample the stream delivers for one RequestSample.
ComPtr<IMFSample> requestOne(IMFMediaStream* stream, HRESULT* hr) {
  *hr = stream->RequestSample(nullptr);
  if (FAILED(*hr)) return nullptr;
  for (const auto& event : eventsUntil(stream, {MEMediaSample})) {
    MediaEventType type = 0;
    event->GetType(&type);
    if (type == MEMediaSample) return eventObject<IMFSample>(event.Get());
  }
  return nullptr;
}

const wchar_t* const kChannelNames[] = {kFrameChannelName,          kFrameReadyEventName,
                                        kProducerStatusChannelName, kVcamControlChannelName,
                                        kVcamConsumersChannelName,  kVcamCapabilitiesChannelName,
                                        kRetouchSettingsChannelName};

// The named objects of the system that can still be opened, "Global\" and "Local\".
std::string openNamedObjects() {
  std::string open;
  for (const wchar_t* prefix : {kGlobalPrefix, kLocalPrefix}) {
    for (const wchar_t* name : kChannelNames) {
      const std::wstring full = std::wstring(prefix) + name;
      HANDLE handle = name == kFrameReadyEventName ? OpenEventW(SYNCHRONIZE, FALSE, full.c_str())
                                                   : OpenFileMappingW(FILE_MAP_READ, FALSE, full.c_str());
      if (!handle) continue;
      CloseHandle(handle);
      char narrow[128];
      std::snprintf(narrow, sizeof(narrow), "%ls ", full.c_str());
      open += narrow;
    }
  }
  return open;
}

// A frame channel written as the producer writes it: both slots' descriptors, the
// latest slot and the frame counter, in the producer's own "Local\" name.
struct ProducerFrames {
  HANDLE mapping = nullptr;
  uint8_t* view = nullptr;
  ProducerFrames() {
    const std::wstring name = std::wstring(kLocalPrefix) + kFrameChannelName;
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DWORD(kFrameChannelBytes), name.c_str());
    if (mapping) view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, kFrameChannelBytes));
    if (view) {
      auto* header = reinterpret_cast<RetouchFrameHeader*>(view);
      seedFrameHeader(*header);
    }
  }
  ~ProducerFrames() {
    if (view) UnmapViewOfFile(view);
    if (mapping) CloseHandle(mapping);
  }
  void publish(const std::vector<uint8_t>& frame, uint32_t w, uint32_t h) {
    auto* header = reinterpret_cast<RetouchFrameHeader*>(view);
    const uint32_t slot = header->latestSlot == 0 ? 1 : 0;
    std::memcpy(view + frameSlotDataOffset(slot), frame.data(), frame.size());
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    header->slots[slot] = {w, h, w, kFrameFormatNv12, uint32_t(frame.size()), 0, uint64_t(now.QuadPart)};
    std::atomic_ref<uint32_t>(header->latestSlot).store(slot);
    std::atomic_ref<uint32_t>(header->frameCounter).fetch_add(1);
  }
};

// An object whose one reference Make hands out: a reference too many (an AddRef in
// taking ownership) keeps it alive after its last pointer is gone.
class Probe : public Microsoft::WRL::RuntimeClass<Microsoft::WRL::RuntimeClassFlags<Microsoft::WRL::ClassicCom>, IProbe> {
 public:
  explicit Probe(bool* destroyed) : destroyed_(destroyed) {}
  ~Probe() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

void checkOwnership() {
  bool destroyed = false;
  {
    ComPtr<Probe> probe = Microsoft::WRL::Make<Probe>(&destroyed);
    expectCount("Make hands out a new object with one reference", 1, countOf(static_cast<IProbe*>(probe.Get())));
  }
  result("the object Make made is deleted with its last pointer", destroyed ? "" : "still alive");
}

// The source's last word on sensor profiles in its log: attached where the system
// has mfsensorgroup.dll, and otherwise a non-fatal failure to find that module.
std::wstring sourceLogPath() {
  wchar_t path[MAX_PATH];
  if (!ExpandEnvironmentStringsW(L"%ProgramData%\\Tesmira\\Logs\\vcam-service.log", path, MAX_PATH)) path[0] = 0;
  return path;
}

void checkSensorProfileLine() {
  const std::wstring path = sourceLogPath();
  std::string log;
  if (FILE* in = _wfopen(path.c_str(), L"rb")) {
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof(chunk), in)) > 0;) log.append(chunk, n);
    std::fclose(in);
  }
  const size_t at = log.rfind("attach");
  const std::string line = at == std::string::npos ? "" : log.substr(at, log.find('\n', at) - at);
  HMODULE sensorGroup = LoadLibraryExW(L"mfsensorgroup.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const std::string want = sensorGroup ? "attached sensor profiles" : "attach sensor profiles failed (non-fatal): 0x8007007E";
  if (sensorGroup) FreeLibrary(sensorGroup);
  result(sensorGroup ? "the source attaches sensor profiles" : "without mfsensorgroup.dll the source goes on without sensor profiles",
         line.rfind(want, 0) == 0 ? "" : "log line [" + line + "]");
}

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

void checkSource(IMFActivate* activate) {
  ComPtr<IMFMediaSourceEx> source;
  expectHr("ActivateObject hands out the media source", S_OK, activate->ActivateObject(IID_PPV_ARGS(&source)));
  if (!source) return;
  expectCount("the media source is held by its caller alone", 1, countOf(source.Get()));
  checkSensorProfileLine();
  expectCount("the activation object is back to the caller's reference", 1, countOf(activate));

  ComPtr<IMFPresentationDescriptor> pd;
  expectHr("CreatePresentationDescriptor", S_OK, source->CreatePresentationDescriptor(&pd));
  if (!pd) return;
  ComPtr<IMFMediaTypeHandler> handler = streamTypeHandler(pd.Get());
  DWORD typeCount = 0;
  if (handler) handler->GetMediaTypeCount(&typeCount);
  std::string badTypes;
  bool nv12 = false, rgb32 = false;
  DWORD rgb32Index = 0;
  UINT32 rgb32Bytes = 0;
  for (DWORD i = 0; i < typeCount; ++i) {
    ComPtr<IMFMediaType> type;
    GUID subtype{};
    UINT32 w = 0, h = 0, sampleSize = 0;
    handler->GetMediaTypeByIndex(i, &type);
    if (!type || FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || FAILED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &w, &h))) {
      badTypes += "#" + std::to_string(i) + " unreadable ";
      continue;
    }
    nv12 = nv12 || subtype == MFVideoFormat_NV12;
    if (!rgb32 && subtype == MFVideoFormat_RGB32) rgb32Index = i, rgb32Bytes = w * h * 4;
    rgb32 = rgb32 || subtype == MFVideoFormat_RGB32;
    const UINT32 want = subtype == MFVideoFormat_NV12 ? w * h * 3 / 2 : w * h * 4;
    if (!w || !h || (w & 1) || (h & 1) || w > 1920 || h > 1920 ||
        (SUCCEEDED(type->GetUINT32(MF_MT_SAMPLE_SIZE, &sampleSize)) && sampleSize != want))
      badTypes += "#" + std::to_string(i) + " " + std::to_string(w) + "x" + std::to_string(h) + " size " +
                  std::to_string(sampleSize) + " ";
  }
  result("the stream offers NV12 and RGB32 types of servable sizes",
         typeCount && nv12 && rgb32 && badTypes.empty() ? ""
                                                        : std::to_string(typeCount) + " types, " + badTypes);
  pd.Reset();

  // Start with the first offered type: the new stream, then the source's start.
  ComPtr<IMFPresentationDescriptor> startPd;
  expectHr("the first offered type is selected", S_OK, selectOfferedType(source.Get(), 0, &startPd));
  UINT32 width = 0, height = 0;
  GUID subtype{};
  {
    ComPtr<IMFMediaType> current;
    if (ComPtr<IMFMediaTypeHandler> h = streamTypeHandler(startPd.Get()); h) h->GetCurrentMediaType(&current);
    if (current) {
      MFGetAttributeSize(current.Get(), MF_MT_FRAME_SIZE, &width, &height);
      current->GetGUID(MF_MT_SUBTYPE, &subtype);
    }
  }
  PROPVARIANT position;
  PropVariantInit(&position);
  expectHr("Start", S_OK, source->Start(startPd.Get(), nullptr, &position));
  auto started = eventsUntil(source.Get(), {MESourceStarted});
  expectEvents("Start queues MENewStream, then MESourceStarted", {MENewStream, MESourceStarted}, typesOf(started));
  ComPtr<IMFMediaStream> stream;
  if (!started.empty()) stream = eventObject<IMFMediaStream>(started.front().Get());
  started.clear();
  if (!stream) {
    result("the new stream event carries the stream", "no stream");
    return;
  }
  expectEvents("the stream queues MEStreamStarted", {MEStreamStarted}, typesOf(eventsUntil(stream.Get(), {MEStreamStarted})));
  // The source keeps its stream; every other reference is the caller's.
  expectCount("after Start the stream holds the source's reference and the caller's", 2, countOf(stream.Get()));
  expectCount("after Start the source is held by its caller alone", 1, countOf(source.Get()));

  // No producer: the starting card, drawn by the system's GDI.
  const DWORD nv12Size = width * height * 3 / 2;
  HRESULT hr = S_OK;
  {
    ComPtr<IMFSample> sample = requestOne(stream.Get(), &hr);
    expectHr("RequestSample", S_OK, hr);
    std::vector<uint8_t> bytes = sampleBytes(sample.Get());
    result("a sample has the requested type's size",
           subtype == MFVideoFormat_NV12 && bytes.size() == nv12Size
               ? ""
               : std::to_string(width) + "x" + std::to_string(height) + " sample of " + std::to_string(bytes.size()));
    if (bytes.size() == nv12Size) {
      const int background = bt601::luma(GetBValue(kStatusCardBackground), GetGValue(kStatusCardBackground),
                                         GetRValue(kStatusCardBackground));
      size_t bright = 0;
      for (uint32_t y = height * 40 / 100; y < height * 48 / 100; ++y)
        for (uint32_t x = 0; x < width; ++x) bright += bytes[size_t(y) * width + x] > 128;
      const int corner = bytes[0];
      result("without a producer the sample is the status card: its background",
             std::abs(corner - background) <= 2 ? "" : "corner luma " + std::to_string(corner) + ", background " + std::to_string(background));
      result("without a producer the status card's title is drawn", bright > width / 4 ? "" : std::to_string(bright) + " bright pixels in the title band");
    }
    expectCount("after RequestSample the stream is back to two references", 2, countOf(stream.Get()));
  }

  // A producer's frame is served byte for byte.
  {
    ProducerFrames producer;
    result("the producer's frame channel is made", producer.view ? "" : "mapping failed");
    if (producer.view && nv12Size) {
      const std::vector<uint8_t> frame = patternNv12(width, height, 17);
      producer.publish(frame, width, height);
      ComPtr<IMFSample> sample = requestOne(stream.Get(), &hr);
      std::vector<uint8_t> bytes = sampleBytes(sample.Get());
      size_t first = 0;
      while (first < bytes.size() && first < frame.size() && bytes[first] == frame[first]) ++first;
      result("a producer's frame is served byte for byte",
             bytes == frame ? "" : "sample of " + std::to_string(bytes.size()) + " bytes differs at " + std::to_string(first));
    }
  }

  // Pause, Stop and start again; the sample answers in those states are left to the
  // stream's own tests.
  expectHr("Pause", S_OK, source->Pause());
  expectEvents("Pause queues MESourcePaused", {MESourcePaused}, typesOf(eventsUntil(source.Get(), {MESourcePaused})));
  expectEvents("the stream queues MEStreamPaused", {MEStreamPaused}, typesOf(eventsUntil(stream.Get(), {MEStreamPaused})));
  PropVariantInit(&position);
  expectHr("Start after Pause", S_OK, source->Start(startPd.Get(), nullptr, &position));
  auto restarted = typesOf(eventsUntil(source.Get(), {MESourceStarted}));
  result("Start after Pause queues MESourceStarted",
         !restarted.empty() && restarted.back() == MESourceStarted ? "" : "got " + listOf(restarted));
  eventsUntil(stream.Get(), {MEStreamStarted});
  expectHr("Stop", S_OK, source->Stop());
  expectEvents("Stop queues MESourceStopped", {MESourceStopped}, typesOf(eventsUntil(source.Get(), {MESourceStopped})));
  expectEvents("the stream queues MEStreamStopped", {MEStreamStopped}, typesOf(eventsUntil(stream.Get(), {MEStreamStopped})));
  // A stopped source starts again with another of its types: RGB32 this time.
  ComPtr<IMFPresentationDescriptor> rgbPd;
  expectHr("an RGB32 type is selected", S_OK, selectOfferedType(source.Get(), rgb32Index, &rgbPd));
  PropVariantInit(&position);
  expectHr("Start after Stop", S_OK, source->Start(rgbPd.Get(), nullptr, &position));
  restarted = typesOf(eventsUntil(source.Get(), {MESourceStarted}));
  result("Start after Stop queues MESourceStarted",
         !restarted.empty() && restarted.back() == MESourceStarted ? "" : "got " + listOf(restarted));
  eventsUntil(stream.Get(), {MEStreamStarted});
  {
    ComPtr<IMFSample> sample = requestOne(stream.Get(), &hr);
    expectHr("RequestSample after the restart", S_OK, hr);
    const size_t got = sampleBytes(sample.Get()).size();
    result("the restarted stream delivers samples of the RGB32 type's size",
           rgb32Bytes && got == rgb32Bytes ? "" : std::to_string(got) + " bytes, want " + std::to_string(rgb32Bytes));
  }
  rgbPd.Reset();
  expectCount("after the restart the stream is back to two references", 2, countOf(stream.Get()));
  expectCount("after the restart the source is held by its caller alone", 1, countOf(source.Get()));

  expectHr("Shutdown", S_OK, source->Shutdown());
  DWORD characteristics = 0;
  expectHr("after Shutdown GetCharacteristics answers MF_E_SHUTDOWN", MF_E_SHUTDOWN, source->GetCharacteristics(&characteristics));
  PropVariantInit(&position);
  expectHr("after Shutdown Start answers MF_E_SHUTDOWN", MF_E_SHUTDOWN, source->Start(startPd.Get(), nullptr, &position));
  expectHr("after Shutdown RequestSample answers MF_E_SHUTDOWN", MF_E_SHUTDOWN, stream->RequestSample(nullptr));
  startPd.Reset();
  expectCount("the stream's last reference is the caller's", 1, countOf(stream.Get()));
  expectCount("releasing the stream deletes it", 0, stream.Detach()->Release());
  expectCount("releasing the source deletes it", 0, source.Detach()->Release());
}

void checkDll(const wchar_t* path) {
  DeleteFileW(sourceLogPath().c_str());  // the lines read below are this run's
  HMODULE module = LoadLibraryW(path);
  result("the media source DLL loads", module ? "" : "LoadLibrary error " + std::to_string(GetLastError()));
  if (!module) return;
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  auto canUnloadNow = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  result("the DLL exports DllGetClassObject and DllCanUnloadNow", getClassObject && canUnloadNow ? "" : "missing");
  if (!getClassObject || !canUnloadNow) return;

  const CLSID other = {0x12345678, 0x1234, 0x1234, {0x12, 0x34, 0x12, 0x34, 0x12, 0x34, 0x12, 0x34}};
  void* out = reinterpret_cast<void*>(1);
  expectHr("DllGetClassObject refuses another class", CLASS_E_CLASSNOTAVAILABLE, getClassObject(other, IID_IClassFactory, &out));
  result("a refused DllGetClassObject hands out nothing", out ? "pointer left behind" : "");
  expectHr("DllGetClassObject refuses an interface the factory lacks", E_NOINTERFACE,
           getClassObject(vcam::CLSID_TesmiraMediaSource, IID_IMFActivate, &out));
  expectHr("DllGetClassObject refuses a null result", E_POINTER,
           getClassObject(vcam::CLSID_TesmiraMediaSource, IID_IClassFactory, nullptr));

  ComPtr<IClassFactory> factory;
  expectHr("DllGetClassObject hands out the class factory", S_OK,
           getClassObject(vcam::CLSID_TesmiraMediaSource, IID_PPV_ARGS(&factory)));
  if (!factory) return;
  expectCount("the class factory is held by its caller alone", 1, countOf(factory.Get()));
  ComPtr<IUnknown> outer;
  factory.As(&outer);
  out = reinterpret_cast<void*>(1);
  expectHr("CreateInstance refuses aggregation", CLASS_E_NOAGGREGATION, factory->CreateInstance(outer.Get(), IID_IMFActivate, &out));
  outer.Reset();
  expectHr("LockServer", S_OK, factory->LockServer(TRUE));
  factory->LockServer(FALSE);
  ComPtr<IMFActivate> activate;
  expectHr("CreateInstance hands out the activation object", S_OK, factory->CreateInstance(nullptr, IID_PPV_ARGS(&activate)));
  expectCount("the class factory is back to the caller's reference", 1, countOf(factory.Get()));
  expectCount("releasing the class factory deletes it", 0, factory.Detach()->Release());
  if (activate) {
    expectCount("the activation object is held by its caller alone", 1, countOf(activate.Get()));
    UINT32 associated = 0;
    activate->GetUINT32(MF_VIRTUALCAMERA_PROVIDE_ASSOCIATED_CAMERA_SOURCES, &associated);
    expectCount("the activation object asks for associated camera sources", 1, associated);
    checkSource(activate.Get());
    expectHr("ShutdownObject", S_OK, activate->ShutdownObject());
    expectCount("releasing the activation object deletes it", 0, activate.Detach()->Release());
  }
  const std::string left = openNamedObjects();
  result("no named object is left once the last source is released", left.empty() ? "" : "still open: " + left);
  // The DLL never lets COM unload it; the process can still free it.
  expectHr("DllCanUnloadNow answers S_FALSE", S_FALSE, canUnloadNow());
  result("FreeLibrary unloads the DLL", FreeLibrary(module) && !GetModuleHandleW(path) ? "" : "still loaded");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vcam_client.exe <media source DLL>\n");
    return 2;
  }
  checkOwnership();
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  expectHr("MFStartup", S_OK, MFStartup(MF_VERSION, MFSTARTUP_FULL));
  checkDll(argv[1]);
  MFShutdown();
  CoUninitialize();
  return failures ? 1 : 0;
}
