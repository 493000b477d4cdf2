#pragma once
// The capture's texture mode on the Direct3D 11 layer's device and a scripted test
// camera: one device per test process (slow to make on the CPU rasteriser).
#include <d3d11_4.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

#include "tesmira/test_cameras.h"

namespace tesmira::texturetest {

using Microsoft::WRL::ComPtr;
namespace tc = platform::testcameras;

inline ID3D11Device*& deviceSlot() {
  static ID3D11Device* made = nullptr;
  return made;
}

// The device as the compositor leaves it: multithread protection on.
inline ID3D11Device* device() {
  ID3D11Device*& d = deviceSlot();
  if (d == nullptr) {
    const D3D_FEATURE_LEVEL level = D3D_FEATURE_LEVEL_11_0;
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, &level, 1, D3D11_SDK_VERSION, &d,
                                nullptr, nullptr),
              S_OK);
    ComPtr<ID3D11Multithread> multithread;
    if (d && SUCCEEDED(d->QueryInterface(IID_PPV_ARGS(&multithread)))) multithread->SetMultithreadProtected(TRUE);
  }
  return d;
}

// Releases the shared device, if one was made, before the process ends.
class DeviceEnvironment : public ::testing::Environment {
 public:
  void TearDown() override {
    if (deviceSlot() != nullptr) deviceSlot()->Release();
    deviceSlot() = nullptr;
  }
};
inline const bool kDeviceEnvironment = (::testing::AddGlobalTestEnvironment(new DeviceEnvironment), true);

inline tc::TestCamera nv12Camera(uint32_t width, uint32_t height, uint32_t fps) {
  tc::TestCamera camera;
  camera.modes = {{width, height, fps, 1, tc::Format::NV12}};
  return camera;
}

// BGR of a test camera frame as the memory road converts it.
inline cv::Mat memoryRoadBgr(uint32_t width, uint32_t height, uint64_t index) {
  std::vector<uint8_t> bytes = tc::testFrame(tc::Format::NV12, width, height, width, index);
  cv::Mat bgr;
  cv::cvtColor(cv::Mat(int(height * 3 / 2), int(width), CV_8UC1, bytes.data()), bgr, cv::COLOR_YUV2BGR_NV12);
  return bgr;
}

// The index of the test frame `bgr` shows among the first `count`, -1 for none.
inline int frameIndex(const cv::Mat& bgr, int count) {
  for (int i = 0; i < count; ++i) {
    const cv::Mat expected = memoryRoadBgr(uint32_t(bgr.cols), uint32_t(bgr.rows), uint64_t(i));
    if (bgr.size() == expected.size() && cv::norm(bgr, expected, cv::NORM_INF) == 0) return i;
  }
  return -1;
}

// A texture's pixels as BGR through a staging copy of its own.
inline cv::Mat readBack(ID3D11Texture2D* texture) {
  ComPtr<ID3D11DeviceContext> context;
  device()->GetImmediateContext(&context);
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  ComPtr<ID3D11Texture2D> staging;
  if (FAILED(device()->CreateTexture2D(&desc, nullptr, &staging))) return {};
  context->CopySubresourceRegion(staging.Get(), 0, 0, 0, 0, texture, 0, nullptr);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return {};
  cv::Mat bgr;
  cv::cvtColor(cv::Mat(int(desc.Height), int(desc.Width), CV_8UC4, mapped.pData, mapped.RowPitch), bgr,
               cv::COLOR_BGRA2BGR);
  context->Unmap(staging.Get(), 0);
  return bgr;
}

}  // namespace tesmira::texturetest
