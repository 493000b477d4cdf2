#pragma once
// The one place where the fuzz targets meet the code they fuzz: every target calls
// its reader only through these functions, so a reader that moves or is renamed
// is repointed here alone.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/channels.h"
#include "producer/producer_channels.h"
#include "producer/retouch_settings.h"
#include "service/updater/update_check.h"

namespace tesmira::fuzz {

// The frame channel reader over a whole view of kFrameChannelBytes.
bool readFrame(const uint8_t* view, uint32_t width, uint32_t height, int64_t nowQpc, int64_t qpcFrequency,
               std::vector<uint8_t>& out);

// The status card chosen from a status block, with the stream started at `streamStart`
// and its last good frame at `lastGood` (0: none yet).
uint32_t chooseStatusCard(const ProducerStatusBlock* block, uint64_t streamStart, uint64_t lastGood, uint64_t now);
inline constexpr uint32_t kLastStatusCard = 5;

// The capture modes the media source offers from a capabilities view (2068 bytes).
std::vector<CameraCapability> offeredCapabilities(const uint8_t* view);

RetouchSettings readSettings(const RetouchSettingsBlock* block, const RetouchSettings& seeded);
// One frame of the CPU road (constant-field models, full masks, a synthetic 478-point face on
// a 640x480 textured frame) with the settings read from `block`. `used`: what the engine got;
// `changedOutsideCrop`: pixels outside the crop's footprint that differ from the input.
void retouchWithSettingsBlock(const RetouchSettingsBlock& block, RetouchSettings& used, int& changedOutsideCrop);
ControlReading readControlBlock(const VcamControlBlock* block, uint64_t now);
std::string readConsumerKey(const VcamConsumersBlock* block, uint64_t now);
LoadedSettings readConfigJson(const std::string& text, const RetouchSettings& defaults);

// The crop calibration file as `text`: false when loading refuses it. Else `transform` is
// the crop transform for a fixed 478-point face, or `frameFailed` says that frame failed.
bool readCalibration(const std::string& text, std::array<double, 6>& transform, bool& frameFailed);

// The registry hive reader: true when `text` reads as a hive; then `written` is the
// text the layer writes back for it.
bool readHive(const std::string& text, std::string& written);

// Telemetry: the cached drop policy as text against an event (null policy text: no policy).
bool telemetryPolicyDrops(const std::string& policyText, const nlohmann::json& event);
// The queue file as read: its events.
std::vector<nlohmann::json> telemetryQueueEvents(const std::string& text);
// The backoff an upload answer gives, and the policy it would cache at `now` (discarded: none).
int64_t telemetryBackoffSeconds(uint32_t status, const std::string& body, const std::string& retryAfter);
nlohmann::json telemetryPolicyFromResponse(const std::string& body, int64_t now);

// The updater's release manifest as the feed sent it; `error` says why it was refused.
ReleaseManifest readManifest(const std::string& body, std::wstring& error);

}  // namespace tesmira::fuzz
