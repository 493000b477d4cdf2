#include "producer/retouch_context.h"

#include <algorithm>
#include <limits>

#include "producer/engine/engine_context.h"

namespace tesmira {
namespace {

class PassThroughContext final : public IRetouchContext {
 public:
  std::string providerName() const override { return "cpu"; }
  ID3D11Device* d3dDevice() const override { return nullptr; }
  LandmarkResult detect(const cv::Mat&, int64_t) override { return {}; }
  bool processFrame(const CameraFrame& frame, const std::vector<LandmarkPoint>&, const RetouchSettings&,
                    std::vector<uint8_t>&, int&, int&, cv::Mat& output, RetouchTimings&) override {
    output = frame.image;
    return false;
  }
};

class EngineContext final : public IRetouchContext {
 public:
  explicit EngineContext(const ProducerOptions& options) : context_(options) {}
  std::string providerName() const override { return context_.models().providerUsed(); }
  ID3D11Device* d3dDevice() const override { return context_.engine().d3dDevice(); }
  LandmarkResult detect(const cv::Mat& frame, int64_t timestampMs) override {
    return context_.landmarkSource().detect(frame, timestampMs);
  }
  bool processFrame(const CameraFrame& frame, const std::vector<LandmarkPoint>& points,
                    const RetouchSettings& settings, std::vector<uint8_t>& nv12, int& outWidth, int& outHeight,
                    cv::Mat& output, RetouchTimings& timings) override {
    uint32_t width = 0, height = 0;
    const bool nv12Ready =
        context_.engine().processFrame(frame, points, settings, nv12, width, height, output, &timings);
    if (nv12Ready) {
      constexpr uint32_t kIntMax = uint32_t(std::numeric_limits<int>::max());
      outWidth = int(std::min(width, kIntMax));
      outHeight = int(std::min(height, kIntMax));
    }
    return nv12Ready;
  }

 private:
  mutable RetouchContext context_;
};

}  // namespace

std::unique_ptr<IRetouchContext> makeRetouchContext(const ProducerOptions& options) {
  return std::make_unique<EngineContext>(options);
}

std::unique_ptr<IRetouchContext> makePassThroughContext(const ProducerOptions&) {
  return std::make_unique<PassThroughContext>();
}

}  // namespace tesmira
