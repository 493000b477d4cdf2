#pragma once
// The main loop's seam to usage telemetry; the client proper plugs in here.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "producer/retouch_settings.h"

namespace tesmira {

enum class CameraStateReason : int32_t { kRetouched = 0, kNoFace = 1, kBypass = 2, kModelError = 5 };
enum class TelemetrySurface { kPreview, kVcam };

struct CameraStateSnapshot {
  RetouchSettings settings;
  bool bypass = false;
  uint32_t width = 0;
  uint32_t height = 0;
  double fps = 30.0;
  std::string provider;
};

class ITelemetrySink {
 public:
  virtual ~ITelemetrySink() = default;
  virtual void setSurfaceActive(TelemetrySurface surface, bool active) = 0;
  virtual void setConsumerKey(const std::string& key) = 0;
  virtual void recordCameraState(const CameraStateSnapshot& snapshot, CameraStateReason reason) = 0;
  virtual void recordPreviewOff(const CameraStateSnapshot& snapshot) = 0;
};

// Built from the telemetry endpoint URL; throws the endpoint's errors.
using TelemetryFactory = std::function<std::unique_ptr<ITelemetrySink>(const std::string& endpoint)>;
std::unique_ptr<ITelemetrySink> makeSilentTelemetry(const std::string& endpoint);

}  // namespace tesmira
