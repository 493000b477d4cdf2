#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "producer/engine/gpu_compositor.h"

namespace tesmira {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr int kColumns = 96;
constexpr int kRows = 54;
constexpr double kPi = 3.14159265358979323846;

// 478 points spread evenly over the front half of an ellipsoid: a face of the given half
// width centred at (cx, cy), 1.3 times as tall as wide, its middle nearest the camera
// (the smallest z).
std::vector<LandmarkPoint> domeFace(double cx, double cy, double halfWidth, size_t count = 478) {
  std::vector<LandmarkPoint> points;
  const double golden = kPi * (3.0 - std::sqrt(5.0));
  for (size_t i = 0; i < count; ++i) {
    const double depth = 1.0 - (double(i) + 0.5) / double(count);  // 1 at the nose, 0 at the rim
    const double radius = std::sqrt(1.0 - depth * depth);
    const double angle = golden * double(i);
    points.push_back({float(cx + halfWidth * radius * std::cos(angle)),
                      float(cy + 1.3 * halfWidth * radius * std::sin(angle)), float(-0.6 * halfWidth * depth)});
  }
  return points;
}

// The field computed in doubles straight from its definition.
struct Reference {
  double sigma = 0;
  std::vector<std::array<double, 2>> offsets;
};

Reference referenceField(const std::vector<LandmarkPoint>& landmarks, int width, int height, double strength,
                         double fieldOfView) {
  const double s = std::min(1.0, strength);
  const double n = double(landmarks.size());
  double cx = 0, cy = 0;
  double minX = landmarks[0].x, maxX = minX, minY = landmarks[0].y, maxY = minY;
  std::vector<double> z;
  for (const LandmarkPoint& p : landmarks) {
    cx += p.x / n;
    cy += p.y / n;
    minX = std::min(minX, double(p.x)), maxX = std::max(maxX, double(p.x));
    minY = std::min(minY, double(p.y)), maxY = std::max(maxY, double(p.y));
    z.push_back(p.z);
  }
  const double faceW = std::max(1.0, maxX - minX);
  const double faceSize = std::max(maxY - minY, faceW);
  std::sort(z.begin(), z.end());
  const double median = z[z.size() / 2];
  const double zScale = std::max(0.001, (z[453] - z[23]) / 2);
  const double fov = fieldOfView > 1 ? fieldOfView : 68.0;
  const double focal = width / 2.0 / std::tan(fov * kPi / 360.0);
  const double k = std::min(0.55, faceW * 0.9 / focal);
  const double k2 = (1 - 0.9 * s) * k;
  const double cellW = width / double(kColumns), cellH = height / double(kRows);

  Reference ref;
  ref.sigma = std::min(60.0, std::max(cellW, faceSize / 10));
  const int rx = std::max(1, int(std::ceil(3 * ref.sigma / cellW)));
  const int ry = std::max(1, int(std::ceil(3 * ref.sigma / cellH)));
  std::vector<std::array<double, 3>> sums(kColumns * kRows, {0, 0, 0});
  std::vector<double> nearest(kColumns * kRows, std::numeric_limits<double>::infinity());
  for (const LandmarkPoint& p : landmarks) {
    const double t = std::clamp((median - p.z) / zScale, -1.5, 1.5);
    double ratio = 1 - (1 - t * k) / (1 - t * k2);
    if (t < 0) ratio /= 5;
    const int gx = int(std::lround(p.x / cellW - 0.5)), gy = int(std::lround(p.y / cellH - 0.5));
    for (int j = std::max(0, gy - ry); j <= std::min(kRows - 1, gy + ry); ++j) {
      for (int i = std::max(0, gx - rx); i <= std::min(kColumns - 1, gx + rx); ++i) {
        const double d2 = std::pow((i + 0.5) * cellW - p.x, 2) + std::pow((j + 0.5) * cellH - p.y, 2);
        const double w = std::exp(-d2 / (2 * ref.sigma * ref.sigma));
        auto& sum = sums[size_t(j * kColumns + i)];
        sum[0] += (p.x - cx) * ratio * w;
        sum[1] += (p.y - cy) * ratio * w;
        sum[2] += w;
        nearest[size_t(j * kColumns + i)] = std::min(nearest[size_t(j * kColumns + i)], d2);
      }
    }
  }
  for (size_t c = 0; c < sums.size(); ++c) {
    if (sums[c][2] <= 0.0001) {
      ref.offsets.push_back({0, 0});
      continue;
    }
    const double u = std::clamp((std::sqrt(nearest[c]) - ref.sigma) / (1.5 * ref.sigma), 0.0, 1.0);
    const double falloff = 1 - u * u * (3 - 2 * u);
    ref.offsets.push_back({sums[c][0] / sums[c][2] * falloff, sums[c][1] / sums[c][2] * falloff});
  }
  return ref;
}

double largestOffset(const PerspectiveField& field) {
  double most = 0;
  for (const auto& o : field.offsets) most = std::max({most, double(std::fabs(o[0])), double(std::fabs(o[1]))});
  return most;
}

// The distance from a cell's centre to its nearest landmark, in frame pixels.
double nearestLandmark(const std::vector<LandmarkPoint>& landmarks, int width, int height, int column, int row) {
  const double x = (column + 0.5) * width / kColumns, y = (row + 0.5) * height / kRows;
  double best = std::numeric_limits<double>::infinity();
  for (const LandmarkPoint& p : landmarks) best = std::min(best, std::hypot(x - p.x, y - p.y));
  return best;
}

TEST(PerspectiveFieldTest, FollowsTheDoublePrecisionDefinition) {
  struct Case {
    const char* name;
    int width, height;
    double cx, cy, halfWidth;
    float strength, fieldOfView;
  };
  const Case cases[] = {
      {"720p face, half strength, default view", 1280, 720, 640, 360, 110, 0.55f, 0},
      {"1080p face, full strength, 90 degrees", 1920, 1080, 900, 520, 160, 1.0f, 90},
      {"small frame, face over the corner", 640, 480, 60, 50, 90, 0.3f, 1},
      {"face wider than the frame", 320, 240, 160, 120, 300, 0.8f, 50},
      {"one-pixel frame", 1, 1, 0.5, 0.5, 0.4, 1.0f, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto face = domeFace(c.cx, c.cy, c.halfWidth);
    const auto field = buildPerspectiveField(face, c.width, c.height, c.strength, c.fieldOfView);
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->columns, kColumns);
    EXPECT_EQ(field->rows, kRows);
    ASSERT_EQ(field->offsets.size(), size_t(kColumns * kRows));
    const Reference ref = referenceField(face, c.width, c.height, c.strength, c.fieldOfView);
    double most = 0;
    for (const auto& o : ref.offsets) most = std::max({most, std::fabs(o[0]), std::fabs(o[1])});
    EXPECT_GT(most, 0.01 * c.halfWidth) << "the case moves nothing";
    const double tolerance = 1e-4 * most + 1e-5;
    for (size_t cell = 0; cell < ref.offsets.size(); ++cell) {
      ASSERT_NEAR(field->offsets[cell][0], ref.offsets[cell][0], tolerance) << "cell " << cell;
      ASSERT_NEAR(field->offsets[cell][1], ref.offsets[cell][1], tolerance) << "cell " << cell;
    }
  }
}

TEST(PerspectiveFieldTest, FeaturesInFrontArePushedAwayFromTheFaceCentre) {
  const auto face = domeFace(640, 360, 120);
  const auto field = buildPerspectiveField(face, 1280, 720, 1.0f, 0);
  ASSERT_TRUE(field.has_value());
  // The cells half a face-width right and left of the centre, on its row.
  const auto& right = field->offsets[size_t(27 * kColumns + 52)];
  const auto& left = field->offsets[size_t(27 * kColumns + 43)];
  EXPECT_GT(right[0], 0.5f);
  EXPECT_LT(left[0], -0.5f);
}

TEST(PerspectiveFieldTest, UnusableInputGivesNoField) {
  using Edit = std::function<void(std::vector<LandmarkPoint>&, int&, int&, float&)>;
  struct Case {
    const char* name;
    Edit edit;
  };
  const Case cases[] = {
      {"strength 0", [](auto&, int&, int&, float& s) { s = 0; }},
      {"negative strength", [](auto&, int&, int&, float& s) { s = -0.4f; }},
      {"NaN strength", [](auto&, int&, int&, float& s) { s = kNaN; }},
      {"infinite strength", [](auto&, int&, int&, float& s) { s = kInf; }},
      {"477 landmarks", [](auto& p, int&, int&, float&) { p.pop_back(); }},
      {"479 landmarks", [](auto& p, int&, int&, float&) { p.push_back(p.back()); }},
      {"no landmarks", [](auto& p, int&, int&, float&) { p.clear(); }},
      {"zero width", [](auto&, int& w, int&, float&) { w = 0; }},
      {"zero height", [](auto&, int&, int& h, float&) { h = 0; }},
      {"negative width", [](auto&, int& w, int&, float&) { w = -1280; }},
      {"NaN x", [](auto& p, int&, int&, float&) { p[100].x = kNaN; }},
      {"infinite y", [](auto& p, int&, int&, float&) { p[200].y = -kInf; }},
      {"NaN depth", [](auto& p, int&, int&, float&) { p[300].z = kNaN; }},
      {"one landmark at 1e30", [](auto& p, int&, int&, float&) { p[7].x = 1e30f; }},
      {"one landmark at -1e30", [](auto& p, int&, int&, float&) { p[7].y = -1e30f; }},
      {"every landmark at 1e30",
       [](auto& p, int&, int&, float&) {
         for (auto& q : p) q = {1e30f, 1e30f, 1e30f};
       }},
      {"depths no float can span",
       [](auto& p, int&, int&, float&) {
         for (size_t i = 0; i < p.size(); ++i) p[i].z = i % 2 ? 3e38f : -3e38f;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto face = domeFace(640, 360, 110);
    int width = 1280, height = 720;
    float strength = 0.7f;
    c.edit(face, width, height, strength);
    EXPECT_FALSE(buildPerspectiveField(face, width, height, strength, 0).has_value());
  }
}

TEST(PerspectiveFieldTest, StrengthAboveOneActsAsOne) {
  const auto face = domeFace(600, 340, 130);
  const auto full = buildPerspectiveField(face, 1280, 720, 1.0f, 0);
  ASSERT_TRUE(full.has_value());
  for (float strength : {1.0001f, 2.0f, 1e30f}) {
    SCOPED_TRACE(strength);
    const auto field = buildPerspectiveField(face, 1280, 720, strength, 0);
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->offsets, full->offsets);
  }
}

TEST(PerspectiveFieldTest, FieldOfViewNotAboveOneSelects68Degrees) {
  const auto face = domeFace(640, 360, 150);
  const auto at68 = buildPerspectiveField(face, 1280, 720, 0.9f, 68.0f);
  ASSERT_TRUE(at68.has_value());
  for (float fov : {0.0f, 1.0f, -30.0f, kNaN, kInf}) {
    SCOPED_TRACE(fov);
    const auto field = buildPerspectiveField(face, 1280, 720, 0.9f, fov);
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->offsets, at68->offsets);
  }
  const auto wide = buildPerspectiveField(face, 1280, 720, 0.9f, 100.0f);
  ASSERT_TRUE(wide.has_value());
  EXPECT_NE(wide->offsets, at68->offsets);
}

TEST(PerspectiveFieldTest, OneDepthGivesAFieldOfZeros) {
  auto face = domeFace(640, 360, 120);
  for (auto& p : face) p.z = 0.25f;
  const auto field = buildPerspectiveField(face, 1280, 720, 1.0f, 0);
  ASSERT_TRUE(field.has_value());
  EXPECT_EQ(largestOffset(*field), 0.0);
}

// A small face in a corner: every cell at 2.5 sigma or farther from all landmarks stays at
// (0, 0), whether the splat reached it or not.
TEST(PerspectiveFieldTest, CellsFarFromEveryLandmarkStayAtZero) {
  const auto face = domeFace(200, 150, 60);
  const auto field = buildPerspectiveField(face, 1280, 720, 1.0f, 0);
  ASSERT_TRUE(field.has_value());
  const double sigma = referenceField(face, 1280, 720, 1.0, 0).sigma;
  int far = 0, moved = 0;
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const auto& o = field->offsets[size_t(row * kColumns + column)];
      if (o[0] != 0 || o[1] != 0) ++moved;
      if (nearestLandmark(face, 1280, 720, column, row) < 2.5 * sigma + 1e-3) continue;
      ++far;
      EXPECT_EQ(o[0], 0.0f) << column << "," << row;
      EXPECT_EQ(o[1], 0.0f) << column << "," << row;
    }
  }
  EXPECT_GT(far, 4000);
  EXPECT_GT(moved, 20);
}

// An 800-pixel face would ask for sigma 80; capped at 60 the field ends 150 pixels from the
// face, where an uncapped one would still move cells up to 200 pixels out.
TEST(PerspectiveFieldTest, SigmaStopsAtSixtyPixelsForALargeFace) {
  const auto face = domeFace(960, 540, 800 / 2.6);
  const Reference ref = referenceField(face, 1920, 1080, 1.0, 0);
  ASSERT_DOUBLE_EQ(ref.sigma, 60.0);
  const auto field = buildPerspectiveField(face, 1920, 1080, 1.0f, 0);
  ASSERT_TRUE(field.has_value());
  int between = 0;
  for (int row = 0; row < kRows; ++row) {
    for (int column = 0; column < kColumns; ++column) {
      const double d = nearestLandmark(face, 1920, 1080, column, row);
      const auto& o = field->offsets[size_t(row * kColumns + column)];
      if (d > 150.0 + 1e-3 && d < 200.0) {
        ++between;
        EXPECT_EQ(o[0], 0.0f) << column << "," << row;
        EXPECT_EQ(o[1], 0.0f) << column << "," << row;
      }
    }
  }
  EXPECT_GT(between, 50);
}

}  // namespace
}  // namespace tesmira
