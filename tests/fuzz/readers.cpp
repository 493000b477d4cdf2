#include "tests/fuzz/readers.h"

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

bool readHive(const std::string& text, std::string& written) {
  std::unique_ptr<platform::registry::Key> root;
  if (platform::registry::parseHiveText(text, root) != ERROR_SUCCESS) return false;
  written = platform::registry::hiveText(*root);
  return true;
}

}  // namespace tesmira::fuzz
