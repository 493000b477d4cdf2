#include "vcam_source/media_types.h"
#include "vcam_source/tests/stream/vcam_test_support.h"

#include <ks.h>
#include <ksproxy.h>

#include <functional>

namespace tesmira::vcam::testing {
namespace {

class SourceTest : public tesmira::testing::MachineTest {};

using Events = std::vector<MediaEventType>;

TEST_F(SourceTest, WithoutCapabilitiesOffersNv12AndRgb32At720p30) {
  auto source = makeSource();
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(source->CreatePresentationDescriptor(&pd), S_OK);
  DWORD count = 0;
  pd->GetStreamDescriptorCount(&count);
  ASSERT_EQ(count, 1u);
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> sd;
  pd->GetStreamDescriptorByIndex(0, &selected, &sd);
  EXPECT_TRUE(selected);
  DWORD id = 9;
  sd->GetStreamIdentifier(&id);
  EXPECT_EQ(id, 0u);
  GUID category{};
  EXPECT_EQ(sd->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category), S_OK);
  EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
  UINT32 shared = 0;
  EXPECT_EQ(sd->GetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, &shared), MF_E_ATTRIBUTENOTFOUND);
  ComPtr<IMFMediaTypeHandler> handler;
  sd->GetMediaTypeHandler(&handler);
  handler->GetMediaTypeCount(&count);
  ASSERT_EQ(count, 2u);
  const GUID* expected[] = {&MFVideoFormat_NV12, &MFVideoFormat_RGB32};
  for (DWORD i = 0; i < 2; ++i) {
    ComPtr<IMFMediaType> type;
    handler->GetMediaTypeByIndex(i, &type);
    GUID subtype{};
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_EQ(subtype, *expected[i]);
    UINT32 w = 0, h = 0, n = 0, d = 0;
    MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &w, &h);
    MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &n, &d);
    EXPECT_EQ(w, 1280u);
    EXPECT_EQ(h, 720u);
    EXPECT_EQ(n, 30u);
    EXPECT_EQ(d, 1u);
  }
  ComPtr<IMFMediaType> current;
  ASSERT_EQ(handler->GetCurrentMediaType(&current), S_OK);
  GUID subtype{};
  current->GetGUID(MF_MT_SUBTYPE, &subtype);
  EXPECT_EQ(subtype, MFVideoFormat_NV12);
  ComPtr<IMFAttributes> streamAttributes;
  ASSERT_EQ(source->GetStreamAttributes(0, &streamAttributes), S_OK);
  EXPECT_EQ(streamAttributes->GetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, &shared), S_OK);
  EXPECT_EQ(shared, 1u);
  source->Shutdown();
}

TEST_F(SourceTest, PublishedCapabilitiesBecomeTypesInOrder) {
  CapabilitiesChannel channel({{640, 480, 30, 1}, {1920, 1080, 30, 1}, {1280, 720, 60, 1}, {1280, 720, 30, 1},
                               {720, 1280, 30, 1}, {0, 0, 30, 1}});
  auto source = makeSource();
  ComPtr<IMFPresentationDescriptor> pd;
  source->CreatePresentationDescriptor(&pd);
  ComPtr<IMFMediaTypeHandler> handler = streamTypeHandler(pd.Get());
  std::vector<std::wstring> described;
  for (DWORD i = 0;; ++i) {
    ComPtr<IMFMediaType> type;
    if (handler->GetMediaTypeByIndex(i, &type) != S_OK) break;
    UINT32 w = 0, h = 0, n = 0, d = 0;
    GUID subtype{};
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &w, &h);
    MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &n, &d);
    described.push_back(std::wstring(subtype == MFVideoFormat_NV12 ? L"NV12 " : L"RGB32 ") + std::to_wstring(w) + L"x" +
                        std::to_wstring(h) + L"@" + std::to_wstring(n) + L"/" + std::to_wstring(d));
  }
  EXPECT_EQ(described, (std::vector<std::wstring>{L"NV12 1280x720@30/1", L"RGB32 1280x720@30/1", L"NV12 640x480@30/1",
                                                  L"RGB32 640x480@30/1", L"NV12 720x1280@30/1", L"RGB32 720x1280@30/1"}));
  source->Shutdown();
}

// The source and stream state reached before the call under test; Fresh was never started.
enum class From { Fresh, Stopped, Started, Paused, ShutDown };

struct StateRow {
  From from;
  const char* call;
  HRESULT result;
  Events sourceEvents;
  Events streamEvents;
};

TEST_F(SourceTest, EveryStateCallInEveryStateQueuesItsEventsInOrder) {
  const StateRow rows[] = {
      {From::Fresh, "Start", S_OK, {MENewStream, MESourceStarted}, {MEStreamStarted}},
      {From::Fresh, "Pause", MF_E_INVALID_STATE_TRANSITION, {}, {}},
      // The stream was selected in the Start before the Stop: it is no new stream.
      {From::Stopped, "Start", S_OK, {MEUpdatedStream, MESourceStarted}, {MEStreamStarted}},
      {From::Stopped, "Pause", MF_E_INVALID_STATE_TRANSITION, {}, {}},
      {From::Stopped, "Stop", S_OK, {MESourceStopped}, {MEStreamStopped}},
      {From::Stopped, "Shutdown", S_OK, {}, {}},
      {From::Started, "Start", S_OK, {MEUpdatedStream, MESourceStarted}, {MEStreamStarted}},
      {From::Started, "Pause", S_OK, {MESourcePaused}, {MEStreamPaused}},
      {From::Started, "Stop", S_OK, {MESourceStopped}, {MEStreamStopped}},
      {From::Started, "Shutdown", S_OK, {}, {}},
      {From::Paused, "Start", S_OK, {MEUpdatedStream, MESourceStarted}, {MEStreamStarted}},
      {From::Paused, "Pause", MF_E_INVALID_STATE_TRANSITION, {}, {}},
      {From::Paused, "Stop", S_OK, {MESourceStopped}, {MEStreamStopped}},
      {From::Paused, "Shutdown", S_OK, {}, {}},
      {From::ShutDown, "Start", MF_E_SHUTDOWN, {}, {}},
      {From::ShutDown, "Pause", MF_E_SHUTDOWN, {}, {}},
      {From::ShutDown, "Stop", MF_E_SHUTDOWN, {}, {}},
      {From::ShutDown, "Shutdown", S_OK, {}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.call) + " from state " + std::to_string(int(row.from)));
    auto source = makeSource();
    ComPtr<IMFMediaStream2> stream;
    if (row.from != From::Fresh) {
      stream = startSource(source.Get());
      ASSERT_TRUE(stream);
    }
    if (row.from == From::Stopped) {
      ASSERT_EQ(source->Stop(), S_OK);
    }
    if (row.from == From::Paused) {
      ASSERT_EQ(source->Pause(), S_OK);
    }
    if (row.from == From::ShutDown) {
      ASSERT_EQ(source->Shutdown(), S_OK);
    }
    auto pd = row.from == From::ShutDown ? nullptr : descriptorWithType(source.Get(), 0);
    drainEvents(source.Get());
    if (stream) drainEvents(stream.Get());
    PROPVARIANT start;
    PropVariantInit(&start);
    HRESULT hr = E_FAIL;
    std::string call = row.call;
    if (call == "Start") {
      if (!pd) {
        // Any descriptor will do once the source is shut down.
        ComPtr<IMFMediaSourceEx> other = makeSource();
        other->CreatePresentationDescriptor(&pd);
        other->Shutdown();
      }
      hr = source->Start(pd.Get(), nullptr, &start);
    }
    if (call == "Pause") hr = source->Pause();
    if (call == "Stop") hr = source->Stop();
    if (call == "Shutdown") hr = source->Shutdown();
    EXPECT_EQ(hr, row.result);
    std::vector<ComPtr<IMFMediaEvent>> sourceEvents;
    EXPECT_EQ(drainEvents(source.Get(), &sourceEvents), row.sourceEvents);
    if (!sourceEvents.empty() && (row.sourceEvents[0] == MENewStream || row.sourceEvents[0] == MEUpdatedStream)) {
      // New or updated, the event carries the one stream.
      ComPtr<IMFMediaStream2> carried = eventObject<IMFMediaStream2>(sourceEvents[0].Get());
      ASSERT_TRUE(carried);
      if (stream) {
        EXPECT_EQ(carried.Get(), stream.Get());
      }
      stream = carried;
    }
    if (stream) {
      EXPECT_EQ(drainEvents(stream.Get()), row.streamEvents);
    }
    source->Shutdown();
  }
}

TEST_F(SourceTest, EventsCarryTheStreamAndTheStartTime) {
  auto source = makeSource();
  PROPVARIANT start;
  PropVariantInit(&start);
  tesmira::platform::testclock::freeze();
  ASSERT_EQ(source->Start(descriptorWithType(source.Get(), 0).Get(), &GUID_NULL, &start), S_OK);
  std::vector<ComPtr<IMFMediaEvent>> events;
  ASSERT_EQ(drainEvents(source.Get(), &events), (Events{MENewStream, MESourceStarted}));
  ComPtr<IMFMediaStream> stream = eventObject<IMFMediaStream>(events[0].Get());
  ASSERT_TRUE(stream) << "MENewStream carries no stream";
  PROPVARIANT value;
  PropVariantInit(&value);
  events[1]->GetValue(&value);
  EXPECT_EQ(value.vt, VT_I8);
  EXPECT_EQ(value.hVal.QuadPart, MFGetSystemTime());
  ComPtr<IMFMediaSource> back;
  ASSERT_EQ(stream->GetMediaSource(&back), S_OK);
  ComPtr<IMFMediaSource> self;
  source->QueryInterface(IID_PPV_ARGS(&self));
  EXPECT_EQ(back.Get(), self.Get());
  source->Shutdown();
}

TEST_F(SourceTest, StartRefusesBadArguments) {
  auto source = makeSource();
  PROPVARIANT start;
  PropVariantInit(&start);
  auto pd = descriptorWithType(source.Get(), 0);
  constexpr GUID kOtherFormat = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(source->Start(nullptr, nullptr, &start), E_INVALIDARG);
  EXPECT_EQ(source->Start(pd.Get(), nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(source->Start(pd.Get(), &kOtherFormat, &start), MF_E_UNSUPPORTED_TIME_FORMAT);
  pd->DeselectStream(0);
  EXPECT_EQ(source->Start(pd.Get(), nullptr, &start), MF_E_INVALIDREQUEST);
  ComPtr<IMFPresentationDescriptor> empty;
  MFCreatePresentationDescriptor(0, nullptr, &empty);
  EXPECT_EQ(source->Start(empty.Get(), nullptr, &start), MF_E_INVALIDREQUEST);
  EXPECT_TRUE(drainEvents(source.Get()).empty());
  std::string log = serviceLog();
  EXPECT_NE(log.find("source: media source Start rejected: invalid descriptor/start position"), std::string::npos);
  EXPECT_NE(log.find("source: media source Start rejected: unsupported time format {00000001-0002-0003-0405-060708090A0B}"),
            std::string::npos);
  source->Shutdown();
}

// A type the stream never offered must not start it, become current or reach the control channel.
TEST_F(SourceTest, StartRefusesATypeThatWasNotOffered) {
  ControlChannel control;
  auto source = makeSource();
  auto pd = descriptorWithType(source.Get(), 0);
  ComPtr<IMFMediaTypeHandler> handler = streamTypeHandler(pd.Get());
  struct Row {
    const char* name;
    UINT32 w, h, n, d;
    const GUID* subtype;
  } rows[] = {{"huge", 65536, 65536, 30, 1, &MFVideoFormat_NV12},
              {"other rate", 1280, 720, 60, 1, &MFVideoFormat_NV12},
              {"other rate as a ratio", 1280, 720, 60, 1001, &MFVideoFormat_NV12},
              {"zero denominator", 1280, 720, 30, 0, &MFVideoFormat_NV12},
              {"other subtype", 1280, 720, 30, 1, &MFVideoFormat_YUY2}};
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    ComPtr<IMFMediaType> foreign;
    makeVideoMediaType(*row.subtype, row.w, row.h, row.n, row.d, &foreign);
    handler->SetCurrentMediaType(foreign.Get());
    PROPVARIANT start;
    PropVariantInit(&start);
    EXPECT_EQ(source->Start(pd.Get(), nullptr, &start), MF_E_INVALIDMEDIATYPE);
    EXPECT_TRUE(drainEvents(source.Get()).empty());
    EXPECT_EQ(control.block()->sequence, 0u);
    EXPECT_EQ(control.block()->width, 0u);
    EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);  // still stopped
  }
  source->Shutdown();
}

// A type that describes an offered one is accepted, and the offered type itself
// becomes current; the log names the caller's type.
TEST_F(SourceTest, StartTakesATypeThatDescribesAnOfferedOne) {
  ControlChannel control;
  struct Row {
    const char* name;
    const GUID* subtype;
    UINT32 n, d;
    bool withoutRate;
    const char* logged;
  } rows[] = {
      {"copy with another sample size", &MFVideoFormat_RGB32, 30, 1, false,
       "source: media source Start selected type=RGB32 1280x720 @30/1fps stride=5120 sample=7"},
      {"the same rate as another ratio", &MFVideoFormat_NV12, 60, 2, false,
       "source: media source Start selected type=NV12 1280x720 @60/2fps"},
      {"no frame rate, taken as 30/1", &MFVideoFormat_NV12, 30, 1, true,
       "source: media source Start selected type=NV12 1280x720 stride=1280"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto source = makeSource();
    auto pd = descriptorWithType(source.Get(), 0);
    ComPtr<IMFMediaTypeHandler> handler = streamTypeHandler(pd.Get());
    ComPtr<IMFMediaType> caller;
    makeVideoMediaType(*row.subtype, 1280, 720, row.n, row.d, &caller);
    caller->SetUINT32(MF_MT_SAMPLE_SIZE, 7);
    if (row.withoutRate) caller->DeleteItem(MF_MT_FRAME_RATE);
    handler->SetCurrentMediaType(caller.Get());
    const uint32_t sequence = control.block()->sequence;
    PROPVARIANT start;
    PropVariantInit(&start);
    ASSERT_EQ(source->Start(pd.Get(), nullptr, &start), S_OK);
    EXPECT_EQ(control.block()->sequence, sequence + 1);
    EXPECT_EQ(control.block()->width, 1280u);
    EXPECT_EQ(control.block()->fpsNumerator, 30u);
    EXPECT_EQ(control.block()->fpsDenominator, 1u);
    ComPtr<IMFMediaType> current;
    handler->GetCurrentMediaType(&current);
    UINT32 sampleSize = 0, n = 0, d = 0;
    current->GetUINT32(MF_MT_SAMPLE_SIZE, &sampleSize);
    EXPECT_EQ(sampleSize, *row.subtype == MFVideoFormat_NV12 ? 1280u * 720 * 3 / 2 : 1280u * 720 * 4);
    EXPECT_EQ(MFGetAttributeRatio(current.Get(), MF_MT_FRAME_RATE, &n, &d), S_OK);
    EXPECT_EQ(n, 30u);
    EXPECT_EQ(d, 1u);
    // Samples last a thirtieth of a second.
    auto stream = firstEventObject<IMFMediaStream>(source.Get(), {MENewStream});
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
    auto sample = firstEventObject<IMFSample>(stream.Get(), {MEMediaSample});
    ASSERT_TRUE(sample);
    LONGLONG duration = 0;
    sample->GetSampleDuration(&duration);
    EXPECT_EQ(duration, 333333);
    EXPECT_NE(serviceLog().find(row.logged), std::string::npos) << serviceLog();
    source->Shutdown();
  }
}

TEST_F(SourceTest, AfterShutdownStateCallsFailAndFixedAnswersStay) {
  auto source = makeSource();
  auto stream = startSource(source.Get());
  ASSERT_EQ(source->Shutdown(), S_OK);
  DWORD characteristics = 0;
  ComPtr<IMFPresentationDescriptor> pd;
  ComPtr<IMFAttributes> attributes;
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
  EXPECT_EQ(source->CreatePresentationDescriptor(&pd), MF_E_SHUTDOWN);
  EXPECT_EQ(source->GetSourceAttributes(&attributes), MF_E_SHUTDOWN);
  EXPECT_EQ(source->GetStreamAttributes(0, &attributes), MF_E_SHUTDOWN);
  EXPECT_EQ(source->GetStreamAttributes(1, &attributes), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(source->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
  EXPECT_EQ(source->QueueEvent(MEError, GUID_NULL, S_OK, nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(source->Stop(), MF_E_SHUTDOWN);
  EXPECT_EQ(source->SetD3DManager(nullptr), S_OK);
  // The stream answers MF_E_SHUTDOWN to everything that tests its state.
  MF_STREAM_STATE state;
  ComPtr<IMFStreamDescriptor> sd;
  ComPtr<IMFMediaSource> back;
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->GetStreamState(&state), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->SetStreamState(MF_STREAM_STATE_RUNNING), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->GetStreamDescriptor(&sd), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->GetMediaSource(&back), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_SHUTDOWN);
  EXPECT_EQ(source->Shutdown(), S_OK);
  EXPECT_EQ(stream->GetStreamState(nullptr), E_POINTER);
}

TEST_F(SourceTest, FixedAnswers) {
  auto source = makeSource();
  DWORD characteristics = 0;
  EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
  EXPECT_EQ(characteristics, DWORD(MFMEDIASOURCE_IS_LIVE | MFMEDIASOURCE_CAN_PAUSE));
  EXPECT_EQ(source->GetCharacteristics(nullptr), E_POINTER);

  ComPtr<IMFGetService> service;
  ASSERT_EQ(source->QueryInterface(IID_PPV_ARGS(&service)), S_OK);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(service->GetService(GUID_NULL, IID_IUnknown, &out), MF_E_UNSUPPORTED_SERVICE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(service->GetService(GUID_NULL, IID_IUnknown, nullptr), E_POINTER);

  ComPtr<IKsControl> ks;
  ASSERT_EQ(source->QueryInterface(IID_PPV_ARGS(&ks)), S_OK);
  KSPROPERTY property{};
  property.Set = PINNAME_VIDEO_CAPTURE;
  property.Id = 7;
  property.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT;
  ULONG returned = 99;
  EXPECT_EQ(ks->KsProperty(&property, sizeof(property), nullptr, 0, &returned), HRESULT(0x80070492));
  EXPECT_EQ(returned, 0u);
  returned = 99;
  EXPECT_EQ(ks->KsMethod(&property, 23, nullptr, 0, &returned), HRESULT(0x80070492));
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(ks->KsEvent(nullptr, 0, nullptr, 0, nullptr), HRESULT(0x80070492));

  ComPtr<IMFSampleAllocatorControl> allocator;
  ASSERT_EQ(source->QueryInterface(IID_PPV_ARGS(&allocator)), S_OK);
  EXPECT_EQ(allocator->SetDefaultAllocator(0, reinterpret_cast<IUnknown*>(uintptr_t(4096))), S_OK);
  DWORD input = 9;
  MFSampleAllocatorUsage usage = MFSampleAllocatorUsage_DoesNotAllocate;
  EXPECT_EQ(allocator->GetAllocatorUsage(0, &input, &usage), S_OK);
  EXPECT_EQ(input, 0u);
  EXPECT_EQ(usage, MFSampleAllocatorUsage_UsesCustomAllocator);
  EXPECT_EQ(allocator->GetAllocatorUsage(1, &input, &usage), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(allocator->GetAllocatorUsage(0, nullptr, &usage), E_POINTER);

  ComPtr<IMFAttributes> attributes;
  EXPECT_EQ(source->GetStreamAttributes(1, &attributes), MF_E_INVALIDSTREAMNUMBER);
  EXPECT_EQ(source->GetStreamAttributes(0, nullptr), E_POINTER);
  ComPtr<IMFMediaStream> notAnInterface;
  EXPECT_EQ(source->QueryInterface(IID_PPV_ARGS(&notAnInterface)), E_NOINTERFACE);

  std::string log = serviceLog();
  for (const char* line : {
           "source: media source KsProperty set={FB6C4281-0353-11D1-905F-0000C0CC16BA} id=7 flags=0x201 rejected",
           "source: media source KsMethod rejected",
           "source: media source KsEvent rejected",
           "source: media source SetDefaultAllocator stream=0 allocator=4096",
           "source: media source GetAllocatorUsage returning custom allocator inputStream=0",
           "source: media source GetAllocatorUsage stream=1",
           "source: media source GetService service={00000000-0000-0000-0000-000000000000} riid="
           "{00000000-0000-0000-C000-000000000046} rejected",
       })
    EXPECT_NE(log.find(line), std::string::npos) << line;
  source->Shutdown();
}

TEST_F(SourceTest, PauseRejectionIsLogged) {
  auto source = makeSource();
  EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
  EXPECT_NE(serviceLog().find("source: media source Pause rejected: source is not started"), std::string::npos);
  source->Shutdown();
}

TEST_F(SourceTest, ReleasingTheSourceWithoutShutdownLeavesTheStreamSafe) {
  ComPtr<IMFMediaStream2> stream;
  {
    auto source = makeSource();
    stream = startSource(source.Get());
    // The source's own queue still holds events that reference the stream; drop them with it.
    drainEvents(source.Get());
  }
  ComPtr<IMFMediaSource> back;
  EXPECT_EQ(stream->GetMediaSource(&back), E_UNEXPECTED);
  MF_STREAM_STATE state;
  EXPECT_EQ(stream->GetStreamState(&state), S_OK);
}

}  // namespace
}  // namespace tesmira::vcam::testing
