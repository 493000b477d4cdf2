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
  cv::Mat ours;
  ASSERT_TRUE(decoders->decodeJpeg(jpeg.data(), jpeg.size(), 40, 24, ours));
  const cv::Mat openCv = cv::imdecode(jpeg, cv::IMREAD_COLOR);
  ASSERT_EQ(ours.type(), CV_8UC3);
  ASSERT_EQ(ours.size(), openCv.size());
  EXPECT_LE(cv::norm(ours, openCv, cv::NORM_INF), 1.0);
  // The next frame lands in the same buffer.
  const uchar* buffer = ours.data;
  ASSERT_TRUE(decoders->decodeJpeg(jpeg.data(), jpeg.size(), 40, 24, ours));
  EXPECT_EQ(ours.data, buffer);
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
    int width, height;
  };
  const Case cases[] = {
      {"nothing", nullptr, 0, 40, 24},
      {"text", reinterpret_cast<const uint8_t*>(text.data()), text.size(), 40, 24},
      {"header only", jpeg.data(), 20, 40, 24},
      // A whole JPEG of another size than the camera's mode: refused from its header.
      {"wider than the mode", jpeg.data(), jpeg.size(), 20, 24},
      {"taller than the mode", jpeg.data(), jpeg.size(), 40, 12},
      {"no mode", jpeg.data(), jpeg.size(), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cv::Mat image;
    EXPECT_FALSE(decoders->decodeJpeg(c.data, c.size, c.width, c.height, image));
    EXPECT_TRUE(image.empty()) << "nothing allocated for a refused frame";
  }
}

}  // namespace
}  // namespace tesmira::platform::cameras
