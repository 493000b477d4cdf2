#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "../camera_device.h"
#include "tesmira/platform_testing.h"
#include "tesmira/test_cameras.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::platform {
namespace {
using namespace cameras;
namespace tc = testcameras;

// Solid frames whose colour tells the frame number.
cv::Scalar colourOf(int i) { return cv::Scalar(20 + 25 * i, 200 - 20 * i, 60); }

class FileCameraTest : public testing::MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    tc::setV4l2Discovery(false);
    video_ = (root() / "clip.avi").string();
    cv::VideoWriter writer(video_, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10.0, cv::Size(66, 49));
    ASSERT_TRUE(writer.isOpened());
    for (int i = 0; i < kFrames; ++i) writer.write(cv::Mat(49, 66, CV_8UC3, colourOf(i)));
  }
  static constexpr int kFrames = 6;
  std::string video_;
};

TEST_F(FileCameraTest, OffersEvenSizeAtItsRateInNv12AndBgr) {
  std::unique_ptr<ICameraDevice> device;
  ASSERT_EQ(openCamera(tc::installFileCamera(L"Face Video", video_), device), S_OK);
  EXPECT_EQ(device->info().kind, CameraKind::File);
  EXPECT_EQ(device->modes(), (std::vector<CameraMode>{{66, 48, 10, 1, PixelFormat::NV12}, {66, 48, 10, 1, PixelFormat::BGR24}}));
}

TEST_F(FileCameraTest, PlaysAtItsRateAndLoops) {
  std::unique_ptr<ICameraDevice> device;
  ASSERT_EQ(openCamera(tc::installFileCamera(L"Face Video", video_), device), S_OK);
  testclock::freeze();
  ASSERT_EQ(device->start(device->modes()[1]), S_OK);
  testclock::advanceMs(100 * (kFrames + 1));
  CameraFrame frame;
  uint64_t t0 = 0;
  for (int i = 0; i < kFrames + 2; ++i) {
    ASSERT_EQ(device->readFrame(frame), S_OK);
    if (i == 0) t0 = frame.timestampNs;
    EXPECT_EQ(frame.timestampNs - t0, uint64_t(i) * 100000000u);
    ASSERT_EQ(frame.size, size_t(66) * 48 * 3);
    const cv::Vec3b pixel = cv::Mat(48, 66, CV_8UC3, const_cast<uint8_t*>(frame.data), frame.stride).at<cv::Vec3b>(20, 30);
    const cv::Scalar want = colourOf(i % kFrames);
    for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(pixel[ch], want[ch], 6) << "frame " << i;
  }
}

TEST_F(FileCameraTest, Nv12MatchesOpenCvsConversion) {
  std::unique_ptr<ICameraDevice> device;
  ASSERT_EQ(openCamera(tc::installFileCamera(L"Face Video", video_), device), S_OK);
  ASSERT_EQ(device->start(device->modes()[0]), S_OK);
  CameraFrame frame;
  ASSERT_EQ(device->readFrame(frame), S_OK);
  ASSERT_EQ(frame.size, size_t(66) * 72);
  cv::Mat yuv(72, 66, CV_8UC1, const_cast<uint8_t*>(frame.data)), bgr;
  cv::cvtColor(yuv, bgr, cv::COLOR_YUV2BGR_NV12);
  const cv::Vec3b pixel = bgr.at<cv::Vec3b>(24, 33);
  for (int ch = 0; ch < 3; ++ch) EXPECT_NEAR(pixel[ch], colourOf(0)[ch], 8);
}

TEST_F(FileCameraTest, ImageSequencePlaysInOrderAndLoops) {
  for (int i = 0; i < 3; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "seq_%02d.png", i);
    ASSERT_TRUE(cv::imwrite((root() / name).string(), cv::Mat(48, 64, CV_8UC3, colourOf(i))));
  }
  std::unique_ptr<ICameraDevice> device;
  ASSERT_EQ(openCamera(tc::installFileCamera(L"Sequence", (root() / "seq_%02d.png").string()), device), S_OK);
  ASSERT_FALSE(device->modes().empty());
  const CameraMode mode = device->modes()[1];
  EXPECT_EQ(mode.format, PixelFormat::BGR24);
  EXPECT_EQ(mode.width, 64u);
  testclock::freeze();
  ASSERT_EQ(device->start(mode), S_OK);
  testclock::advanceMs(10000);
  for (int i = 0; i < 4; ++i) {
    CameraFrame frame;
    ASSERT_EQ(device->readFrame(frame), S_OK);
    const cv::Vec3b pixel = cv::Mat(48, 64, CV_8UC3, const_cast<uint8_t*>(frame.data), frame.stride).at<cv::Vec3b>(10, 10);
    for (int ch = 0; ch < 3; ++ch) EXPECT_EQ(pixel[ch], colourOf(i % 3)[ch]) << "frame " << i;
  }
}

TEST_F(FileCameraTest, MissingOrBrokenVideoIsNotFound) {
  const std::string garbage = (root() / "broken.avi").string();
  { std::ofstream(garbage) << "not a video"; }
  std::unique_ptr<ICameraDevice> device;
  for (const std::string& path : {std::string("/nonexistent/clip.avi"), (root() / "devices").string(), garbage,
                                  (root() / "none_%02d.png").string(), std::string("/nonexistent/seq_%02d.png")}) {
    tc::removeAllCameras();
    ASSERT_EQ(openCamera(tc::installFileCamera(L"Gone", path), device), S_OK);
    EXPECT_TRUE(device->modes().empty());
    EXPECT_EQ(device->start(CameraMode{66, 48, 10, 1, PixelFormat::NV12}), kCameraNotFound);
  }
}

}  // namespace
}  // namespace tesmira::platform
