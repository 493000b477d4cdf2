#include "producer/telemetry_sink.h"

namespace tesmira {
namespace {

class SilentTelemetry final : public ITelemetrySink {
 public:
  void setSurfaceActive(TelemetrySurface, bool) override {}
  void setConsumerKey(const std::string&) override {}
  void recordCameraState(const CameraStateSnapshot&, CameraStateReason) override {}
  void recordPreviewOff(const CameraStateSnapshot&) override {}
};

}  // namespace

std::unique_ptr<ITelemetrySink> makeSilentTelemetry(const std::string&) { return std::make_unique<SilentTelemetry>(); }

}  // namespace tesmira
