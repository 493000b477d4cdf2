// The physical camera for builds without a camera capture: every open fails with
// MF_E_NOT_FOUND, as on a machine without a camera.
#include <string>

#include "producer/capture_source.h"
#include "producer/producer_log.h"

namespace tesmira {
namespace {

constexpr HRESULT kNotFound = HRESULT(0xC00D36D5u);  // MF_E_NOT_FOUND

class NoCamera final : public ICaptureSource {
 public:
  bool open(const CaptureRequest& request, bool) override {
    logLine("warning: could not open camera index " + std::to_string(request.cameraIndex) +
            " error=" + std::to_string(uint32_t(kNotFound)));
    return false;
  }
  bool waitFrame(cv::Mat& bgr, uint32_t) override {
    bgr.release();
    return false;
  }
  void stop() override {}
  HRESULT lastHresult() const override { return kNotFound; }
  bool mirrorsInCapture() const override { return false; }
};

}  // namespace

std::unique_ptr<ICaptureSource> makePhysicalCamera(const ProducerOptions&) { return std::make_unique<NoCamera>(); }

}  // namespace tesmira
