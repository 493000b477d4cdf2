#pragma once
// The channels the service's broker would hold: created with their seeds and held
// for the demo's lifetime, so the agent, the producer and the media source meet.
#include <windows.h>

#include <string>
#include <vector>

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

  RetouchFrameHeader* frame() const { return static_cast<RetouchFrameHeader*>(views_[kFrame]); }
  const uint8_t* frameBytes() const { return static_cast<const uint8_t*>(views_[kFrame]); }
  ProducerStatusBlock* status() const { return static_cast<ProducerStatusBlock*>(views_[kStatus]); }
  VcamCapabilitiesBlock* capabilities() const { return static_cast<VcamCapabilitiesBlock*>(views_[kCapabilities]); }
  VcamControlBlock* control() const { return static_cast<VcamControlBlock*>(views_[kControl]); }
  const std::wstring& prefixUsed() const { return prefix_; }

 private:
  enum Index { kCapabilities, kSettings, kControl, kFrame, kConsumers, kStatus, kCount };
  HANDLE mappings_[kCount] = {};
  void* views_[kCount] = {};
  HANDLE event_ = nullptr;
  std::wstring prefix_;
};

}  // namespace tesmira::demo
