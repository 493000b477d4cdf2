#include "producer/engine/face_compositing.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

namespace tesmira {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Every byte value, row after row, in all three channels (shifted per channel).
cv::Mat everyByte(int width = 320, int height = 512) {
  cv::Mat m(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const int v = (y * width + x) % 256;
      m.at<cv::Vec3b>(y, x) = cv::Vec3b(uint8_t(v), uint8_t((v + 85) % 256), uint8_t((v + 170) % 256));
    }
  return m;
}

// A field whose channels vary across the image, 0..1.
cv::Mat variedField(cv::Size size) {
  cv::Mat f(size, CV_32FC4);
  cv::RNG rng(7);
  rng.fill(f, cv::RNG::UNIFORM, 0.0, 1.0);
  return f;
}

cv::Mat variedMask(cv::Size size) {
  cv::Mat m(size, CV_32FC1);
  cv::RNG rng(11);
  rng.fill(m, cv::RNG::UNIFORM, 0.0, 1.0);
  return m;
}

int maxLevelDifference(const cv::Mat& a, const cv::Mat& b) {
  double diff = 0;
  cv::Mat da, db;
  a.convertTo(da, CV_32S);
  b.convertTo(db, CV_32S);
  cv::minMaxLoc(cv::abs(da.reshape(1) - db.reshape(1)), nullptr, &diff);
  return int(diff);
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(UnitToByteTest, RoundsOnceToNearestEvenAndClamps) {
  struct Case {
    float v;
    int byte;
  };
  for (const Case& c : {Case{0.5f, 128}, Case{0.002f, 1}, Case{0.0f, 0}, Case{1.0f, 255}, Case{-0.1f, 0},
                        Case{1.2f, 255}, Case{kNaN, 0}, Case{kInf, 255}, Case{-kInf, 0}, Case{100.0f / 255.0f, 100},
                        Case{3e38f, 255}, Case{-3e38f, 0}}) {
    EXPECT_EQ(unitToByte(c.v), c.byte) << c.v;
  }
  // A byte-unit value: halves go to the even neighbour, never all upwards.
  for (const Case& c : {Case{2.5f, 2}, Case{3.5f, 4}, Case{254.5f, 254}, Case{255.5f, 255}, Case{-0.5f, 0},
                        Case{0.49f, 0}, Case{kNaN, 0}}) {
    EXPECT_EQ(levelToByte(c.v), c.byte) << c.v;
  }
  // Every byte survives the trip through 0..1.
  for (int b = 0; b < 256; ++b) EXPECT_EQ(unitToByte(float(b) / 255.0f), b);
}

TEST(DecodeModelFieldTest, ReadsChannelThenColumnThenRow) {
  constexpr int w = 4, h = 3;
  std::vector<float> raw(4 * w * h);
  for (int c = 0; c < 4; ++c)
    for (int x = 0; x < w; ++x)
      for (int y = 0; y < h; ++y) raw[size_t(c * w * h + x * h + y)] = float(c * 64 + x * 8 + y);
  const cv::Mat field = decodeModelField(raw, w, h, cv::Size(w, h));
  ASSERT_EQ(field.type(), CV_32FC4);
  ASSERT_EQ(field.size(), cv::Size(w, h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 4; ++c)
        EXPECT_FLOAT_EQ(field.at<cv::Vec4f>(y, x)[c] * 255.0f, float(c * 64 + x * 8 + y)) << c << " " << x << " " << y;
}

TEST(DecodeModelFieldTest, ClampsToUnitAndReadsNaNAsZero) {
  std::vector<float> raw(4 * 2 * 2, 128.0f);
  raw[0] = kNaN;
  raw[1] = 400.0f;
  raw[2] = -20.0f;
  raw[3] = kInf;
  const cv::Mat field = decodeModelField(raw, 2, 2, cv::Size(2, 2));
  // Element x * h + y of channel 0: 0 is (0, 0), 1 is (0, 1), 2 is (1, 0), 3 is (1, 1).
  EXPECT_EQ(field.at<cv::Vec4f>(0, 0)[0], 0.0f);
  EXPECT_EQ(field.at<cv::Vec4f>(1, 0)[0], 1.0f);
  EXPECT_EQ(field.at<cv::Vec4f>(0, 1)[0], 0.0f);
  EXPECT_EQ(field.at<cv::Vec4f>(1, 1)[0], 1.0f);
}

TEST(DecodeModelFieldTest, ShortOutputIsAnErrorAndExtraValuesAreIgnored) {
  try {
    decodeModelField(std::vector<float>(10239, 1.0f), 40, 64, cv::Size(320, 512));
    FAIL() << "no error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "ONNX field output is smaller than expected.");
  }
  std::vector<float> raw(10240 + 50, 51.0f);
  std::fill(raw.begin() + 10240, raw.end(), kNaN);
  const cv::Mat field = decodeModelField(raw, 40, 64, cv::Size(320, 512));
  ASSERT_EQ(field.size(), cv::Size(320, 512));
  double lo = 0, hi = 0;
  cv::minMaxLoc(field.reshape(1), &lo, &hi);
  EXPECT_FLOAT_EQ(float(lo), 0.2f);
  EXPECT_FLOAT_EQ(float(hi), 0.2f);
}

TEST(ComposeSkinTest, NoAmountLeavesEveryByteAsItWas) {
  const cv::Mat crop = everyByte();
  const cv::Mat field = variedField(crop.size());
  const cv::Mat mask = variedMask(crop.size());
  const cv::Mat zeroMask = cv::Mat::zeros(crop.size(), CV_32FC1);
  struct Case {
    const char* name;
    float gain;
    const cv::Mat* mask;
  };
  for (const Case& c : {Case{"gain 0", 0.0f, &mask}, Case{"zero mask", 1.0f, &zeroMask}, Case{"NaN gain", kNaN, &mask},
                        Case{"infinite gain", kInf, &mask}, Case{"negative infinite gain", -kInf, &mask}}) {
    EXPECT_TRUE(sameBytes(composeSkin(crop, field, *c.mask, c.gain), crop)) << c.name;
  }
}

TEST(ComposeSkinTest, FullAmountFollowsTheBlendFormula) {
  // Amount channel 1 (raw 255 or more): da = 1.5, so x becomes 1.5 f - 0.25 - 0.5 x.
  const cv::Mat crop = everyByte(256, 2);
  cv::Mat field(crop.size(), CV_32FC4);
  for (int y = 0; y < field.rows; ++y)
    for (int x = 0; x < field.cols; ++x) field.at<cv::Vec4f>(y, x) = cv::Vec4f(0.9f, 0.5f, float(x) / 255.0f, 1.0f);
  const cv::Mat ones(crop.size(), CV_32FC1, cv::Scalar(1.0));
  const cv::Mat out = composeSkin(crop, field, ones, 1.0f);
  for (int y = 0; y < crop.rows; ++y)
    for (int x = 0; x < crop.cols; ++x) {
      const cv::Vec3b in = crop.at<cv::Vec3b>(y, x);
      const double f[3] = {double(x) / 255.0, 0.5, 0.9};  // blue, green, red field values
      for (int c = 0; c < 3; ++c) {
        const double v = 1.5 * f[c] - 0.25 - 0.5 * in[c] / 255.0;
        const double expected = std::clamp(std::nearbyint(v * 255.0), 0.0, 255.0);
        EXPECT_NEAR(out.at<cv::Vec3b>(y, x)[c], expected, 1.0) << x << " " << y << " " << c;
      }
    }
}

TEST(ComposeSkinTest, MatchesTheFormulaWithinOneLevel) {
  const cv::Mat crop = everyByte();
  const cv::Mat field = variedField(crop.size());
  const cv::Mat mask = variedMask(crop.size());
  const float gain = 0.8f;
  cv::Mat expected(crop.size(), CV_8UC3);
  for (int y = 0; y < crop.rows; ++y)
    for (int x = 0; x < crop.cols; ++x) {
      const cv::Vec4f f = field.at<cv::Vec4f>(y, x);
      const double a = gain * mask.at<float>(y, x), da = 1.75 * f[3] - 0.25;
      for (int c = 0; c < 3; ++c) {
        const double xv = crop.at<cv::Vec3b>(y, x)[c] / 255.0;
        const double v = xv + a * ((1.5 * f[2 - c] - 0.25) - da * xv);
        expected.at<cv::Vec3b>(y, x)[c] = uint8_t(std::clamp(std::nearbyint(v * 255.0), 0.0, 255.0));
      }
    }
  EXPECT_LE(maxLevelDifference(composeSkin(crop, field, mask, gain), expected), 1);
}

// The teeth formula with its single-precision factors, written out from the definition.
cv::Mat teethReference(const cv::Mat& patch, const cv::Mat& field, const cv::Mat& mask, float s) {
  const float f059 = std::nextafter(0.59f, 1.0f), f069 = std::nextafter(0.69f, 1.0f);
  cv::Mat out(patch.size(), CV_8UC3);
  for (int y = 0; y < patch.rows; ++y)
    for (int x = 0; x < patch.cols; ++x) {
      const cv::Vec4f f = field.at<cv::Vec4f>(y, x);
      const float a = s * mask.at<float>(y, x);
      const float k = 0.9f * (f059 * f[0] - 0.05f);
      const float colour[3] = {std::clamp(0.9f * (f059 * f[2] - 0.04f) + 0.352941f * k, 0.0f, 1.0f),
                               std::clamp(0.9f * (f059 * f[1] - 0.05f), 0.0f, 1.0f),
                               std::clamp(0.921569f * k, 0.0f, 1.0f)};
      const float alpha = a * std::clamp(0.9f * (f069 * f[3] - 0.15f), 0.0f, 1.0f);
      for (int c = 0; c < 3; ++c) {
        const float v = patch.at<cv::Vec3b>(y, x)[c] / 255.0f * (1.0f - alpha) + a * colour[c];
        out.at<cv::Vec3b>(y, x)[c] = uint8_t(std::clamp(std::nearbyint(v * 255.0f), 0.0f, 255.0f));
      }
    }
  return out;
}

TEST(ComposeTeethTest, MatchesTheSinglePrecisionFormulaExactly) {
  const cv::Mat patch = everyByte(128, 128);
  const cv::Mat field = variedField(patch.size());
  const cv::Mat mask = variedMask(patch.size());
  for (float strength : {0.45f, 1.0f, 0.1f}) {
    EXPECT_TRUE(sameBytes(composeTeeth(patch, field, mask, strength), teethReference(patch, field, mask, strength)))
        << strength;
  }
}

TEST(ComposeTeethTest, NoStrengthOrMaskLeavesThePatch) {
  const cv::Mat patch = everyByte(128, 128);
  const cv::Mat field = variedField(patch.size());
  EXPECT_TRUE(sameBytes(composeTeeth(patch, field, variedMask(patch.size()), 0.0f), patch));
  EXPECT_TRUE(sameBytes(composeTeeth(patch, field, cv::Mat::zeros(patch.size(), CV_32FC1), 1.0f), patch));
}

std::vector<cv::Point2f> squarePoints() {
  // Indices 0..3: a square from (10, 10) to (20, 20).
  return {{10, 10}, {20, 10}, {20, 20}, {10, 20}};
}

TEST(SoftMouthMaskTest, FillsThePolygonAndBlursIt) {
  const auto points = squarePoints();
  const int square[] = {0, 1, 2, 3};
  const cv::Mat sharp = softMouthMask(cv::Size(32, 32), points, square, 4, 0.0);
  ASSERT_EQ(sharp.type(), CV_32FC1);
  EXPECT_EQ(sharp.at<float>(15, 15), 1.0f);
  EXPECT_EQ(sharp.at<float>(10, 10), 1.0f);  // the edge is part of the fill
  EXPECT_EQ(sharp.at<float>(5, 5), 0.0f);
  EXPECT_EQ(sharp.at<float>(15, 25), 0.0f);
  const cv::Mat soft = softMouthMask(cv::Size(32, 32), points, square, 4, 3.0);
  EXPECT_GT(soft.at<float>(15, 23), 0.0f);  // the blur reaches past the edge
  EXPECT_LT(soft.at<float>(10, 10), 1.0f);
  EXPECT_GT(soft.at<float>(15, 15), soft.at<float>(15, 21));
}

TEST(SoftMouthMaskTest, BadIndexOrPointGivesAnEmptyMask) {
  struct Case {
    const char* name;
    int badIndex;
    cv::Point2f badPoint;
  };
  const float big = 3e38f;
  for (const Case& c : {Case{"negative index", -1, {}}, Case{"index past the points", 4, {}},
                        Case{"NaN point", 0, {kNaN, 12}}, Case{"infinite point", 0, {12, kInf}}}) {
    auto points = squarePoints();
    int indices[] = {0, 1, 2, 3};
    if (c.badPoint.x != 0 || c.badPoint.y != 0) {
      points[0] = c.badPoint;
    } else {
      indices[2] = c.badIndex;
    }
    const cv::Mat mask = softMouthMask(cv::Size(32, 32), points, indices, 4, 6.0);
    EXPECT_EQ(cv::countNonZero(mask), 0) << c.name;
    EXPECT_EQ(mask.size(), cv::Size(32, 32)) << c.name;
  }
  // A huge finite vertex is clamped, not overflowed: the fill still covers the square's side.
  auto points = squarePoints();
  points[1] = {big, 10};
  const int square[] = {0, 1, 2, 3};
  const cv::Mat mask = softMouthMask(cv::Size(32, 32), points, square, 4, 0.0);
  EXPECT_EQ(mask.at<float>(15, 12), 1.0f);
}

TEST(AddPatchDeltaTest, WindowIsPlacedByEvenRoundingAndClipped) {
  struct Case {
    const char* name;
    cv::Point2f centre;
    cv::Rect changed;  // the window inside the 8x8 image
  };
  const cv::Rect none;
  for (const Case& c : {Case{"inside", {4, 4}, {2, 2, 4, 4}},
                        Case{"corner clipped", {1, 1}, {0, 0, 3, 3}},
                        Case{"half rounds to even", {0.5f, 4}, {0, 2, 2, 4}},  // x0 = round(-1.5) = -2
                        Case{"far edge clipped", {7.9f, 7.9f}, {6, 6, 2, 2}},
                        Case{"wholly outside", {-10, 4}, none},
                        Case{"NaN centre", {kNaN, 4}, none},
                        Case{"infinite centre", {4, kInf}, none},
                        Case{"huge centre", {3e38f, -3e38f}, none}}) {
    cv::Mat image(8, 8, CV_8UC3, cv::Scalar(100, 250, 3));
    const cv::Mat before = image.clone();
    addPatchDelta(image, c.centre, cv::Mat(4, 4, CV_32FC3, cv::Scalar(10.0f, 10.0f, -0.5f)));
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        const bool inside = c.changed.contains(cv::Point(x, y));
        // 100 + 10, 250 + 10 saturates, 3 - 0.5 = 2.5 rounds to even.
        const cv::Vec3b expected = inside ? cv::Vec3b(110, 255, 2) : before.at<cv::Vec3b>(y, x);
        EXPECT_EQ(image.at<cv::Vec3b>(y, x), expected) << c.name << " at " << x << "," << y;
      }
  }
}

}  // namespace
}  // namespace tesmira
