// The capture's texture read-back and texture mode on a real Direct3D 11 device.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "producer/camera_capture.h"
#include "producer/tests/gpu/texture_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

using namespace texturetest;

TEST(D3D11ReadBack, CopiesTheRegionAndReusesTheStagingTexture) {
  ASSERT_TRUE(device());
  cv::Mat bgrx(48, 64, CV_8UC4);
  cv::randu(bgrx, 0, 256);
  D3D11_TEXTURE2D_DESC desc{64, 48, 1, 1, DXGI_FORMAT_B8G8R8X8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                            D3D11_BIND_SHADER_RESOURCE, 0, 0};
  const D3D11_SUBRESOURCE_DATA data{bgrx.data, UINT(bgrx.step[0]), 0};
  ComPtr<ID3D11Texture2D> texture;
  ASSERT_EQ(device()->CreateTexture2D(&desc, &data, &texture), S_OK);
  std::shared_ptr<CaptureDevice> capture = makeD3D11CaptureDevice(device());
  ASSERT_TRUE(capture);
  EXPECT_EQ(capture->d3dDevice(), device());
  CaptureTextureRef wrapped = wrapD3D11Texture(texture.Get());
  EXPECT_EQ(wrapped->desc().format, UINT(DXGI_FORMAT_B8G8R8X8_UNORM));

  StagingCache staging;
  cv::Mat bgr;
  ASSERT_TRUE(readTextureToBgr(*capture, staging, *wrapped, 0, 0, 0, bgr));
  cv::Mat expected;
  cv::cvtColor(bgrx, expected, cv::COLOR_BGRA2BGR);
  EXPECT_EQ(cv::norm(bgr, expected, cv::NORM_INF), 0);
  const CaptureTextureRef first = staging.texture;

  ASSERT_TRUE(readTextureToBgr(*capture, staging, *wrapped, 0, 40, 30, bgr));
  EXPECT_EQ(cv::norm(bgr, expected(cv::Rect(0, 0, 40, 30)), cv::NORM_INF), 0);
  ASSERT_TRUE(readTextureToBgr(*capture, staging, *wrapped, 0, 40, 30, bgr));
  EXPECT_NE(staging.texture, first) << "a new region size makes a new staging texture";
  const CaptureTextureRef second = staging.texture;
  ASSERT_TRUE(readTextureToBgr(*capture, staging, *wrapped, 0, 40, 30, bgr));
  EXPECT_EQ(staging.texture, second) << "the same size reuses it";
  EXPECT_FALSE(makeD3D11CaptureDevice(nullptr));
}

class TextureModeTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
    ASSERT_TRUE(device());
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TESMIRA_CAPTURE_D3D_TEXTURE", nullptr);
    SetEnvironmentVariableW(L"TESMIRA_CAPTURE_CONVERT_IN_READER", nullptr);
    MachineTest::TearDown();
  }
};

// The physical camera in texture mode: the texture is the camera frame on the engine's
// device; the BGR copy is the same frame, mirrored by the capture only when it converts
// and mirrors itself, which is what mirrorsInCapture reports.
TEST_F(TextureModeTest, HandsOutTheCameraTextureWithItsBgrCopy) {
  struct Case {
    const wchar_t* convert;
    bool mirrorOption;
    bool mirrorsInCapture;
  };
  const Case cases[] = {
      {L"1", true, true},
      {L"0", true, false},  // texture mode converts anyway; the main loop mirrors the copy
      {L"1", false, false},
  };
  tc::installTestCamera(nv12Camera(64, 48, 30));
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "convert=" << (c.convert[0] == L'1') << " mirror=" << c.mirrorOption);
    SetEnvironmentVariableW(L"TESMIRA_CAPTURE_D3D_TEXTURE", L"1");
    SetEnvironmentVariableW(L"TESMIRA_CAPTURE_CONVERT_IN_READER", c.convert);
    std::vector<std::string> lines;
    PhysicalCameraSource camera([&](const std::string& line) { lines.push_back(line); });
    ASSERT_TRUE(camera.open({0, 64, 48, 30, 1}, c.mirrorOption, device()));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" capture_d3d_texture=1 "), std::string::npos) << lines[0];
    EXPECT_EQ(camera.mirrorsInCapture(), c.mirrorsInCapture);

    CameraFrame frame;
    frame.subresource = 7;
    ASSERT_TRUE(camera.waitFrame(frame, 5000));
    const cv::Mat& bgr = frame.image;
    const ComPtr<ID3D11Texture2D>& texture = frame.texture;
    ASSERT_TRUE(texture);
    EXPECT_EQ(frame.subresource, 0u);
    EXPECT_FALSE(frame.mirrorTexture) << "the keeper decides the mirror";
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    EXPECT_EQ(desc.Format, DXGI_FORMAT_B8G8R8X8_UNORM);
    const cv::Mat onGpu = readBack(texture.Get());
    EXPECT_GE(frameIndex(onGpu, 300), 0) << "the texture starts from the memory road's pixels";
    cv::Mat unmirrored = bgr;
    if (c.mirrorsInCapture) cv::flip(bgr, unmirrored, 1);
    EXPECT_EQ(cv::norm(unmirrored, onGpu, cv::NORM_INF), 0) << "the copy is the texture's frame";
    camera.stop();
  }
}

TEST_F(TextureModeTest, WithoutTheSwitchFramesComeFromMemory) {
  tc::installTestCamera(nv12Camera(64, 48, 30));
  std::vector<std::string> lines;
  PhysicalCameraSource camera([&](const std::string& line) { lines.push_back(line); });
  ASSERT_TRUE(camera.open({0, 64, 48, 30, 1}, false, device()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" capture_d3d_texture=0 "), std::string::npos) << lines[0];
  CameraFrame frame;
  ASSERT_TRUE(camera.waitFrame(frame, 5000));
  EXPECT_FALSE(frame.texture);
  EXPECT_GE(frameIndex(frame.image, 300), 0);
  camera.stop();
}

}  // namespace
}  // namespace tesmira
