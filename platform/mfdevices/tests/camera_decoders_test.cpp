#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "../camera_decoders.h"

namespace tesmira::platform::cameras {
namespace {

cv::Mat pattern() {
  cv::Mat image(24, 40, CV_8UC3);
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) image.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t(6 * x), uint8_t(10 * y), 128);
  }
  return image;
}

TEST(CameraDecoders, MjpegFramesDecodeAsOpenCvsReaderDecodesThem) {
  const CameraDecoders* decoders = cameraDecoders();
  ASSERT_NE(decoders, nullptr) << "the decoders module beside the layer's library";
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", pattern(), jpeg));
  const cv::Mat ours = decoders->decodeJpeg(jpeg.data(), jpeg.size());
  const cv::Mat openCv = cv::imdecode(jpeg, cv::IMREAD_COLOR);
  ASSERT_EQ(ours.type(), CV_8UC3);
  ASSERT_EQ(ours.size(), openCv.size());
  EXPECT_LE(cv::norm(ours, openCv, cv::NORM_INF), 1.0);
}

TEST(CameraDecoders, BrokenMjpegFramesDecodeToNothing) {
  const CameraDecoders* decoders = cameraDecoders();
  ASSERT_NE(decoders, nullptr);
  std::vector<uchar> jpeg;
  ASSERT_TRUE(cv::imencode(".jpg", pattern(), jpeg));
  const std::string text = "no jpeg at all";
  struct Case {
    const char* what;
    const uint8_t* data;
    size_t size;
  };
  const Case cases[] = {
      {"nothing", nullptr, 0},
      {"text", reinterpret_cast<const uint8_t*>(text.data()), text.size()},
      {"header only", jpeg.data(), 20},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_TRUE(decoders->decodeJpeg(c.data, c.size).empty());
  }
}

}  // namespace
}  // namespace tesmira::platform::cameras
