// Texture mode with both threads busy on one device: the capture thread's camera
// fills and read-backs against the main thread's own work on the immediate context.
#include <gtest/gtest.h>

#include <windows.h>

#include "producer/camera_capture.h"
#include "producer/tests/gpu/texture_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

using namespace texturetest;

class TextureModeThreads : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
    ASSERT_TRUE(device());
  }
};

TEST_F(TextureModeThreads, CaptureAndMainThreadShareTheDevice) {
  tc::installTestCamera(nv12Camera(64, 48, 240));
  CameraCapture capture;
  ASSERT_TRUE(capture.start(0, 64, 48, 240, 1, true, false, makeD3D11CaptureDevice(device()), true));
  ASSERT_TRUE(capture.textureMode());

  // The main thread's own frame, refilled from every camera texture as the compositor does.
  D3D11_TEXTURE2D_DESC desc{64, 48, 1, 1, DXGI_FORMAT_B8G8R8X8_UNORM, {1, 0}, D3D11_USAGE_DEFAULT,
                            D3D11_BIND_SHADER_RESOURCE, 0, 0};
  ComPtr<ID3D11Texture2D> frame;
  ASSERT_EQ(device()->CreateTexture2D(&desc, nullptr, &frame), S_OK);
  ComPtr<ID3D11DeviceContext> context;
  device()->GetImmediateContext(&context);

  int frames = 0;
  for (int attempt = 0; attempt < 400 && frames < 40; ++attempt) {
    cv::Mat bgr;
    CaptureTextureRef texture;
    UINT subresource = 0;
    if (!capture.waitFrame(bgr, 1000, &texture, &subresource)) continue;
    ASSERT_TRUE(texture && texture->d3dTexture());
    const D3D11_BOX box{0, 0, 0, 64, 48, 1};
    context->CopySubresourceRegion(frame.Get(), 0, 0, 0, 0, texture->d3dTexture(), subresource, &box);
    const cv::Mat copied = readBack(frame.Get());
    EXPECT_EQ(cv::norm(copied, bgr, cv::NORM_INF), 0) << "a held texture is never refilled under the copy";
    ++frames;
  }
  EXPECT_EQ(frames, 40);
  capture.stop();
}

}  // namespace
}  // namespace tesmira
