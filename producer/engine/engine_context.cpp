#include "producer/engine/engine_context.h"

#include <stdexcept>

#include "common/environment.h"
#include "producer/engine/mediapipe_landmarker.h"
#include "producer/engine/onnx_landmarker.h"
#include "producer/producer_log.h"

namespace tesmira {

std::unique_ptr<ILandmarkSource> createLandmarkSource(const ProducerOptions& options, LandmarkSourceKind kind) {
  if (kind == LandmarkSourceKind::kOnnx) {
    return std::make_unique<OnnxLandmarker>(options.landmarkDetectorModelPath, options.landmarkMeshModelPath,
                                            options.provider, 0.5f, options.minTrackingConfidence);
  }
  return std::make_unique<MediaPipeLandmarker>(options.mediaPipeLibPath, options.faceTaskPath, 0.5f, 0.5f,
                                               options.minTrackingConfidence);
}

RetouchContext::RetouchContext(const ProducerOptions& options, const RetouchContextSeams& seams) {
  calibration_.load(options.calibrationPath);
  models_ = std::make_unique<RetouchModels>(options.skinModelPath, options.teethModelPath, options.provider);
  engine_ = std::make_unique<RetouchEngine>(options, *models_, calibration_, true,
                                            seams.makeCompositor ? seams.makeCompositor : createGpuCompositor);
  const LandmarkSourceFactory make = seams.makeLandmarkSource ? seams.makeLandmarkSource : createLandmarkSource;
  if (environmentBeginsWith("TESMIRA_ONNX_LANDMARKER", '1')) {
    landmarkSource_ = make(options, LandmarkSourceKind::kOnnx);
    if (!landmarkSource_) throw std::runtime_error("ONNX landmarker unavailable");
    logLine("landmarker: onnx provider=" + providerName(options.provider));
  } else {
    landmarkSource_ = make(options, LandmarkSourceKind::kMediaPipe);
    if (!landmarkSource_) throw std::runtime_error("MediaPipe landmarker unavailable");
    logLine("landmarker: mediapipe");
  }
}

RetouchContext::~RetouchContext() = default;

}  // namespace tesmira
