#pragma once
// Where the 320x512 skin crop lies in the camera frame: a small linear model on the face
// landmarks predicts two points that a similarity transform carries onto fixed crop points.
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "producer/engine/landmark_source.h"

namespace tesmira {

class CropCalibration {
 public:
  struct Point {
    double x = 0;
    double y = 0;
  };

  std::vector<int32_t> anchor_left_indices;
  std::vector<int32_t> anchor_right_indices;
  std::vector<std::string> features;
  std::vector<double> feature_mean;
  std::vector<double> feature_scale;
  std::vector<bool> constant_mask;
  std::vector<std::array<double, 4>> coef;
  Point template_left_px;
  Point template_right_px;

  // Fills every field from the calibration file or throws std::runtime_error (or the JSON
  // library's own error for malformed JSON, a missing key or a wrong type).
  void load(const std::filesystem::path& file);

  // Left x, left y, right x, right y in frame pixels. Throws for this frame only.
  std::array<double, 4> predictPoints(const std::vector<LandmarkPoint>& points) const;
  // The 2x3 frame-to-crop similarity transform, row by row. Throws for this frame only.
  std::array<double, 6> cropPoints(const std::vector<LandmarkPoint>& points) const;
};

}  // namespace tesmira
