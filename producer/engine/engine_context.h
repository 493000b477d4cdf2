#pragma once
// Everything the producer needs for retouching, built together on the first demand and
// dropped together: calibration, landmark source, retouch models and engine.
#include <functional>
#include <memory>

#include "producer/engine/crop_calibration.h"
#include "producer/engine/gpu_compositor.h"
#include "producer/engine/landmark_source.h"
#include "producer/engine/retouch_engine.h"
#include "producer/engine/retouch_models.h"
#include "producer/options.h"

namespace tesmira {

enum class LandmarkSourceKind { kMediaPipe, kOnnx };

// Makes the landmark source of that kind from the options; throws when it cannot.
using LandmarkSourceFactory =
    std::function<std::unique_ptr<ILandmarkSource>(const ProducerOptions& options, LandmarkSourceKind kind)>;
std::unique_ptr<ILandmarkSource> createLandmarkSource(const ProducerOptions& options, LandmarkSourceKind kind);

// Where the context's parts come from; empty members take the real ones.
struct RetouchContextSeams {
  CompositorFactory makeCompositor;
  LandmarkSourceFactory makeLandmarkSource;
};

class RetouchContext {
 public:
  // Throws what its parts throw; whatever was built is destroyed again.
  explicit RetouchContext(const ProducerOptions& options, const RetouchContextSeams& seams = {});
  ~RetouchContext();
  RetouchContext(const RetouchContext&) = delete;
  RetouchContext& operator=(const RetouchContext&) = delete;

  const CropCalibration& calibration() const { return calibration_; }
  ILandmarkSource& landmarkSource() { return *landmarkSource_; }
  RetouchModels& models() { return *models_; }
  RetouchEngine& engine() { return *engine_; }

 private:
  // Destroyed in reverse: engine, models, landmark source, calibration.
  CropCalibration calibration_;
  std::unique_ptr<ILandmarkSource> landmarkSource_;
  std::unique_ptr<RetouchModels> models_;
  std::unique_ptr<RetouchEngine> engine_;
};

}  // namespace tesmira
