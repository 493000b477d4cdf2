#pragma once
// The face found by the MediaPipe face landmarker library, loaded at run time through its
// flat C functions.
#include <opencv2/core.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>

#include "producer/engine/landmark_source.h"

namespace tesmira {

class MediaPipeLandmarker final : public ILandmarkSource {
 public:
  // Throws std::runtime_error when the library cannot be loaded, lacks an export or refuses
  // the options; the library is unloaded again.
  MediaPipeLandmarker(const std::filesystem::path& libraryPath, const std::filesystem::path& faceTaskPath,
                      float minDetectionConfidence, float minPresenceConfidence, float minTrackingConfidence);
  ~MediaPipeLandmarker() override;
  MediaPipeLandmarker(const MediaPipeLandmarker&) = delete;
  MediaPipeLandmarker& operator=(const MediaPipeLandmarker&) = delete;

  LandmarkResult detect(const cv::Mat& frame, int64_t timestampMs) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tesmira
