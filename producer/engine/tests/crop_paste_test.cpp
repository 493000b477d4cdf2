#include "producer/engine/crop_paste.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <limits>

#include "producer/engine/tests/engine_fixture.h"

namespace tesmira {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

cv::Mat cropOf(const cv::Mat& frame, const std::array<double, 6>& m) {
  cv::Mat crop;
  cv::warpAffine(frame, crop, cv::Matx23f(float(m[0]), float(m[1]), float(m[2]), float(m[3]), float(m[4]), float(m[5])),
                 cv::Size(320, 512), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return crop;
}

bool sameBytes(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(PasteCropTest, AnUnchangedCropLeavesTheFrameByteForByte) {
  const cv::Mat frame = testing::texturedFrame(1280, 720);
  // Scaled, turned and moved, as a real face alignment is.
  const double angle = 0.2, scale = 0.8;
  const std::array<double, 6> m = {scale * std::cos(angle), -scale * std::sin(angle), -300.0,
                                   scale * std::sin(angle), scale * std::cos(angle),  -80.0};
  const cv::Mat crop = cropOf(frame, m);
  const cv::Mat out = pasteCropCpu(frame, crop, crop.clone(), m);
  EXPECT_TRUE(sameBytes(out, frame));
  EXPECT_NE(out.data, frame.data);
}

TEST(PasteCropTest, ACropHalfOutsideTheFrameChangesOnlyTheInsidePart) {
  const cv::Mat frame = testing::texturedFrame(640, 480);
  // Crop x 0..320 is frame x -160..160: the left half lies outside the frame.
  const std::array<double, 6> m = {1, 0, 160, 0, 1, -10};
  const cv::Mat crop = cropOf(frame, m);
  cv::Mat retouched;
  cv::add(crop, cv::Scalar(20, 20, 20), retouched);
  const cv::Mat out = pasteCropCpu(frame, crop, retouched, m);
  ASSERT_EQ(out.size(), frame.size());
  for (int y = 0; y < frame.rows; ++y)
    for (int x = 0; x < frame.cols; ++x) {
      const cv::Vec3b in = frame.at<cv::Vec3b>(y, x), got = out.at<cv::Vec3b>(y, x);
      if (x < 159 && y >= 10) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(got[c], std::min(in[c] + 20, 255)) << x << "," << y;
      } else if (x >= 161) {
        EXPECT_EQ(got, in) << x << "," << y;
      }
      if (y < 9) {
        EXPECT_EQ(got, in) << x << "," << y;
      }
    }
}

TEST(PasteCropTest, ChangeIsRoundedOnceWithTiesToEven) {
  // Half-pixel moves make the warped change exactly half a level at the crop's edges.
  cv::Mat frame(64, 400, CV_8UC3, cv::Scalar(2, 3, 2));
  const std::array<double, 6> m = {1, 0, -0.5, 0, 1, 0};
  const cv::Mat crop(512, 320, CV_8UC3, cv::Scalar(10, 10, 10));
  const cv::Mat retouched(512, 320, CV_8UC3, cv::Scalar(11, 11, 9));
  const cv::Mat out = pasteCropCpu(frame, crop, retouched, m);
  // Frame x 0 lies half a pixel left of crop x 0: half of +1 / -1 comes in.
  EXPECT_EQ(out.at<cv::Vec3b>(20, 0), cv::Vec3b(2, 4, 2));  // 2.5 -> 2, 3.5 -> 4, 1.5 -> 2
  EXPECT_EQ(out.at<cv::Vec3b>(20, 5), cv::Vec3b(3, 4, 1));
}

TEST(PasteCropTest, AnyAlignmentGivesAFrameAndNeverThrows) {
  const cv::Mat frame = testing::texturedFrame(320, 240);
  const cv::Mat crop(512, 320, CV_8UC3, cv::Scalar(50, 60, 70));
  const cv::Mat retouched(512, 320, CV_8UC3, cv::Scalar(90, 60, 30));
  struct Case {
    const char* name;
    std::array<double, 6> m;
    bool unchanged;  // the crop lies nowhere in the frame
  };
  for (const Case& c : {Case{"wholly outside", {1, 0, 2000, 0, 1, 0}, true},
                        Case{"NaN", {kNaN, 0, 0, 0, 1, 0}, true},
                        Case{"infinite shift", {1, 0, kInf, 0, 1, 0}, true},
                        Case{"huge shift", {1, 0, 3e38, 0, 1, 3e38}, true},
                        Case{"huge scale", {3e38, 0, 0, 0, 3e38, 0}, false},
                        Case{"all zero", {0, 0, 0, 0, 0, 0}, false},
                        Case{"degenerate", {1, 2, 0, 2, 4, 0}, false},
                        Case{"nearly degenerate", {1e-6, 0, 0, 0, 1e-6, 0}, false}}) {
    cv::Mat out;
    ASSERT_NO_THROW(out = pasteCropCpu(frame, crop, retouched, c.m)) << c.name;
    ASSERT_EQ(out.size(), frame.size()) << c.name;
    ASSERT_EQ(out.type(), CV_8UC3) << c.name;
    if (c.unchanged) {
      EXPECT_TRUE(sameBytes(out, frame)) << c.name;
    }
    // An unchanged crop never changes the frame, whatever the alignment.
    EXPECT_TRUE(sameBytes(pasteCropCpu(frame, crop, crop, c.m), frame)) << c.name;
  }
}

}  // namespace
}  // namespace tesmira
