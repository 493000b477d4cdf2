#include "producer/engine/eye_effects.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>
#include <vector>

#include "producer/engine/tests/engine_fixture.h"

namespace tesmira {
namespace {

using testing::identityLookupRgb8;
using testing::syntheticFace;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
const std::array<double, 6> kIdentity = {1, 0, 0, 0, 1, 0};

// The synthetic face in crop pixels (the crop is the frame moved left by 160).
std::vector<cv::Point2f> cropPoints(size_t count = 478) {
  std::vector<cv::Point2f> points;
  for (const LandmarkPoint& p : syntheticFace(10.0f, count)) points.emplace_back(p.x - 160.0f, p.y);
  return points;
}

cv::Mat fullSkinMask() { return cv::Mat(64, 64, CV_32FC1, cv::Scalar(1.0)); }

cv::Mat lookupOf(const cv::Mat& rgb8) {
  cv::Mat f;
  rgb8.convertTo(f, CV_32FC3, 1.0 / 255.0);
  return f;
}

bool sameOutside(const cv::Mat& a, const cv::Mat& b, const cv::Rect& rect) {
  cv::Mat differs;
  cv::compare(a.reshape(1), b.reshape(1), differs, cv::CMP_NE);
  differs = differs.reshape(3);
  cv::Mat any;
  cv::cvtColor(differs, any, cv::COLOR_BGR2GRAY);
  any(rect).setTo(0);
  return cv::countNonZero(any) == 0;
}

TEST(EyeRegionsTest, BothEyesGiveOneRectangleWithAMargin) {
  cv::Rect rect;
  const cv::Mat mask = buildEyeRegions(fullSkinMask(), cropPoints(), rect);
  ASSERT_FALSE(mask.empty());
  EXPECT_EQ(mask.size(), rect.size());
  EXPECT_EQ(mask.type(), CV_32FC1);
  // The moved eye points span x 106.1..211.7 and y 189.4..211.3: floors and ceilings
  // widened by 8.
  EXPECT_EQ(rect, cv::Rect(98, 181, 220 - 98, 220 - 181));
  double lo = 0, hi = 0;
  cv::minMaxLoc(mask, &lo, &hi);
  EXPECT_EQ(lo, 0.0);
  EXPECT_EQ(hi, 1.0);
}

TEST(EyeRegionsTest, TwoHundredLandmarksTreatOneEyeOnly) {
  cv::Rect both, one;
  buildEyeRegions(fullSkinMask(), cropPoints(), both);
  const cv::Mat mask = buildEyeRegions(fullSkinMask(), cropPoints(200), one);
  ASSERT_FALSE(mask.empty());
  EXPECT_EQ(one.x, both.x);
  // The second eye starts near x 165 in the crop; the rectangle ends before it.
  EXPECT_LT(one.x + one.width, 165);
  EXPECT_LT(one.width, both.width / 2 + 10);
}

TEST(EyeRegionsTest, NoUsableTriangleGivesNoRegion) {
  struct Case {
    const char* name;
    std::vector<cv::Point2f> points;
  };
  std::vector<cv::Point2f> flat = cropPoints();
  for (int i : {33, 160, 158, 133, 153, 144, 362, 385, 387, 263, 373, 380}) flat[size_t(i)] = {150, 200};
  std::vector<cv::Point2f> huge = cropPoints();
  for (int i : {33, 160, 158, 133, 153, 144, 362, 385, 387, 263, 373, 380}) huge[size_t(i)] = {3e38f, 3e38f};
  for (const Case& c : {Case{"no points", {}}, Case{"too few points", cropPoints(100)},
                        Case{"all on one spot", flat}, Case{"all at 3e38", huge}}) {
    cv::Rect rect(1, 2, 3, 4);
    EXPECT_TRUE(buildEyeRegions(fullSkinMask(), c.points, rect).empty()) << c.name;
    EXPECT_TRUE(rect.empty()) << c.name;
  }
}

TEST(EyeRegionsTest, NonFiniteAndHugePointsStayInsideTheCrop) {
  struct Case {
    const char* name;
    float x;
    float y;
  };
  for (const Case& c : {Case{"NaN", kNaN, 200}, Case{"infinite", kInf, 200}, Case{"minus infinite", 100, -kInf},
                        Case{"3e38", 3e38f, 200}, Case{"-3e38", -3e38f, -3e38f}}) {
    auto points = cropPoints();
    points[33] = {c.x, c.y};
    points[263] = {c.x, c.y};
    cv::Rect rect;
    const cv::Mat mask = buildEyeRegions(fullSkinMask(), points, rect);
    EXPECT_TRUE((cv::Rect(0, 0, 320, 512) & rect) == rect) << c.name;
    EXPECT_EQ(mask.size(), rect.size()) << c.name;

    const cv::Mat crop = testing::texturedFrame(320, 512);
    RetouchSettings settings;
    settings.eyeWhite = 1.0f;
    settings.eyeSharp = 1.0f;
    const cv::Mat out =
        retouchEyeRegion(crop, points, 1280, 720, kIdentity, settings, fullSkinMask(), lookupOf(identityLookupRgb8()));
    EXPECT_TRUE(sameOutside(out, crop, rect)) << c.name;
  }
}

TEST(EyeSharpenTest, TapsAreFrameStepsScaledToA1280WideReference) {
  const float sx = 1280.0f / 720.0f, sy = 0.5625f;
  const auto plain = eyeSharpenTaps(1280, 720, kIdentity);
  const cv::Point2f expected[4] = {{-sx, -sy}, {sx, -sy}, {-sx, sy}, {sx, sy}};
  for (int i = 0; i < 4; ++i) {
    EXPECT_FLOAT_EQ(plain[size_t(i)].x, expected[i].x) << i;
    EXPECT_FLOAT_EQ(plain[size_t(i)].y, expected[i].y) << i;
  }
  // Through the alignment's linear part (a, b; d, e); its translation plays no part.
  const std::array<double, 6> turned = {2.0, 0.5, 99.0, -0.5, 2.0, -7.0};
  const auto taps = eyeSharpenTaps(1280, 720, turned);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(taps[size_t(i)].x, 2.0 * expected[i].x + 0.5 * expected[i].y, 1e-5) << i;
    EXPECT_NEAR(taps[size_t(i)].y, -0.5 * expected[i].x + 2.0 * expected[i].y, 1e-5) << i;
  }
  // 640x480: sx = 640 / 480 x 640 / 1280; a zero height counts as 1.
  EXPECT_FLOAT_EQ(eyeSharpenTaps(640, 480, kIdentity)[3].x, 640.0f / 480.0f * 640.0f / 1280.0f);
  EXPECT_FLOAT_EQ(eyeSharpenTaps(640, 480, kIdentity)[3].y, 0.375f);
  EXPECT_FLOAT_EQ(eyeSharpenTaps(64, 0, kIdentity)[3].x, 64.0f * 64.0f / 1280.0f);
}

TEST(EyeSharpenTest, ShiftReadsAheadBilinearlyWithTheEdgeReplicated) {
  cv::Mat ramp(3, 6, CV_32FC3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 6; ++x) ramp.at<cv::Vec3f>(y, x) = cv::Vec3f(float(x), float(10 * y), 1.0f);
  struct Case {
    const char* name;
    float dx, dy;
    int x, y;
    float blue, green;
  };
  for (const Case& c : {Case{"one right", 1, 0, 2, 1, 3, 10}, Case{"half right", 0.5f, 0, 2, 1, 2.5f, 10},
                        Case{"past the edge", 1, 0, 5, 1, 5, 10}, Case{"one up", 0, -1, 2, 1, 2, 0},
                        Case{"far off", 1e30f, 0, 0, 2, 5, 20}, Case{"NaN", kNaN, kNaN, 3, 2, 3, 20}}) {
    const cv::Mat out = shiftImage(ramp, c.dx, c.dy);
    ASSERT_EQ(out.size(), ramp.size()) << c.name;
    EXPECT_NEAR(out.at<cv::Vec3f>(c.y, c.x)[0], c.blue, 1e-3) << c.name;
    EXPECT_NEAR(out.at<cv::Vec3f>(c.y, c.x)[1], c.green, 1e-3) << c.name;
  }
}

TEST(LookupTest, SamplesBilinearlyAndClampsToTheTexture) {
  cv::Mat t(2, 3, CV_32FC3);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) t.at<cv::Vec3f>(y, x) = cv::Vec3f(float(x), float(y), float(x + 10 * y));
  struct Case {
    float x, y;
    cv::Vec3f rgb;
  };
  for (const Case& c : {Case{0.5f, 0.5f, {0.5f, 0.5f, 5.5f}}, Case{2.0f, 1.0f, {2, 1, 12}}, Case{7, 9, {2, 1, 12}},
                        Case{-3, -1, {0, 0, 0}}, Case{kNaN, kNaN, {0, 0, 0}}, Case{1.25f, 0, {1.25f, 0, 1.25f}}}) {
    const cv::Vec3f got = sampleLookup(t, c.x, c.y);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(got[i], c.rgb[i], 1e-5) << c.x << "," << c.y;
  }
}

// A crop whose eyes hold a bright grey ground, a saturated red band (first eye) and a
// dark band (second eye).
cv::Mat bandedCrop() {
  cv::Mat crop(512, 320, CV_8UC3, cv::Scalar(200, 200, 200));
  crop(cv::Rect(115, 0, 16, 512)).setTo(cv::Scalar(20, 20, 230));
  crop(cv::Rect(185, 0, 16, 512)).setTo(cv::Scalar(40, 40, 40));
  return crop;
}

TEST(EyeWhiteningTest, OnlyBrightUnsaturatedPixelsMoveTowardsTheLookup) {
  RetouchSettings settings;
  settings.eyeWhite = 0.22f;
  settings.eyeSharp = 0.0f;
  const cv::Mat white = lookupOf(cv::Mat(16, 256, CV_8UC3, cv::Scalar(255, 255, 255)));
  const cv::Mat crop = bandedCrop();
  const auto points = cropPoints();
  const cv::Mat out = retouchEyeRegion(crop, points, 1280, 720, kIdentity, settings, fullSkinMask(), white);
  cv::Rect rect;
  const cv::Mat mask = buildEyeRegions(fullSkinMask(), points, rect);
  EXPECT_TRUE(sameOutside(out, crop, rect));
  int grey = 0;
  for (int y = rect.y; y < rect.y + rect.height; ++y)
    for (int x = rect.x; x < rect.x + rect.width; ++x) {
      const cv::Vec3b in = crop.at<cv::Vec3b>(y, x), got = out.at<cv::Vec3b>(y, x);
      // The whitening weight is blurred: keep 6 pixels away from the bands' edges.
      const bool nearBand = (x >= 109 && x < 137) || (x >= 179 && x < 207);
      if (!nearBand && mask.at<float>(y - rect.y, x - rect.x) > 0.5f) {
        EXPECT_GT(got[0], 200) << x << "," << y;
        ++grey;
      }
      if (x >= 121 && x < 125) {
        EXPECT_EQ(got, in) << "red moved at " << x << "," << y;
      }
      if (x >= 191 && x < 195) {
        EXPECT_EQ(got, in) << "dark moved at " << x << "," << y;
      }
    }
  EXPECT_GT(grey, 50);
}

TEST(EyeWhiteningTest, IdentityLookupChangesNothingBeyondOneLevel) {
  RetouchSettings settings;
  settings.eyeWhite = 1.0f;
  settings.eyeSharp = 0.0f;
  cv::Mat crop = testing::texturedFrame(320, 512);
  crop = crop * 0.3 + cv::Scalar(170, 170, 170);  // bright and pale: whitening candidates
  const cv::Mat out =
      retouchEyeRegion(crop, cropPoints(), 1280, 720, kIdentity, settings, fullSkinMask(), lookupOf(identityLookupRgb8()));
  EXPECT_LE(cv::norm(out, crop, cv::NORM_INF), 1.0);
}

TEST(EyeSharpenTest, SharpensOnlyInsideTheRegionAndNotAFlatCrop) {
  RetouchSettings settings;
  settings.eyeWhite = 0.0f;
  settings.eyeSharp = 1.0f;
  const auto points = cropPoints();
  const cv::Mat flat(512, 320, CV_8UC3, cv::Scalar(90, 120, 150));
  EXPECT_EQ(cv::norm(retouchEyeRegion(flat, points, 1280, 720, kIdentity, settings, fullSkinMask(), cv::Mat()), flat,
                     cv::NORM_INF),
            0.0);
  const cv::Mat textured = testing::texturedFrame(320, 512);
  const cv::Mat out = retouchEyeRegion(textured, points, 1280, 720, kIdentity, settings, fullSkinMask(), cv::Mat());
  cv::Rect rect;
  buildEyeRegions(fullSkinMask(), points, rect);
  EXPECT_TRUE(sameOutside(out, textured, rect));
  EXPECT_GT(cv::norm(out(rect), textured(rect), cv::NORM_L1), 1000.0);
}

TEST(EyeEffectsTest, NothingAskedOrNoEyeReturnsTheSamePixels) {
  RetouchSettings settings;
  settings.eyeWhite = 1.0f;
  const cv::Mat crop = testing::texturedFrame(320, 512);
  EXPECT_EQ(retouchEyeRegion(crop, {}, 1280, 720, kIdentity, settings, fullSkinMask(), cv::Mat()).data, crop.data);
  EXPECT_EQ(retouchEyeRegion(crop, cropPoints(), 1280, 720, kIdentity, settings,
                             cv::Mat::zeros(64, 64, CV_32FC1), cv::Mat())
                .data,
            crop.data);
}

}  // namespace
}  // namespace tesmira
