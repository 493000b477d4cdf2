#pragma once
// The producer's model, calibration and resource paths in a built data folder, for the
// tools and tests that run the engine on the real models.
#include <filesystem>

#include "producer/options.h"

namespace tesmira {

inline ProducerOptions dataFolderOptions(const std::filesystem::path& data) {
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

}  // namespace tesmira
