#include "producer/landmark_lead.h"

#include <algorithm>
#include <cmath>

namespace tesmira {

std::vector<LandmarkPoint> LandmarkLead::predict(const LandmarkResult& detection, uint64_t timestampMs,
                                                 int32_t width, int32_t height, double leadMs) {
  const std::vector<LandmarkPoint>& current = detection.points;
  const uint64_t dt = timestampMs - previousMs_;
  // Also catches a time stamp earlier than the previous one.
  const bool passThrough =
      !(leadMs > 0.0) || previous_.empty() || previous_.size() != current.size() || dt - 2 > 248;
  if (passThrough) {
    previous_.assign(current.begin(), current.end());
    previousMs_ = timestampMs;
    return current;
  }
  const float scale = float(leadMs / double(dt));
  const float maxStep = std::max(float(std::max(width, height)) * 0.08f, 12.0f);
  std::vector<LandmarkPoint> predicted(current.size());
  for (size_t i = 0; i < current.size(); ++i) {
    const LandmarkPoint& c = current[i];
    const LandmarkPoint& p = previous_[i];
    float dx = (c.x - p.x) * scale, dy = (c.y - p.y) * scale, dz = (c.z - p.z) * scale;
    const float len = std::sqrt(dx * dx + dy * dy);
    if (len > maxStep) {
      const float shrink = maxStep / len;
      dx *= shrink;
      dy *= shrink;
      dz *= shrink;
    }
    predicted[i] = {c.x + dx, c.y + dy, c.z + dz};
  }
  previous_.assign(current.begin(), current.end());
  previousMs_ = timestampMs;
  return predicted;
}

void LandmarkLead::reset() {
  previous_.clear();
  previousMs_ = 0;
}

}  // namespace tesmira
