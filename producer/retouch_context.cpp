#include "producer/retouch_context.h"

#include "producer/engine/landmark_choice.h"

namespace tesmira {
namespace {

// Finds the face with the real landmark source; frames pass unretouched.
class PassThroughContext final : public IRetouchContext {
 public:
  explicit PassThroughContext(const ProducerOptions& options) : landmarks_(makeLandmarkSource(options)) {}
  std::string providerName() const override { return "cpu"; }
  bool hasGpuCompositor() const override { return false; }
  LandmarkResult detect(const cv::Mat& frame, int64_t timestampMs) override {
    return landmarks_->detect(frame, timestampMs);
  }
  bool processFrame(const cv::Mat& frame, const std::vector<LandmarkPoint>&, const RetouchSettings&,
                    std::vector<uint8_t>&, int&, int&, cv::Mat& output, RetouchTimings&) override {
    output = frame;
    return false;
  }

 private:
  std::unique_ptr<ILandmarkSource> landmarks_;
};

}  // namespace

std::unique_ptr<IRetouchContext> makePassThroughContext(const ProducerOptions& options) {
  return std::make_unique<PassThroughContext>(options);
}

}  // namespace tesmira
