#pragma once
// One abstract face finder: landmark points of the tracked face in pixels of the frame.
#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

namespace tesmira {

struct LandmarkPoint {
  float x = 0;
  float y = 0;
  // Depth in the scale of x.
  float z = 0;
};

struct LandmarkResult {
  bool found = false;
  std::vector<LandmarkPoint> points;
};

class ILandmarkSource {
 public:
  virtual ~ILandmarkSource() = default;
  // frame: 8-bit BGR; timestampMs increases from call to call. Throws std::runtime_error.
  virtual LandmarkResult detect(const cv::Mat& frame, int64_t timestampMs) = 0;
};

}  // namespace tesmira
