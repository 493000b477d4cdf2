#pragma once
// What the main loop tells usage telemetry: which surfaces are active, who consumes
// the virtual camera, the camera state of published frames and the end of the preview.
#include <memory>
#include <optional>
#include <string>

#include "producer/retouch_settings.h"
#include "producer/telemetry_sink.h"

namespace tesmira {

// What one pass learned about the surfaces.
struct SurfaceReading {
  bool preview = false;
  bool vcam = false;
  bool previewCleared = false;  // the control channel is valid and says the preview has gone
  std::string consumerKey;      // empty unless vcam
};

class TelemetryFeed {
 public:
  // seeded and bypass describe the camera state before any frame was recorded.
  TelemetryFeed(std::unique_ptr<ITelemetrySink> sink, const RetouchSettings& seeded, bool bypass);
  TelemetryFeed(const TelemetryFeed&) = delete;
  TelemetryFeed& operator=(const TelemetryFeed&) = delete;

  // Preview-off when the preview ended since the last pass, then the consumer key, then
  // each surface whose activity changed (preview first).
  void followSurfaces(const SurfaceReading& reading);
  void recordCameraState(const CameraStateSnapshot& snapshot, CameraStateReason reason);

 private:
  std::unique_ptr<ITelemetrySink> sink_;
  CameraStateSnapshot beforeFirstState_;
  std::optional<CameraStateSnapshot> lastState_;
  bool previewWasActive_ = false;
  bool recordedPreview_ = false;
  bool recordedVcam_ = false;
};

}  // namespace tesmira
