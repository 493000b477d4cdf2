#include "producer/producer_channels.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "producer/producer_log.h"
#include "producer/retouch_settings_fields.h"

namespace tesmira {
namespace {

template <typename Block>
Block snapshot(const Block* shared) {
  Block copy;
  std::memcpy(&copy, shared, sizeof copy);
  return copy;
}

// A field's value from its channel word. Every user may write the channel, so the word
// is bounded here.
float fromWord(float word, FieldRange range) {
  // NaN fails both comparisons of clamp and would pass through; it counts as 0.
  if (range == FieldRange::kUnit) return word >= 0.0f ? std::min(word, 1.0f) : 0.0f;
  return std::isfinite(word) ? word : 0.0f;
}
bool fromWord(uint32_t word, FieldRange) { return word != 0; }
int32_t fromWord(int32_t word, FieldRange) { return toneIndexOrNatural(word); }

float toWord(float value, FieldRange) { return value; }
uint32_t toWord(bool value, FieldRange) { return value ? 1u : 0u; }
int32_t toWord(int32_t value, FieldRange) { return std::max(value, int32_t(0)); }

}  // namespace

void repairControlBlock(VcamControlBlock& block) {
  if (!hasCurrentHeader(block)) block = freshVcamControlBlock();
}

void writeSettingsFields(RetouchSettingsBlock& block, const RetouchSettings& settings) {
  forEachSettingsField([&](const auto& field) { block.*field.channel = toWord(settings.*field.record, field.range); });
}

void seedSettingsBlock(RetouchSettingsBlock& block, const RetouchSettings& seeded) {
  if (!hasCurrentHeader(block)) {
    block = freshRetouchSettingsBlock();
  } else if (block.ownerFlag != 0) {
    return;
  }
  writeSettingsFields(block, seeded);
}

RetouchSettings frameSettings(const RetouchSettingsBlock* shared, const RetouchSettings& seeded) {
  if (!shared) return seeded;
  const RetouchSettingsBlock b = snapshot(shared);
  if (!hasCurrentHeader(b)) return seeded;
  RetouchSettings s;
  forEachSettingsField([&](const auto& field) { s.*field.record = fromWord(b.*field.channel, field.range); });
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
