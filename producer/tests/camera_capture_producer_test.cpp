// The producer's loop over the real capture: demand from fresh control ticks
// opens a file camera and publishes its frames; no demand releases it; a busy
// camera reports its state and is retried once a second on the test clock.
#include <gtest/gtest.h>


#include <windows.h>

#include <mfapi.h>
#include <mfidl.h>
#include <mfreadwrite.h>
#include <wrl/client.h>

#include <opencv2/imgcodecs.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <iostream>
#include <sstream>
#include <thread>

#include "common/channels.h"
#include "producer/kernel_objects.h"
#include "producer/producer_main.h"
#include "producer/tests/producer_fixture.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/child_process.h"
#include "tests/support/host_calls.h"


namespace tesmira {
namespace {

namespace tc = platform::testcameras;
namespace testclock = platform::testclock;

// Counts the loop's passes (each idle or retry pass sleeps once) and lets a test
// wait for more of them.
class PassCounter {
 public:
  void onSleep() {
    {
      std::lock_guard lock(mutex_);
      ++passes_;
    }
    changed_.notify_all();
    std::this_thread::yield();
  }
  void waitMore(uint64_t more) {
    std::unique_lock lock(mutex_);
    const uint64_t target = passes_ + more;
    changed_.wait(lock, [&] { return passes_ >= target; });
  }
  // A pass, or a few milliseconds while the loop publishes without sleeping.
  void waitPassOrMoment() {
    std::unique_lock lock(mutex_);
    const uint64_t target = passes_ + 1;
    changed_.wait_for(lock, std::chrono::milliseconds(5), [&] { return passes_ >= target; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t passes_ = 0;
};

class CaptureProducerTest : public testing::ProducerTest {
 protected:
  void SetUp() override {
    ProducerTest::SetUp();
    tc::setV4l2Discovery(false);
    control_ = openOrCreateChannel(kVcamControlChannelName, sizeof(VcamControlBlock));
    status_ = openOrCreateChannel(kProducerStatusChannelName, sizeof(ProducerStatusBlock));
    frames_ = openOrCreateChannel(kFrameChannelName, kFrameChannelBytes);
    ASSERT_TRUE(control_.view && status_.view && frames_.view);
  }
  void TearDown() override {
    stopProducer();
    closeMapping(control_);
    closeMapping(status_);
    closeMapping(frames_);
    ProducerTest::TearDown();
  }

  // A 64x48 clip of numbered images, which a file camera plays at 30 fps.
  std::string writeClip() {
    for (int i = 0; i < 10; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "clip_%02d.png", i);
      EXPECT_TRUE(cv::imwrite((root() / name).string(), cv::Mat(48, 64, CV_8UC3, cv::Scalar(20 * i, 100, 200 - 10 * i))));
    }
    return (root() / "clip_%02d.png").string();
  }

  // The frame rate the first camera offers (an image sequence plays at the rate
  // its decoder reports).
  static std::pair<UINT32, UINT32> firstCameraRate() {
    using Microsoft::WRL::ComPtr;
    MFStartup(MF_VERSION, MFSTARTUP_LITE);
    ComPtr<IMFAttributes> query;
    MFCreateAttributes(&query, 1);
    query->SetGUID(MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE, MF_DEVSOURCE_ATTRIBUTE_SOURCE_TYPE_VIDCAP_GUID);
    IMFActivate** devices = nullptr;
    UINT32 count = 0;
    UINT32 numerator = 0, denominator = 0;
    if (SUCCEEDED(MFEnumDeviceSources(query.Get(), &devices, &count)) && count > 0) {
      ComPtr<IMFMediaSource> source;
      ComPtr<IMFSourceReader> reader;
      ComPtr<IMFMediaType> type;
      if (SUCCEEDED(devices[0]->ActivateObject(IID_PPV_ARGS(&source))) &&
          SUCCEEDED(MFCreateSourceReaderFromMediaSource(source.Get(), nullptr, &reader)) &&
          SUCCEEDED(reader->GetNativeMediaType(0, 0, &type))) {
        MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &numerator, &denominator);
      }
    }
    for (UINT32 i = 0; i < count; ++i) devices[i]->Release();
    CoTaskMemFree(devices);
    MFShutdown();
    return {numerator, denominator};
  }

  void demand(uint32_t width, uint32_t height) {
    auto* block = static_cast<VcamControlBlock*>(control_.view);
    block->magic = kVcamControlMagic;
    block->version = kVcamControlVersion;
    block->cameraIndex = cameraIndex_;
    block->width = width;
    block->height = height;
    block->fpsNumerator = rate_.first;
    block->fpsDenominator = rate_.second;
    const uint64_t now = GetTickCount64();
    block->requestTick = now;
    block->formatTick = now;
  }
  void noDemand() {
    auto* block = static_cast<VcamControlBlock*>(control_.view);
    block->requestTick = 0;
    block->streamStartTick = 0;
    block->formatTick = 0;
  }
  const volatile ProducerStatusBlock& status() const { return *static_cast<const ProducerStatusBlock*>(status_.view); }
  uint32_t frameCounter() const { return static_cast<const volatile RetouchFrameHeader*>(frames_.view)->frameCounter; }

  void startProducer() {
    repo_ = makeRepoRoot().string();
    seams_.makeContext = makePassThroughContext;  // frames pass through: this is about the camera
    seams_.out = &out_;
    seams_.err = &err_;
    seams_.sleepMs = [this](double) { passes_.onSleep(); };
    producer_ = std::thread([this] {
      std::vector<std::string> args = {"producer", "--camera", "--camera-index", "0", "--repo-root", repo_};
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      exitCode_ = runProducer(int(argv.size()), argv.data(), seams_);
    });
  }
  void stopProducer() {
    if (!producer_.joinable()) return;
    onConsoleControl(0);  // CTRL_C_EVENT
    producer_.join();
  }
  // Real time for real frames: the file camera plays at its own rate.
  bool waitUntil(const std::function<bool()>& done, bool keepDemand, uint32_t width = 64, uint32_t height = 48) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (keepDemand) demand(width, height);
      if (done()) return true;
      passes_.waitPassOrMoment();
    }
    return false;
  }

  std::pair<UINT32, UINT32> rate_{30, 1};
  uint32_t cameraIndex_ = 0;
  MappedChannel control_, status_, frames_;
  PassCounter passes_;
  ProducerSeams seams_;
  std::ostringstream out_, err_;
  std::string repo_;
  std::thread producer_;
  std::atomic<int> exitCode_{-1};
};

TEST_F(CaptureProducerTest, DemandOpensTheFileCameraAndNoDemandReleasesIt) {
  tc::installFileCamera(L"Clip Camera", writeClip());
  rate_ = firstCameraRate();
  ASSERT_GT(rate_.first, 0u);
  demand(64, 48);
  startProducer();
  ASSERT_TRUE(waitUntil([&] { return status().state == kProducerStateLive && frameCounter() >= 5; }, true))
      << "state " << status().state << " frames " << frameCounter() << "\n" << [&] {
           std::string all;
           for (const auto& l : logMessages()) all += l + "\n";
           return all;
         }();
  EXPECT_EQ(logCount("physical camera opened (media foundation) capture_convert_in_reader=1 capture_d3d_texture=0 "
                     "camera-index=0 format=64x48@" + std::to_string(rate_.first) + "/" + std::to_string(rate_.second)),
            1u);
  const RetouchFrameHeader header = *static_cast<const RetouchFrameHeader*>(frames_.view);
  ASSERT_LT(header.latestSlot, 2u);
  EXPECT_EQ(header.slots[header.latestSlot].width, 64u);
  EXPECT_EQ(header.slots[header.latestSlot].height, 48u);

  noDemand();
  ASSERT_TRUE(waitUntil([&] { return logCount("physical camera released: no active vcam consumers") == 1; }, false));
  stopProducer();
  EXPECT_EQ(exitCode_, 0);
}

TEST_F(CaptureProducerTest, BusyCameraReportsItsStateAndIsRetriedOnceASecond) {
  tc::TestCamera busy;
  busy.modes = {{64, 48, 30, 1, tc::Format::NV12}};
  busy.openError = HRESULT(0x80070020);
  tc::installTestCamera(busy);
  testclock::freeze();
  demand(64, 48);
  startProducer();
  const std::string failure = "warning: could not open camera index 0 error=2147942432";
  ASSERT_TRUE(waitUntil([&] { return logCount(failure) == 1; }, true));
  // The state follows the warning line, written by the same pass.
  EXPECT_TRUE(waitUntil([&] { return status().state == kProducerStateCameraBusy; }, true));
  EXPECT_EQ(status().hr, 0x80070020u);

  testclock::advanceMs(999);
  demand(64, 48);
  passes_.waitMore(3);
  EXPECT_EQ(logCount(failure), 1u) << "retried before a second had passed";
  testclock::advanceMs(1);
  ASSERT_TRUE(waitUntil([&] { return logCount(failure) == 2; }, true));
  testclock::release();
}

TEST_F(CaptureProducerTest, AnIndexBeyondTheCamerasReportsNoCamera) {
  tc::TestCamera camera;
  camera.modes = {{64, 48, 30, 1, tc::Format::NV12}};
  tc::installTestCamera(camera, 0);
  tc::installTestCamera(camera, 1);
  cameraIndex_ = 3;
  demand(64, 48);
  startProducer();
  ASSERT_TRUE(waitUntil([&] { return logCount("warning: could not open camera index 3 error=3222091477") == 1; }, true));
  EXPECT_TRUE(waitUntil([&] { return status().state == kProducerStateNoCamera; }, true));
  EXPECT_EQ(status().hr, 0xC00D36D5u);
}

// The built producer as its own process, sharing the machine with the test.
TEST_F(CaptureProducerTest, ProducerProcessPublishesTheFileCameraWhileDemandLasts) {
  tc::installFileCamera(L"Clip Camera", writeClip());
  rate_ = firstCameraRate();
  ASSERT_GT(rate_.first, 0u);
  demand(64, 48);
  tesmira::testing::ChildProcess producer({std::filesystem::path(TESMIRA_PRODUCER_EXE).wstring(), L"--camera",
                                           L"--camera-index", L"0", L"--repo-root", dataRepoRoot().wstring()});
  ASSERT_TRUE(producer.started());
  // Real time: the child paces its own frames.
  auto waitFor = [&](const std::function<bool()>& done, bool keepDemand) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (keepDemand) demand(64, 48);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  EXPECT_TRUE(waitFor([&] { return status().state == kProducerStateLive && frameCounter() >= 5; }, true))
      << "state " << status().state << " frames " << frameCounter();
  noDemand();
  EXPECT_TRUE(waitFor([&] { return logCount("physical camera released: no active vcam consumers") == 1; }, false));
  if (HasFailure()) {
    for (const auto& line : logMessages()) std::cerr << line << "\n";
  }
  ASSERT_TRUE(tesmira::testing::sendCtrlC(producer.id()));
  EXPECT_EQ(producer.wait(), std::optional<DWORD>(0));
}

}  // namespace
}  // namespace tesmira
