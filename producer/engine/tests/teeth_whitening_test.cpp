// Teeth whitening on a real face with the data folder's models: the astronaut's smile, found
// by the ONNX landmarker, whitened at full strength with every other effect off.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <vector>

#include "producer/engine/crop_calibration.h"
#include "producer/engine/data_folder_options.h"
#include "producer/engine/face_compositing.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/engine/retouch_engine.h"
#include "producer/engine/retouch_models.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

namespace fs = std::filesystem;

RetouchSettings teethOnly(float strength) {
  RetouchSettings s;
  s.clearSkin = s.eyeBags = s.wrinkles = 0;
  s.eyeWhite = s.eyeSharp = s.sharpen = s.perspectiveStrength = 0;
  s.tone = 0;
  s.teeth = strength;
  return s;
}

// CIELAB b* (yellowness) of an 8-bit BGR pixel, sRGB with the D65 white.
double yellowness(const cv::Vec3b& bgr) {
  auto linear = [](double c) {
    c /= 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double r = linear(bgr[2]), g = linear(bgr[1]), b = linear(bgr[0]);
  const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
  const double z = 0.0193339 * r + 0.1191920 * g + 0.9503041 * b;
  auto f = [](double t) { return t > 216.0 / 24389.0 ? std::cbrt(t) : (24389.0 / 27.0 * t + 16.0) / 116.0; };
  return 200.0 * (f(y / 1.0) - f(z / 1.08883));
}

double luma(const cv::Vec3b& bgr) { return 0.299 * bgr[2] + 0.587 * bgr[1] + 0.114 * bgr[0]; }

class TeethWhiteningTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const cv::Mat picture = cv::imread((testing::mediaFolder() / "astronaut.png").string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(picture.empty()) << "astronaut.png is missing from the media folder";
    ASSERT_TRUE(fs::exists(options_.teethModelPath)) << "the data folder is not built (tools/setup/build-data.sh)";
    // The picture at 720 rows in a 1280x720 frame, as a camera would bring it.
    cv::Mat scaled;
    cv::resize(picture, scaled, cv::Size(720, 720), 0, 0, cv::INTER_AREA);
    cv::copyMakeBorder(scaled, frame_, 0, 0, 280, 280, cv::BORDER_REPLICATE);
    OnnxLandmarker landmarker(options_.landmarkDetectorModelPath, options_.landmarkMeshModelPath, kProviderCpu, 0.5f,
                              0.5f);
    LandmarkResult found;
    for (int i = 0; i < 5; ++i) found = landmarker.detect(frame_, int64_t(i) * 33);
    ASSERT_TRUE(found.found);
    landmarks_ = found.points;
    calibration_.load(options_.calibrationPath);
    models_ = std::make_unique<RetouchModels>(options_.skinModelPath, options_.teethModelPath, kProviderCpu, 1);
    engine_ = std::make_unique<RetouchEngine>(options_, *models_, calibration_, false);
  }

  cv::Mat retouched(float strength, RetouchTimings* timings = nullptr) {
    std::vector<uint8_t> nv12;
    uint32_t w = 0, h = 0;
    cv::Mat bgr;
    EXPECT_FALSE(engine_->processFrame({frame_}, landmarks_, teethOnly(strength), nv12, w, h, bgr, timings));
    return bgr.clone();
  }

  // The inner-lip ring in frame pixels, filled.
  cv::Mat mouthArea() const {
    std::vector<cv::Point> ring;
    for (int i : kMouthIndices)
      ring.emplace_back(int(std::lround(landmarks_[size_t(i)].x)), int(std::lround(landmarks_[size_t(i)].y)));
    cv::Mat area = cv::Mat::zeros(frame_.size(), CV_8UC1);
    cv::fillPoly(area, std::vector<std::vector<cv::Point>>{ring}, cv::Scalar(255));
    return area;
  }

  ProducerOptions options_ = dataFolderOptions(testing::builtDataFolder());
  CropCalibration calibration_;
  std::unique_ptr<RetouchModels> models_;
  std::unique_ptr<RetouchEngine> engine_;
  cv::Mat frame_;
  std::vector<LandmarkPoint> landmarks_;
};

TEST_F(TeethWhiteningTest, TheAstronautsTeethGetVisiblyWhiterAndNothingOutsideTheMouthChanges) {
  RetouchTimings timings;
  const cv::Mat whitened = retouched(1.0f, &timings);
  ASSERT_TRUE(timings.teethApplied) << "the smile was not taken for an open mouth";
  const cv::Mat area = mouthArea();
  // The mouth as the whitening may touch it: the inner-lip ring widened by 3 pixels.
  cv::Mat reach;
  cv::dilate(area, reach, cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(7, 7)));

  int teethPixels = 0, outsideChanged = 0;
  double lumaChange = 0, yellownessChange = 0;
  for (int y = 0; y < frame_.rows; ++y)
    for (int x = 0; x < frame_.cols; ++x) {
      const cv::Vec3b before = frame_.at<cv::Vec3b>(y, x), after = whitened.at<cv::Vec3b>(y, x);
      if (!reach.at<uint8_t>(y, x)) {
        outsideChanged += before != after;
        continue;
      }
      // Teeth: bright and pale inside the inner lips, unlike the lips, tongue and the dark mouth.
      const bool pale = int(before[2]) - int(before[1]) < 40;
      if (!area.at<uint8_t>(y, x) || luma(before) < 150 || !pale) continue;
      ++teethPixels;
      lumaChange += luma(after) - luma(before);
      yellownessChange += yellowness(after) - yellowness(before);
    }
  ASSERT_GT(teethPixels, 100);
  lumaChange /= teethPixels;
  yellownessChange /= teethPixels;
  std::printf("astronaut teeth at strength 1: %d teeth pixels, mean luma change %+.1f levels, mean b* change %+.1f\n",
              teethPixels, lumaChange, yellownessChange);
  RecordProperty("teeth_pixels", teethPixels);
  RecordProperty("mean_luma_change", std::to_string(lumaChange));
  RecordProperty("mean_b_star_change", std::to_string(yellownessChange));
  EXPECT_EQ(outsideChanged, 0);
  EXPECT_GE(lumaChange, 8.0);
  EXPECT_LE(yellownessChange, -5.0);
}

TEST_F(TeethWhiteningTest, StrengthZeroChangesNothing) {
  RetouchTimings timings;
  const cv::Mat out = retouched(0.0f, &timings);
  EXPECT_FALSE(timings.teethApplied);
  EXPECT_EQ(cv::norm(out, frame_, cv::NORM_INF), 0);
}

}  // namespace
}  // namespace tesmira
