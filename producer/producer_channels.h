#pragma once
// The control, settings and consumers channels as the producer sees them: opening,
// seeding and repair at start, and what each pass reads from them.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/channel.h"
#include "common/channels.h"
#include "producer/capture_source.h"
#include "producer/kernel_objects.h"
#include "producer/retouch_settings.h"

namespace tesmira {

// Heartbeats and request ticks count while at most this old.
inline constexpr uint64_t kProducerDemandWindowMs = 3000;
// The consumers block's tick counts while at most this old.
inline constexpr uint64_t kConsumersWindowMs = 5000;

// A control block with a wrong magic or version becomes a fresh one: no demand,
// fallback request the default capture mode.
void repairControlBlock(VcamControlBlock& block);
// A settings block with a wrong magic or version becomes a fresh one; then the seed
// is written unless an outside owner holds the block.
void seedSettingsBlock(RetouchSettingsBlock& block, const RetouchSettings& seeded);
// The settings fields of a block as the producer seeds them (a negative tone written as 0);
// the header and the owner flag are left as they are.
void writeSettingsFields(RetouchSettingsBlock& block, const RetouchSettings& settings);
// The settings of one frame: from the block when it is valid (a tone outside 0..kToneCount
// read as 0, perspective clamped to 0..1, a strength, gain or sharpen that is not finite
// as 0), else the seed.
RetouchSettings frameSettings(const RetouchSettingsBlock* block, const RetouchSettings& seeded);

void openVcamControl(MappedChannel& channel);
void openRetouchSettings(MappedChannel& channel, const RetouchSettings& seeded);

// What one pass of the loop learns from the control channel at `nowTick`.
struct ControlReading {
  bool valid = false;
  bool demand = false;
  CaptureRequest request;  // camera 0 in the default capture mode unless the block asks otherwise
  bool preview = false;    // the preview surface is active
  bool vcam = false;       // a fresh capture-format request: an application reads the virtual camera
  uint64_t previewTick = 0;
  uint32_t fallbackWidth = 0;
};
ControlReading readControl(const VcamControlBlock* block, uint64_t nowTick);

// The first consumer's key when the consumers block is valid and fresh, else empty.
std::string consumerKeyFrom(const VcamConsumersBlock* block, uint64_t nowTick);

}  // namespace tesmira
