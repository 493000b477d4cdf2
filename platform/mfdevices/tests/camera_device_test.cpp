#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <fstream>
#include <thread>

#include "../camera_device.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::platform {
namespace {
using namespace cameras;
namespace tc = testcameras;

class CameraDeviceTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
  }
  std::unique_ptr<ICameraDevice> open(const std::wstring& link) {
    std::unique_ptr<ICameraDevice> device;
    EXPECT_EQ(openCamera(link, device), S_OK);
    return device;
  }
};

TEST_F(CameraDeviceTest, ListKeepsFileOrderAndLinksNeverNameTheProduct) {
  tc::TestCamera second;
  second.friendlyName = L"Tesmira Lookalike";
  tc::installTestCamera(second, 2);
  tc::TestCamera first;
  first.friendlyName = L"USB Camera";
  const std::wstring firstLink = tc::installTestCamera(first, 1);
  const auto cameras = listCameras();
  ASSERT_EQ(cameras.size(), 2u);
  EXPECT_EQ(cameras[0].friendlyName, L"USB Camera");
  EXPECT_EQ(cameras[0].symbolicLink, firstLink);
  EXPECT_EQ(cameras[1].friendlyName, L"Tesmira Lookalike");
  for (const auto& c : cameras) {
    EXPECT_EQ(c.symbolicLink.find(L"tesmira"), std::wstring::npos) << c.symbolicLink.size();
    EXPECT_EQ(c.symbolicLink.rfind(L"\\\\?\\testcam#", 0), 0u);
  }
}

TEST_F(CameraDeviceTest, CorruptOrForeignListFilesAreSkipped) {
  tc::installTestCamera(tc::TestCamera{}, 5);
  const auto folder = root() / "devices" / "cameras";
  const char* bad[] = {"{not json",
                       "[]",
                       R"({"kind":"printer"})",
                       R"({"kind":7})",
                       R"({"kind":"test","friendlyName":7})",
                       R"({"kind":"file","path":"clip.avi","symbolicLink":[1]})",
                       ""};
  int i = 0;
  for (const char* text : bad) std::ofstream(folder / ("0000-bad" + std::to_string(i++) + ".json")) << text;
  const auto cameras = listCameras();
  ASSERT_EQ(cameras.size(), 1u);
  EXPECT_EQ(cameras[0].friendlyName, L"Test Camera");
}

TEST_F(CameraDeviceTest, OpenFindsLinkCaseInsensitivelyAndUnknownIsNotFound) {
  std::wstring link = tc::installTestCamera(tc::TestCamera{});
  for (auto& ch : link) ch = wchar_t(towupper(ch));
  std::unique_ptr<ICameraDevice> device;
  EXPECT_EQ(openCamera(link, device), S_OK);
  ASSERT_TRUE(device);
  EXPECT_EQ(openCamera(L"\\\\?\\usb#nothing", device), kCameraNotFound);
  EXPECT_FALSE(device);
}

TEST_F(CameraDeviceTest, ScriptedModesOutOfRangeAreDropped) {
  const auto folder = root() / "devices" / "cameras";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "cam.json") << R"({"kind":"test","modes":[
    {"width":1280,"height":720,"fpsNumerator":30,"fpsDenominator":1,"format":"NV12"},
    {"width":0,"height":720}, {"width":99999999999,"height":2}, {"width":641,"height":480,"format":"NV12"},
    {"width":640,"height":480,"format":"RGB565"}, {"width":-4,"height":480}, {"width":640,"height":480,"fpsNumerator":0},
    {"width":320,"height":240,"fpsNumerator":15,"format":"YUYV"}]})";
  auto device = open(listCameras().at(0).symbolicLink);
  ASSERT_TRUE(device);
  const auto modes = device->modes();
  ASSERT_EQ(modes.size(), 2u);
  EXPECT_EQ(modes[0], (CameraMode{1280, 720, 30, 1, PixelFormat::NV12}));
  EXPECT_EQ(modes[1], (CameraMode{320, 240, 15, 1, PixelFormat::YUYV}));
}

struct OpenFailure {
  HRESULT scripted;
};
class CameraOpenFailureTest : public CameraDeviceTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(CameraOpenFailureTest, StartReportsTheScriptedFailure) {
  tc::TestCamera camera;
  camera.openError = GetParam().scripted;
  auto device = open(tc::installTestCamera(camera));
  ASSERT_TRUE(device);
  EXPECT_EQ(device->start(device->modes().at(0)), GetParam().scripted);
  CameraFrame frame;
  EXPECT_EQ(device->readFrame(frame), kCameraStopped);
}
INSTANTIATE_TEST_SUITE_P(Failures, CameraOpenFailureTest,
                         ::testing::Values(OpenFailure{kCameraBusy}, OpenFailure{HRESULT(0xC00D3704)},
                                           OpenFailure{kCameraAccessDenied}, OpenFailure{kCameraNotFound}));

TEST_F(CameraDeviceTest, StartRefusesAModeNotOffered) {
  auto device = open(tc::installTestCamera(tc::TestCamera{}));
  EXPECT_EQ(device->start(CameraMode{1920, 1080, 30, 1, PixelFormat::NV12}), kCameraModeRefused);
}

struct FrameCase {
  tc::Format format;
  uint32_t width, height, padding;
};
class TestCameraFrameTest : public CameraDeviceTest, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(TestCameraFrameTest, FramesArePacedOnTheTestClockWithTheirPattern) {
  const FrameCase c = GetParam();
  tc::TestCamera camera;
  camera.modes = {tc::Mode{c.width, c.height, 25, 1, c.format}};
  camera.rowPadding = c.padding;
  auto device = open(tc::installTestCamera(camera));
  testclock::freeze();
  ASSERT_EQ(device->start(device->modes().at(0)), S_OK);
  CameraFrame frame;
  ASSERT_EQ(device->readFrame(frame), S_OK);  // the first frame is due at once
  const uint64_t t0 = frame.timestampNs;
  const uint32_t stride = minimumStride(PixelFormat(c.format), c.width) + c.padding;
  EXPECT_EQ(frame.stride, stride);
  EXPECT_EQ(frame.sequence, 0u);

  std::thread advancer([] { testclock::advanceMs(40); });
  ASSERT_EQ(device->readFrame(frame), S_OK);  // waits for the clock to reach 40 ms
  advancer.join();
  EXPECT_EQ(frame.timestampNs - t0, 40000000u);
  EXPECT_EQ(frame.sequence, 1u);
  const auto expected = tc::testFrame(c.format, c.width, c.height, stride, 1);
  ASSERT_EQ(frame.size, expected.size());
  EXPECT_EQ(0, std::memcmp(frame.data, expected.data(), expected.size()));
  EXPECT_NE(expected, tc::testFrame(c.format, c.width, c.height, stride, 2));
}
INSTANTIATE_TEST_SUITE_P(Formats, TestCameraFrameTest,
                         ::testing::Values(FrameCase{tc::Format::NV12, 64, 48, 0}, FrameCase{tc::Format::NV12, 64, 48, 16},
                                           FrameCase{tc::Format::YUYV, 32, 8, 4}, FrameCase{tc::Format::BGR24, 30, 10, 6}));

TEST_F(CameraDeviceTest, ScriptedShortFrameDeliveredSizeAndReadFailure) {
  tc::TestCamera camera;
  camera.modes = {tc::Mode{64, 48, 1000, 1, tc::Format::NV12}};
  camera.shortFrameIndex = 1;
  camera.deliveredWidth = 32;
  camera.deliveredHeight = 16;
  camera.readError = HRESULT(0x8007001F);
  camera.readErrorAfterFrames = 3;
  auto device = open(tc::installTestCamera(camera));
  ASSERT_EQ(device->start(device->modes().at(0)), S_OK);
  std::vector<size_t> sizes;
  CameraFrame frame;
  HRESULT hr;
  while ((hr = device->readFrame(frame)) == S_OK) {
    sizes.push_back(frame.size);
    EXPECT_EQ(frame.width, 32u);
    EXPECT_EQ(frame.height, 16u);
  }
  EXPECT_EQ(hr, HRESULT(0x8007001F));
  EXPECT_EQ(sizes, (std::vector<size_t>{32 * 24, 32 * 23, 32 * 24}));
}

TEST_F(CameraDeviceTest, CancelEndsAWaitingRead) {
  tc::TestCamera camera;
  camera.modes = {tc::Mode{64, 48, 1, 1, tc::Format::NV12}};
  auto device = open(tc::installTestCamera(camera));
  testclock::freeze();
  ASSERT_EQ(device->start(device->modes().at(0)), S_OK);
  CameraFrame frame;
  ASSERT_EQ(device->readFrame(frame), S_OK);
  std::thread canceller([&] { device->cancel(); });
  EXPECT_EQ(device->readFrame(frame), kCameraStopped);  // the clock never moved
  canceller.join();
}

}  // namespace
}  // namespace tesmira::platform
