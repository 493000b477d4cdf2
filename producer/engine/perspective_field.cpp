// The perspective correction field: each landmark in front of the face's median depth is
// pushed away from the face centre in proportion to how much a pinhole camera magnifies it,
// and the grid takes the Gaussian-weighted mean of the pushes near each cell.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "producer/engine/gpu_compositor.h"

namespace tesmira {

namespace {

constexpr int kColumns = kPerspectiveColumns;
constexpr int kRows = kPerspectiveRows;
constexpr size_t kLandmarks = 478;

bool finite(const LandmarkPoint& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

constexpr float kDefaultFieldOfView = 68.0f;
// A cell index beyond this is no face position; it also keeps the rounding below in range.
constexpr float kLargestCellIndex = 2147483520.0f;  // the largest float below 2^31

}  // namespace

std::optional<PerspectiveField> buildPerspectiveField(const std::vector<LandmarkPoint>& landmarks, int width,
                                                      int height, float strength, float fieldOfView) {
  if (!std::isfinite(strength)) return std::nullopt;
  const float s = std::clamp(strength, 0.0f, 1.0f);
  if (s <= 0.0f) return std::nullopt;
  if (landmarks.size() != kLandmarks || width < 1 || height < 1) return std::nullopt;
  if (!std::all_of(landmarks.begin(), landmarks.end(), finite)) return std::nullopt;

  const float cellW = float(width) / float(kColumns);
  const float cellH = float(height) / float(kRows);
  // Cell coordinates of every landmark; rounding a value beyond long's range is unspecified.
  for (const LandmarkPoint& p : landmarks) {
    if (std::fabs(p.x / cellW - 0.5f) > kLargestCellIndex || std::fabs(p.y / cellH - 0.5f) > kLargestCellIndex)
      return std::nullopt;
  }

  float sumX = 0, sumY = 0;
  float minX = landmarks[0].x, maxX = minX, minY = landmarks[0].y, maxY = minY;
  for (const LandmarkPoint& p : landmarks) {
    sumX += p.x;
    sumY += p.y;
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    minY = std::min(minY, p.y);
    maxY = std::max(maxY, p.y);
  }
  const float cx = sumX * 0.0020920502f;
  const float cy = sumY * 0.0020920502f;
  const float faceW = std::max(1.0f, maxX - minX);
  const float faceSize = std::max(maxY - minY, faceW);

  std::array<float, kLandmarks> depths;
  std::transform(landmarks.begin(), landmarks.end(), depths.begin(), [](const LandmarkPoint& p) { return p.z; });
  std::sort(depths.begin(), depths.end());
  const float median = depths[kLandmarks / 2];
  const float last = float(kLandmarks - 1);
  const float zScale = std::max(0.001f, (depths[size_t(last * 0.95f)] - depths[size_t(last * 0.05f)]) * 0.5f);
  // Depths a float cannot span would turn every push into NaN.
  if (!std::isfinite(zScale)) return std::nullopt;

  const float fov = std::isfinite(fieldOfView) && fieldOfView > 1.0f ? fieldOfView : kDefaultFieldOfView;
  const float focal = (float(width) * 0.5f) / std::max(0.001f, std::tan(fov * 3.1415927f / 180.0f * 0.5f));
  const float k = std::min(0.55f, faceW * 0.9f / focal);
  const float k2 = (1.0f - 0.9f * s) * k;

  const float sigma = std::min(60.0f, std::max(cellW, 0.1f * faceSize));
  const float g = 1.0f / (2.0f * sigma * sigma);
  const int64_t rx = std::max<int64_t>(1, int64_t(std::ceil(3.0f * sigma / cellW)));
  const int64_t ry = std::max<int64_t>(1, int64_t(std::ceil(3.0f * sigma / cellH)));

  constexpr size_t kCells = size_t(kColumns) * kRows;
  std::vector<std::array<float, 2>> sums(kCells, {0.0f, 0.0f});
  std::vector<float> weights(kCells, 0.0f);
  std::vector<float> nearest(kCells, std::numeric_limits<float>::max());

  for (const LandmarkPoint& p : landmarks) {
    const float t = std::clamp((median - p.z) / zScale, -1.5f, 1.5f);
    const float a = t * k;
    const float b = t * k2;
    float ratio = 1.0f - (1.0f - a) / std::max(0.001f, 1.0f - b);
    if (t < 0.0f) ratio *= 0.2f;
    const float dx = (p.x - cx) * ratio;
    const float dy = (p.y - cy) * ratio;

    const int64_t gx = std::llround(p.x / cellW - 0.5f);
    const int64_t gy = std::llround(p.y / cellH - 0.5f);
    const int64_t i0 = std::max<int64_t>(0, gx - rx), i1 = std::min<int64_t>(kColumns - 1, gx + rx);
    const int64_t j0 = std::max<int64_t>(0, gy - ry), j1 = std::min<int64_t>(kRows - 1, gy + ry);
    for (int64_t j = j0; j <= j1; ++j) {
      const float ddy = (float(j) + 0.5f) * cellH - p.y;
      for (int64_t i = i0; i <= i1; ++i) {
        const float ddx = (float(i) + 0.5f) * cellW - p.x;
        const float d2 = ddx * ddx + ddy * ddy;
        const float w = std::exp(-d2 * g);
        const size_t cell = size_t(j * kColumns + i);
        sums[cell][0] += dx * w;
        sums[cell][1] += dy * w;
        weights[cell] += w;
        nearest[cell] = std::min(nearest[cell], d2);
      }
    }
  }

  PerspectiveField field;
  field.columns = kColumns;
  field.rows = kRows;
  field.offsets.assign(kCells, {0.0f, 0.0f});
  for (size_t cell = 0; cell < kCells; ++cell) {
    const float w = weights[cell];
    if (!(w > 0.0001f)) continue;
    const float d = std::sqrt(nearest[cell]);
    const float u = std::clamp((d - sigma) / (2.5f * sigma - sigma), 0.0f, 1.0f);
    const float falloff = 1.0f - u * u * (3.0f - 2.0f * u);
    field.offsets[cell] = {sums[cell][0] / w * falloff, sums[cell][1] / w * falloff};
  }
  return field;
}

}  // namespace tesmira
