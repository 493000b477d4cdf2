#include "producer/engine/engine_context.h"

#include <future>
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
  const LandmarkSourceFactory make = seams.makeLandmarkSource ? seams.makeLandmarkSource : createLandmarkSource;
  const bool onnx = environmentBeginsWith("TESMIRA_ONNX_LANDMARKER", '1');
  const LandmarkSourceKind kind = onnx ? LandmarkSourceKind::kOnnx : LandmarkSourceKind::kMediaPipe;
  // The landmark source shares nothing with the other parts: it is made on a thread of its
  // own meanwhile. Leaving early (an error) waits for it, and what it made is destroyed.
  std::future<std::unique_ptr<ILandmarkSource>> landmarks =
      std::async(std::launch::async, [&make, &options, kind] { return make(options, kind); });
  std::future<void> warmUp;
  try {
    calibration_.load(options.calibrationPath);
    models_ = std::make_unique<RetouchModels>(options.skinModelPath, options.teethModelPath, options.provider);
    // The models' first runs are slow; they happen while the engine is built, not in the
    // first frame. A run that fails here fails again in the frame, which reports it.
    warmUp = std::async(std::launch::async, [models = models_.get()] {
      try {
        models->warmUp();
      } catch (const std::exception&) {
      }
    });
    engine_ = std::make_unique<RetouchEngine>(options, *models_, calibration_, true,
                                              seams.makeCompositor ? seams.makeCompositor : createGpuCompositor);
    warmUp.get();
  } catch (...) {
    if (warmUp.valid()) warmUp.wait();
    landmarks.wait();
    throw;
  }
  landmarkSource_ = landmarks.get();
  if (onnx) {
    if (!landmarkSource_) throw std::runtime_error("ONNX landmarker unavailable");
    logLine("landmarker: onnx provider=" + providerName(options.provider));
  } else {
    if (!landmarkSource_) throw std::runtime_error("MediaPipe landmarker unavailable");
    logLine("landmarker: mediapipe");
  }
}

RetouchContext::~RetouchContext() = default;

}  // namespace tesmira
