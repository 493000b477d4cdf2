#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include "producer/engine/retouch_assets.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

class RetouchAssetsTest : public testing::MachineTest {
 protected:
  std::filesystem::path write(const std::string& name, const cv::Mat& image) {
    auto path = root() / name;
    EXPECT_TRUE(cv::imwrite(path.string(), image));
    return path;
  }
};

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST_F(RetouchAssetsTest, ChannelsComeFromTheirOwnPlane) {
  // B 10, G 20, R 30, A 40 everywhere: a mix-up of planes shows as another value.
  struct Case {
    const char* file;
    cv::Mat image;
    int channel;
    float value;
  } cases[] = {
      {"bgr.png", cv::Mat(4, 6, CV_8UC3, cv::Scalar(10, 20, 30)), 0, 30},
      {"bgr.png", cv::Mat(4, 6, CV_8UC3, cv::Scalar(10, 20, 30)), 1, 20},
      {"bgr.png", cv::Mat(4, 6, CV_8UC3, cv::Scalar(10, 20, 30)), 2, 10},
      {"bgra.png", cv::Mat(4, 6, CV_8UC4, cv::Scalar(10, 20, 30, 40)), 0, 30},
      {"bgra.png", cv::Mat(4, 6, CV_8UC4, cv::Scalar(10, 20, 30, 40)), 7, 10},
      {"grey.png", cv::Mat(4, 6, CV_8UC1, cv::Scalar(50)), 2, 50},
      {"grey.png", cv::Mat(4, 6, CV_8UC1, cv::Scalar(50)), 0, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " channel " + std::to_string(c.channel));
    cv::Mat mask = loadImageChannel(write(c.file, c.image), c.channel);
    ASSERT_EQ(mask.type(), CV_32FC1);
    EXPECT_EQ(mask.size(), cv::Size(6, 4));
    EXPECT_FLOAT_EQ(mask.at<float>(3, 5), c.value / 255.0f);
  }
}

TEST_F(RetouchAssetsTest, SixteenBitMasksStayWithinZeroToOne) {
  cv::Mat deep(2, 3, CV_16UC1, cv::Scalar(65535));
  deep.at<uint16_t>(1, 2) = 32768;
  cv::Mat mask = loadImageChannel(write("deep.png", deep), 0);
  EXPECT_FLOAT_EQ(mask.at<float>(0, 0), 1.0f);
  EXPECT_NEAR(mask.at<float>(1, 2), 0.5f, 1e-4);
  cv::Mat deepColour(2, 3, CV_16UC3, cv::Scalar(0, 0, 65535));
  EXPECT_FLOAT_EQ(loadImageChannel(write("deep3.png", deepColour), 0).at<float>(1, 1), 1.0f);
}

TEST_F(RetouchAssetsTest, MissingFilesAreNamed) {
  auto path = root() / "missing.png";
  EXPECT_EQ(errorOf([&] { loadImageChannel(path, 0); }), "Could not load image: " + path.string());
  EXPECT_EQ(errorOf([&] { loadLookupTexture(path); }), "Could not load lookup texture: " + path.string());
}

TEST_F(RetouchAssetsTest, LookupTextureIsRgbFloats) {
  cv::Mat lut(16, 256, CV_8UC3, cv::Scalar(0, 128, 255));
  cv::Mat texture = loadLookupTexture(write("lookup.png", lut));
  ASSERT_EQ(texture.type(), CV_32FC3);
  cv::Vec3f px = texture.at<cv::Vec3f>(15, 255);
  EXPECT_FLOAT_EQ(px[0], 1.0f);
  EXPECT_FLOAT_EQ(px[1], 128 / 255.0f);
  EXPECT_FLOAT_EQ(px[2], 0.0f);
}

}  // namespace
}  // namespace tesmira
