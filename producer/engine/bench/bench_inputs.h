#pragma once
// What the engine benchmarks read: the data folder's models and resources and the face
// picture from the public media, each overridable through the environment.
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "common/environment.h"
#include "producer/options.h"

namespace tesmira::bench {

inline std::filesystem::path cacheDir() {
  const auto dir = environmentValue(L"TESMIRA_CACHE_DIR");
  return dir ? std::filesystem::path(*dir) : std::filesystem::path(TESMIRA_SOURCE_DIR) / ".cache";
}
inline std::filesystem::path dataDir() {
  const auto dir = environmentValue(L"TESMIRA_DATA_DIR");
  return dir ? std::filesystem::path(*dir) : cacheDir() / "data";
}
inline std::filesystem::path mediaDir() {
  const auto dir = environmentValue(L"TESMIRA_MEDIA_DIR");
  return dir ? std::filesystem::path(*dir) : cacheDir() / "media";
}

// The producer's model, calibration and resource paths in the data folder.
inline ProducerOptions dataFolderOptions() {
  const std::filesystem::path data = dataDir();
  ProducerOptions options;
  options.skinModelPath = data / "models" / "retouch.onnx";
  options.teethModelPath = data / "models" / "teeth_whitening.onnx";
  options.calibrationPath = data / "models" / "calibration" / "mediapipe_crop_calibration.json";
  options.landmarkDetectorModelPath = data / "models" / "mp_landmarker" / "onnx" / "face_detector.onnx";
  options.landmarkMeshModelPath = data / "models" / "mp_landmarker" / "onnx" / "face_landmarks_detector.onnx";
  options.resourcesDir = data / "app" / "base" / "Sources" / "Prismwell" / "Resources";
  options.facemaskPath = options.resourcesDir / "facemask.png";
  options.skinMaskPath = options.resourcesDir / "skin_mask.png";
  options.teethMaskPath = options.resourcesDir / "teeth_whitening_mask.png";
  options.lookupPath = options.resourcesDir / "lookup.png";
  return options;
}

// The face picture scaled to the frame's height, centred with its edges replicated; empty
// when the picture is missing.
inline cv::Mat facePicture(int width, int height) {
  const cv::Mat picture = cv::imread((mediaDir() / "astronaut.png").string(), cv::IMREAD_COLOR);
  if (picture.empty()) return {};
  cv::Mat scaled;
  const double scale = double(height) / picture.rows;
  cv::resize(picture, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
  const int left = std::max(0, (width - scaled.cols) / 2);
  cv::Mat frame;
  cv::copyMakeBorder(scaled, frame, 0, 0, left, std::max(0, width - scaled.cols - left), cv::BORDER_REPLICATE);
  return frame(cv::Rect(0, 0, width, height)).clone();
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

}  // namespace tesmira::bench
