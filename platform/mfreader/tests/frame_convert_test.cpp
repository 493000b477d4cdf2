#include "../frame_convert.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace tesmira::platform::mfreader {
namespace {

using cameras::CameraFrame;
using cameras::PixelFormat;

struct DeviceFrame {
  std::vector<uint8_t> bytes;
  CameraFrame frame;
};

// A device frame from an image (one row of pixels per image row), rows padded to `stride`.
DeviceFrame deviceFrame(PixelFormat format, const cv::Mat& image, uint32_t width, uint32_t height, uint32_t stride) {
  DeviceFrame d;
  const size_t rowBytes = std::min<size_t>(image.cols * image.elemSize(), stride);
  d.bytes.assign(size_t(stride) * image.rows, 0xEE);
  for (int row = 0; row < image.rows; ++row) std::memcpy(d.bytes.data() + size_t(row) * stride, image.ptr(row), rowBytes);
  d.frame = {d.bytes.data(), d.bytes.size(), stride, width, height, format, 0, 0};
  return d;
}

cv::Mat pattern(int rows, int cols, int type, int seed) {
  cv::Mat m(rows, cols, type);
  cv::RNG rng{uint64_t(seed)};
  rng.fill(m, cv::RNG::UNIFORM, 0, 256);
  return m;
}

std::vector<uint8_t> convert(const CameraFrame& frame, OutputFormat format, bool expectOk = true) {
  std::vector<uint8_t> out(outputBytes(format, frame.width, frame.height) + 1, 0x55);
  EXPECT_EQ(convertFrame(frame, format, out.data(), out.size() - 1), expectOk);
  EXPECT_EQ(out.back(), 0x55) << "wrote past the output";
  out.pop_back();
  return out;
}

TEST(FrameConvert, Nv12IsRepackedWithoutItsPadding) {
  const cv::Mat nv12 = pattern(6, 8, CV_8UC1, 1);
  for (uint32_t stride : {8u, 13u, 64u}) {
    const DeviceFrame d = deviceFrame(PixelFormat::NV12, nv12, 8, 4, stride);
    EXPECT_EQ(convert(d.frame, OutputFormat::NV12), std::vector<uint8_t>(nv12.datastart, nv12.dataend)) << stride;
  }
}

TEST(FrameConvert, YuyvToNv12AveragesChromaOverRowPairs) {
  // 4x2: Y0 U Y1 V per pixel pair.
  const uint8_t rows[2][8] = {{10, 100, 20, 200, 30, 50, 40, 60}, {11, 101, 21, 202, 31, 53, 41, 64}};
  cv::Mat image(2, 4, CV_8UC2, const_cast<uint8_t*>(&rows[0][0]));
  for (uint32_t stride : {8u, 12u}) {
    const DeviceFrame d = deviceFrame(PixelFormat::YUYV, image, 4, 2, stride);
    const std::vector<uint8_t> expected = {10, 20, 30, 40, 11, 21, 31, 41, 101, 201, 52, 62};
    EXPECT_EQ(convert(d.frame, OutputFormat::NV12), expected) << stride;
  }
}

TEST(FrameConvert, BgrToNv12StudioRange) {
  struct Case {
    cv::Scalar bgr;
    uint8_t y, u, v;
  };
  for (const Case& c : {Case{{255, 255, 255}, 235, 128, 128}, Case{{0, 0, 0}, 16, 128, 128}}) {
    const cv::Mat image(4, 4, CV_8UC3, c.bgr);
    const DeviceFrame d = deviceFrame(PixelFormat::BGR24, image, 4, 4, 16);
    const std::vector<uint8_t> out = convert(d.frame, OutputFormat::NV12);
    EXPECT_EQ(out[0], c.y);
    EXPECT_EQ(out[16], c.u);
    EXPECT_EQ(out[17], c.v);
  }
}

TEST(FrameConvert, Rgb32FromEachFormatIgnoresPadding) {
  const cv::Mat nv12 = pattern(6, 8, CV_8UC1, 2);
  const cv::Mat yuyv = pattern(4, 8, CV_8UC2, 3);
  const cv::Mat bgr = pattern(4, 8, CV_8UC3, 4);
  struct Case {
    PixelFormat format;
    const cv::Mat& image;
    int code;
  };
  for (const Case& c : {Case{PixelFormat::NV12, nv12, cv::COLOR_YUV2BGRA_NV12},
                        Case{PixelFormat::YUYV, yuyv, cv::COLOR_YUV2BGRA_YUY2},
                        Case{PixelFormat::BGR24, bgr, cv::COLOR_BGR2BGRA}}) {
    cv::Mat expected;
    cv::cvtColor(c.image, expected, c.code);
    const uint32_t tight = cameras::minimumStride(c.format, 8);
    const DeviceFrame d = deviceFrame(c.format, c.image, 8, 4, tight + 7);
    const std::vector<uint8_t> out = convert(d.frame, OutputFormat::RGB32);
    EXPECT_EQ(out, std::vector<uint8_t>(expected.datastart, expected.dataend)) << int(c.format);
    EXPECT_EQ(out[3], 255);
  }
}

TEST(FrameConvert, Refusals) {
  const cv::Mat nv12 = pattern(6, 8, CV_8UC1, 5);
  struct Case {
    const char* name;
    size_t sizeCut;
    uint32_t stride;
    uint32_t width;
    uint32_t height;
    OutputFormat format;
  };
  const Case cases[] = {
      {"one byte short", 1, 8, 8, 4, OutputFormat::NV12},
      {"one byte short to RGB32", 1, 8, 8, 4, OutputFormat::RGB32},
      {"stride below the width", 0, 6, 8, 4, OutputFormat::NV12},
      {"odd width to NV12", 0, 8, 7, 4, OutputFormat::NV12},
      {"odd height to NV12", 0, 8, 8, 3, OutputFormat::NV12},
      {"empty", 0, 8, 0, 4, OutputFormat::RGB32},
  };
  for (const Case& c : cases) {
    DeviceFrame d = deviceFrame(PixelFormat::NV12, nv12, c.width, c.height, c.stride);
    d.frame.size -= c.sizeCut;
    std::vector<uint8_t> out(4096, 0x55);
    EXPECT_FALSE(convertFrame(d.frame, c.format, out.data(), out.size())) << c.name;
    EXPECT_EQ(out, std::vector<uint8_t>(4096, 0x55)) << c.name;
  }
  const DeviceFrame d = deviceFrame(PixelFormat::NV12, nv12, 8, 4, 8);
  std::vector<uint8_t> small(47);
  EXPECT_FALSE(convertFrame(d.frame, OutputFormat::NV12, small.data(), small.size())) << "output too small";
}

}  // namespace
}  // namespace tesmira::platform::mfreader
