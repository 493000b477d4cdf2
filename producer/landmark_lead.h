#pragma once
// Moves the landmarks ahead along their velocity between the last two detections, so that
// the retouch sits where the face will be when the frame is seen.
#include <cstdint>
#include <vector>

#include "producer/engine/landmark_source.h"

namespace tesmira {

class LandmarkLead {
 public:
  // The predicted points, as many as the detection has. Always remembers the detection.
  std::vector<LandmarkPoint> predict(const LandmarkResult& detection, uint64_t timestampMs, int32_t width,
                                     int32_t height, double leadMs);
  // The next predict passes its input through.
  void reset();

 private:
  std::vector<LandmarkPoint> previous_;
  uint64_t previousMs_ = 0;
};

}  // namespace tesmira
