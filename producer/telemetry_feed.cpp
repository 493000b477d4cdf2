#include "producer/telemetry_feed.h"

namespace tesmira {

TelemetryFeed::TelemetryFeed(std::unique_ptr<ITelemetrySink> sink, const RetouchSettings& seeded, bool bypass)
    : sink_(std::move(sink)) {
  beforeFirstState_.settings = seeded;
  beforeFirstState_.bypass = bypass;
  beforeFirstState_.width = 1280;
  beforeFirstState_.height = 720;
  beforeFirstState_.fps = 30.0;
}

void TelemetryFeed::followSurfaces(const SurfaceReading& reading) {
  if (previewWasActive_ && !reading.preview && reading.previewCleared) {
    sink_->recordPreviewOff(lastState_ ? *lastState_ : beforeFirstState_);
  }
  sink_->setConsumerKey(reading.consumerKey);
  if (reading.preview != recordedPreview_) {
    sink_->setSurfaceActive(TelemetrySurface::kPreview, reading.preview);
    recordedPreview_ = reading.preview;
  }
  if (reading.vcam != recordedVcam_) {
    sink_->setSurfaceActive(TelemetrySurface::kVcam, reading.vcam);
    recordedVcam_ = reading.vcam;
  }
  previewWasActive_ = reading.preview;
}

void TelemetryFeed::recordCameraState(const CameraStateSnapshot& snapshot, CameraStateReason reason) {
  lastState_ = snapshot;
  sink_->recordCameraState(snapshot, reason);
}

}  // namespace tesmira
