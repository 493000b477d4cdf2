#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "producer/engine/crop_calibration.h"
#include "tests/support/host_calls.h"
#include "tests/support/machine_fixture.h"

namespace tesmira {
namespace {

const char* kGood = R"({
  "anchor_left_indices": [0],
  "anchor_right_indices": [2],
  "features": ["constant"],
  "feature_mean": [0.0],
  "feature_scale": [1.0],
  "constant_mask": [true],
  "coef": [[0, 0, 1, 0]],
  "template_left_px": [110, 216],
  "template_right_px": [210, 216]
})";

// kGood with one key's value replaced.
std::string with(const std::string& key, const std::string& value) {
  std::string text = kGood;
  size_t at = text.find("\"" + key + "\"");
  size_t start = text.find(':', at) + 1;
  size_t end = text.find('\n', start);
  if (text[end - 1] == ',') --end;
  return text.replace(start, end - start, " " + value);
}

class CropCalibrationTest : public testing::MachineTest {
 protected:
  std::filesystem::path file(const std::string& text) {
    auto path = root() / "calibration.json";
    std::ofstream(path) << text;
    return path;
  }
  CropCalibration load(const std::string& text) {
    CropCalibration c;
    c.load(file(text));
    return c;
  }
};

std::vector<LandmarkPoint> points(std::initializer_list<std::pair<float, float>> xy) {
  std::vector<LandmarkPoint> p;
  for (auto [x, y] : xy) p.push_back({x, y, 0});
  return p;
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

TEST_F(CropCalibrationTest, ConstantFeatureMapsMidpointAndOneAnchorDistanceOntoTheTemplates) {
  CropCalibration c = load(kGood);
  // Left anchor (100, 50), right (140, 80): M = (120, 65), d = 50, u = (0.8, 0.6).
  auto lm = points({{100, 50}, {120, 70}, {140, 80}});
  auto p = c.predictPoints(lm);
  EXPECT_DOUBLE_EQ(p[0], 120);
  EXPECT_DOUBLE_EQ(p[1], 65);
  EXPECT_DOUBLE_EQ(p[2], 160);
  EXPECT_DOUBLE_EQ(p[3], 95);
  auto m = c.cropPoints(lm);
  auto map = [&](double x, double y) { return std::pair{m[0] * x + m[1] * y + m[2], m[3] * x + m[4] * y + m[5]}; };
  auto [lx, ly] = map(120, 65);
  auto [rx, ry] = map(160, 95);
  EXPECT_NEAR(lx, 110, 1e-9);
  EXPECT_NEAR(ly, 216, 1e-9);
  EXPECT_NEAR(rx, 210, 1e-9);
  EXPECT_NEAR(ry, 216, 1e-9);
  // A similarity: equal scale on both axes, no shear.
  EXPECT_NEAR(m[0], m[4], 1e-12);
  EXPECT_NEAR(m[1], -m[3], 1e-12);
}

TEST_F(CropCalibrationTest, NoseFeaturesAreStandardisedUnlessMarkedConstant) {
  CropCalibration c = load(with("features", R"(["constant", "nose_x", "nose_y"])") );
  c.feature_mean = {0, 0.1, 0.2};
  c.feature_scale = {1, 0.5, 0.25};
  c.constant_mask = {true, false, false};
  c.coef = {{0, 0, 0, 0}, {1, 0, 0, 0}, {0, 1, 0, 0}};
  // Eyes level: M = (100, 100), d = 100, u = (1, 0); nose at (110, 140): nose_x 0.1, nose_y 0.4.
  auto lm = points({{50, 100}, {110, 140}, {150, 100}});
  auto p = c.predictPoints(lm);
  // a0 = (0.1 - 0.1) / 0.5 = 0, a1 = (0.4 - 0.2) / 0.25 = 0.8.
  EXPECT_NEAR(p[0], 100, 1e-9);
  EXPECT_NEAR(p[1], 180, 1e-9);
}

TEST_F(CropCalibrationTest, CoincidingAnchorsUseTheSmallestDistance) {
  CropCalibration c = load(kGood);
  auto lm = points({{10, 10}, {10, 12}, {10, 10}});
  auto p = c.predictPoints(lm);
  EXPECT_DOUBLE_EQ(p[0], 10);
  EXPECT_DOUBLE_EQ(p[2], 10);  // M + 1e-6 * u with u = 0
  // Predicted points coincide too: the transform stays finite (n floored at 1e-9).
  auto m = c.cropPoints(lm);
  for (double v : m) EXPECT_TRUE(std::isfinite(v));
}

TEST_F(CropCalibrationTest, LoadErrors) {
  struct Case {
    std::string text;
    std::string error;  // empty: the JSON library's own error
  } cases[] = {
      {with("coef", "[]"), "Calibration coef must be Nx4."},
      {with("coef", "[[0, 0, 1, 0], [1, 2, 3]]"), "Calibration coef must be Nx4."},
      {with("coef", "[[0, 0, 1, 0, 5]]"), "Calibration coef must be Nx4."},
      {with("coef", "[3]"), "Calibration coef must be Nx4."},
      {with("template_left_px", "[1, 2, 3]"), "Expected a 2D point in calibration JSON."},
      {with("template_right_px", "[1]"), "Expected a 2D point in calibration JSON."},
      {with("template_right_px", "7"), "Expected a 2D point in calibration JSON."},
      {with("anchor_left_indices", "[]"), "Calibration anchor index list is empty."},
      {with("anchor_right_indices", "[]"), "Calibration anchor index list is empty."},
      {with("feature_scale", "[0]") + "", ""},  // constant feature: its scale never divides
      {with("anchor_left_indices", "[1e300]"), "Calibration anchor index is not a 32-bit integer."},
      {with("anchor_left_indices", "[4294967296]"), "Calibration anchor index is not a 32-bit integer."},
      {with("features", "[1]"), "json"},
      {with("constant_mask", "[1]"), "json"},
      {with("anchor_left_indices", "[\"a\"]"), "json"},
      {"{", "json"},
      {R"({"anchor_left_indices": [0]})", "json"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string error = errorOf([&] { load(c.text); });
    if (c.error.empty()) EXPECT_EQ(error, "no error");
    else if (c.error == "json") EXPECT_NE(error.find("[json.exception."), std::string::npos) << error;
    else EXPECT_EQ(error, c.error);
  }
}

TEST_F(CropCalibrationTest, ADeepFileIsRefusedOnAOneMebibyteStack) {
  const std::string text = with("features", std::string(100000, '[') + std::string(100000, ']'));
  const std::filesystem::path path = file(text);
  ASSERT_TRUE(testing::runOnStackOf(1 << 20, [&] {
    CropCalibration c;
    EXPECT_EQ(errorOf([&] { c.load(path); }), "Calibration nests too deep: " + path.string());
  }));
}

TEST_F(CropCalibrationTest, ScaleOfAFeatureThatDividesMustBeFiniteAndNonZero) {
  const std::string three = with("features", R"(["constant", "nose_x", "nose_y"])");
  auto withScale = [&](const char* scale) {
    std::string text = three;
    text = text.replace(text.find("[1.0]"), 5, scale);
    return text.replace(text.find("[true]"), 6, "[true, false, false]");
  };
  for (const char* scale : {"[1, 0, 1]", "[1, 1, 0.0]", "[1, 1, -0.0]"}) {
    SCOPED_TRACE(scale);
    EXPECT_EQ(errorOf([&] { load(withScale(scale)); }), "Calibration feature_scale must be finite and non-zero.");
  }
  // An infinite scale cannot come from JSON: the parser refuses the overflow itself.
  EXPECT_NE(errorOf([&] { load(withScale("[1, 1e999, 1]")); }).find("[json.exception."), std::string::npos);
  // A scale whose feature is marked constant never divides, so 0 is accepted there.
  EXPECT_EQ(errorOf([&] { load(withScale("[0, 1, 1]")); }), "no error");
  // A failed load leaves the loaded calibration as it was.
  CropCalibration c = load(kGood);
  EXPECT_THROW(c.load(file(with("coef", "[]"))), std::runtime_error);
  EXPECT_EQ(c.coef.size(), 1u);
}

TEST_F(CropCalibrationTest, MissingFileNamesThePath) {
  CropCalibration c;
  auto path = root() / "nowhere.json";
  EXPECT_EQ(errorOf([&] { c.load(path); }), "Could not open calibration: " + path.string());
}

TEST_F(CropCalibrationTest, PerFrameErrors) {
  struct Case {
    const char* what;
    std::function<void(CropCalibration&)> change;
    std::vector<LandmarkPoint> lm;
    std::string error;
  } cases[] = {
      {"anchor past the end", [](CropCalibration& c) { c.anchor_right_indices = {3}; }, points({{0, 0}, {1, 1}, {2, 2}}),
       "MediaPipe landmark result is missing calibration anchor index."},
      {"negative anchor", [](CropCalibration& c) { c.anchor_left_indices = {-1}; }, points({{0, 0}, {1, 1}, {2, 2}}),
       "MediaPipe landmark result is missing calibration anchor index."},
      {"one landmark", [](CropCalibration& c) { c.anchor_right_indices = {0}; }, points({{0, 0}}),
       "MediaPipe landmark result is missing nose tip index."},
      {"unknown feature", [](CropCalibration& c) { c.features = {"mouth_x"}; }, points({{0, 0}, {1, 1}, {2, 2}}),
       "Unsupported calibration feature: mouth_x"},
      {"feature and coef counts differ", [](CropCalibration& c) { c.features = {"constant", "nose_x"}; },
       points({{0, 0}, {1, 1}, {2, 2}}), "Calibration feature/coefficient size mismatch."},
      {"non-finite landmark", [](CropCalibration&) {}, points({{0, 0}, {1, 1}, {NAN, 2}}),
       "Calibration produced a non-finite crop transform."},
      {"infinite template", [](CropCalibration& c) { c.template_left_px.x = INFINITY; },
       points({{0, 0}, {1, 1}, {2, 2}}), "Calibration produced a non-finite crop transform."},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    CropCalibration cal = load(kGood);
    c.change(cal);
    EXPECT_EQ(errorOf([&] { cal.cropPoints(c.lm); }), c.error);
  }
}

TEST_F(CropCalibrationTest, MissingMeanScaleOrMaskEntryFailsTheCall) {
  for (int which = 0; which < 3; ++which) {
    CropCalibration c = load(with("features", R"(["constant", "nose_x"])"));
    c.coef.push_back({0, 0, 0, 0});
    c.constant_mask = {true, false};
    c.feature_mean = {0, 0};
    c.feature_scale = {1, 1};
    if (which == 0) c.feature_mean.pop_back();
    if (which == 1) c.feature_scale.pop_back();
    if (which == 2) c.constant_mask.pop_back();
    EXPECT_THROW(c.predictPoints(points({{0, 0}, {1, 1}, {2, 2}})), std::out_of_range) << which;
  }
}

TEST_F(CropCalibrationTest, FullMeshIndicesUpTo477AreAccepted) {
  CropCalibration c = load(with("anchor_right_indices", "[33, 477]"));
  std::vector<LandmarkPoint> lm(478, LandmarkPoint{1, 2, 0});
  lm[477] = {5, 2, 0};
  EXPECT_NO_THROW(c.cropPoints(lm));
  c.anchor_right_indices = {478};
  EXPECT_EQ(errorOf([&] { c.cropPoints(lm); }), "MediaPipe landmark result is missing calibration anchor index.");
}

}  // namespace
}  // namespace tesmira
