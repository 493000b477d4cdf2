#include "producer/telemetry/telemetry_client.h"

#include <iostream>
#include <system_error>

#include "producer/producer_log.h"
#include "producer/telemetry/batch_upload.h"
#include "producer/telemetry/camera_state.h"
#include "producer/telemetry/event_queue.h"
#include "producer/telemetry/telemetry_endpoint.h"

namespace tesmira::telemetry {
namespace {

using nlohmann::json;

const char* surfaceName(TelemetrySurface surface) {
  return surface == TelemetrySurface::kPreview ? "preview" : "vcam";
}

}  // namespace

TelemetryClient::TelemetryClient(const std::string& endpointUrl) {
  const TelemetryEndpoint endpoint = parseTelemetryEndpoint(endpointUrl);
  setTelemetryEndpoint(endpoint);
  std::error_code ec;
  std::filesystem::create_directories(telemetryFolder(), ec);
  if (endpoint.local) {
    const std::string line = "local telemetry endpoint enabled: " + endpointUrl;
    std::cout << line << std::endl;
    logLine(line);
  }
}

void TelemetryClient::setSurfaceActive(TelemetrySurface surface, bool active) {
  try {
    CameraStateTracker& t = trackerFor(surface);
    if (t.active == active) return;
    t.active = active;
    t.candidate.reset();
    if (!active) return;
    t.sessionId = newGuidString();
    t.stateIndex = 0;
    t.confirmedStateKey.clear();
    t.confirmedStateId.clear();
    scheduleTelemetryUpload();
  } catch (...) {
  }
}

void TelemetryClient::setConsumerKey(const std::string& key) {
  try {
    consumerKey_ = key;
  } catch (...) {
  }
}

json TelemetryClient::buildEventEnvelope(const CameraStateTracker& tracker, TelemetrySurface surface,
                                         const CameraStateSnapshot& snapshot, const json& fingerprint) const {
  json event = fingerprint.is_object() ? fingerprint : json::object();
  const bool vcam = surface == TelemetrySurface::kVcam;
  event["event_name"] = "camera_state_confirmed";
  event["schema_version"] = 1;
  event["protocol_version"] = 1;
  event["install_id"] = loadOrCreateInstallId();
  event["user_id"] = nullptr;
  event["surface"] = surfaceName(surface);
  event["session_id"] = tracker.sessionId;
  event["platform"] = "windows";
  event["app_version"] = "1.5.2";
  event["runtime_version"] = "windows-vcam-producer";
  event["build"] = "unknown";
  event["os_version"] = "windows";
  event["arch"] = "x64";
  event["consumer_app"] = vcam ? json(classifyConsumerApp(consumerKey_)) : json(nullptr);
  event["consumer_raw"] = vcam && !consumerKey_.empty() ? json(consumerKey_) : json(nullptr);
  event["consumer_bundle_hash"] = nullptr;
  event["camera_kind"] = "external";
  event["camera_id_hash"] = nullptr;
  event["output_width"] = snapshot.width;
  event["output_height"] = snapshot.height;
  event["requested_fps"] = double(snapshot.fps);
  return event;
}

std::string TelemetryClient::stateKey(TelemetrySurface surface, const CameraStateSnapshot& snapshot,
                                      const json& fingerprint, int32_t reason) const {
  const std::string tag = surface == TelemetrySurface::kPreview ? "preview"
                          : consumerKey_.empty()                ? "vcam_unknown"
                                                                : consumerKey_;
  return std::string(reason == 0 ? "retouched" : "passthrough") + ":" + reasonName(reason) + "|" +
         effectLevelKey(fingerprint) + "|" + std::to_string(snapshot.width) + "x" + std::to_string(snapshot.height) +
         "@" + shortNumber(snapshot.fps) + "|" + tag;
}

void TelemetryClient::trackSurfaceState(CameraStateTracker& tracker, TelemetrySurface surface,
                                        const CameraStateSnapshot& snapshot, const json& fingerprint,
                                        int32_t reason) {
  const std::string key = stateKey(surface, snapshot, fingerprint, reason);
  if (!tracker.candidate || tracker.candidate->stateKey != key) {
    PendingCameraState pending;
    pending.stateKey = key;
    pending.stateId = newGuidString();
    pending.event = buildEventEnvelope(tracker, surface, snapshot, fingerprint);
    pending.event["state_id"] = pending.stateId;
    pending.event["previous_state_id"] =
        tracker.confirmedStateId.empty() ? json(nullptr) : json(tracker.confirmedStateId);
    pending.event["state"] = reason == 0 ? "retouched" : "passthrough";
    pending.event["reason"] = reasonName(reason);
    pending.event["confirmed_after_frames"] = kConfirmFrames;
    tracker.candidate = std::move(pending);
  }
  PendingCameraState& c = *tracker.candidate;
  ++c.count;
  if (c.count < kConfirmFrames || c.stateKey == tracker.confirmedStateKey) return;
  json event = c.event;
  event["event_id"] = newGuidString();
  event["event_time"] = utcTimestampNow();
  event["state_index"] = ++tracker.stateIndex;
  event["confirmed_frame_count"] = c.count;
  tracker.confirmedStateKey = c.stateKey;
  tracker.confirmedStateId = c.stateId;
  enqueueEvent(event);
}

void TelemetryClient::recordCameraState(const CameraStateSnapshot& snapshot, CameraStateReason reason) {
  try {
    if (!preview_.active && !vcam_.active) return;
    const json fingerprint = buildEffectFingerprint(snapshot);
    int32_t r = int32_t(reason);
    if (r == 0 && !fingerprint.value("effect_enabled", false)) r = kZeroStrengthReason;
    if (preview_.active) trackSurfaceState(preview_, TelemetrySurface::kPreview, snapshot, fingerprint, r);
    if (vcam_.active) trackSurfaceState(vcam_, TelemetrySurface::kVcam, snapshot, fingerprint, r);
  } catch (...) {
    // Telemetry never stops the video.
  }
}

void TelemetryClient::recordPreviewOff(const CameraStateSnapshot& snapshot) {
  try {
    if (!preview_.active) return;
    json event = buildEventEnvelope(preview_, TelemetrySurface::kPreview, snapshot, buildEffectFingerprint(snapshot));
    const std::string stateId = newGuidString();
    event["state_id"] = stateId;
    event["previous_state_id"] = preview_.confirmedStateId.empty() ? json(nullptr) : json(preview_.confirmedStateId);
    event["state"] = "preview_off";
    event["reason"] = "none";
    event["confirmed_after_frames"] = 0;
    event["confirmed_frame_count"] = 0;
    event["event_id"] = newGuidString();
    event["event_time"] = utcTimestampNow();
    event["state_index"] = ++preview_.stateIndex;
    preview_.candidate.reset();
    preview_.confirmedStateKey = "preview_off";
    preview_.confirmedStateId = stateId;
    enqueueEvent(event);
  } catch (...) {
  }
}

void TelemetryClient::enqueueEvent(const json& event) {
  try {
    if (shouldDropEvent(event, loadDropPolicy())) return;
    appendToQueue(event);
    scheduleTelemetryUpload();
  } catch (...) {
  }
}

std::unique_ptr<ITelemetrySink> makeTelemetryClient(const std::string& endpointUrl) {
  return std::make_unique<TelemetryClient>(endpointUrl);
}

}  // namespace tesmira::telemetry
