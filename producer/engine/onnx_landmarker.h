#pragma once
// The face found with two ONNX models on ONNX Runtime: a short-range detector over the whole
// frame, then a face mesh on a rotated crop that follows the face from frame to frame.
#include <opencv2/core.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "producer/engine/landmark_source.h"
#include "producer/options.h"

namespace tesmira {

// A rotated square around the face, in frame pixels; angle in radians.
struct FaceRegion {
  float centerX = 0;
  float centerY = 0;
  float side = 0;
  float angle = 0;
};

// Box and key points relative to the frame (0..1).
struct FaceDetection {
  float left = 0;
  float top = 0;
  float width = 0;
  float height = 0;
  std::array<cv::Point2f, 6> keyPoints{};
  float score = 0;
  bool found = false;
};

namespace landmarks {

constexpr int kDetectorSize = 128;
constexpr int kMeshSize = 256;
constexpr size_t kAnchorCount = 896;
constexpr size_t kRegressorsPerAnchor = 16;
constexpr size_t kMeshPoints = 478;
// The eye corners that set the tracked region's angle.
constexpr size_t kRightEyeOuter = 33;
constexpr size_t kLeftEyeOuter = 263;

// The short-range detector's fixed grid: 16x16 cells of 2, then 8x8 cells of 6.
std::vector<cv::Point2f> detectorAnchors();
// The best anchor strictly above the threshold (ties: the lower index). Throws "ONNX landmark
// output is smaller than expected." when either output is short. A box or key point that is
// not finite, or a box without area, is no face.
FaceDetection decodeDetection(const float* regressors, size_t regressorCount, const float* scores, size_t scoreCount,
                              const std::vector<cv::Point2f>& anchors, float threshold);
FaceRegion regionFromDetection(const FaceDetection& detection, int width, int height);
// The next region from the mesh's points; false when a point is not finite or the region
// would have a side below one pixel (a collapsed mesh).
bool regionFromPoints(const std::vector<LandmarkPoint>& points, FaceRegion& region);
// Frame pixels to crop pixels of the mesh's 256x256 input.
cv::Matx23d cropTransform(const FaceRegion& region);

}  // namespace landmarks

class OnnxLandmarker final : public ILandmarkSource {
 public:
  // Throws the runtime's Ort::Exception when the environment or a session cannot be made.
  OnnxLandmarker(const std::filesystem::path& detectorModelPath, const std::filesystem::path& meshModelPath,
                 InferenceProvider provider, float detectionThreshold, float trackingThreshold);
  ~OnnxLandmarker() override;
  OnnxLandmarker(const OnnxLandmarker&) = delete;
  OnnxLandmarker& operator=(const OnnxLandmarker&) = delete;

  // The time stamp is not used. A runtime error leaves the tracking state as it was.
  LandmarkResult detect(const cv::Mat& frame, int64_t timestampMs) override;

  // Model runs so far, for the tools and the tests.
  uint64_t detectorRuns() const;
  uint64_t meshRuns() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tesmira
