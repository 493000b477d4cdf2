#include <windows.h>

#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include "../camera_media_source.h"
#include "platform/mfdevices/tests/device_enumeration.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace {
using Microsoft::WRL::ComPtr;
namespace tc = tesmira::platform::testcameras;
namespace cameras = tesmira::platform::cameras;
using tesmira::testing::enumerateDevices;

class DeviceSourcesTest : public tesmira::testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
  }
};

TEST_F(DeviceSourcesTest, AudioOrNoCamerasGiveAnEmptyList) {
  std::vector<ComPtr<IMFActivate>> devices;
  EXPECT_EQ(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, devices), S_OK);
  EXPECT_TRUE(devices.empty());
  tc::installTestCamera(tc::TestCamera{});
  EXPECT_EQ(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_AUDCAP_GUID, devices), S_OK);
  EXPECT_TRUE(devices.empty());
}

TEST_F(DeviceSourcesTest, BadQueriesAreRefused) {
  std::vector<ComPtr<IMFActivate>> devices;
  EXPECT_EQ(enumerateDevices(GUID_NULL, devices), E_INVALIDARG);
  ComPtr<IMFAttributes> empty;
  MFCreateAttributes(&empty, 0);
  IMFActivate** array = nullptr;
  UINT32 count = 0;
  EXPECT_EQ(MFEnumDeviceSources(empty.Get(), &array, &count), E_INVALIDARG);
  EXPECT_EQ(MFEnumDeviceSources(nullptr, &array, &count), E_POINTER);
  EXPECT_EQ(MFEnumDeviceSources(empty.Get(), nullptr, &count), E_POINTER);
  tesmira::platform::faults::inject("MFEnumDeviceSources", HRESULT(0x80070005), 1);
  EXPECT_EQ(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, devices), HRESULT(0x80070005));
}

TEST_F(DeviceSourcesTest, ActivationGivesALiveSourceWithTheCameraModes) {
  tc::TestCamera camera;
  camera.friendlyName = L"HD Front Camera";
  camera.modes = {tc::Mode{1280, 720, 30, 1, tc::Format::NV12}, tc::Mode{640, 480, 15, 1, tc::Format::YUYV}};
  tc::installTestCamera(camera);
  std::vector<ComPtr<IMFActivate>> devices;
  ASSERT_EQ(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, devices), S_OK);
  ASSERT_EQ(devices.size(), 1u);
  GUID category{};
  EXPECT_EQ(devices[0]->GetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_CATEGORY, &category), S_OK);

  ComPtr<IMFMediaSource> source;
  ASSERT_EQ(devices[0]->ActivateObject(IID_PPV_ARGS(&source)), S_OK);
  DWORD characteristics = 0;
  EXPECT_EQ(source->GetCharacteristics(&characteristics), S_OK);
  EXPECT_EQ(characteristics, DWORD(MFMEDIASOURCE_IS_LIVE));
  ComPtr<IMFPresentationDescriptor> presentation;
  ASSERT_EQ(source->CreatePresentationDescriptor(&presentation), S_OK);
  BOOL selected = FALSE;
  ComPtr<IMFStreamDescriptor> stream;
  ASSERT_EQ(presentation->GetStreamDescriptorByIndex(0, &selected, &stream), S_OK);
  EXPECT_TRUE(selected);
  ComPtr<IMFMediaTypeHandler> handler;
  ASSERT_EQ(stream->GetMediaTypeHandler(&handler), S_OK);
  DWORD typeCount = 0;
  handler->GetMediaTypeCount(&typeCount);
  ASSERT_EQ(typeCount, 2u);
  struct Want {
    GUID subtype;
    UINT32 width, height, num, den;
  } want[] = {{MFVideoFormat_NV12, 1280, 720, 30, 1}, {MFVideoFormat_YUY2, 640, 480, 15, 1}};
  for (DWORD i = 0; i < typeCount; ++i) {
    ComPtr<IMFMediaType> type;
    ASSERT_EQ(handler->GetMediaTypeByIndex(i, &type), S_OK);
    GUID subtype{};
    UINT32 w = 0, h = 0, n = 0, d = 0;
    type->GetGUID(MF_MT_SUBTYPE, &subtype);
    MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &w, &h);
    MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &n, &d);
    EXPECT_EQ(subtype, want[i].subtype);
    EXPECT_EQ(w, want[i].width);
    EXPECT_EQ(h, want[i].height);
    EXPECT_EQ(n, want[i].num);
    EXPECT_EQ(d, want[i].den);
  }

  // The reader takes the camera itself, once.
  ComPtr<ICameraDeviceSource> cameraSource;
  ASSERT_EQ(source->QueryInterface(IID_PPV_ARGS(&cameraSource)), S_OK);
  std::unique_ptr<cameras::ICameraDevice> device;
  ASSERT_EQ(cameraSource->takeDevice(device), S_OK);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->info().friendlyName, L"HD Front Camera");
  std::unique_ptr<cameras::ICameraDevice> second;
  EXPECT_EQ(cameraSource->takeDevice(second), MF_E_NOT_AVAILABLE);
  EXPECT_EQ(source->Shutdown(), S_OK);
  EXPECT_EQ(source->Shutdown(), MF_E_SHUTDOWN);
  EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
}

TEST_F(DeviceSourcesTest, ACameraGoneSinceEnumerationIsNotFound) {
  tc::installTestCamera(tc::TestCamera{});
  std::vector<ComPtr<IMFActivate>> devices;
  ASSERT_EQ(enumerateDevices(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID, devices), S_OK);
  ASSERT_EQ(devices.size(), 1u);
  tc::removeAllCameras();
  ComPtr<IMFMediaSource> source;
  EXPECT_EQ(devices[0]->ActivateObject(IID_PPV_ARGS(&source)), MF_E_NOT_FOUND);
  EXPECT_EQ(devices[0]->ActivateObject(__uuidof(IMFMediaSource), nullptr), E_POINTER);
}

}  // namespace
