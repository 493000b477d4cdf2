// What a failing Media Foundation call does to activation and to one request.
#include "vcam_source/tests/stream/vcam_test_support.h"

namespace tesmira::vcam::testing {
namespace {

class FailureTest : public tesmira::testing::MachineTest {};

constexpr uint32_t kInjected = uint32_t(E_OUTOFMEMORY);

TEST_F(FailureTest, ActivationFailsWithTheFailingCall) {
  struct Row {
    const char* site;
    bool factoryFails;
    const char* logged;
  } rows[] = {
      {"MFCreateAttributes", true, "source: activate Initialize failed: "},
      {"MFCreateEventQueue", false, "source: activate ActivateObject source Initialize failed: "},
      {"MFCreateMediaType", false, "source: activate ActivateObject source Initialize failed: "},
      {"MFCreateStreamDescriptor", false, "source: activate ActivateObject source Initialize failed: "},
      {"MFCreatePresentationDescriptor", false, "source: media source Initialize failed: "},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.site);
    platform::faults::inject(row.site, kInjected, 1);
    ComPtr<IMFActivate> activate;
    HRESULT created = createMediaSourceActivate(IID_PPV_ARGS(&activate));
    if (row.factoryFails) {
      EXPECT_EQ(created, E_OUTOFMEMORY);
      EXPECT_FALSE(activate);
    } else {
      ASSERT_EQ(created, S_OK);
      ComPtr<IMFMediaSource> source;
      EXPECT_EQ(activate->ActivateObject(IID_PPV_ARGS(&source)), E_OUTOFMEMORY);
      EXPECT_FALSE(source);
    }
    EXPECT_NE(serviceLog().find(row.logged), std::string::npos) << serviceLog();
    platform::faults::clearAll();
  }
}

TEST_F(FailureTest, SensorProfileFailureIsNotFatal) {
  platform::faults::inject("MFCreateSensorProfileCollection", kInjected, 1);
  auto source = makeSource();
  ASSERT_TRUE(source);
  ComPtr<IMFAttributes> attributes;
  source->GetSourceAttributes(&attributes);
  ComPtr<IUnknown> profiles;
  EXPECT_EQ(attributes->GetUnknown(MF_DEVICEMFT_SENSORPROFILE_COLLECTION, IID_PPV_ARGS(&profiles)), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_NE(serviceLog().find("source: media source attach sensor profiles failed (non-fatal): "), std::string::npos);
  source->Shutdown();
}

TEST_F(FailureTest, AFailedRequestEndsOnlyThatRequest) {
  ControlChannel control;
  auto source = makeSource();
  auto stream = startSource(source.Get());
  drainEvents(stream.Get());
  for (const char* site : {"MFCreateMemoryBuffer", "MFCreateSample"}) {
    SCOPED_TRACE(site);
    platform::faults::inject(site, kInjected, 1);
    EXPECT_EQ(stream->RequestSample(nullptr), E_OUTOFMEMORY);
    EXPECT_TRUE(drainEvents(stream.Get()).empty());
    EXPECT_EQ(stream->RequestSample(nullptr), S_OK);
    EXPECT_EQ(drainEvents(stream.Get()), std::vector<MediaEventType>{MEMediaSample});
  }
  // A request held while paused was answered S_OK long ago: its failure after the
  // restart arrives as MEError, and the request behind it is still served.
  ASSERT_EQ(source->Pause(), S_OK);
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  ASSERT_EQ(stream->RequestSample(nullptr), S_OK);
  drainEvents(stream.Get());
  platform::faults::inject("MFCreateSample", kInjected, 1);
  startSource(source.Get());
  std::vector<ComPtr<IMFMediaEvent>> events;
  ASSERT_EQ(drainEvents(stream.Get(), &events), (std::vector<MediaEventType>{MEStreamStarted, MEError, MEMediaSample}));
  HRESULT status = S_OK;
  events[1]->GetStatus(&status);
  EXPECT_EQ(status, E_OUTOFMEMORY);
  EXPECT_NE(serviceLog().find("source: stream RequestSample held request failed: "), std::string::npos);
  source->Shutdown();
}

}  // namespace
}  // namespace tesmira::vcam::testing
