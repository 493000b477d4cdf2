// The capture over the machine's cameras: the real opener, source reader and
// scripted test cameras.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <string>
#include <vector>

#include "producer/camera_capture.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

namespace tc = platform::testcameras;

class CaptureDevicesTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
  }
  static tc::TestCamera camera(uint32_t width, uint32_t height, uint32_t num = 200, uint32_t den = 1) {
    tc::TestCamera c;
    c.modes = {{width, height, num, den, tc::Format::NV12}};
    return c;
  }
  // BGR of a test camera's NV12 frame `index`, padding dropped.
  static cv::Mat expectedBgr(uint32_t width, uint32_t height, uint32_t stride, uint64_t index) {
    std::vector<uint8_t> bytes = tc::testFrame(tc::Format::NV12, width, height, stride, index);
    cv::Mat padded(int(height * 3 / 2), int(width), CV_8UC1, bytes.data(), stride), bgr;
    cv::cvtColor(padded, bgr, cv::COLOR_YUV2BGR_NV12);
    return bgr;
  }
  // The index of the test frame `bgr` shows, found among the first `count`.
  static int frameIndex(const cv::Mat& bgr, uint32_t width, uint32_t height, uint32_t stride, int count) {
    for (int i = 0; i < count; ++i) {
      if (cv::norm(bgr, expectedBgr(width, height, stride, i), cv::NORM_INF) == 0) return i;
    }
    return -1;
  }
  CameraCapture capture_;
};

TEST_F(CaptureDevicesTest, IndexBeyondTheCameras) {
  tc::installTestCamera(camera(64, 48), 0);
  tc::installTestCamera(camera(64, 48), 1);
  std::vector<std::string> lines;
  const CaptureRequest request{3, 64, 48, 200, 1};
  EXPECT_FALSE(openPhysicalCamera(capture_, false, request, nullptr, {}, [&](const std::string& l) { lines.push_back(l); }));
  EXPECT_EQ(capture_.lastHresult(), HRESULT(0xC00D36D5));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "warning: could not open camera index 3 error=3222091477");
}

TEST_F(CaptureDevicesTest, OpenFailuresTable) {
  struct Case {
    const char* name;
    bool installed;
    uint32_t width;
    HRESULT openError;
    int32_t index;
    HRESULT expected;
  };
  const Case cases[] = {
      {"no camera at all", false, 1280, S_OK, 0, HRESULT(0xC00D36D5)},
      {"negative index", true, 1280, S_OK, -1, HRESULT(0xC00D36D5)},
      {"delivered smaller than asked", true, 640, S_OK, 0, HRESULT(0xC00D36B4)},
      {"busy", true, 1280, HRESULT(0x80070020), 0, HRESULT(0x80070020)},
      {"locked by another process", true, 1280, HRESULT(0xC00D3704), 0, HRESULT(0xC00D3704)},
      {"denied by privacy settings", true, 1280, E_ACCESSDENIED, 0, E_ACCESSDENIED},
  };
  for (const Case& c : cases) {
    tc::removeAllCameras();
    tc::TestCamera installed = camera(c.width, c.width * 9 / 16, 30, 1);
    installed.openError = c.openError;
    if (c.installed) tc::installTestCamera(installed);
    EXPECT_FALSE(capture_.start(c.index, 1280, 720, 30, 1, true, false, nullptr, false)) << c.name;
    EXPECT_EQ(capture_.lastHresult(), c.expected) << c.name;
    EXPECT_FALSE(capture_.opened()) << c.name;
  }
}

TEST_F(CaptureDevicesTest, EqualRateWrittenDifferentlyIsAccepted) {
  tc::installTestCamera(camera(64, 48, 60, 2));
  EXPECT_TRUE(capture_.start(0, 64, 48, 30, 1, true, false, nullptr, false));
  EXPECT_EQ(capture_.lastHresult(), S_OK);
}

TEST_F(CaptureDevicesTest, ConversionInWaitFrameMatchesOpenCvAndPaddingNeverLeaks) {
  tc::TestCamera padded = camera(64, 48);
  padded.rowPadding = 24;
  tc::installTestCamera(padded);
  ASSERT_TRUE(capture_.start(0, 64, 48, 200, 1, /*convert=*/false, false, nullptr, false));
  cv::Mat bgr;
  ASSERT_TRUE(capture_.waitFrame(bgr, 5000));
  EXPECT_GE(frameIndex(bgr, 64, 48, 88, 50), 0) << "not the BGR of any delivered frame";
}

TEST_F(CaptureDevicesTest, ShortBufferIsDropped) {
  tc::TestCamera shortFirst = camera(64, 48);
  shortFirst.shortFrameIndex = 0;
  tc::installTestCamera(shortFirst);
  ASSERT_TRUE(capture_.start(0, 64, 48, 200, 1, true, false, nullptr, false));
  cv::Mat bgr;
  ASSERT_TRUE(capture_.waitFrame(bgr, 5000));
  EXPECT_GE(frameIndex(bgr, 64, 48, 64, 50), 1) << "the short first frame was handed out";
}

TEST_F(CaptureDevicesTest, ReadFailureEndsTheCapture) {
  tc::TestCamera failing = camera(64, 48);
  failing.readError = HRESULT(0xC00D3EA2);
  failing.readErrorAfterFrames = 1;
  tc::installTestCamera(failing);
  ASSERT_TRUE(capture_.start(0, 64, 48, 200, 1, true, false, nullptr, false));
  cv::Mat bgr;
  ASSERT_TRUE(capture_.waitFrame(bgr, 5000));
  EXPECT_EQ(frameIndex(bgr, 64, 48, 64, 1), 0);
  EXPECT_FALSE(capture_.waitFrame(bgr, 0)) << "no frame after the failed read";
  EXPECT_TRUE(capture_.opened()) << "the opened flag stays; the main loop notices by the missing frames";
}

}  // namespace
}  // namespace tesmira
