#pragma once
// The service's side of the demo: the channels created, seeded and held by the service's
// own broker code, for the demo's lifetime.
#include <windows.h>

#include <string>

#include "common/channels.h"
#include "service/broker.h"

namespace tesmira::demo {

class BrokerChannels {
 public:
  BrokerChannels() = default;
  BrokerChannels(const BrokerChannels&) = delete;
  BrokerChannels& operator=(const BrokerChannels&) = delete;
  ~BrokerChannels() { closeSharedChannels(set_); }

  // Empty on success, else the broker's failed step.
  std::wstring create();

  RetouchFrameHeader* frame() const { return static_cast<RetouchFrameHeader*>(set_.frameView); }
  const uint8_t* frameBytes() const { return static_cast<const uint8_t*>(set_.frameView); }
  RetouchSettingsBlock* settings() const { return static_cast<RetouchSettingsBlock*>(set_.settingsView); }
  ProducerStatusBlock* status() const { return static_cast<ProducerStatusBlock*>(set_.producerStatusView); }
  VcamCapabilitiesBlock* capabilities() const { return static_cast<VcamCapabilitiesBlock*>(set_.capabilitiesView); }
  const std::wstring& prefixUsed() const { return prefix_; }

 private:
  SharedChannelSet set_;
  std::wstring prefix_;
};

}  // namespace tesmira::demo
