#include "producer/engine/engine_context.h"

namespace tesmira {
namespace {

// Stands in for both landmark sources until they are built: it finds no face, so
// every frame passes through the engine unretouched.
class NoFaceLandmarkSource final : public ILandmarkSource {
 public:
  LandmarkResult detect(const cv::Mat&, int64_t) override { return {}; }
};

}  // namespace

std::unique_ptr<ILandmarkSource> createLandmarkSource(const ProducerOptions&, LandmarkSourceKind) {
  return std::make_unique<NoFaceLandmarkSource>();
}

}  // namespace tesmira
