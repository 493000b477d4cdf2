#include "producer/engine/landmark_choice.h"

#include "common/environment.h"
#include "producer/engine/mediapipe_landmarker.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/producer_log.h"

namespace tesmira {

std::unique_ptr<ILandmarkSource> makeLandmarkSource(const ProducerOptions& options) {
  constexpr float kDetectionConfidence = 0.5f;
  constexpr float kPresenceConfidence = 0.5f;
  std::unique_ptr<ILandmarkSource> source;
  if (environmentBeginsWith(L"TESMIRA_ONNX_LANDMARKER", L'1')) {
    source = std::make_unique<OnnxLandmarker>(options.landmarkDetectorModelPath, options.landmarkMeshModelPath,
                                              options.provider, kDetectionConfidence, options.minTrackingConfidence);
    // The provider asked for, also when the landmarker fell back to the CPU.
    logLine("landmarker: onnx provider=" + providerName(options.provider));
  } else {
    source = std::make_unique<MediaPipeLandmarker>(options.mediaPipeLibPath, options.faceTaskPath, kDetectionConfidence,
                                                   kPresenceConfidence, options.minTrackingConfidence);
    logLine("landmarker: mediapipe");
  }
  return source;
}

}  // namespace tesmira
