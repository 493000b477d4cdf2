#pragma once
// The producer's usage telemetry: each camera state that holds for 15 published frames
// becomes a "camera_state_confirmed" event in the persistent queue.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "producer/telemetry_sink.h"

namespace tesmira::telemetry {

inline constexpr uint32_t kConfirmFrames = 15;

struct PendingCameraState {
  std::string stateKey;
  std::string stateId;
  nlohmann::json event;
  uint32_t count = 0;
};

struct CameraStateTracker {
  bool active = false;
  std::string sessionId;
  std::optional<PendingCameraState> candidate;
  std::string confirmedStateKey;
  std::string confirmedStateId;
  uint32_t stateIndex = 0;
};

class TelemetryClient final : public ITelemetrySink {
 public:
  // Throws the endpoint errors; a local endpoint is announced on standard output and in the log.
  explicit TelemetryClient(const std::string& endpointUrl);

  // None of these throws: telemetry never stops the video.
  void setSurfaceActive(TelemetrySurface surface, bool active) override;
  void setConsumerKey(const std::string& key) override;
  void recordCameraState(const CameraStateSnapshot& snapshot, CameraStateReason reason) override;
  void recordPreviewOff(const CameraStateSnapshot& snapshot) override;

  void enqueueEvent(const nlohmann::json& event);
  nlohmann::json buildEventEnvelope(const CameraStateTracker& tracker, TelemetrySurface surface,
                                    const CameraStateSnapshot& snapshot, const nlohmann::json& fingerprint) const;
  void trackSurfaceState(CameraStateTracker& tracker, TelemetrySurface surface, const CameraStateSnapshot& snapshot,
                         const nlohmann::json& fingerprint, int32_t reason);
  std::string stateKey(TelemetrySurface surface, const CameraStateSnapshot& snapshot,
                       const nlohmann::json& fingerprint, int32_t reason) const;

  const CameraStateTracker& tracker(TelemetrySurface surface) const {
    return surface == TelemetrySurface::kPreview ? preview_ : vcam_;
  }

 private:
  CameraStateTracker& trackerFor(TelemetrySurface surface) {
    return surface == TelemetrySurface::kPreview ? preview_ : vcam_;
  }

  CameraStateTracker preview_;
  CameraStateTracker vcam_;
  std::string consumerKey_;
};

std::unique_ptr<ITelemetrySink> makeTelemetryClient(const std::string& endpointUrl);

}  // namespace tesmira::telemetry
