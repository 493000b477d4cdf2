#pragma once
// The channels the service's broker would hold: created with their seeds and held
// for the demo's lifetime, so the agent, the producer and the media source meet.
#include <windows.h>

#include <string>
#include <vector>

#include "common/channel.h"
#include "common/channels.h"

namespace tesmira::demo {

class HeldChannels {
 public:
  HeldChannels() = default;
  HeldChannels(const HeldChannels&) = delete;
  HeldChannels& operator=(const HeldChannels&) = delete;
  ~HeldChannels();

  // Empty on success, else what failed.
  std::wstring create();

  RetouchFrameHeader* frame() const { return channels_[kFrame].as<RetouchFrameHeader>(); }
  const uint8_t* frameBytes() const { return channels_[kFrame].as<const uint8_t>(); }
  ProducerStatusBlock* status() const { return channels_[kStatus].as<ProducerStatusBlock>(); }
  VcamCapabilitiesBlock* capabilities() const { return channels_[kCapabilities].as<VcamCapabilitiesBlock>(); }
  VcamControlBlock* control() const { return channels_[kControl].as<VcamControlBlock>(); }
  RetouchSettingsBlock* settings() const { return channels_[kSettings].as<RetouchSettingsBlock>(); }
  const std::wstring& prefixUsed() const { return prefix_; }

 private:
  enum Index { kCapabilities, kSettings, kControl, kFrame, kConsumers, kStatus, kCount };
  MappedChannel channels_[kCount];
  HANDLE event_ = nullptr;
  std::wstring prefix_;
};

}  // namespace tesmira::demo
