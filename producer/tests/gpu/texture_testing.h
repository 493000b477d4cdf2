#pragma once
// The capture's texture mode on the Direct3D 11 layer's device (the shared test
// device: one per process, slow to make on the CPU rasteriser) and test cameras.
#include <d3d11_4.h>
#include <gtest/gtest.h>
#include <wrl/client.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <vector>

#include "platform/d3d11/gpu_tests/gpu_testing.h"
#include "tesmira/test_cameras.h"

namespace tesmira::texturetest {

using Microsoft::WRL::ComPtr;
namespace tc = platform::testcameras;

// The shared test device as the compositor leaves it: multithread protection on.
inline ID3D11Device* device() {
  static const bool protectedOnce = [] {
    ComPtr<ID3D11Multithread> multithread;
    ID3D11Device* d = gputest::gpu().device.Get();
    if (d && SUCCEEDED(d->QueryInterface(IID_PPV_ARGS(&multithread)))) multithread->SetMultithreadProtected(TRUE);
    return true;
  }();
  (void)protectedOnce;
  return gputest::gpu().device.Get();
}

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

// A B8G8R8X8 texture's pixels as BGR.
inline cv::Mat readBack(ID3D11Texture2D* texture) {
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  std::vector<uint8_t> bgrx = gputest::readBack(texture);
  cv::Mat bgr;
  cv::cvtColor(cv::Mat(int(desc.Height), int(desc.Width), CV_8UC4, bgrx.data()), bgr, cv::COLOR_BGRA2BGR);
  return bgr;
}

}  // namespace tesmira::texturetest
