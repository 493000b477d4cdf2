#include "tests/fuzz/readers.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "producer/engine/crop_calibration.h"
#include "producer/telemetry/batch_upload.h"
#include "producer/telemetry/event_queue.h"

#include "registry/hive.h"
#include "vcam_source/channels.h"
#include "vcam_source/status_card.h"
#include "winerror.h"

namespace tesmira::fuzz {

bool readFrame(const uint8_t* view, uint32_t width, uint32_t height, int64_t nowQpc, int64_t qpcFrequency,
               std::vector<uint8_t>& out) {
  return vcam::readFrameFromView(view, width, height, nowQpc, qpcFrequency, out);
}

uint32_t chooseStatusCard(const ProducerStatusBlock* block, uint64_t streamStart, uint64_t lastGood, uint64_t now) {
  StatusCardSelector selector;
  if (streamStart) selector.onStreamStart(streamStart);
  if (lastGood) selector.onGoodFrame(lastGood);
  return uint32_t(selector.chooseFrom(block, now));
}

std::vector<CameraCapability> offeredCapabilities(const uint8_t* view) {
  return vcam::cleanCameraCapabilities(vcam::capabilitiesFromView(view));
}

RetouchSettings readSettings(const RetouchSettingsBlock* block, const RetouchSettings& seeded) {
  return frameSettings(block, seeded);
}

ControlReading readControlBlock(const VcamControlBlock* block, uint64_t now) { return readControl(block, now); }

std::string readConsumerKey(const VcamConsumersBlock* block, uint64_t now) { return consumerKeyFrom(block, now); }

LoadedSettings readConfigJson(const std::string& text, const RetouchSettings& defaults) {
  return applyFilterObject(text, defaults);
}

bool readCalibration(const std::string& text, std::array<double, 6>& transform, bool& frameFailed) {
  // The loader reads a file: one per target process, rewritten for every input.
  static const std::filesystem::path file = std::filesystem::temp_directory_path() / "tesmira_fuzz_calibration.json";
  { std::ofstream(file, std::ios::binary | std::ios::trunc) << text; }
  CropCalibration calibration;
  try {
    calibration.load(file);
  } catch (const std::runtime_error&) {
    return false;
  } catch (const nlohmann::json::exception&) {
    return false;
  }
  static const std::vector<LandmarkPoint> face = [] {
    std::vector<LandmarkPoint> points(478);
    for (size_t i = 0; i < points.size(); ++i) {
      points[i].x = 0.3f + 0.4f * float(i % 23) / 22.0f;
      points[i].y = 0.2f + 0.6f * float(i / 23) / 20.0f;
    }
    return points;
  }();
  frameFailed = false;
  try {
    transform = calibration.cropPoints(face);
  } catch (const std::runtime_error&) {
    frameFailed = true;
  }
  return true;
}

bool readHive(const std::string& text, std::string& written) {
  std::unique_ptr<platform::registry::Key> root;
  if (platform::registry::parseHiveText(text, root) != ERROR_SUCCESS) return false;
  written = platform::registry::hiveText(*root);
  return true;
}

bool telemetryPolicyDrops(const std::string& policyText, const nlohmann::json& event) {
  return telemetry::shouldDropEvent(event, nlohmann::json::parse(policyText, nullptr, false));
}

std::vector<nlohmann::json> telemetryQueueEvents(const std::string& text) { return telemetry::parseEventQueue(text); }

int64_t telemetryBackoffSeconds(uint32_t status, const std::string& body, const std::string& retryAfter) {
  return telemetry::backoffSecondsFor({status, body, retryAfter});
}

nlohmann::json telemetryPolicyFromResponse(const std::string& body, int64_t now) {
  return telemetry::policyFromResponse(body, now);
}

ReleaseManifest readManifest(const std::string& body, std::wstring& error) { return parseManifest(body, error); }

}  // namespace tesmira::fuzz
