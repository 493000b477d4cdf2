// Stop while the source reader waits for a slow test camera's next frame: the
// read is not interrupted, the stop waits for it and ends the thread.
#include <gtest/gtest.h>

#include <future>

#include "producer/camera_capture.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

namespace tc = platform::testcameras;
namespace testclock = platform::testclock;

class CaptureDevicesThreads : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
  }
};

TEST_F(CaptureDevicesThreads, StopWaitsForTheBlockedRead) {
  tc::TestCamera slow;
  slow.modes = {{64, 48, 1, 1, tc::Format::NV12}};
  tc::installTestCamera(slow);
  testclock::freeze();
  CameraCapture capture;
  ASSERT_TRUE(capture.start(0, 64, 48, 1, 1, true, false, nullptr, false));
  cv::Mat bgr;
  ASSERT_TRUE(capture.waitFrame(bgr, 0) || [&] {
    testclock::advanceMs(1000);
    return capture.waitFrame(bgr, 5000);
  }());
  // The next frame is a second away on the frozen clock: the capture thread waits in its read.
  auto stopped = std::async(std::launch::async, [&] { capture.stop(); });
  EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  // The camera goes on ticking, a second per frame, until the read in progress returns.
  while (stopped.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready) testclock::advanceMs(1000);
  stopped.get();
  EXPECT_FALSE(capture.opened());
  EXPECT_FALSE(capture.waitFrame(bgr, 0));
  testclock::release();
}

}  // namespace
}  // namespace tesmira
