#include "producer/engine/engine_context.h"

#include <stdexcept>

#include "common/environment.h"
#include "producer/producer_log.h"

namespace tesmira {

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
