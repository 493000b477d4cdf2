#include "producer/retouch_context.h"

namespace tesmira {
namespace {

class PassThroughContext final : public IRetouchContext {
 public:
  std::string providerName() const override { return "cpu"; }
  bool hasGpuCompositor() const override { return false; }
  LandmarkResult detect(const cv::Mat&, int64_t) override { return {}; }
  bool processFrame(const cv::Mat& frame, const std::vector<LandmarkPoint>&, const RetouchSettings&,
                    std::vector<uint8_t>&, int&, int&, cv::Mat& output, RetouchTimings&) override {
    output = frame;
    return false;
  }
};

}  // namespace

std::unique_ptr<IRetouchContext> makePassThroughContext(const ProducerOptions&) {
  return std::make_unique<PassThroughContext>();
}

}  // namespace tesmira
