#include <gtest/gtest.h>
#include <png.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "tests/support/machine_fixture.h"

namespace tesmira::platform {
namespace {

// 3x2 pixels, each channel its own value.
constexpr int kWidth = 3, kHeight = 2;
uint8_t channelValue(int x, int y, int c) { return uint8_t(10 + 40 * y + 12 * x + 3 * c); }

class ImreadTest : public testing::MachineTest {
 protected:
  // RGB(A) rows as the file holds them.
  std::string writePng(const std::string& name, bool alpha) {
    const std::string path = (root() / name).string();
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = kWidth;
    image.height = kHeight;
    image.format = alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
    const int channels = alpha ? 4 : 3;
    std::vector<uint8_t> pixels;
    for (int y = 0; y < kHeight; ++y) {
      for (int x = 0; x < kWidth; ++x) {
        for (int c = 0; c < channels; ++c) pixels.push_back(channelValue(x, y, c));
      }
    }
    EXPECT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr));
    return path;
  }
  // A 24-bit BMP: bottom-up rows of BGR padded to 4 bytes.
  std::string writeBmp(const std::string& name) {
    const std::string path = (root() / name).string();
    const int rowBytes = (kWidth * 3 + 3) & ~3;
    const uint32_t dataBytes = uint32_t(rowBytes * kHeight);
    std::vector<uint8_t> file(54 + dataBytes, 0);
    auto put32 = [&](size_t at, uint32_t v) {
      for (int i = 0; i < 4; ++i) file[at + i] = uint8_t(v >> (8 * i));
    };
    file[0] = 'B';
    file[1] = 'M';
    put32(2, uint32_t(file.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, kWidth);
    put32(22, kHeight);
    file[26] = 1;
    file[28] = 24;
    put32(34, dataBytes);
    for (int y = 0; y < kHeight; ++y) {
      uint8_t* row = &file[54 + size_t(kHeight - 1 - y) * rowBytes];
      for (int x = 0; x < kWidth; ++x) {
        for (int c = 0; c < 3; ++c) row[x * 3 + c] = channelValue(x, y, 2 - c);  // stored as BGR
      }
    }
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
    return path;
  }
};

// What cv::imread gives for an RGB(A) source: BGR(A) with the file's values.
void expectBgr(const cv::Mat& image, int channels) {
  ASSERT_EQ(image.rows, kHeight);
  ASSERT_EQ(image.cols, kWidth);
  ASSERT_EQ(image.channels(), channels);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const uint8_t* p = image.ptr<uint8_t>(y) + x * channels;
      EXPECT_EQ(p[0], channelValue(x, y, 2));
      EXPECT_EQ(p[1], channelValue(x, y, 1));
      EXPECT_EQ(p[2], channelValue(x, y, 0));
      if (channels == 4) {
        EXPECT_EQ(p[3], channelValue(x, y, 3));
      }
    }
  }
}

TEST_F(ImreadTest, PngsAndOtherImagesReadAsOpenCvReturnsThem) {
  struct Case {
    const char* what;
    std::string path;
    int flags;
    int channels;
  };
  const Case cases[] = {
      {"png rgb", writePng("rgb.png", false), cv::IMREAD_COLOR, 3},
      {"png rgba in colour", writePng("rgba.png", true), cv::IMREAD_COLOR, 3},
      {"png rgba unchanged", writePng("rgba2.png", true), cv::IMREAD_UNCHANGED, 4},
      {"bmp, left to OpenCV's reader", writeBmp("picture.bmp"), cv::IMREAD_COLOR, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    expectBgr(cv::imread(c.path, c.flags), c.channels);
  }
}

TEST_F(ImreadTest, AMissingFileGivesAnEmptyImage) {
  EXPECT_TRUE(cv::imread((root() / "missing.png").string(), cv::IMREAD_COLOR).empty());
  EXPECT_TRUE(cv::imread((root() / "missing.bmp").string(), cv::IMREAD_COLOR).empty());
}

}  // namespace
}  // namespace tesmira::platform
