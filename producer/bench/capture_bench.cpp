// Capture costs per frame: the hand-over from the capture thread to the main
// loop, and delivery to publication, beside one memcpy of the NV12 frame.
#include <benchmark/benchmark.h>

#include <opencv2/videoio.hpp>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "common/channels.h"
#include "producer/bench/nv12_copy_baseline.h"
#include "producer/camera_capture.h"
#include "producer/frame_writer.h"
#include "producer/tests/camera_capture_testing.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"

namespace tesmira {
namespace {

using testing::ScriptedCamera;
using Clock = std::chrono::steady_clock;

using tesmira::bench::BM_Nv12Memcpy;

// Frame pushed to the camera until waitFrame hands it out: the capture thread's
// wake, copy, conversion and swap, and the consumer's wake and copy.
void handOver(benchmark::State& state, bool convertInReader, bool publish) {
  const int width = int(state.range(0));
  const int height = int(state.range(1));
  ScriptedCamera camera({uint32_t(width), uint32_t(height), uint32_t(width), 30, 1});
  CameraCapture capture(camera.opener());
  if (!capture.start(0, width, height, 30, 1, convertInReader, false, nullptr, false)) {
    state.SkipWithError("capture did not start");
    return;
  }
  std::vector<uint8_t> channel(kFrameChannelBytes);
  SharedFrameWriter writer;
  writer.openOn(channel.data());
  const cv::Mat nv12 = testing::randomNv12(width, height, 1);
  testing::CameraStep step;
  step.nv12.assign(nv12.datastart, nv12.dataend);
  cv::Mat bgr;
  for (auto _ : state) {
    camera.waitIdle();
    const auto start = Clock::now();
    camera.push(step);
    if (!capture.waitFrame(bgr, 5000)) {
      state.SkipWithError("no frame");
      break;
    }
    if (publish) writer.publishBgr(bgr);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  camera.push({E_FAIL});
  capture.stop();
}

void BM_HandOverConvertInCapture(benchmark::State& state) { handOver(state, true, false); }
void BM_HandOverConvertInWait(benchmark::State& state) { handOver(state, false, false); }
void BM_DeliveryToPublish(benchmark::State& state) { handOver(state, true, true); }

// A file camera at 1280x720 through the source reader, the capture thread and
// publication: the main loop's time per frame while the camera runs ahead of it.
void BM_FileCameraToPublish(benchmark::State& state) {
  namespace fs = std::filesystem;
  const fs::path machine = fs::temp_directory_path() / ("tesmira-capture-bench-" + std::to_string(GetCurrentProcessId()));
  fs::create_directories(machine);
  platform::setMachineRoot(machine.string());
  platform::testcameras::setV4l2Discovery(false);
  const std::string clip = (machine / "clip.avi").string();
  {
    cv::VideoWriter writer(clip, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 240, cv::Size(1280, 720));
    cv::Mat frame(720, 1280, CV_8UC3);
    for (int i = 0; i < 48; ++i) {
      frame.setTo(cv::Scalar(i * 5, 128, 255 - i * 5));
      writer.write(frame);
    }
  }
  platform::testcameras::installFileCamera(L"Bench Clip", clip);
  std::vector<uint8_t> channel(kFrameChannelBytes);
  SharedFrameWriter writer;
  writer.openOn(channel.data());
  {
    CameraCapture capture;
    if (!capture.start(0, 1280, 720, 0, 0, true, false, nullptr, false)) {
      state.SkipWithError("file camera did not open");
    } else {
      cv::Mat bgr;
      for (auto _ : state) {
        if (!capture.waitFrame(bgr, 2000) || !writer.publishBgr(bgr)) {
          state.SkipWithError("no frame");
          break;
        }
      }
    }
  }
  fs::remove_all(machine);
}

BENCHMARK(BM_FileCameraToPublish)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Nv12Memcpy)->Args({1280, 720})->Args({1920, 1080});
BENCHMARK(BM_HandOverConvertInCapture)->Args({64, 48})->Args({1280, 720})->UseManualTime();
BENCHMARK(BM_HandOverConvertInWait)->Args({1280, 720})->UseManualTime();
BENCHMARK(BM_DeliveryToPublish)->Args({1280, 720})->UseManualTime();

}  // namespace
}  // namespace tesmira

BENCHMARK_MAIN();
