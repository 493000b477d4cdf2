#include "producer/engine/onnx_landmarker.h"

#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <limits>
#include <opencv2/core.hpp>
#include <stdexcept>

#include "tests/support/machine_fixture.h"
#include "tools/models/onnx_writer.h"

namespace tesmira {
namespace {

using landmarks::kAnchorCount;
using landmarks::kMeshPoints;
using models::attrInt;
using models::Graph;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The mean of the input tensor: stand-ins read their input so that it is really fed.
std::string inputMean(Graph& g, const std::string& input) {
  return g.node("ReduceMean", {input}, {attrInt("keepdims", 0)});
}

// Detector stand-in: constant regressors; logits = base + gain x mean of the input (-1 for a
// black frame, +1 for a white one).
struct DetectorSpec {
  std::vector<float> regressors = std::vector<float>(kAnchorCount * 16, 0.0f);
  std::vector<float> logits = std::vector<float>(kAnchorCount, -10.0f);
  float gain = 0;
  int64_t anchors = int64_t(kAnchorCount);  // fewer: a short output
};

Graph detectorGraph(const DetectorSpec& spec) {
  Graph g;
  g.input("input", {1, 128, 128, 3});
  auto mean = inputMean(g, "input");
  auto zero = g.node("Mul", {mean, g.scalar(0)});
  auto reg = g.constant("reg", {1, spec.anchors, 16}, spec.regressors);
  g.node("Add", {reg, zero}, {}, "regressors");
  g.output("regressors", {1, spec.anchors, 16});
  auto logits = g.constant("logits", {1, spec.anchors, 1}, spec.logits);
  g.node("Add", {logits, g.node("Mul", {mean, g.scalar(spec.gain)})}, {}, "classificators");
  g.output("classificators", {1, spec.anchors, 1});
  return g;
}

// Mesh stand-in: constant points in crop pixels; score logit = base + gain x mean input (0..1).
struct MeshSpec {
  std::vector<float> values;
  float logit = 5;
  float gain = 0;
};

// A face-like spread of points over the crop's middle, eye corners level.
std::vector<float> meshPoints(float lo = 64, float hi = 192) {
  std::vector<float> v(kMeshPoints * 3);
  for (size_t i = 0; i < kMeshPoints; ++i) {
    v[3 * i] = lo + (hi - lo) * float(i % 22) / 21.0f;
    v[3 * i + 1] = lo + (hi - lo) * float(i / 22) / 21.0f;
    v[3 * i + 2] = float(i % 7) - 3.0f;
  }
  auto set = [&](size_t i, float x, float y) {
    v[3 * i] = x;
    v[3 * i + 1] = y;
  };
  set(landmarks::kRightEyeOuter, 96, 110);
  set(landmarks::kLeftEyeOuter, 160, 110);
  return v;
}

Graph meshGraph(const MeshSpec& spec) {
  Graph g;
  g.input("input_12", {1, 256, 256, 3});
  auto mean = inputMean(g, "input_12");
  const int64_t n = int64_t(spec.values.size());
  auto pts = g.constant("pts", {1, 1, 1, n}, spec.values);
  g.node("Add", {pts, g.node("Mul", {mean, g.scalar(0)})}, {}, "Identity");
  g.output("Identity", {1, 1, 1, n});
  auto logit = g.constant("score", {1, 1, 1, 1}, {spec.logit});
  g.node("Add", {logit, g.node("Mul", {mean, g.scalar(spec.gain)})}, {}, "Identity_1");
  g.output("Identity_1", {1, 1, 1, 1});
  return g;
}

// One face at anchor 600 of a 1280x720 frame: box 0.25 x 0.4 around (0.5, 0.5), eyes level.
DetectorSpec oneFace() {
  DetectorSpec spec;
  const size_t best = 600;
  const cv::Point2f anchor = landmarks::detectorAnchors()[best];
  float* r = &spec.regressors[best * 16];
  r[0] = (0.5f - anchor.x) * 128;
  r[1] = (0.5f - anchor.y) * 128;
  r[2] = 0.25f * 128;
  r[3] = 0.4f * 128;
  r[4] = (0.45f - anchor.x) * 128;
  r[5] = (0.45f - anchor.y) * 128;
  r[6] = (0.55f - anchor.x) * 128;
  r[7] = (0.45f - anchor.y) * 128;
  spec.logits[best] = 3;
  return spec;
}

class OnnxLandmarkerTest : public testing::MachineTest {
 protected:
  std::filesystem::path write(const std::string& name, const Graph& g) {
    auto file = root() / name;
    models::writeModel(file, g);
    return file;
  }
  std::unique_ptr<OnnxLandmarker> make(const DetectorSpec& detector, const MeshSpec& mesh, float tracking = 0.5f) {
    return std::make_unique<OnnxLandmarker>(write("det.onnx", detectorGraph(detector)),
                                            write("mesh.onnx", meshGraph(mesh)), kProviderCpu, 0.5f, tracking);
  }
  static MeshSpec goodMesh() { return {meshPoints(), 5, 0}; }
  cv::Mat frame_ = cv::Mat(720, 1280, CV_8UC3, cv::Scalar(90, 120, 150));
};

TEST(LandmarkAnchors, GridOf896InLayerRowColumnOrder) {
  const auto anchors = landmarks::detectorAnchors();
  ASSERT_EQ(anchors.size(), 896u);
  struct Case {
    size_t index;
    float x, y;
  } cases[] = {
      {0, 0.5f / 16, 0.5f / 16},   {1, 0.5f / 16, 0.5f / 16},   {2, 1.5f / 16, 0.5f / 16},
      {32, 0.5f / 16, 1.5f / 16},  {511, 15.5f / 16, 15.5f / 16}, {512, 0.5f / 8, 0.5f / 8},
      {517, 0.5f / 8, 0.5f / 8},   {518, 1.5f / 8, 0.5f / 8},   {512 + 48, 0.5f / 8, 1.5f / 8},
      {895, 7.5f / 8, 7.5f / 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    EXPECT_FLOAT_EQ(anchors[c.index].x, c.x);
    EXPECT_FLOAT_EQ(anchors[c.index].y, c.y);
  }
}

TEST(LandmarkDecoding, ChoosesTheBestAnchorStrictlyAboveTheThreshold) {
  const auto anchors = landmarks::detectorAnchors();
  struct Case {
    const char* what;
    std::vector<std::pair<size_t, float>> logits;  // others stay at -10
    float threshold;
    int expected;  // -1: no face
  } cases[] = {
      {"single", {{7, 2.0f}}, 0.5f, 7},
      {"tie goes to the lower index", {{300, 2.0f}, {100, 2.0f}, {200, 1.0f}}, 0.5f, 100},
      {"higher later wins", {{100, 1.0f}, {800, 2.0f}}, 0.5f, 800},
      {"score exactly at the threshold", {{5, 0.0f}}, 0.5f, -1},
      {"all at or below", {}, 0.5f, -1},
      {"NaN logit never wins", {{3, kNaN}, {9, 1.0f}}, 0.5f, 9},
      {"huge logits clamp, still a tie", {{50, 1e30f}, {40, 500.0f}}, 0.5f, 40},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<float> logits(kAnchorCount, -10.0f), regressors(kAnchorCount * 16, 0.0f);
    for (size_t i = 0; i < kAnchorCount; ++i) regressors[i * 16 + 2] = regressors[i * 16 + 3] = 10;
    for (auto [i, v] : c.logits) logits[i] = v;
    for (size_t i = 0; i < kAnchorCount; ++i) regressors[i * 16] = float(i) / 1000;  // tags the anchor
    auto d = landmarks::decodeDetection(regressors.data(), regressors.size(), logits.data(), logits.size(), anchors,
                                        c.threshold);
    EXPECT_EQ(d.found, c.expected >= 0);
    if (c.expected >= 0 && d.found) {
      const float cx = float(c.expected) / 1000 / 128 + anchors[size_t(c.expected)].x;
      EXPECT_FLOAT_EQ(d.left + d.width / 2, cx);
    }
  }
}

TEST(LandmarkDecoding, BoxKeyPointsAndScoreFromTheRegressors) {
  const auto anchors = landmarks::detectorAnchors();
  std::vector<float> logits(kAnchorCount, -10.0f), regressors(kAnchorCount * 16, 0.0f);
  logits[520] = 1.0f;
  float* r = &regressors[520 * 16];
  for (int k = 0; k < 16; ++k) r[k] = float(k + 1) * 4;
  auto d = landmarks::decodeDetection(regressors.data(), regressors.size(), logits.data(), logits.size(), anchors,
                                      0.5f);
  ASSERT_TRUE(d.found);
  const cv::Point2f a = anchors[520];
  EXPECT_FLOAT_EQ(d.width, 12.0f / 128);
  EXPECT_FLOAT_EQ(d.height, 16.0f / 128);
  EXPECT_FLOAT_EQ(d.left, 4.0f / 128 + a.x - d.width / 2);
  EXPECT_FLOAT_EQ(d.top, 8.0f / 128 + a.y - d.height / 2);
  for (int k = 0; k < 6; ++k) {
    EXPECT_FLOAT_EQ(d.keyPoints[size_t(k)].x, float(4 + 2 * k + 1) * 4 / 128 + a.x);
    EXPECT_FLOAT_EQ(d.keyPoints[size_t(k)].y, float(5 + 2 * k + 1) * 4 / 128 + a.y);
  }
  EXPECT_FLOAT_EQ(d.score, 1.0f / (1.0f + std::exp(-1.0f)));
}

TEST(LandmarkDecoding, UnusableBoxesAreNoFace) {
  const auto anchors = landmarks::detectorAnchors();
  struct Case {
    const char* what;
    int slot;
    float value;
  } cases[] = {
      {"NaN centre", 0, kNaN},       {"infinite centre", 1, std::numeric_limits<float>::infinity()},
      {"zero width", 2, 0.0f},       {"zero height", 3, 0.0f},
      {"negative width", 2, -5.0f},  {"NaN height", 3, kNaN},
      {"NaN key point 0", 4, kNaN},  {"NaN key point 5 y", 15, kNaN},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<float> logits(kAnchorCount, -10.0f), regressors(kAnchorCount * 16, 1.0f);
    logits[10] = 2;
    regressors[10 * 16 + size_t(c.slot)] = c.value;
    auto d = landmarks::decodeDetection(regressors.data(), regressors.size(), logits.data(), logits.size(), anchors,
                                        0.5f);
    EXPECT_FALSE(d.found);
  }
}

TEST(LandmarkDecoding, ShortOutputsThrowBeforeAnyRead) {
  const auto anchors = landmarks::detectorAnchors();
  std::vector<float> logits(kAnchorCount, 1.0f), regressors(kAnchorCount * 16, 1.0f);
  struct Case {
    size_t regressorCount, scoreCount;
  } cases[] = {{kAnchorCount * 16 - 1, kAnchorCount}, {kAnchorCount * 16, kAnchorCount - 1}, {0, 0}};
  for (const auto& c : cases) {
    try {
      landmarks::decodeDetection(regressors.data(), c.regressorCount, logits.data(), c.scoreCount, anchors, 0.5f);
      ADD_FAILURE() << "accepted " << c.regressorCount << " " << c.scoreCount;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "ONNX landmark output is smaller than expected.");
    }
  }
}

TEST(LandmarkRegion, FromDetectionUsesFramePixels) {
  FaceDetection d;
  d.left = 0.4f;
  d.top = 0.2f;
  d.width = 0.2f;
  d.height = 0.3f;
  d.keyPoints[0] = {0.45f, 0.30f};
  d.keyPoints[1] = {0.55f, 0.40f};
  const FaceRegion r = landmarks::regionFromDetection(d, 1280, 720);
  EXPECT_FLOAT_EQ(r.side, 384.0f);  // max(0.3 x 720, 0.2 x 1280) x 1.5
  EXPECT_FLOAT_EQ(r.centerX, 640.0f);
  EXPECT_FLOAT_EQ(r.centerY, 0.35f * 720);
  EXPECT_NEAR(r.angle, std::atan2(0.1 * 720, 0.1 * 1280), 1e-6);
}

TEST(LandmarkRegion, CropTransformMapsTheRotatedSquareOntoTheCrop) {
  // Angle 0 and side 256: a pure translation putting the centre at (128, 128).
  const cv::Matx23d t = landmarks::cropTransform({300, 200, 256, 0});
  EXPECT_DOUBLE_EQ(t(0, 0), 1);
  EXPECT_DOUBLE_EQ(t(0, 1), 0);
  EXPECT_DOUBLE_EQ(t(1, 0), 0);
  EXPECT_DOUBLE_EQ(t(1, 1), 1);
  EXPECT_DOUBLE_EQ(t(0, 2), 128 - 300);
  EXPECT_DOUBLE_EQ(t(1, 2), 128 - 200);

  struct Case {
    FaceRegion region;
  } cases[] = {{{300, 200, 100, 0.3f}}, {{640, 360, 384, -1.2f}}, {{50, 60, 512, 3.0f}}};
  for (const auto& c : cases) {
    const FaceRegion& r = c.region;
    const cv::Matx23d m = landmarks::cropTransform(r);
    const double half = r.side / 2.0, co = std::cos(double(r.angle)), si = std::sin(double(r.angle));
    const cv::Point2d centre(r.centerX, r.centerY);
    const std::pair<cv::Point2d, cv::Point2d> corners[] = {
        {centre + cv::Point2d(-co * half + si * half, -si * half - co * half), {0, 0}},
        {centre + cv::Point2d(co * half + si * half, si * half - co * half), {256, 0}},
        {centre + cv::Point2d(-co * half - si * half, -si * half + co * half), {0, 256}},
    };
    for (const auto& [src, dst] : corners) {
      const cv::Vec3d p(src.x, src.y, 1);
      EXPECT_NEAR((m * p)[0], dst.x, 1e-6);
      EXPECT_NEAR((m * p)[1], dst.y, 1e-6);
    }
  }
}

TEST(LandmarkRegion, FromPointsAndTheCollapsedOrNonFiniteMesh) {
  std::vector<LandmarkPoint> points(kMeshPoints, LandmarkPoint{100, 50, 0});
  points[0] = {60, 40, 0};
  points[1] = {140, 100, 0};
  points[landmarks::kRightEyeOuter] = {90, 60, 0};
  points[landmarks::kLeftEyeOuter] = {120, 90, 0};
  FaceRegion r;
  ASSERT_TRUE(landmarks::regionFromPoints(points, r));
  EXPECT_FLOAT_EQ(r.centerX, 100);
  EXPECT_FLOAT_EQ(r.centerY, 70);
  EXPECT_FLOAT_EQ(r.side, 120);
  EXPECT_NEAR(r.angle, std::atan2(30.0, 30.0), 1e-6);

  struct Case {
    const char* what;
    std::vector<LandmarkPoint> points;
  } cases[] = {
      {"one point repeated", std::vector<LandmarkPoint>(kMeshPoints, LandmarkPoint{100, 50, 0})},
      {"side just below a pixel", [] {
         std::vector<LandmarkPoint> p(kMeshPoints, LandmarkPoint{100, 50, 0});
         p[3].x = 100.6f;
         return p;
       }()},
      {"NaN x", [&] { auto p = points; p[477].x = kNaN; return p; }()},
      {"infinite y", [&] { auto p = points; p[0].y = std::numeric_limits<float>::infinity(); return p; }()},
      {"NaN z", [&] { auto p = points; p[200].z = kNaN; return p; }()},
      {"too few points for the eyes", std::vector<LandmarkPoint>(100, LandmarkPoint{1, 2, 0})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FaceRegion kept{1, 2, 3, 4};
    EXPECT_FALSE(landmarks::regionFromPoints(c.points, kept));
    EXPECT_EQ(kept.side, 3);  // untouched
  }
}

TEST_F(OnnxLandmarkerTest, FindsThenTracksWithPointsInFramePixels) {
  auto lm = make(oneFace(), goodMesh());
  LandmarkResult first = lm->detect(frame_, 0);
  ASSERT_TRUE(first.found);
  ASSERT_EQ(first.points.size(), kMeshPoints);
  EXPECT_EQ(lm->detectorRuns(), 1u);
  EXPECT_EQ(lm->meshRuns(), 1u);
  // The first region: centre (640, 360), side max(0.4 x 720, 0.25 x 1280) x 1.5 = 480, level.
  const auto values = meshPoints();
  const float k = 480.0f / 256;
  for (size_t i : {size_t(0), size_t(33), size_t(263), size_t(477)}) {
    SCOPED_TRACE(i);
    EXPECT_NEAR(first.points[i].x, 640 + (values[3 * i] - 128) * k, 1e-2);
    EXPECT_NEAR(first.points[i].y, 360 + (values[3 * i + 1] - 128) * k, 1e-2);
    EXPECT_NEAR(first.points[i].z, 480.0 / 256 / 256 * values[3 * i + 2] * 1280, 1e-3);
  }
  // Tracking: only the mesh runs, on the region the points span.
  for (int t = 1; t < 4; ++t) {
    LandmarkResult next = lm->detect(frame_, t);
    ASSERT_TRUE(next.found);
    EXPECT_EQ(next.points.size(), kMeshPoints);
  }
  EXPECT_EQ(lm->detectorRuns(), 1u);
  EXPECT_EQ(lm->meshRuns(), 4u);
}

TEST_F(OnnxLandmarkerTest, NoScoreAboveTheThresholdRunsNoMesh) {
  DetectorSpec none;
  none.logits.assign(kAnchorCount, 0.0f);  // exactly 0.5 everywhere
  auto lm = make(none, goodMesh());
  for (int t = 0; t < 3; ++t) EXPECT_FALSE(lm->detect(frame_, t).found);
  EXPECT_EQ(lm->detectorRuns(), 3u);
  EXPECT_EQ(lm->meshRuns(), 0u);
}

TEST_F(OnnxLandmarkerTest, TheDetectorSeesTheFrameAsRgbInMinusOneToOne) {
  DetectorSpec spec = oneFace();
  spec.logits.assign(kAnchorCount, -10.0f);
  spec.logits[600] = 0;
  spec.gain = 10;  // black: logit -10, white: +10
  auto lm = make(spec, {meshPoints(), -5, 0});  // the mesh always loses the face
  EXPECT_FALSE(lm->detect(cv::Mat(360, 640, CV_8UC3, cv::Scalar(0, 0, 0)), 0).found);
  EXPECT_EQ(lm->meshRuns(), 0u);
  EXPECT_FALSE(lm->detect(cv::Mat(360, 640, CV_8UC3, cv::Scalar(255, 255, 255)), 1).found);
  EXPECT_EQ(lm->meshRuns(), 1u);
}

TEST_F(OnnxLandmarkerTest, TrackingHoldsAtTheThresholdAndEndsBelowIt) {
  struct Case {
    const char* what;
    float logit;
    float threshold;
    bool keeps;
  } cases[] = {
      {"score above", 1.0f, 0.5f, true},
      {"score exactly at the threshold", 0.0f, 0.5f, true},  // sigmoid(0) is exactly 0.5
      {"score just below", 0.0f, std::nextafter(0.5f, 1.0f), false},
      {"score well below", -1.0f, 0.5f, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto lm = make(oneFace(), {meshPoints(), c.logit, 0}, c.threshold);
    EXPECT_EQ(lm->detect(frame_, 0).found, c.keeps);
    EXPECT_EQ(lm->detect(frame_, 1).found, c.keeps);
    EXPECT_EQ(lm->detectorRuns(), c.keeps ? 1u : 2u);
    EXPECT_EQ(lm->meshRuns(), 2u);
  }
}

TEST_F(OnnxLandmarkerTest, NonFiniteOrCollapsedMeshIsNoFaceAndSearchesAgain) {
  std::vector<float> nanPoint = meshPoints(), nanZ = meshPoints(), single(kMeshPoints * 3, 0.0f);
  nanPoint[3 * 100] = kNaN;
  nanZ[3 * 5 + 2] = kNaN;
  for (size_t i = 0; i < kMeshPoints; ++i) single[3 * i] = single[3 * i + 1] = 128;
  struct Case {
    const char* what;
    MeshSpec mesh;
  } cases[] = {
      {"NaN everywhere", {std::vector<float>(kMeshPoints * 3, kNaN), 5, 0}},
      {"one NaN x", {nanPoint, 5, 0}},
      {"one NaN z", {nanZ, 5, 0}},
      {"NaN score", {meshPoints(), kNaN, 0}},
      {"one point repeated", {single, 5, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto lm = make(oneFace(), c.mesh);
    EXPECT_FALSE(lm->detect(frame_, 0).found);
    EXPECT_FALSE(lm->detect(frame_, 1).found);
    EXPECT_EQ(lm->detectorRuns(), 2u);
  }
}

TEST_F(OnnxLandmarkerTest, EmptyFrameRunsNothingAndKeepsTracking) {
  auto lm = make(oneFace(), goodMesh());
  EXPECT_FALSE(lm->detect(cv::Mat(), 0).found);
  EXPECT_EQ(lm->detectorRuns() + lm->meshRuns(), 0u);
  ASSERT_TRUE(lm->detect(frame_, 1).found);
  EXPECT_FALSE(lm->detect(cv::Mat(), 2).found);
  EXPECT_TRUE(lm->detect(frame_, 3).found);
  EXPECT_EQ(lm->detectorRuns(), 1u);
}

TEST_F(OnnxLandmarkerTest, ShortModelOutputsThrowAndLeaveTheStateAsItWas) {
  DetectorSpec shortDetector = oneFace();
  shortDetector.anchors = 895;
  shortDetector.regressors.resize(895 * 16);
  shortDetector.logits.resize(895);
  MeshSpec shortMesh = goodMesh();
  shortMesh.values.resize(kMeshPoints * 3 - 1);
  struct Case {
    const char* what;
    DetectorSpec detector;
    MeshSpec mesh;
  } cases[] = {{"detector", shortDetector, goodMesh()}, {"mesh", oneFace(), shortMesh}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto lm = make(c.detector, c.mesh);
    for (int t = 0; t < 2; ++t) {
      try {
        lm->detect(frame_, t);
        ADD_FAILURE() << "accepted";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "ONNX landmark output is smaller than expected.");
      }
    }
    EXPECT_EQ(lm->detectorRuns(), 2u);  // still searching
  }
}

TEST_F(OnnxLandmarkerTest, UnavailableProviderFallsBackToTheCpuWithOneLine) {
  auto det = write("det.onnx", detectorGraph(oneFace()));
  auto mesh = write("mesh.onnx", meshGraph(goodMesh()));
  ::testing::internal::CaptureStderr();
  OnnxLandmarker cpu(det, mesh, kProviderCpu, 0.5f, 0.5f);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ::testing::internal::CaptureStderr();
  OnnxLandmarker cuda(det, mesh, kProviderCuda, 0.5f, 0.5f);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "OnnxLandmarker: requested provider unavailable; using CPU. onnxruntime.dll does not export "
            "OrtSessionOptionsAppendExecutionProvider_CUDA\n");
  EXPECT_TRUE(cuda.detect(frame_, 0).found);
}

TEST_F(OnnxLandmarkerTest, MissingModelThrowsTheRuntimeError) {
  auto det = write("det.onnx", detectorGraph(oneFace()));
  EXPECT_THROW(OnnxLandmarker(det, root() / "missing.onnx", kProviderCpu, 0.5f, 0.5f), Ort::Exception);
  EXPECT_THROW(OnnxLandmarker(root() / "missing.onnx", det, kProviderCpu, 0.5f, 0.5f), Ort::Exception);
}

}  // namespace
}  // namespace tesmira
