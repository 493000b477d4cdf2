#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "../png_reader.h"
#include "tests/support/machine_fixture.h"

namespace tesmira::platform {
namespace {

// Small images with a distinct value per pixel and channel, so a swapped channel, a lost
// row or a shifted column shows.
cv::Mat pattern(int type) {
  cv::Mat image(5, 7, type);
  const int channels = image.channels();
  for (int y = 0; y < image.rows; ++y) {
    for (int x = 0; x < image.cols; ++x) {
      for (int c = 0; c < channels; ++c) {
        const int value = (y * 37 + x * 11 + c * 67) % 256;
        if (image.depth() == CV_16U) {
          image.ptr<uint16_t>(y)[x * channels + c] = uint16_t(value * 257 + c);
        } else {
          image.ptr<uint8_t>(y)[x * channels + c] = uint8_t(value);
        }
      }
    }
  }
  return image;
}

void expectSameImage(const cv::Mat& ours, const cv::Mat& openCv) {
  ASSERT_FALSE(openCv.empty());
  ASSERT_EQ(ours.type(), openCv.type());
  ASSERT_EQ(ours.size(), openCv.size());
  EXPECT_EQ(cv::norm(ours, openCv, cv::NORM_INF), 0.0);
}

// A fixture written by OpenCV and the flags it is read with.
struct ImageCase {
  const char* name;
  int type;
  int flags;
};

class PngReaderTest : public testing::MachineTest {
 protected:
  std::string write(const std::string& name, const cv::Mat& image) {
    const std::string path = (root() / name).string();
    EXPECT_TRUE(cv::imwrite(path, image));
    return path;
  }
};

TEST_F(PngReaderTest, ReadsEightBitColourPngsAsOpenCvDoes) {
  const ImageCase cases[] = {
      {"rgb-colour.png", CV_8UC3, cv::IMREAD_COLOR},
      {"rgb-unchanged.png", CV_8UC3, cv::IMREAD_UNCHANGED},
      {"rgba-colour.png", CV_8UC4, cv::IMREAD_COLOR},       // alpha dropped, not blended
      {"rgba-unchanged.png", CV_8UC4, cv::IMREAD_UNCHANGED},  // alpha kept, BGRA order
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(c.name, pattern(c.type));
    cv::Mat ours;
    ASSERT_TRUE(images::readPng(path, c.flags, ours));
    expectSameImage(ours, cv::imread(path, c.flags));
  }
}

TEST_F(PngReaderTest, LeavesOtherImagesAndFlagsToOpenCv) {
  const ImageCase cases[] = {
      {"gray.png", CV_8UC1, cv::IMREAD_COLOR},
      {"gray-unchanged.png", CV_8UC1, cv::IMREAD_UNCHANGED},
      {"deep.png", CV_16UC3, cv::IMREAD_UNCHANGED},
      {"deep-colour.png", CV_16UC3, cv::IMREAD_COLOR},
      {"rgb-grayscale.png", CV_8UC3, cv::IMREAD_GRAYSCALE},
      {"rgb-any.png", CV_8UC3, cv::IMREAD_ANYDEPTH | cv::IMREAD_ANYCOLOR},
      {"picture.bmp", CV_8UC3, cv::IMREAD_COLOR},
      {"picture.jpg", CV_8UC3, cv::IMREAD_COLOR},
  };
  for (const ImageCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = write(c.name, pattern(c.type));
    cv::Mat ours = cv::Mat::ones(2, 2, CV_8UC1);
    EXPECT_FALSE(images::readPng(path, c.flags, ours));
    EXPECT_EQ(ours.rows, 2) << "a file left to OpenCV leaves the image as it was";
  }
}

TEST_F(PngReaderTest, BrokenOrMissingFilesAreLeftToOpenCv) {
  const std::string whole = write("whole.png", pattern(CV_8UC3));
  std::ifstream in(whole, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"empty.png", ""},
      {"signature-only.png", bytes.substr(0, 8)},
      {"cut-in-the-header.png", bytes.substr(0, 20)},
      {"cut-in-the-pixels.png", bytes.substr(0, bytes.size() - 30)},
      {"not-png.png", "hello, this is text and no image"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = (root() / c.name).string();
    std::ofstream(path, std::ios::binary) << c.content;
    cv::Mat ours;
    EXPECT_FALSE(images::readPng(path, cv::IMREAD_COLOR, ours));
  }
  cv::Mat ours;
  EXPECT_FALSE(images::readPng((root() / "missing.png").string(), cv::IMREAD_COLOR, ours));
}

}  // namespace
}  // namespace tesmira::platform
