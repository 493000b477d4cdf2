#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <atomic>
#include <future>
#include <thread>

#include "producer/camera_capture.h"
#include "producer/tests/camera_capture_testing.h"
#include "tesmira/platform_testing.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

using testing::randomNv12;
using testing::ScriptedCamera;
namespace testclock = platform::testclock;

class CaptureThreads : public tesmira::testing::MachineTest {
 protected:
  void TearDown() override {
    camera_.push({E_FAIL});
    capture_.stop();
    MachineTest::TearDown();
  }
  ScriptedCamera camera_{{64, 48, 64, 30, 1}};
  CameraCapture capture_{camera_.opener()};
};

TEST_F(CaptureThreads, WaitFrameTimesOutOnTheTestClock) {
  ASSERT_TRUE(capture_.start(0, 64, 48, 30, 1, true, false, nullptr, false));
  testclock::freeze();
  const ULONGLONG start = GetTickCount64();
  std::atomic<bool> done{false};
  std::atomic<ULONGLONG> returnedAt{0};
  auto result = std::async(std::launch::async, [&] {
    cv::Mat bgr;
    bool got = capture_.waitFrame(bgr, 200);
    returnedAt = GetTickCount64();
    done = true;
    return got;
  });
  // The waiter reads the clock when it starts, so advance until it gives up.
  while (!done) testclock::advanceMs(1);
  EXPECT_FALSE(result.get());
  EXPECT_GE(returnedAt.load(), start + 200) << "gave up before its time-out";
}

TEST_F(CaptureThreads, AFrameBeforeTheDeadlineEndsTheWait) {
  ASSERT_TRUE(capture_.start(0, 64, 48, 30, 1, true, false, nullptr, false));
  testclock::freeze();
  auto result = std::async(std::launch::async, [&] {
    cv::Mat bgr;
    return capture_.waitFrame(bgr, 200) && bgr.size() == cv::Size(64, 48);
  });
  testclock::advanceMs(199);
  camera_.pushFrame(randomNv12(64, 48, 1));
  EXPECT_TRUE(result.get());
}

TEST_F(CaptureThreads, StopWaitsForTheReadInProgress) {
  ASSERT_TRUE(capture_.start(0, 64, 48, 30, 1, true, false, nullptr, false));
  camera_.waitIdle();  // the capture thread blocks in a read
  // The camera keeps delivering, as a real one does, until the capture lets go.
  std::thread camera([this] {
    while (camera_.waitIdleOrClosed()) camera_.pushFrame(randomNv12(64, 48, 2));
  });
  capture_.stop();
  EXPECT_TRUE(camera_.closed()) << "stop returned before the capture thread released the reader";
  camera.join();
  const int reads = camera_.reads();
  cv::Mat bgr;
  EXPECT_FALSE(capture_.waitFrame(bgr, 0));
  EXPECT_EQ(camera_.reads(), reads);
}

TEST_F(CaptureThreads, StopWakesAWaitingConsumer) {
  ASSERT_TRUE(capture_.start(0, 64, 48, 30, 1, true, false, nullptr, false));
  testclock::freeze();  // the wait could only end by the stop
  auto result = std::async(std::launch::async, [&] {
    cv::Mat bgr;
    return capture_.waitFrame(bgr, 60000);
  });
  std::thread stopper([this] { capture_.stop(); });
  camera_.push({E_FAIL});
  stopper.join();
  EXPECT_FALSE(result.get());
}

// A camera faster than its consumer: every frame handed out is newer than the
// one before, and the last one always arrives.
TEST_F(CaptureThreads, ConsumerSeesOnlyNewerFrames) {
  ASSERT_TRUE(capture_.start(0, 64, 48, 30, 1, true, false, nullptr, false));
  constexpr int kFrames = 200;
  std::thread camera([this] {
    for (int i = 0; i < kFrames; ++i) {
      cv::Mat nv12(72, 64, CV_8UC1, cv::Scalar(128));
      nv12(cv::Rect(0, 0, 64, 48)).setTo(cv::Scalar(20 + i));
      camera_.pushFrame(nv12);
    }
  });
  const int lastLevel = [] {
    cv::Mat nv12(72, 64, CV_8UC1, cv::Scalar(128)), bgr;
    nv12(cv::Rect(0, 0, 64, 48)).setTo(cv::Scalar(20 + kFrames - 1));
    cv::cvtColor(nv12, bgr, cv::COLOR_YUV2BGR_NV12);
    return int(bgr.at<cv::Vec3b>(0, 0)[1]);
  }();
  int previous = -1;
  int taken = 0;
  cv::Mat bgr;
  while (previous != lastLevel) {
    if (!capture_.waitFrame(bgr, 1000)) continue;
    const int level = bgr.at<cv::Vec3b>(10, 10)[1];
    ASSERT_GT(level, previous);
    previous = level;
    ++taken;
  }
  camera.join();
  EXPECT_LE(taken, kFrames);
}

}  // namespace
}  // namespace tesmira
