#include "producer/producer_channels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "producer/producer_log.h"

namespace tesmira {
namespace {

// Every user may write the settings channel: an infinity or NaN there turns the effect off.
float finiteOrOff(float v) { return std::isfinite(v) ? v : 0.0f; }

template <typename Block>
Block snapshot(const Block* shared) {
  Block copy;
  std::memcpy(&copy, shared, sizeof copy);
  return copy;
}

// The settings fields of a block; a negative tone is written as 0.
void writeSettings(RetouchSettingsBlock& block, const RetouchSettings& settings) {
  block.clearSkin = settings.clearSkin;
  block.eyeBags = settings.eyeBags;
  block.wrinkles = settings.wrinkles;
  block.teeth = settings.teeth;
  block.eyeWhite = settings.eyeWhite;
  block.eyeSharp = settings.eyeSharp;
  block.gain = settings.gain;
  block.maskBypass = settings.maskBypass ? 1u : 0u;
  block.sharpen = settings.sharpen;
  block.tone = std::max(settings.tone, int32_t(0));
  block.perspectiveStrength = settings.perspectiveStrength;
}

}  // namespace

void repairControlBlock(VcamControlBlock& block) {
  if (!hasCurrentHeader(block)) block = freshVcamControlBlock();
}

void seedSettingsBlock(RetouchSettingsBlock& block, const RetouchSettings& seeded) {
  if (!hasCurrentHeader(block)) {
    block = freshRetouchSettingsBlock();
  } else if (block.ownerFlag != 0) {
    return;
  }
  writeSettings(block, seeded);
}

RetouchSettings frameSettings(const RetouchSettingsBlock* shared, const RetouchSettings& seeded) {
  if (!shared) return seeded;
  const RetouchSettingsBlock b = snapshot(shared);
  if (!hasCurrentHeader(b)) return seeded;
  RetouchSettings s;
  s.clearSkin = finiteOrOff(b.clearSkin);
  s.eyeBags = finiteOrOff(b.eyeBags);
  s.wrinkles = finiteOrOff(b.wrinkles);
  s.teeth = finiteOrOff(b.teeth);
  s.eyeWhite = finiteOrOff(b.eyeWhite);
  s.eyeSharp = finiteOrOff(b.eyeSharp);
  s.gain = finiteOrOff(b.gain);
  s.maskBypass = b.maskBypass != 0;
  s.sharpen = finiteOrOff(b.sharpen);
  s.tone = uint32_t(b.tone) > 5 ? 0 : b.tone;
  // NaN fails both comparisons of clamp and would pass through; it counts as 0.
  s.perspectiveStrength = b.perspectiveStrength >= 0.0f ? std::min(b.perspectiveStrength, 1.0f) : 0.0f;
  return s;
}

void openVcamControl(MappedChannel& channel) {
  channel = openOrCreateChannel(kVcamControlChannelName, sizeof(VcamControlBlock));
  if (channel.view) repairControlBlock(*channel.as<VcamControlBlock>());
  logLine(channel.view ? "control mapping ready" : "warning: control mapping unavailable");
}

void openRetouchSettings(MappedChannel& channel, const RetouchSettings& seeded) {
  channel = openOrCreateChannel(kRetouchSettingsChannelName, sizeof(RetouchSettingsBlock));
  if (channel.view) seedSettingsBlock(*channel.as<RetouchSettingsBlock>(), seeded);
  logLine(channel.view ? "settings mapping ready" : "warning: settings mapping unavailable");
}

ControlReading readControl(const VcamControlBlock* shared, uint64_t nowTick) {
  ControlReading r;
  if (!shared) return r;
  const VcamControlBlock b = snapshot(shared);
  if (!hasCurrentHeader(b)) return r;
  r.valid = true;
  const uint64_t heartbeat = std::max(b.requestTick, b.streamStartTick);
  r.demand = tickIsFresh(heartbeat, nowTick, kProducerDemandWindowMs);
  const bool formatIsFresh = tickIsFresh(b.formatTick, nowTick, kProducerDemandWindowMs);
  if (formatIsFresh && b.width && b.height && b.fpsNumerator && b.fpsDenominator) {
    r.request = {int32_t(b.cameraIndex), b.width, b.height, b.fpsNumerator, b.fpsDenominator};
  } else if (b.fallbackWidth && b.fallbackHeight && b.fallbackNumerator && b.fallbackDenominator) {
    r.request = {int32_t(b.cameraIndex), b.fallbackWidth, b.fallbackHeight, b.fallbackNumerator, b.fallbackDenominator};
  }
  r.preview = tickIsFresh(b.previewTick, nowTick, kProducerDemandWindowMs);
  r.vcam = formatIsFresh;
  r.previewTick = b.previewTick;
  r.fallbackWidth = b.fallbackWidth;
  return r;
}

std::string consumerKeyFrom(const VcamConsumersBlock* shared, uint64_t nowTick) {
  if (!shared) return {};
  const VcamConsumersBlock b = snapshot(shared);
  if (!hasCurrentHeader(b) || b.count == 0) return {};
  if (!tickIsFresh(b.tick, nowTick, kConsumersWindowMs)) return {};
  const char* key = b.entries[0].key;
  return std::string(key, strnlen(key, 63));
}

}  // namespace tesmira
