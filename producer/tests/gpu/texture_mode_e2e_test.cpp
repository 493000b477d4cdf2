// Texture mode end to end: the producer's loop over a file camera with
// TESMIRA_CAPTURE_D3D_TEXTURE=1, its frames composited from the camera texture on the
// compositor's own device, mirrored by the copy kernel and packed to NV12 there.
#include <gtest/gtest.h>

#include <windows.h>

#include <opencv2/videoio.hpp>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "producer/engine/gpu_d3d11_compositor.h"
#include "producer/frame_convert.h"
#include "producer/producer_main.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/test_cameras.h"

namespace tesmira {
namespace {

namespace tc = platform::testcameras;

// What the compositor's road made of each frame, against the memory road's packing.
struct RoadRecord {
  int textureFrames = 0;
  int memoryFrames = 0;
  int unmirrored = 0;
  size_t outside = 0;  // bytes beyond luma 0..+1, chroma 0..+2
  size_t lumaBytes = 0, lumaPlusOne = 0, chromaBytes = 0, chromaPlusOne = 0, chromaPlusTwo = 0;
};

// The engine's resident road reduced to its frame copy and packing: no face, no effects.
class CompositorRoad final : public IRetouchContext {
 public:
  CompositorRoad(D3D11Compositor& compositor, RoadRecord& record) : compositor_(compositor), record_(record) {}
  std::string providerName() const override { return "cpu"; }
  ID3D11Device* d3dDevice() const override { return compositor_.device(); }
  LandmarkResult detect(const cv::Mat&, int64_t) override { return {}; }
  bool processFrame(const CameraFrame& camera, const std::vector<LandmarkPoint>&, const RetouchSettings&,
                    std::vector<uint8_t>& nv12, int& outWidth, int& outHeight, cv::Mat& output,
                    RetouchTimings&) override {
    const cv::Mat& frame = camera.image;
    output = frame;
    if (!camera.texture) {
      ++record_.memoryFrames;
      return false;
    }
    ++record_.textureFrames;
    record_.unmirrored += camera.mirrorTexture ? 0 : 1;
    double ms = 0;
    if (!compositor_.copyExternalFrame(camera.texture.Get(), camera.subresource, frame.cols, frame.rows,
                                       camera.mirrorTexture, ms))
      return false;
    GpuTimings timings;
    compositor_.packNv12(compositor_.outView(), frame.cols, frame.rows, nv12, timings);
    // The memory road: the capture's BGR copy (mirrored there) packed on the CPU.
    if (!bgrToNv12(frame, frame.cols, frame.rows, reference_) || reference_.size() != nv12.size()) return false;
    const size_t luma = size_t(frame.cols) * size_t(frame.rows);
    for (size_t i = 0; i < nv12.size(); ++i) {
      const int d = int(nv12[i]) - int(reference_[i]);
      const bool isLuma = i < luma;
      if (d < 0 || d > (isLuma ? 1 : 2)) ++record_.outside;
      (isLuma ? record_.lumaBytes : record_.chromaBytes)++;
      if (isLuma && d == 1) ++record_.lumaPlusOne;
      if (!isLuma && d == 1) ++record_.chromaPlusOne;
      if (!isLuma && d == 2) ++record_.chromaPlusTwo;
    }
    outWidth = frame.cols;
    outHeight = frame.rows;
    return true;
  }

 private:
  D3D11Compositor& compositor_;
  RoadRecord& record_;
  std::vector<uint8_t> reference_;
};

class TextureModeEndToEnd : public testing::ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    tc::setV4l2Discovery(false);
    SetEnvironmentVariableW(L"TESMIRA_CAPTURE_D3D_TEXTURE", L"1");
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"TESMIRA_CAPTURE_D3D_TEXTURE", nullptr);
    ProducerTest::TearDown();
  }
  // A 1280x720 clip at 30 fps (the loop's default request) whose halves differ, so a
  // missing or doubled mirror shows.
  std::string writeClip() {
    const std::string clip = (root() / "clip.avi").string();
    cv::VideoWriter writer(clip, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(1280, 720));
    cv::Mat frame(720, 1280, CV_8UC3);
    for (int i = 0; i < 8; ++i) {
      frame.setTo(cv::Scalar(30 + 20 * i, 90, 200 - 15 * i));
      frame(cv::Rect(80 + 10 * i, 100, 300, 400)).setTo(cv::Scalar(250, 240, 20));
      writer.write(frame);
    }
    return clip;
  }
};

TEST_F(TextureModeEndToEnd, FramesTakeTheTextureRoadAndMatchTheMemoryRoad) {
  tc::installFileCamera(L"Clip Camera", writeClip());
  D3D11Compositor compositor;
  RoadRecord record;
  ProducerSeams seams;
  seams.makeContext = [&](const ProducerOptions&) { return std::make_unique<CompositorRoad>(compositor, record); };
  seams.makeTelemetry = {};
  std::ostringstream out, err;
  seams.out = &out;
  seams.err = &err;
  // Enough frames at 30 fps for the statistics line, due 5 s after the start.
  std::vector<std::string> args = {"tesmira_windows_retouch_vcam_producer", "--repo-root", dataRepoRoot().string(),
                                   "--camera", "--headless-frames", "170", "--mirror"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  ASSERT_EQ(runProducer(int(argv.size()), argv.data(), seams), 0) << err.str();

  EXPECT_EQ(logCount("physical camera opened (media foundation) capture_convert_in_reader=1 capture_d3d_texture=1 "
                     "camera-index=0 format=1280x720@30/1"),
            1u);
  const std::string stats = out.str();
  const size_t at = stats.find(" d3d-texture-frames=");
  ASSERT_NE(at, std::string::npos) << stats;
  EXPECT_GT(std::stoi(stats.substr(at + 20)), 0) << stats;

  EXPECT_EQ(record.textureFrames, 170);
  EXPECT_EQ(record.memoryFrames, 0);
  EXPECT_EQ(record.unmirrored, 0) << "--mirror reaches the kernel with every texture";
  EXPECT_EQ(record.outside, 0u) << "packing tolerance: luma 0..+1, chroma 0..+2";
  ASSERT_GT(record.lumaBytes, 0u);
  std::printf("texture road vs memory road over %d frames: luma +1 in %.1f%%; chroma +1 in %.1f%%, +2 in %.2f%%\n",
              record.textureFrames, 100.0 * double(record.lumaPlusOne) / double(record.lumaBytes),
              100.0 * double(record.chromaPlusOne) / double(record.chromaBytes),
              100.0 * double(record.chromaPlusTwo) / double(record.chromaBytes));
}

}  // namespace
}  // namespace tesmira
