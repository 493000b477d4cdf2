#include "producer/engine/crop_geometry.h"

#include <algorithm>
#include <cmath>

namespace tesmira {

std::array<double, 6> invertAffine(const std::array<double, 6>& m) {
  const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5];
  const double det = a * e - b * d;
  const double s = (det < 0 ? -1.0 : 1.0) / std::max(std::fabs(det), 1e-9);
  return {e * s, -b * s, -(c * e * s + f * (-b * s)), -d * s, a * s, -(c * (-d * s) + f * a * s)};
}

CropFootprint cropFootprint(const std::array<double, 6>& cropFromFrame, int frameWidth, int frameHeight) {
  const auto inv = invertAffine(cropFromFrame);
  const double corners[4][2] = {{0, 0}, {kCropWidth, 0}, {kCropWidth, kCropHeight}, {0, kCropHeight}};
  double loX = 0, hiX = 0, loY = 0, hiY = 0;
  for (int i = 0; i < 4; ++i) {
    const double x = inv[0] * corners[i][0] + inv[1] * corners[i][1] + inv[2];
    const double y = inv[3] * corners[i][0] + inv[4] * corners[i][1] + inv[5];
    if (!std::isfinite(x) || !std::isfinite(y)) return {};
    loX = i == 0 ? x : std::min(loX, x);
    hiX = i == 0 ? x : std::max(hiX, x);
    loY = i == 0 ? y : std::min(loY, y);
    hiY = i == 0 ? y : std::max(hiY, y);
  }
  const double w = std::max(frameWidth, 0), h = std::max(frameHeight, 0);
  const double minX = std::clamp(std::floor(loX) - 2.0, 0.0, w), maxX = std::clamp(std::ceil(hiX) + 2.0, 0.0, w);
  const double minY = std::clamp(std::floor(loY) - 2.0, 0.0, h), maxY = std::clamp(std::ceil(hiY) + 2.0, 0.0, h);
  if (maxX <= minX || maxY <= minY) return {};
  return {int32_t(minX), int32_t(minY), int32_t(maxX), int32_t(maxY)};
}

}  // namespace tesmira
